// Result codes of the token commands: one 32-bit code per command, 0 for success.
//
// A libcrypto step that fails (the digest of a long seed, the SM4 cipher, the
// MAC) stops a command before its APDU is sent, and the command reports it with
// a code from its own table, never with TL_OK:
//   WriteSeed                  TL_E_BAD_PARAMETER: the seed could not be made
//                              into a command (the table has no closer code);
//   AuthenticateCustomerKey    TL_E_AUTH_EXCHANGE: the exchange could not be
//                              completed (the cryptogram is not sent);
//   SyncTokenClock, ConfigureToken, SealToken
//                              TL_E_CARD_STATUS, as for a command that could not
//                              be transmitted.
#pragma once
#include <cstdint>

namespace tokenlink {

constexpr int32_t TL_OK = 0;
constexpr int32_t TL_E_CARD_STATUS = 1;
constexpr int32_t TL_E_NO_DEVICE = 2;
constexpr int32_t TL_E_NO_KEY = 0x1001;
constexpr int32_t TL_E_AUTH_REJECTED = 0x1002;
constexpr int32_t TL_E_SEED_LENGTH = 0x1004;
constexpr int32_t TL_E_BAD_PARAMETER = 0x1006;
constexpr int32_t TL_E_KEY_LOCKED = 0x1007;
constexpr int32_t TL_E_AUTH_EXCHANGE = 0x1008;
// 0x10C0 + n: wrong cryptogram, n tries left (status word 63 Cn).
constexpr int32_t TL_E_AUTH_RETRY = 0x10C0;
constexpr int32_t TL_E_TIME_TEXT = 0x2001;
constexpr int32_t TL_E_BUFFER_SMALL = 0x2002;

constexpr bool IsAuthRetry(int32_t code) { return (code & ~0x0F) == TL_E_AUTH_RETRY; }

}  // namespace tokenlink
