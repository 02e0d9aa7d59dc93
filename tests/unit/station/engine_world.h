// A world for the burn engine without a window: two emulated readers behind
// the PC/SC seam, tokens that come and go, the real token commands, and a
// stand-in for the card monitor and the window that records what the engine
// has shown, asked and booked. The tables of named cases, the random operator
// sessions and their benchmark all drive the engine through it.
#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base32.h"
#include "burn_engine.h"
#include "emulated_pcsc.h"
#include "link_token_port.h"
#include "pcsc_api.h"
#include "sm4.h"
#include "token_commands.h"
#include "token_emulator.h"

namespace enginetest {

inline const std::vector<std::string> kReaders = {"Reader A", "Reader B"};
inline const std::string kRightKey = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";  // the station's own
inline const std::string kWrongKey = "00112233445566778899AABBCCDDEEFF";

// "12345678901234567890" in Base32 (RFC 6238's secret).
inline const QString kRfcSecret = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");

// Base32 text of the bytes, "="-padded to a multiple of 8 when pad.
inline QString Base32Text(const QByteArray& bytes, bool pad) {
  std::string text(bytes.size() * 8 / 5 + 2, '\0');
  const int n = seed::Base32Encode(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                   static_cast<std::size_t>(bytes.size()), text.data());
  QString result = QString::fromLatin1(text.data(), n);
  while (pad && result.size() % 8 != 0) result += u'=';
  return result;
}

struct Booking {
  QString serialNumber;
  QString result;
  std::shared_ptr<const station::BurnRecord> record;
};

// The export set in memory: what the lines would be, in order. A write to a
// set that is not open fails, as does the one FailAtWrite names.
class MemoryExports : public station::ExportSink {
 public:
  bool IsComplete() const override { return m_open; }
  std::optional<station::ExportFile> Open() override {
    m_open = true;
    ++opened;
    return std::nullopt;
  }
  std::optional<station::ExportFile> WriteLines(const station::BurnRecord& record) override {
    const bool due = m_failAt > 0 && --m_failAt == 0;
    if (!m_open || due) {
      failedWrites.push_back(&record);
      return station::ExportFile::Azure;
    }
    lines.push_back({record.serialBytes, record.secretText});
    return std::nullopt;
  }
  void Close() override { m_open = false; }
  // The window's files, by their own rules.
  std::vector<station::ExportFile> FilesLeavingOut(const station::BurnRecord& record) const override {
    return m_formats.FilesLeavingOut(record);
  }
  // The n-th write from now (1 = the next) fails; 0 clears it.
  void FailAtWrite(int n) { m_failAt = n; }

  struct Line {
    QByteArray serialBytes;
    QString secretText;
  };
  std::vector<Line> lines;
  std::vector<const station::BurnRecord*> failedWrites;
  int opened = 0;

 private:
  bool m_open = false;
  int m_failAt = 0;
  station::ExportSet m_formats;  // never opened
};

class EngineWorld : private station::BurnView {
 public:
  EngineWorld() {
    for (const std::string& reader : kReaders) m_pcsc.AddReader(reader);
    tokenlink::UsePcsc(&m_pcsc);
  }
  ~EngineWorld() override { tokenlink::UsePcsc(nullptr); }
  EngineWorld(const EngineWorld&) = delete;
  EngineWorld& operator=(const EngineWorld&) = delete;

  // A new token, not yet in any field.
  std::shared_ptr<sim::TokenEmulator> MakeToken(const std::string& serial, bool rightKey = true, int tries = 5) {
    sim::TokenConfig config;
    config.serialNumber = serial;
    config.customerKeyHex = rightKey ? kRightKey : kWrongKey;
    config.tries = tries;
    config.clockBase = 1600000000;
    auto token = std::make_shared<sim::TokenEmulator>(config);
    token->SetHostClock([] { return int64_t{1700000000}; });
    tokens[serial] = token;
    return token;
  }
  sim::TokenEmulator& Token(const std::string& serial) { return *tokens.at(serial); }

  // The operator's hands and the card monitor.
  void Lay(const std::string& serial, int reader = 0) {
    m_pcsc.InsertToken(kReaders[reader], tokens.at(serial));
    ++m_layings[reader];
  }
  void Remove(int reader = 0) {
    m_pcsc.RemoveToken(kReaders[reader]);
    ++m_layings[reader];
  }
  std::shared_ptr<sim::TokenEmulator> InField(int reader) const { return m_pcsc.TokenIn(kReaders[reader]); }
  void Connect(int reader) {
    m_connected = reader;
    m_reported.reset();
    m_reportedLayings = -1;
    m_shownSerial.reset();
    Dispatch(station::ReaderConnected{});
    Poll();
  }
  // One pass of the card monitor: a token that arrived (or is to be read
  // again) is read and shown; a token that left is reported gone.
  void Poll() {
    if (m_connected < 0) return;
    std::shared_ptr<sim::TokenEmulator> now = InField(m_connected);
    // A token taken off and laid again between two passes is seen as new, as
    // pcscd's event counter tells the real monitor.
    const bool changed = now != m_reported || m_layings[m_connected] != m_reportedLayings;
    if (!changed && !m_readAgain) return;
    m_reported = now;
    m_reportedLayings = m_layings[m_connected];
    m_readAgain = false;
    if (!now) {
      Gone();
      return;
    }
    tokenlink::TokenInfo info;
    const int32_t rc = tokenlink::ReadTokenInfo(kReaders[m_connected].c_str(), 32, 64, &info);
    if (rc != 0) {
      // Not readable: shown as no token, read again at the next pass.
      m_reported.reset();
      Gone();
      return;
    }
    const QByteArray serial = QByteArray::fromStdString(info.serialNumber);
    m_shownSerial = serial;
    LookUpSeed(serial);
    Dispatch(station::TokenSeen{{serial, QString::fromLatin1(serial)}, form});
  }

  // The window's controls.
  bool BurnEnabled() const { return m_pending || (m_shownSerial && !form.secretText.isEmpty()); }
  void PressBurn() {
    if (m_engine.BurnPending()) {
      Stop();
    } else {
      seedWritesAtStop.reset();
      Dispatch(station::BurnPressed{form});
    }
  }
  // Stop: from now on no seed is written until Burn is pressed again.
  void Stop() {
    if (m_engine.BurnPending()) seedWritesAtStop = Sent({tokenlink::INS_SEED_WRITE});
    Dispatch(station::StopPressed{});
  }
  void PressSync() { Dispatch(station::SyncPressed{}); }
  // Closing: from now on nothing that changes a token is sent.
  void Close() {
    if (!protectedAtClose) {
      protectedAtClose = Sent({tokenlink::INS_AUTHENTICATE, tokenlink::INS_PARAMETER, tokenlink::INS_SEED_WRITE});
    }
    Dispatch(station::Closing{});
  }
  std::optional<int> seedWritesAtStop;
  std::optional<int> protectedAtClose;
  // APDUs with these instructions sent to either reader.
  int Sent(std::initializer_list<uint8_t> instructions) const {
    int n = 0;
    for (const std::string& reader : kReaders) {
      for (const std::vector<uint8_t>& apdu : m_pcsc.SentApdus(reader)) {
        for (uint8_t ins : instructions) n += apdu.size() > 1 && apdu[1] == ins ? 1 : 0;
      }
    }
    return n;
  }
  void Dispatch(station::Event event) { m_driver.Dispatch(std::move(event)); }

  // A seed file: a listed token gets its secret when it is shown; a token
  // not in the file clears only the secret the file filled in.
  std::map<QByteArray, QString> seedFile;
  void LookUpSeed(const QByteArray& serial) {
    if (seedFile.empty()) return;
    const auto found = seedFile.find(serial);
    if (found == seedFile.end()) {
      if (m_fromFile && form.secretText == *m_fromFile) form.secretText.clear();
      m_fromFile.reset();
      return;
    }
    form.secretText = found->second;
    m_fromFile = found->second;
  }

  // Another token takes the place of the one on the card monitor's reader
  // right after the n-th APDU from now, before the monitor can see it.
  void SwapAfter(int n, const std::string& serial) {
    m_pcsc.SwapTokenAfterApdu(kReaders[std::max(m_connected, 0)], n, tokens.at(serial));
  }
  // The token panel's serial number, if a token is shown.
  std::optional<QByteArray> Shown() const { return m_shownSerial; }

  // Faults on the reader of the card monitor, counted from the next APDU.
  void PullAt(int n) { m_pcsc.PullCardAtApdu(kReaders[m_connected], n); }
  void LoseAnswerAt(int n, bool cardLeaves) { m_pcsc.LoseAnswerAtApdu(kReaders[m_connected], n, cardLeaves); }

  station::BurnEngine& Engine() { return m_engine; }
  sim::EmulatedPcsc& Pcsc() { return m_pcsc; }
  int Connected() const { return m_connected; }
  bool ShownSerial() const { return m_shownSerial.has_value(); }
  // The operator typed or generated a secret: it is no longer the file's.
  void ForgetFileSecret() { m_fromFile.reset(); }
  bool Pending() const { return m_pending; }

  station::Form form;
  bool answerYes = true;
  // Runs while a question is on screen, before it is answered.
  std::function<void()> onQuestion;
  std::map<std::string, std::shared_ptr<sim::TokenEmulator>> tokens;

  // What the operator saw, and what was booked.
  std::vector<station::ShowMessage> messages;
  std::vector<QString> questions;
  std::vector<Booking> bookings;
  MemoryExports exports;

  int Count(const QString& prefix) const {
    int n = 0;
    for (const station::ShowMessage& m : messages) n += m.text.startsWith(prefix) ? 1 : 0;
    return n;
  }
  int AuthenticationsSentTo(int reader) const {
    int n = 0;
    for (const std::vector<uint8_t>& apdu : m_pcsc.SentApdus(kReaders[reader]))
      n += apdu.size() > 1 && apdu[1] == tokenlink::INS_AUTHENTICATE ? 1 : 0;
    return n;
  }

 private:
  void Gone() {
    m_shownSerial.reset();
    Dispatch(station::TokenGone{});
  }

  // station::BurnView
  void Show(const station::ShowMessage& message) override { messages.push_back(message); }
  bool Ask(const QString& text) override {
    questions.push_back(text);
    if (onQuestion) onQuestion();
    return answerYes;
  }
  void AddLogRow(const station::AddLogRow& row) override {
    bookings.push_back({row.serialNumber, row.result, row.record});
  }
  void ShowCounters(const station::ShowCounters&) override {}
  void ShowBurnPending(bool pending) override { m_pending = pending; }
  void ReadTokenAgain() override { m_readAgain = true; }

  sim::EmulatedPcsc m_pcsc;
  int m_connected = -1;
  std::shared_ptr<sim::TokenEmulator> m_reported;  // what the card monitor last saw
  int m_layings[2] = {0, 0};                        // tokens laid or taken off, by reader
  int m_reportedLayings = -1;
  std::optional<QByteArray> m_shownSerial;          // the token panel
  std::optional<QString> m_fromFile;
  bool m_readAgain = false;
  bool m_pending = false;

  station::BurnEngine m_engine{exports, [] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); }};
  station::LinkTokenPort m_port{[this] { return QString::fromStdString(kReaders[std::max(m_connected, 0)]); },
                                [](bool) { return QByteArrayLiteral("2024/03/05/07/08/09"); }};
  station::BurnDriver m_driver{m_engine, m_port, *this};
};

}  // namespace enginetest
