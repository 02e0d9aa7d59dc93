#include "status_watch.h"

namespace tokenlink {

StatusWatch::~StatusWatch() { Close(); }

int32_t StatusWatch::Open(uint32_t scope) {
  if (m_context != 0) return kScardSuccess;
  PcscContext context = 0;
  const int32_t rc = ActivePcsc().EstablishContext(scope, &context);
  if (rc != kScardSuccess) return rc;
  std::lock_guard lock(m_mutex);
  m_context = context;
  return rc;
}

void StatusWatch::Close() {
  PcscContext context = 0;
  {
    std::lock_guard lock(m_mutex);
    context = m_context;
    m_context = 0;
  }
  if (context != 0) ActivePcsc().ReleaseContext(context);
}

int32_t StatusWatch::Wait(uint32_t timeoutMs, ReaderState* states, std::size_t count) {
  {
    std::lock_guard lock(m_mutex);
    if (m_wake) {
      m_wake = false;
      return kScardECancelled;
    }
    if (m_context == 0) return kScardEInvalidHandle;
    m_waiting = true;
  }
  const int32_t rc = ActivePcsc().GetStatusChange(m_context, timeoutMs, states, count);
  std::lock_guard lock(m_mutex);
  m_waiting = false;
  // A wake that came during the wait is spent by it, whatever ended it.
  const bool woken = m_wake;
  m_wake = false;
  return woken && rc != kScardSuccess ? kScardECancelled : rc;
}

void StatusWatch::Wake() {
  std::lock_guard lock(m_mutex);
  m_wake = true;
  if (m_waiting && m_context != 0) ActivePcsc().Cancel(m_context);
}

bool PnpNotificationSupported(PcscContext context) {
  ReaderState pnp{kPnpNotification};
  const int32_t rc = ActivePcsc().GetStatusChange(context, 0, &pnp, 1);
  return (rc == kScardSuccess || rc == kScardETimeout) && (pnp.eventState & kStateUnknown) == 0;
}

}  // namespace tokenlink
