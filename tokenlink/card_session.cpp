// The process-wide card session: open, one exchange at a time, close. The
// command lock makes a command own the session from its open to its close; the
// transmit lock inside it keeps two exchanges from overlapping on the card.
#include "card_session.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "result_codes.h"
#include "token_commands.h"

namespace tokenlink {
namespace {

// Held from OpenCardSession to CloseCardSession. Not a std::mutex because its
// owner must be known: a close from a thread that did not open is ignored, and
// an open nested inside a command of the same thread fails instead of hanging.
class CommandLock {
 public:
  void Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [this] { return !held_; });
    held_ = true;
    owner_ = std::this_thread::get_id();
  }

  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
      owner_ = std::thread::id();
    }
    released_.notify_one();
  }

  bool HeldByThisThread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_ && owner_ == std::this_thread::get_id();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  std::thread::id owner_;
};

CardSession g_session;
CommandLock g_commandLock;

void ClearSession() {
  g_session.context = 0;
  g_session.card = 0;
  g_session.activeProtocol = 0;
}

}  // namespace

int32_t OpenCardSession(const char* readerName) {
  // A command that opens again before closing would wait for itself forever.
  if (g_commandLock.HeldByThisThread()) return TL_E_NO_DEVICE;
  g_commandLock.Acquire();

  if (readerName == nullptr) {
    g_commandLock.Release();
    return TL_E_NO_DEVICE;
  }

  PcscApi& pcsc = ActivePcsc();
  PcscContext context = 0;
  if (pcsc.EstablishContext(kScopeSystem, &context) != kScardSuccess) {
    ClearSession();
    g_commandLock.Release();
    return TL_E_NO_DEVICE;
  }

  PcscCard card = 0;
  uint32_t protocol = 0;
  if (pcsc.Connect(context, readerName, kShareShared, kProtocolT0 | kProtocolT1, &card, &protocol) !=
      kScardSuccess) {
    pcsc.ReleaseContext(context);
    ClearSession();
    g_commandLock.Release();
    return TL_E_NO_DEVICE;
  }

  g_session.context = context;
  g_session.card = card;
  g_session.activeProtocol = protocol;
  return TL_OK;
}

int32_t CloseCardSession() {
  // Only the command that opened the session may close it.
  if (!g_commandLock.HeldByThisThread()) return 0;

  PcscApi& pcsc = ActivePcsc();
  pcsc.Disconnect(g_session.card, kLeaveCard);
  g_session.card = 0;
  pcsc.ReleaseContext(g_session.context);
  g_session.context = 0;
  g_session.activeProtocol = 0;
  g_commandLock.Release();
  return 0;
}

int32_t TransmitApdu(const uint8_t* command, std::size_t commandLength, uint8_t* response,
                     std::size_t* responseLength) {
  if (command == nullptr || response == nullptr || responseLength == nullptr) return kScardEInvalidParameter;

  while (g_session.transmitLock.exchange(1, std::memory_order_acquire) == 1) std::this_thread::yield();

  // T=0 only when the card said exactly T=0; every other value goes out as T=1.
  const uint32_t protocol = g_session.activeProtocol == kProtocolT0 ? kProtocolT0 : kProtocolT1;
  const int32_t result =
      ActivePcsc().Transmit(g_session.card, protocol, command, commandLength, response, responseLength);

  g_session.transmitLock.exchange(0, std::memory_order_release);
  return result;
}

const CardSession& CurrentCardSession() { return g_session; }

std::optional<uint16_t> StatusWord(const uint8_t* response, std::size_t length) {
  if (response == nullptr || length < 2) return std::nullopt;
  return static_cast<uint16_t>((response[length - 2] << 8) | response[length - 1]);
}

bool StatusIsSuccess(const uint8_t* response, std::size_t length) {
  return StatusWord(response, length) == SW_SUCCESS;
}

}  // namespace tokenlink
