// One burn as it was done: captured once when the card monitor takes up a
// pending burn, handed to the seed write, the log row and the export lines,
// so that nothing of a booking is read back from the window afterwards.
#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <openssl/crypto.h>
#include <vector>

namespace station {

// The one-time-password choices of the window's radio buttons.
struct Choices {
  int timeWindow = 30;                          // seconds: 30 or 60
  int displayTime = 30;                         // seconds: 15, 30, 60 or 120
  QByteArray algorithm = QByteArrayLiteral("SHA1");  // "SHA1" or "SHA256"
};

struct BurnRecord {
  BurnRecord() = default;
  BurnRecord(const BurnRecord&) = delete;
  BurnRecord& operator=(const BurnRecord&) = delete;
  BurnRecord(BurnRecord&&) = default;
  BurnRecord& operator=(BurnRecord&&) = default;
  ~BurnRecord() {
    if (!secretBytes.empty()) OPENSSL_cleanse(secretBytes.data(), secretBytes.size());
  }

  QByteArray serialBytes;  // as the token reports it; the key of the booking
  QString serialNumber;    // as the window shows it
  QString secretText;      // the Base32 text as burned
  std::vector<uint8_t> secretBytes;  // its decoding; empty when it does not decode
  Choices choices;         // as the token was prepared with them
  bool exportLines = false;  // "Export Seed Data" ticked when the burn was taken up
  QString userName;        // the UPN of the export lines
  QDateTime time;
};

}  // namespace station
