// The token's command set. Each command owns the card session from its open to
// its close (CardSessionScope), builds its APDU in a buffer of its own and
// reports one result code.
#include "token_commands.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "card_session.h"
#include "sm4.h"
#include "token_clock.h"
#include "wipe.h"

namespace tokenlink {
namespace {

constexpr std::array<uint8_t, 7> kReadInfoCommand = {
    CLA_PLAIN, INS_READ_INFO, P1_READ_INFO, P2_ANY, READ_INFO_SELECTION.size(), READ_INFO_SELECTION[0],
    READ_INFO_SELECTION[1]};
constexpr std::array<uint8_t, 5> kChallengeCommand = {CLA_PLAIN, INS_CHALLENGE, P1_CHALLENGE, P2_ANY, 0x00};

// Read-info response: 4 leading bytes, the serial number, 2 bytes, the 4
// clock bytes, the status word. Anything shorter has no room for the clock.
constexpr std::size_t kInfoHeaderLength = 4;
constexpr std::size_t kInfoTrailerLength = 8;
constexpr std::size_t kInfoMinimumLength = kInfoHeaderLength + kInfoTrailerLength;

constexpr int kMaxSeedLength = 160;
constexpr std::size_t kHmacBlockLength = 64;

struct Response {
  int32_t pcscResult = kScardSuccess;
  std::array<uint8_t, kResponseBufferSize> bytes{};  // zero-filled before every exchange
  std::size_t length = 0;

  std::optional<uint16_t> Status() const { return StatusWord(bytes.data(), length); }
  bool Succeeded() const { return pcscResult == kScardSuccess && StatusIsSuccess(bytes.data(), length); }
};

Response Exchange(const uint8_t* command, std::size_t commandLength) {
  Response response;
  response.length = response.bytes.size();
  response.pcscResult = TransmitApdu(command, commandLength, response.bytes.data(), &response.length);
  if (response.pcscResult != kScardSuccess || response.length > response.bytes.size()) response.length = 0;
  return response;
}

Response Exchange(const std::vector<uint8_t>& command) { return Exchange(command.data(), command.size()); }

using KeyBytes = std::array<uint8_t, 16>;

// The customer key: the first 16 bytes that HexToBytes makes of the key text.
// Only the first 32 digits can reach them, so no more are decoded; a longer
// text can never run past the key buffer. The caller wipes *key.
void DecodeCustomerKey(const char* keyText, KeyBytes* key) {
  constexpr std::size_t kDigits = 32;
  std::array<char, kDigits + 1> digits{};
  WipeAtScopeEnd wipeDigits(digits);
  std::strncpy(digits.data(), keyText, kDigits);
  key->fill(0x00);
  HexToBytes(digits.data(), key->data());
}

// Tells a caller that asked what became of its command.
class DeliveryReport {
 public:
  explicit DeliveryReport(Delivery* out) : m_out(out) { Set(Delivery::NotSent); }
  void Set(Delivery delivery) {
    if (m_out != nullptr) *m_out = delivery;
  }
  // After an exchange whose command reached the transport: a status word is
  // the token's verdict; without one the token may have acted on it.
  void After(const Response& response) {
    Set(response.pcscResult == kScardSuccess && response.Status() ? Delivery::Answered : Delivery::AnswerLost);
  }

 private:
  Delivery* m_out;
};

// One protected command; TL_OK only when the token answers 90 00. A command
// whose MAC cannot be computed is not sent and fails as an unsent command does.
int32_t SendProtected(const char* keyText, uint8_t ins, uint8_t p1, const uint8_t* data, std::size_t length,
                      DeliveryReport& report) {
  KeyBytes key;
  WipeAtScopeEnd wipeKey(key);
  DecodeCustomerKey(keyText, &key);
  const std::vector<uint8_t> apdu = BuildProtectedApdu(key.data(), ins, p1, P2_ANY, data, length);
  if (apdu.empty()) return TL_E_CARD_STATUS;
  const Response response = Exchange(apdu);
  report.After(response);
  return response.Succeeded() ? TL_OK : TL_E_CARD_STATUS;
}

void PutUint32(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

uint32_t GetUint32(const uint8_t* in) {
  return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
         (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

// The one table of authentication outcomes, for the status word of the
// cryptogram response.
int32_t JudgeAuthentication(uint16_t statusWord) {
  if (statusWord == SW_KEY_BLOCKED) return TL_E_KEY_LOCKED;
  if ((statusWord & ~SW_TRIES_LEFT_MASK) == SW_WRONG_CRYPTOGRAM)
    return TL_E_AUTH_RETRY + (statusWord & SW_TRIES_LEFT_MASK);
  if (statusWord == SW_SUCCESS) return TL_OK;
  return TL_E_AUTH_REJECTED;
}

}  // namespace

int32_t ReadTokenInfo(const char* readerName, std::size_t serialCapacity, std::size_t clockCapacity,
                      TokenInfo* info) {
  if (info == nullptr) return TL_E_BAD_PARAMETER;
  CardSessionScope session(readerName);
  if (!session.IsOpen()) return session.OpenResult();

  const Response response = Exchange(kReadInfoCommand.data(), kReadInfoCommand.size());
  if (response.pcscResult != kScardSuccess) return response.pcscResult;
  if (!response.Succeeded() || response.length < kInfoMinimumLength) return TL_E_CARD_STATUS;

  const std::size_t n = response.length;
  const uint8_t* serialStart = response.bytes.data() + kInfoHeaderLength;
  const std::size_t serialArea = n - kInfoMinimumLength;
  const auto* serialEnd = static_cast<const uint8_t*>(std::memchr(serialStart, 0, serialArea));
  const std::size_t serialLength = serialEnd != nullptr ? static_cast<std::size_t>(serialEnd - serialStart) : serialArea;
  if (serialLength > serialCapacity) return TL_E_BUFFER_SMALL;

  std::string clockText = FormatTokenClock(GetUint32(response.bytes.data() + n - 6));
  if (clockText.size() > clockCapacity) return TL_E_BUFFER_SMALL;

  info->serialNumber.assign(reinterpret_cast<const char*>(serialStart), serialLength);
  info->clockText = std::move(clockText);
  return TL_OK;
}

int32_t SyncTokenClock(const char* readerName, const char* keyText, const char* dateTimeText, int tag22Value,
                       Delivery* delivery) {
  DeliveryReport report(delivery);
  CardSessionScope session(readerName);
  if (!session.IsOpen()) return session.OpenResult();

  uint32_t clock = 0;
  if (dateTimeText == nullptr || ParseDateTimeText(dateTimeText, std::strlen(dateTimeText), &clock) != 0)
    return TL_E_TIME_TEXT;
  const bool sendTag22 = tag22Value == 0 || (tag22Value >= 3 && tag22Value <= 15);
  if ((tag22Value != -1 && !sendTag22) || keyText == nullptr) return TL_E_BAD_PARAMETER;

  std::vector<uint8_t> record = {TAG_RECORD, 0x00, TAG_CLOCK, 0x04, 0, 0, 0, 0};
  PutUint32(clock, record.data() + 4);
  if (sendTag22) record.insert(record.end(), {TAG_PARAM22, 0x01, static_cast<uint8_t>(tag22Value)});
  record[1] = static_cast<uint8_t>(record.size() - 2);

  return SendProtected(keyText, INS_PARAMETER, P1_PARAMETER, record.data(), record.size(), report);
}

int32_t AuthenticateCustomerKey(const char* readerName, const char* keyText, Delivery* delivery) {
  DeliveryReport report(delivery);
  CardSessionScope session(readerName);
  if (!session.IsOpen()) return session.OpenResult();
  if (keyText == nullptr || keyText[0] == '\0') return TL_E_NO_KEY;
  KeyBytes key;
  WipeAtScopeEnd wipeKey(key);
  DecodeCustomerKey(keyText, &key);

  const Response challenge = Exchange(kChallengeCommand.data(), kChallengeCommand.size());
  if (challenge.pcscResult != kScardSuccess) return TL_E_AUTH_EXCHANGE;
  // An answer without even a status word never came from the token: a
  // cryptogram made from the zero-filled buffer would only cost it a try.
  if (!challenge.Status()) return TL_E_AUTH_EXCHANGE;

  // The challenge's status word is not looked at: the first 8 bytes of the
  // zero-filled buffer are the challenge, however short the answer was.
  std::array<uint8_t, CRYPTOGRAM_LENGTH> block{};
  std::memcpy(block.data(), challenge.bytes.data(), CHALLENGE_LENGTH);
  std::array<uint8_t, CRYPTOGRAM_LENGTH> cryptogram{};
  WipeAtScopeEnd wipeCryptogram(cryptogram);
  std::size_t cryptogramLength = cryptogram.size();
  // Without a cryptogram the exchange cannot be completed; nothing more is sent.
  if (Sm4EcbCrypt(key.data(), block.data(), block.size(), cryptogram.data(), &cryptogramLength, kSm4Encrypt) != 0)
    return TL_E_AUTH_EXCHANGE;

  std::array<uint8_t, 5 + CRYPTOGRAM_LENGTH> authenticate = {CLA_PLAIN, INS_AUTHENTICATE, P1_AUTHENTICATE, P2_ANY,
                                                              CRYPTOGRAM_LENGTH};
  std::memcpy(authenticate.data() + 5, cryptogram.data(), cryptogram.size());
  const Response answer = Exchange(authenticate.data(), authenticate.size());
  report.After(answer);
  if (answer.pcscResult != kScardSuccess) return TL_E_AUTH_EXCHANGE;

  // An answer without a status word did not complete the exchange.
  const std::optional<uint16_t> status = answer.Status();
  if (!status) return TL_E_AUTH_EXCHANGE;
  return JudgeAuthentication(*status);
}

int32_t WriteSeed(const char* readerName, const char* keyText, const uint8_t* seed, int seedLength,
                  int algorithm, Delivery* delivery) {
  DeliveryReport report(delivery);
  if ((algorithm != kSeedAlgorithmSha1 && algorithm != kSeedAlgorithmSha256) || readerName == nullptr ||
      keyText == nullptr || seed == nullptr)
    return TL_E_BAD_PARAMETER;

  CardSessionScope session(readerName);
  if (!session.IsOpen()) return session.OpenResult();
  if (seedLength < 1 || seedLength > kMaxSeedLength) return TL_E_SEED_LENGTH;

  // A seed longer than the HMAC block becomes the key HMAC itself would use:
  // its digest, zero-filled to the block. Without the digest there is no
  // block to write (see result_codes.h for the code).
  std::vector<uint8_t> block;
  WipeAtScopeEnd wipeBlock(block);
  if (static_cast<std::size_t>(seedLength) > kHmacBlockLength) {
    block.assign(kHmacBlockLength, 0x00);
    if (!ComputeDigest(algorithm == kSeedAlgorithmSha1 ? kDigestSha1 : kDigestSha256, seed, seedLength,
                       block.data()))
      return TL_E_BAD_PARAMETER;
  } else {
    block.assign(seed, seed + seedLength);
  }
  std::vector<uint8_t> padded = PadIso9797M2(block.data(), block.size());
  WipeAtScopeEnd wipePadded(padded);

  KeyBytes key;
  WipeAtScopeEnd wipeKey(key);
  DecodeCustomerKey(keyText, &key);
  std::array<uint8_t, 512> ciphertext{};
  WipeAtScopeEnd wipeCiphertext(ciphertext);
  std::size_t ciphertextLength = ciphertext.size();
  if (Sm4EcbCrypt(key.data(), padded.data(), padded.size(), ciphertext.data(), &ciphertextLength, kSm4Encrypt) != 0)
    return TL_E_BAD_PARAMETER;

  std::vector<uint8_t> apdu =
      BuildProtectedApdu(key.data(), INS_SEED_WRITE, P1_SEED_WRITE, P2_ANY, ciphertext.data(), ciphertextLength);
  WipeAtScopeEnd wipeApdu(apdu);
  if (apdu.empty()) return TL_E_BAD_PARAMETER;
  const Response response = Exchange(apdu);
  report.After(response);
  if (response.pcscResult != kScardSuccess) return response.pcscResult;
  return response.Succeeded() ? TL_OK : TL_E_CARD_STATUS;
}

int32_t SealToken(const char* readerName, const char* keyText, Delivery* delivery) {
  DeliveryReport report(delivery);
  CardSessionScope session(readerName);
  if (!session.IsOpen()) return session.OpenResult();
  if (keyText == nullptr) return TL_E_BAD_PARAMETER;
  return SendProtected(keyText, INS_SEAL, P1_SEAL, nullptr, 0, report);
}

int32_t ConfigureToken(const char* readerName, const char* keyText, const char* algorithmName, int timeStep,
                       int displayTime, const char* dateTimeText, int tag22Value, Delivery* delivery) {
  DeliveryReport report(delivery);
  CardSessionScope session(readerName);
  if (!session.IsOpen()) return session.OpenResult();

  if (timeStep != -1 && timeStep != 30 && timeStep != 60) return TL_E_BAD_PARAMETER;
  int displayCode = -1;
  switch (displayTime) {
    case -1: break;
    case 15: displayCode = 0x00; break;
    case 30: displayCode = 0x01; break;
    case 60: displayCode = 0x02; break;
    case 120: displayCode = 0x03; break;
    default: return TL_E_BAD_PARAMETER;
  }
  int algorithmCode = -1;
  if (algorithmName != nullptr) {
    if (std::strcmp(algorithmName, "SHA1") == 0)
      algorithmCode = kSeedAlgorithmSha1;
    else if (std::strcmp(algorithmName, "SHA256") == 0)
      algorithmCode = kSeedAlgorithmSha256;
    else
      return TL_E_BAD_PARAMETER;
  }
  if (keyText == nullptr) return TL_E_BAD_PARAMETER;

  if (algorithmCode == -1 && timeStep == -1 && displayCode == -1 && dateTimeText == nullptr && tag22Value == -1)
    return TL_OK;

  std::vector<uint8_t> record = {TAG_RECORD, 0x00};
  if (displayCode != -1) record.insert(record.end(), {TAG_DISPLAY_TIME, 0x01, static_cast<uint8_t>(displayCode)});
  if (tag22Value != -1) record.insert(record.end(), {TAG_PARAM22, 0x01, static_cast<uint8_t>(tag22Value & 0xFF)});
  if (dateTimeText != nullptr) {
    uint32_t clock = 0;
    if (ParseDateTimeText(dateTimeText, std::strlen(dateTimeText), &clock) != 0) return TL_E_TIME_TEXT;
    record.insert(record.end(), {TAG_CLOCK, 0x04, 0, 0, 0, 0});
    PutUint32(clock, record.data() + record.size() - 4);
  }
  if (algorithmCode != -1 || timeStep != -1) {
    record.insert(record.end(), {TAG_OTP_CONTAINER, 0x00});
    const std::size_t containerLength = record.size() - 1;
    if (algorithmCode != -1) record.insert(record.end(), {TAG_ALGORITHM, 0x01, static_cast<uint8_t>(algorithmCode)});
    if (timeStep != -1) record.insert(record.end(), {TAG_TIME_STEP, 0x01, static_cast<uint8_t>(timeStep)});
    record[containerLength] = static_cast<uint8_t>(record.size() - containerLength - 1);
  }
  record[1] = static_cast<uint8_t>(record.size() - 2);

  return SendProtected(keyText, INS_PARAMETER, P1_PARAMETER, record.data(), record.size(), report);
}

}  // namespace tokenlink
