// Token commands for the engine, through the token link.
#include "link_token_port.h"

#include <openssl/crypto.h>

#include "app_values.h"
#include "text_convert.h"
#include "token_commands.h"

namespace station {
namespace {

constexpr std::size_t kSerialCapacity = 32;
constexpr std::size_t kClockCapacity = 64;

// The key text for one command, wiped when the command is done.
class KeyText {
 public:
  KeyText() : m_text(app::WideToAnsi(app::CustomerKey())) {}
  ~KeyText() { OPENSSL_cleanse(m_text.data(), static_cast<std::size_t>(m_text.size())); }
  KeyText(const KeyText&) = delete;
  KeyText& operator=(const KeyText&) = delete;
  const char* Get() const { return m_text.constData(); }

 private:
  QByteArray m_text;
};

}  // namespace

Outcome LinkTokenPort::Run(const Command& command) {
  const QByteArray reader = app::WideToAnsi(m_readerName());
  Outcome outcome;
  switch (command.kind) {
    case CommandKind::ReadSerial: {
      tokenlink::TokenInfo info;
      outcome.code = tokenlink::ReadTokenInfo(reader.constData(), kSerialCapacity, kClockCapacity, &info);
      if (outcome.code == 0) {
        outcome.token.serialBytes = QByteArray::fromStdString(info.serialNumber);
        outcome.token.serialNumber = app::AnsiToWide(outcome.token.serialBytes);
      }
      return outcome;
    }
    case CommandKind::Authenticate: {
      KeyText key;
      outcome.code = tokenlink::AuthenticateCustomerKey(reader.constData(), key.Get(), &outcome.delivery);
      return outcome;
    }
    case CommandKind::Configure: {
      KeyText key;
      const QByteArray clock = m_clockText(command.syncClock);
      outcome.code = tokenlink::ConfigureToken(reader.constData(), key.Get(), command.choices.algorithm.constData(),
                                               command.choices.timeWindow, command.choices.displayTime,
                                               clock.constData(), 0, &outcome.delivery);
      return outcome;
    }
    case CommandKind::WriteSeed: {
      KeyText key;
      const BurnRecord& record = *command.record;
      const int algorithm =
          record.choices.algorithm == "SHA256" ? tokenlink::kSeedAlgorithmSha256 : tokenlink::kSeedAlgorithmSha1;
      // A secret that does not decode is written as no bytes, which the seed
      // write refuses for its length.
      static const uint8_t kNoBytes[1] = {};
      const uint8_t* bytes = record.secretBytes.empty() ? kNoBytes : record.secretBytes.data();
      outcome.code = tokenlink::WriteSeed(reader.constData(), key.Get(), bytes,
                                          static_cast<int>(record.secretBytes.size()), algorithm, &outcome.delivery);
      return outcome;
    }
    case CommandKind::SyncClock: {
      KeyText key;
      const QByteArray clock = m_clockText(true);
      outcome.code = tokenlink::SyncTokenClock(reader.constData(), key.Get(), clock.constData(), 0, &outcome.delivery);
      return outcome;
    }
    case CommandKind::Seal: {
      KeyText key;
      outcome.code = tokenlink::SealToken(reader.constData(), key.Get(), &outcome.delivery);
      return outcome;
    }
  }
  return outcome;
}

}  // namespace station
