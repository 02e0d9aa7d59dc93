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

// What became of a command on the wire, for the callers that must know
// whether the token may have acted on it: never sent (the session did not
// open, or the command could not be made), answered (the result is the
// token's verdict), or sent without a usable answer (the token may have
// carried it out). An authentication counts as sent once its cryptogram has
// left; the challenge alone changes nothing in the token that matters.
enum class Delivery { NotSent, Answered, AnswerLost };

struct TokenInfo {
  std::string serialNumber;  // byte for byte from the token
  std::string clockText;     // "%04d-%02d-%02d %02d:%02d:%02d", UTC
};

int32_t ReadTokenInfo(const char* readerName, std::size_t serialCapacity, std::size_t clockCapacity,
                      TokenInfo* info);

// tag22Value: -1 leaves the item out; 0 or 3..15 send it.
int32_t SyncTokenClock(const char* readerName, const char* keyText, const char* dateTimeText,
                       int tag22Value, Delivery* delivery = nullptr);

int32_t AuthenticateCustomerKey(const char* readerName, const char* keyText, Delivery* delivery = nullptr);

constexpr int kSeedAlgorithmSha1 = 1;
constexpr int kSeedAlgorithmSha256 = 2;
int32_t WriteSeed(const char* readerName, const char* keyText, const uint8_t* seed, int seedLength,
                  int algorithm, Delivery* delivery = nullptr);

int32_t SealToken(const char* readerName, const char* keyText, Delivery* delivery = nullptr);

// algorithmName nullptr, timeStep -1, displayTime -1, dateTimeText nullptr and
// tag22Value -1 each leave their item out.
int32_t ConfigureToken(const char* readerName, const char* keyText, const char* algorithmName, int timeStep,
                       int displayTime, const char* dateTimeText, int tag22Value,
                       Delivery* delivery = nullptr);

}  // namespace tokenlink
