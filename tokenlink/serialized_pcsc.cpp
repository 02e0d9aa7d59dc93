#include "serialized_pcsc.h"

namespace tokenlink {

void SerializedPcsc::ListsLock::LockShared() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait(lock, [this] { return !m_alone && m_waitingAlone == 0; });
  ++m_sharers;
}

void SerializedPcsc::ListsLock::UnlockShared() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--m_sharers == 0) m_changed.notify_all();
}

void SerializedPcsc::ListsLock::Lock() {
  std::unique_lock<std::mutex> lock(m_mutex);
  ++m_waitingAlone;
  m_changed.wait(lock, [this] { return !m_alone && m_sharers == 0; });
  --m_waitingAlone;
  m_alone = true;
}

void SerializedPcsc::ListsLock::Unlock() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_alone = false;
  m_changed.notify_all();
}

int32_t SerializedPcsc::EstablishContext(uint32_t scope, PcscContext* context) {
  Alone alone(m_lock);
  return m_inner.EstablishContext(scope, context);
}

int32_t SerializedPcsc::ReleaseContext(PcscContext context) {
  Alone alone(m_lock);
  return m_inner.ReleaseContext(context);
}

int32_t SerializedPcsc::ListReaders(PcscContext context, char* multiString, uint32_t* length) {
  Shared shared(m_lock);
  return m_inner.ListReaders(context, multiString, length);
}

int32_t SerializedPcsc::Connect(PcscContext context, const char* reader, uint32_t shareMode,
                                uint32_t preferredProtocols, PcscCard* card, uint32_t* activeProtocol) {
  Alone alone(m_lock);
  return m_inner.Connect(context, reader, shareMode, preferredProtocols, card, activeProtocol);
}

int32_t SerializedPcsc::Disconnect(PcscCard card, uint32_t disposition) {
  Alone alone(m_lock);
  return m_inner.Disconnect(card, disposition);
}

int32_t SerializedPcsc::Transmit(PcscCard card, uint32_t protocol, const uint8_t* command,
                                 std::size_t commandLength, uint8_t* response, std::size_t* responseLength) {
  Shared shared(m_lock);
  return m_inner.Transmit(card, protocol, command, commandLength, response, responseLength);
}

// A wait runs outside the lock: held for as long as a monitor waits for a
// token, it would stop every other thread's PC/SC call, and the Cancel meant
// to end the wait could never get in. pcsc-lite guards what a wait shares
// with other threads (its list of contexts, the reader states) with locks of
// its own, and Cancel is made to be called from another thread while one
// waits.
int32_t SerializedPcsc::GetStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState* states,
                                        std::size_t count) {
  return m_inner.GetStatusChange(context, timeoutMs, states, count);
}

int32_t SerializedPcsc::Cancel(PcscContext context) { return m_inner.Cancel(context); }

}  // namespace tokenlink
