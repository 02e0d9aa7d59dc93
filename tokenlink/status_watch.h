// A PC/SC context of one thread's own, for waiting on reader events, that any
// other thread can wake. pcsc-lite's rules for such a wait live here:
// - one waiting call per context, so the waiting thread owns its context;
// - the context is released only by the waiting thread, after its wait has
//   ended: pcsc-lite's ReleaseContext of a context with a call waiting blocks
//   every other PC/SC call of the process, Cancel included;
// - Cancel ends only a wait in progress; a wake that comes before the wait
//   is kept here until the next Wait, and one that comes while pcsc-lite is
//   still setting the wait up can be lost: waits carry a time limit, and a
//   thread that must see the wake at once repeats it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "pcsc_api.h"

namespace tokenlink {

class StatusWatch {
 public:
  StatusWatch() = default;
  ~StatusWatch();
  StatusWatch(const StatusWatch&) = delete;
  StatusWatch& operator=(const StatusWatch&) = delete;

  // Waiting thread. Establishes the context unless one is open; the PC/SC
  // code of the establishing, or kScardSuccess.
  int32_t Open(uint32_t scope);
  bool IsOpen() const { return m_context != 0; }
  // Waiting thread: the open context, for the thread's other calls between
  // waits (listing readers, a presence probe).
  PcscContext Context() const { return m_context; }
  // Waiting thread: releases the context (after a failed wait, so that the
  // next Open makes a new one, e.g. once the service is back).
  void Close();

  // Waiting thread: GetStatusChange on the open context. kScardECancelled
  // when woken, before the wait or during it.
  int32_t Wait(uint32_t timeoutMs, ReaderState* states, std::size_t count);

  // Any thread: ends the wait in progress, or the next one.
  void Wake();

 private:
  std::mutex m_mutex;  // guards m_waiting, m_wake and the context against Cancel
  PcscContext m_context = 0;
  bool m_waiting = false;
  bool m_wake = false;
};

// Whether the service gives reader events on the PnP pseudo-reader: a look
// with timeout 0 that does not report it unknown (as an old pcscd does).
bool PnpNotificationSupported(PcscContext context);

}  // namespace tokenlink
