// pcsc-lite's client library keeps every context's card handles in lists
// that a call on any context walks to find its handle, while connect,
// disconnect and the release of a context change them without the lock the
// walk takes: a disconnect on one thread while another thread's call looks
// up its handle can crash inside the library. Every call to the system's
// PC/SC goes through this wrapper (SystemPcsc() is wrapped in it): the calls
// that change those lists (and the making of a context) run alone, the
// others (an exchange, a listing) side by side, so that one reader's slow
// exchange does not hold up another reader's. A call that changes the lists
// waits for the exchanges under way and goes before any that start after
// it. GetStatusChange and Cancel take no lock at all: see
// serialized_pcsc.cpp.
#pragma once
#include <condition_variable>
#include <mutex>

#include "pcsc_api.h"

namespace tokenlink {

class SerializedPcsc final : public PcscApi {
 public:
  explicit SerializedPcsc(PcscApi& inner) : m_inner(inner) {}

  int32_t EstablishContext(uint32_t scope, PcscContext* context) override;
  int32_t ReleaseContext(PcscContext context) override;
  int32_t ListReaders(PcscContext context, char* multiString, uint32_t* length) override;
  int32_t Connect(PcscContext context, const char* reader, uint32_t shareMode, uint32_t preferredProtocols,
                  PcscCard* card, uint32_t* activeProtocol) override;
  int32_t Disconnect(PcscCard card, uint32_t disposition) override;
  int32_t Transmit(PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override;
  int32_t GetStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState* states,
                          std::size_t count) override;
  int32_t Cancel(PcscContext context) override;

 private:
  // Shared by the calls that only look their handle up, held alone by those
  // that change the lists; a caller waiting to hold it alone keeps new
  // sharers out, so that it is not starved by overlapping exchanges.
  class ListsLock {
   public:
    void LockShared();
    void UnlockShared();
    void Lock();
    void Unlock();

   private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_sharers = 0;
    int m_waitingAlone = 0;
    bool m_alone = false;
  };
  struct Shared {
    explicit Shared(ListsLock& lock) : m_lock(lock) { m_lock.LockShared(); }
    ~Shared() { m_lock.UnlockShared(); }
    ListsLock& m_lock;
  };
  struct Alone {
    explicit Alone(ListsLock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~Alone() { m_lock.Unlock(); }
    ListsLock& m_lock;
  };

  PcscApi& m_inner;
  ListsLock m_lock;
};

}  // namespace tokenlink
