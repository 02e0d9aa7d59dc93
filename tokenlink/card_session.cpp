// The card session: open, one exchange at a time, close. Each thread that
// runs a command has a session of its own, and the reader's command lock makes
// the command own its reader from the open to the close: two commands never
// interleave their exchanges on one card (an authentication's challenge and
// cryptogram must follow each other), while commands on two readers run side
// by side, so that a slow token on one reader never holds up another's.
#include "card_session.h"

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "result_codes.h"
#include "token_commands.h"

namespace tokenlink {
namespace {

// The readers that a command holds, each until its command closes.
class ReaderLocks {
 public:
  void Acquire(const std::string& reader) {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [&] { return held_.count(reader) == 0; });
    held_.insert(reader);
  }

  void Release(const std::string& reader) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_.erase(reader);
    }
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> held_;
};

ReaderLocks g_readerLocks;
// The session of this thread's command, and the reader it holds. A close
// from a thread that did not open finds nothing to close, and an open nested
// inside a command of the same thread fails instead of waiting for itself.
thread_local CardSession t_session;
thread_local std::optional<std::string> t_heldReader;

// A thread that keeps its connection (see KeepCardConnection) leaves it open
// between commands: the reader's name it is for, and whether the command
// under way has not yet sent its first APDU on it.
thread_local bool t_keep = false;
thread_local std::optional<std::string> t_keptReader;
thread_local bool t_firstOnKept = false;

void Disconnect(PcscApi& pcsc) {
  if (t_session.card != 0) pcsc.Disconnect(t_session.card, kLeaveCard);
  if (t_session.context != 0) pcsc.ReleaseContext(t_session.context);
  t_session.card = 0;
  t_session.context = 0;
  t_session.activeProtocol = 0;
  t_keptReader.reset();
}

bool Connect(PcscApi& pcsc, const char* readerName) {
  PcscContext context = 0;
  if (pcsc.EstablishContext(kScopeSystem, &context) != kScardSuccess) return false;
  PcscCard card = 0;
  uint32_t protocol = 0;
  if (pcsc.Connect(context, readerName, kShareShared, kProtocolT0 | kProtocolT1, &card, &protocol) !=
      kScardSuccess) {
    pcsc.ReleaseContext(context);
    return false;
  }
  t_session.context = context;
  t_session.card = card;
  t_session.activeProtocol = protocol;
  return true;
}

// A kept connection whose card left, was swapped or reset, or whose service
// went away answers the first APDU with one of these, and the APDU did not
// reach any card: the command connects anew and sends it again.
bool IsStaleConnection(int32_t result) {
  switch (result) {
    case kScardWRemovedCard:
    case kScardWResetCard:
    case kScardWUnpoweredCard:
    case kScardEInvalidHandle:
    case kScardEReaderUnavailable:
    case kScardENoService:
    case kScardENoSmartcard:
    case kScardFCommError:
      return true;
    default:
      return false;
  }
}

void ClearSession() {
  t_session.context = 0;
  t_session.card = 0;
  t_session.activeProtocol = 0;
}

void ReleaseReader() {
  if (t_heldReader) g_readerLocks.Release(*t_heldReader);
  t_heldReader.reset();
}

}  // namespace

int32_t OpenCardSession(const char* readerName) {
  if (t_heldReader || readerName == nullptr) return TL_E_NO_DEVICE;
  t_heldReader = std::string(readerName);
  g_readerLocks.Acquire(*t_heldReader);

  PcscApi& pcsc = ActivePcsc();
  if (t_keptReader && *t_keptReader == readerName) {
    t_firstOnKept = true;
    return TL_OK;
  }
  Disconnect(pcsc);
  if (!Connect(pcsc, readerName)) {
    ClearSession();
    ReleaseReader();
    return TL_E_NO_DEVICE;
  }
  if (t_keep) t_keptReader = std::string(readerName);
  t_firstOnKept = false;
  return TL_OK;
}

int32_t CloseCardSession() {
  // Only the command that opened the session may close it.
  if (!t_heldReader) return 0;
  if (!t_keep || !t_keptReader) Disconnect(ActivePcsc());
  t_firstOnKept = false;
  ReleaseReader();
  return 0;
}

void KeepCardConnection(bool keep) {
  t_keep = keep;
  if (!keep && !t_heldReader) Disconnect(ActivePcsc());
}

int32_t TransmitApdu(const uint8_t* command, std::size_t commandLength, uint8_t* response,
                     std::size_t* responseLength) {
  if (command == nullptr || response == nullptr || responseLength == nullptr) return kScardEInvalidParameter;

  while (t_session.transmitLock.exchange(1, std::memory_order_acquire) == 1) std::this_thread::yield();

  PcscApi& pcsc = ActivePcsc();
  const std::size_t capacity = *responseLength;
  auto exchange = [&] {
    // T=0 only when the card said exactly T=0; every other value goes out as T=1.
    const uint32_t protocol = t_session.activeProtocol == kProtocolT0 ? kProtocolT0 : kProtocolT1;
    *responseLength = capacity;
    return pcsc.Transmit(t_session.card, protocol, command, commandLength, response, responseLength);
  };
  int32_t result = exchange();
  if (t_firstOnKept && t_heldReader && IsStaleConnection(result)) {
    // The command goes to the card in the field now, as on a connection of
    // its own; without one, it failed as a card that left does.
    Disconnect(pcsc);
    if (Connect(pcsc, t_heldReader->c_str())) {
      t_keptReader = *t_heldReader;
      result = exchange();
    } else {
      ClearSession();
      result = kScardWRemovedCard;
    }
  }
  t_firstOnKept = false;

  t_session.transmitLock.exchange(0, std::memory_order_release);
  return result;
}

const CardSession& CurrentCardSession() { return t_session; }

std::optional<uint16_t> StatusWord(const uint8_t* response, std::size_t length) {
  if (response == nullptr || length < 2) return std::nullopt;
  return static_cast<uint16_t>((response[length - 2] << 8) | response[length - 1]);
}

bool StatusIsSuccess(const uint8_t* response, std::size_t length) {
  return StatusWord(response, length) == SW_SUCCESS;
}

}  // namespace tokenlink
