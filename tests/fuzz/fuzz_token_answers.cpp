// Every token command against a card that answers anything: the fuzz input
// picks the commands and their arguments and supplies each answer (any length,
// any status word, a failed transmission, a length beyond the buffer). Checked
// after each command: the session is closed, the result is one of the
// command's own codes, TL_OK only after a last answer of 90 00, and the texts
// of ReadTokenInfo fit their capacities.
//
// Input, read from the front:
//   per command   a selector byte (command = (byte & 7) % 6: read info, sync,
//                 authenticate, seed write, seal, configure; bit 3: T=0
//                 instead of T=1; bit 7: no card in the field), then its
//                 argument bytes;
//   per exchange  two bytes, big-endian: 0xFFFF the card left the field,
//                 0xFFFE another PC/SC failure, else the answer's length
//                 (modulo 1100; beyond 1024 the answer is cut to the buffer
//                 and the length over-reported), then the answer's bytes.
// When the input runs out, the card has left the field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "card_session.h"
#include "pcsc_api.h"
#include "result_codes.h"
#include "token_commands.h"

namespace {

using namespace tokenlink;

constexpr const char* kReader = "Fuzz Reader 00";
constexpr const char* kKey = "0123456789ABCDEFFEDCBA9876543210";
constexpr int32_t kScardENotTransacted = static_cast<int32_t>(0x80100016);
constexpr std::size_t kLongestCommand = 89;

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ == size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Up to count bytes, fewer when the input runs out.
  std::size_t Take(uint8_t* out, std::size_t count) {
    const std::size_t n = count < size_ - pos_ ? count : size_ - pos_;
    if (n > 0) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

// A reader whose card answers from the fuzz input.
class AnsweringPcsc : public PcscApi {
 public:
  void Start(Input* input) {
    input_ = input;
    contexts_ = cards_ = 0;
  }
  void NextCommand(bool cardPresent, uint32_t protocol) {
    cardPresent_ = cardPresent;
    protocol_ = protocol;
    exchanges = 0;
    lastAnswerWasSuccess = false;
  }

  int exchanges = 0;
  bool lastAnswerWasSuccess = false;
  int OpenHandles() const { return contexts_ + cards_; }

  int32_t EstablishContext(uint32_t, PcscContext* context) override {
    *context = 0x10;
    ++contexts_;
    return kScardSuccess;
  }
  int32_t ReleaseContext(PcscContext context) override {
    if (context != 0) --contexts_;
    return kScardSuccess;
  }
  int32_t ListReaders(PcscContext, char*, uint32_t*) override { return kScardENoReadersAvailable; }
  int32_t GetStatusChange(PcscContext, uint32_t, ReaderState*, std::size_t) override { return kScardETimeout; }
  int32_t Cancel(PcscContext) override { return kScardSuccess; }
  int32_t Connect(PcscContext, const char*, uint32_t, uint32_t, PcscCard* card, uint32_t* activeProtocol) override {
    if (!cardPresent_) return kScardENoSmartcard;
    *card = 0x20;
    *activeProtocol = protocol_;
    ++cards_;
    return kScardSuccess;
  }
  int32_t Disconnect(PcscCard card, uint32_t) override {
    if (card != 0) --cards_;
    return kScardSuccess;
  }
  int32_t Transmit(PcscCard, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override {
    // What the station sends is a well-formed short APDU of its protocol.
    Check(protocol == protocol_);
    Check(commandLength >= 5 && commandLength <= kLongestCommand);
    Check(commandLength == 5 || static_cast<std::size_t>(command[4]) + 5 == commandLength);
    Check(++exchanges <= 2);
    lastAnswerWasSuccess = false;

    if (input_->Empty()) return kScardWRemovedCard;
    const unsigned header = static_cast<unsigned>(input_->Byte()) << 8 | input_->Byte();
    if (header == 0xFFFF) return kScardWRemovedCard;
    if (header == 0xFFFE) return kScardENotTransacted;
    const std::size_t wanted = header % 1100;
    const std::size_t written = input_->Take(response, wanted < *responseLength ? wanted : *responseLength);
    // A driver that claims more than the buffer holds.
    *responseLength = wanted > *responseLength ? wanted : written;
    lastAnswerWasSuccess = written >= 2 && written == *responseLength && response[written - 2] == 0x90 &&
                           response[written - 1] == 0x00;
    return kScardSuccess;
  }

 private:
  Input* input_ = nullptr;
  bool cardPresent_ = true;
  uint32_t protocol_ = kProtocolT1;
  int contexts_ = 0;
  int cards_ = 0;
};

AnsweringPcsc g_pcsc;

bool IsPcscError(int32_t code) { return code == kScardWRemovedCard || code == kScardENotTransacted; }

bool OneOf(int32_t code, std::initializer_list<int32_t> codes) {
  for (int32_t c : codes)
    if (code == c) return true;
  return false;
}

// A date-time text: the station's own, none, or one from the input.
std::string DateTimeText(Input& input, bool* given) {
  const uint8_t choice = input.Byte();
  *given = choice % 4 != 0;
  if (choice % 4 == 1) return "2024/02/29/12/00/00";
  if (choice % 4 == 2) return "2099/12/31/23/59/59";
  char text[64] = {};
  input.Take(reinterpret_cast<uint8_t*>(text), choice % 48);
  return text;
}

void RunCommand(Input& input) {
  const uint8_t selector = input.Byte();
  g_pcsc.NextCommand((selector & 0x80) == 0, (selector & 0x08) != 0 ? kProtocolT0 : kProtocolT1);
  int32_t result = TL_OK;
  switch ((selector & 0x07) % 6) {
    case 0: {
      const std::size_t serialCapacity = input.Byte();
      const std::size_t clockCapacity = input.Byte() % 40;
      TokenInfo info;
      result = ReadTokenInfo(kReader, serialCapacity, clockCapacity, &info);
      Check(OneOf(result, {TL_OK, TL_E_NO_DEVICE, TL_E_CARD_STATUS, TL_E_BUFFER_SMALL}) || IsPcscError(result));
      if (result == TL_OK) {
        Check(info.serialNumber.size() <= serialCapacity && info.serialNumber.find('\0') == std::string::npos);
        Check(info.clockText.size() == 19 && info.clockText.size() <= clockCapacity);
      }
      break;
    }
    case 1: {
      const int tag22 = static_cast<int8_t>(input.Byte());
      bool given = false;
      const std::string text = DateTimeText(input, &given);
      result = SyncTokenClock(kReader, kKey, given ? text.c_str() : nullptr, tag22);
      Check(OneOf(result, {TL_OK, TL_E_NO_DEVICE, TL_E_TIME_TEXT, TL_E_BAD_PARAMETER, TL_E_CARD_STATUS}));
      break;
    }
    case 2: {
      const bool noKey = input.Byte() % 8 == 0;
      result = AuthenticateCustomerKey(kReader, noKey ? "" : kKey);
      Check(OneOf(result, {TL_OK, TL_E_NO_DEVICE, TL_E_NO_KEY, TL_E_AUTH_EXCHANGE, TL_E_AUTH_REJECTED,
                           TL_E_KEY_LOCKED}) ||
            IsAuthRetry(result));
      break;
    }
    case 3: {
      uint8_t seed[256];
      for (int i = 0; i < 256; ++i) seed[i] = static_cast<uint8_t>(i * 7 + 3);
      const int length = input.Byte();
      const int algorithm = input.Byte() % 4;
      result = WriteSeed(kReader, kKey, seed, length, algorithm);
      Check(OneOf(result, {TL_OK, TL_E_BAD_PARAMETER, TL_E_NO_DEVICE, TL_E_SEED_LENGTH, TL_E_CARD_STATUS}) ||
            IsPcscError(result));
      break;
    }
    case 4:
      result = SealToken(kReader, kKey);
      Check(OneOf(result, {TL_OK, TL_E_NO_DEVICE, TL_E_CARD_STATUS}));
      break;
    default: {
      static const char* const kAlgorithms[] = {nullptr, "SHA1", "SHA256", "MD5"};
      static const int kTimeSteps[] = {-1, 30, 60, 45};
      static const int kDisplayTimes[] = {-1, 15, 30, 60, 120, 45, -1, 30};
      const uint8_t choices = input.Byte();
      const int tag22 = static_cast<int8_t>(input.Byte());
      bool given = false;
      const std::string text = DateTimeText(input, &given);
      result = ConfigureToken(kReader, kKey, kAlgorithms[choices % 4], kTimeSteps[(choices >> 2) % 4],
                              kDisplayTimes[(choices >> 4) % 8], given ? text.c_str() : nullptr, tag22);
      Check(OneOf(result, {TL_OK, TL_E_NO_DEVICE, TL_E_BAD_PARAMETER, TL_E_TIME_TEXT, TL_E_CARD_STATUS}));
      break;
    }
  }

  const CardSession& session = CurrentCardSession();
  Check(session.context == 0 && session.card == 0 && g_pcsc.OpenHandles() == 0);
  // Success is only ever the token's 90 00 to the last command sent.
  if (result == TL_OK && g_pcsc.exchanges > 0) Check(g_pcsc.lastAnswerWasSuccess);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  UsePcsc(&g_pcsc);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Input input(data, size);
  g_pcsc.Start(&input);
  for (int command = 0; command < 8 && !input.Empty(); ++command) RunCommand(input);
  return 0;
}
