// The token link's card session (one a thread, for the command it runs) and
// the one routine through which every command APDU travels.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

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

// Opens this thread's session on the reader. Takes the reader's command lock,
// which is held until CloseCardSession (or released at once when the open
// fails), so that two commands never interleave on one reader; commands on
// other readers go on meanwhile. TL_OK or TL_E_NO_DEVICE.
int32_t OpenCardSession(const char* readerName);
// Closes this thread's session and releases its reader; always 0. A thread
// that keeps its connection leaves it open for its next command.
int32_t CloseCardSession();
// One exchange on this thread's session, under its transmit lock; the PC/SC
// result, unchanged. On a kept connection, a first exchange that finds the
// connection stale (the card left or was swapped since: nothing reached a
// card) is sent again on a new connection to the card in the field.
int32_t TransmitApdu(const uint8_t* command, std::size_t commandLength, uint8_t* response,
                     std::size_t* responseLength);

// From now on this thread's commands leave their connection to the reader
// open for the next command on the same reader (a production worker that
// runs one command after another on its reader), so that its card stays
// powered between them and the connection is not made anew for every
// command; false closes it. Call it between commands.
void KeepCardConnection(bool keep);

// Read-only view of this thread's session for tests: context and card are 0
// while closed.
const CardSession& CurrentCardSession();

// SW1 SW2 of a response (its last two bytes), or nothing when fewer than two
// bytes arrived.
std::optional<uint16_t> StatusWord(const uint8_t* response, std::size_t length);

// True for a response that ends in 90 00 (and has a status word at all).
bool StatusIsSuccess(const uint8_t* response, std::size_t length);

// Opens the session for the lifetime of one command and closes it on every
// way out, so that no return path can leave the session or the command lock
// held.
class CardSessionScope {
 public:
  explicit CardSessionScope(const char* readerName) : result_(OpenCardSession(readerName)) {}
  ~CardSessionScope() {
    if (result_ == 0) CloseCardSession();
  }
  CardSessionScope(const CardSessionScope&) = delete;
  CardSessionScope& operator=(const CardSessionScope&) = delete;

  // The result of the open: TL_OK or TL_E_NO_DEVICE.
  int32_t OpenResult() const { return result_; }
  bool IsOpen() const { return result_ == 0; }

 private:
  int32_t result_;
};

}  // namespace tokenlink
