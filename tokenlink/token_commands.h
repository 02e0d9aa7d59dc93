// The token's command set: information and clock, customer-key authentication,
// configuration, seed write and seal. Each command opens the card session on the
// reader it is given, performs one or two exchanges and closes it again.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "result_codes.h"
#include "token_clock.h"

namespace tokenlink {

// Instruction bytes and status words of the token protocol.
constexpr uint8_t CLA_PLAIN = 0x80;
constexpr uint8_t CLA_PROTECTED = 0x84;
constexpr uint8_t INS_READ_INFO = 0x41;
constexpr uint8_t INS_CHALLENGE = 0x4B;
constexpr uint8_t INS_AUTHENTICATE = 0xCE;
constexpr uint8_t INS_PARAMETER = 0xD4;
constexpr uint8_t INS_SEED_WRITE = 0xC5;
constexpr uint8_t INS_SEAL = 0xC7;
constexpr uint16_t SW_SUCCESS = 0x9000;
constexpr uint16_t SW_KEY_BLOCKED = 0x6983;

// Tags of the parameter record (INS_PARAMETER).
constexpr uint8_t TAG_RECORD = 0x81;
constexpr uint8_t TAG_CLOCK = 0x0F;
constexpr uint8_t TAG_PARAM22 = 0x22;
constexpr uint8_t TAG_DISPLAY_TIME = 0x1F;
constexpr uint8_t TAG_OTP_CONTAINER = 0x86;
constexpr uint8_t TAG_ALGORITHM = 0x0A;
constexpr uint8_t TAG_TIME_STEP = 0x0D;

struct TokenInfo {
  std::string serialNumber;  // byte for byte from the token
  std::string clockText;     // "%04d-%02d-%02d %02d:%02d:%02d", UTC
};

int32_t ReadTokenInfo(const char* readerName, std::size_t serialCapacity, std::size_t clockCapacity,
                      TokenInfo* info);

// tag22Value: -1 leaves the item out; 0 or 3..15 send it.
int32_t SyncTokenClock(const char* readerName, const char* keyText, const char* dateTimeText,
                       int tag22Value);

int32_t AuthenticateCustomerKey(const char* readerName, const char* keyText);

constexpr int kSeedAlgorithmSha1 = 1;
constexpr int kSeedAlgorithmSha256 = 2;
int32_t WriteSeed(const char* readerName, const char* keyText, const uint8_t* seed, int seedLength,
                  int algorithm);

int32_t SealToken(const char* readerName, const char* keyText);

// algorithmName nullptr, timeStep -1, displayTime -1, dateTimeText nullptr and
// tag22Value -1 each leave their item out.
int32_t ConfigureToken(const char* readerName, const char* keyText, const char* algorithmName, int timeStep,
                       int displayTime, const char* dateTimeText, int tag22Value);

}  // namespace tokenlink
