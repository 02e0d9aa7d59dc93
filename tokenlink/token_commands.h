// The token's command set: information and clock, customer-key authentication,
// configuration, seed write and seal. Each command opens the card session on the
// reader it is given, performs one or two exchanges and closes it again.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "result_codes.h"
#include "token_clock.h"
#include "token_protocol.h"

namespace tokenlink {

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
