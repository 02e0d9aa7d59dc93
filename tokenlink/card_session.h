// The one card session of the token link and the one routine through which
// every command APDU travels.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pcsc_api.h"

namespace tokenlink {

struct CardSession {
  PcscContext context = 0;
  PcscCard card = 0;
  uint32_t activeProtocol = 0;
  std::atomic<int32_t> transmitLock{0};
};

// Every exchange uses a zero-filled response buffer of this size.
constexpr std::size_t kResponseBufferSize = 1024;

// Opens the process-wide session on the reader. Takes the command lock, which
// is held until CloseCardSession (or released at once when the open fails), so
// that two commands never share the session. TL_OK or TL_E_NO_DEVICE.
int32_t OpenCardSession(const char* readerName);
// Closes the session and releases the command lock; always 0.
int32_t CloseCardSession();
// One exchange under the transmit lock; the PC/SC result, unchanged.
int32_t TransmitApdu(const uint8_t* command, std::size_t commandLength, uint8_t* response,
                     std::size_t* responseLength);

// Read-only view for tests: context and card are 0 while closed.
const CardSession& CurrentCardSession();

// True for a response that ends in 90 00 (and has a status word at all).
bool StatusIsSuccess(const uint8_t* response, std::size_t length);

}  // namespace tokenlink
