// An in-process PC/SC stack of emulated readers and tokens, behind the same
// seam as pcsc-lite, for unit and window tests. Error codes follow pcsc-lite.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pcsc_api.h"
#include "token_emulator.h"

namespace sim {

class EmulatedPcsc : public tokenlink::PcscApi {
 public:
  // All members are thread-safe.
  void AddReader(const std::string& name);
  void RemoveReader(const std::string& name);  // removes its token too
  void InsertToken(const std::string& reader, std::shared_ptr<TokenEmulator> token);
  void RemoveToken(const std::string& reader);  // powers the token off
  std::shared_ptr<TokenEmulator> TokenIn(const std::string& reader) const;
  void SetServiceRunning(bool running);  // stopped: EstablishContext fails with SCARD_E_NO_SERVICE
  // The protocol Connect reports for this reader (kProtocolT1 unless set).
  void SetActiveProtocol(const std::string& reader, uint32_t protocol);
  // Power the token off when the last card handle on its reader closes, as
  // pcscd does shortly after a card goes idle. Off unless set.
  void SetPowerOffWhenIdle(bool enabled);

  // Another program holds the reader's card exclusively: Connect fails with
  // SCARD_E_SHARING_VIOLATION until released.
  void SetHeldByAnotherProgram(const std::string& reader, bool held);

  // The n-th APDU from now on this reader (1 = the next) fails as a pulled
  // card does: SCARD_W_REMOVED_CARD, not delivered, and the token leaves the
  // field. 0 clears it.
  void PullCardAtApdu(const std::string& reader, int n);
  // The n-th APDU from now on this reader (1 = the next) reaches the token,
  // which carries it out, but its answer is lost: with the card staying, the
  // transmit fails with SCARD_E_COMM_DATA_LOST; with cardLeaves, the token
  // leaves the field right after and the transmit fails as for a pulled card.
  // 0 clears it.
  void LoseAnswerAtApdu(const std::string& reader, int n, bool cardLeaves);

  // Right after the n-th APDU from now on this reader (1 = the next) is
  // answered, another token takes the place of the one in the field, as an
  // operator's quick hand does between two commands (taken off any other
  // reader first). Counted in SwapsDone. 0 clears it.
  void SwapTokenAfterApdu(const std::string& reader, int n, std::shared_ptr<TokenEmulator> token);
  int SwapsDone() const;

  // Every APDU transmitted to the reader, in order (a pulled one included),
  // and the protocol each was sent with.
  std::vector<std::vector<uint8_t>> SentApdus(const std::string& reader) const;
  std::vector<uint32_t> SentProtocols(const std::string& reader) const;
  void ClearSentApdus(const std::string& reader);

  // Off: a pcscd that does not know the PnP pseudo-reader (see
  // GetStatusChange below). On unless set.
  void SetPnpNotification(bool supported);

  int OpenContexts() const;
  int OpenCards() const;
  // GetStatusChange calls in progress, for a test that acts while one waits.
  int WaitingCalls() const;

  // tokenlink::PcscApi
  int32_t EstablishContext(uint32_t scope, tokenlink::PcscContext* context) override;
  int32_t ReleaseContext(tokenlink::PcscContext context) override;
  int32_t ListReaders(tokenlink::PcscContext context, char* multiString, uint32_t* length) override;
  int32_t Connect(tokenlink::PcscContext context, const char* reader, uint32_t shareMode,
                  uint32_t preferredProtocols, tokenlink::PcscCard* card, uint32_t* activeProtocol) override;
  int32_t Disconnect(tokenlink::PcscCard card, uint32_t disposition) override;
  int32_t Transmit(tokenlink::PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override;

  // Reports each reader as pcsc-lite 1.9 (Debian 12's) does, so that a
  // monitor built on this stack behaves the same on pcscd:
  // - EMPTY or PRESENT, with the reader's count of insertions and removals in
  //   the upper 16 bits; INUSE while any card handle is open on a present
  //   token (the caller's own too: pcscd does not tell whose); EXCLUSIVE
  //   while another program holds the reader.
  // - CHANGED by pcsc-lite's rules, which are not symmetric: from UNAWARE
  //   always; EMPTY <-> PRESENT; a count in currentState (non-zero) that is
  //   not the reader's; UNKNOWN in currentState for a reader that is back;
  //   INUSE or EXCLUSIVE that went away, or EXCLUSIVE <-> INUSE. INUSE
  //   appearing alone is no change.
  // - A reader name it does not know fails the call with
  //   SCARD_E_UNKNOWN_READER; a reader removed during the wait reports
  //   UNKNOWN|UNAVAILABLE, with CHANGED unless currentState has UNKNOWN.
  // - The PnP pseudo-reader reports CHANGED once the set of readers changed
  //   during the call, and no count (pcsc-lite 1.9 keeps none). With
  //   SetPnpNotification(false) it is an unknown reader as a pcscd without
  //   PnP support reports one: UNKNOWN|UNAVAILABLE at once, with CHANGED
  //   unless currentState has UNKNOWN; so it never changes after that. This
  //   is what pcsc-tools' pcsc_scan looks for (a call with timeout 0) before
  //   it relies on reader events.
  // The wait ends with SCARD_E_TIMEOUT, SCARD_E_CANCELLED (Cancel), or
  // SCARD_F_COMM_ERROR when the service stops during it (pcscd's socket
  // closes); a stopped service fails the call with SCARD_E_NO_SERVICE.
  // ReleaseContext of a context with a call waiting blocks until that call
  // ends, as in pcsc-lite; there it also holds the library's global lock
  // meanwhile, so that not even Cancel gets through and the process hangs.
  // More than kMaxReaderStates entries fail with SCARD_E_INVALID_PARAMETER.
  int32_t GetStatusChange(tokenlink::PcscContext context, uint32_t timeoutMs, tokenlink::ReaderState* states,
                          std::size_t count) override;
  int32_t Cancel(tokenlink::PcscContext context) override;

 private:
  struct Reader {
    std::string name;
    std::shared_ptr<TokenEmulator> token;
    uint64_t insertion = 0;  // changes with every insertion and removal
    uint32_t events = 0;     // insertions and removals, as pcscd counts them
    uint32_t protocol = tokenlink::kProtocolT1;
    bool heldElsewhere = false;
    int pullAt = 0;
    int loseAt = 0;
    bool loseLeaves = false;
    int swapAfter = 0;
    std::shared_ptr<TokenEmulator> swapIn;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<uint32_t> sentProtocols;
  };
  struct CardHandle {
    tokenlink::PcscContext context;
    std::string reader;
    uint64_t insertion;
  };

  // The GetStatusChange calls waiting on one context.
  struct Waits {
    int calls = 0;
    uint64_t cancels = 0;  // Cancel calls while one waited
  };

  // The caller holds the lock in each of these.
  Reader* FindReader(const std::string& name);
  const Reader* FindReader(const std::string& name) const;
  void TakeTokenOut(Reader& reader);
  void PowerOffIfIdle(const std::string& readerName);
  void SwapIfDue(Reader& reader);
  bool HasCardHandle(const std::string& readerName) const;
  uint32_t EventState(const tokenlink::ReaderState& entry, bool readerListChanged) const;
  // Wakes every waiting GetStatusChange to look again: called on every change
  // a reader state or the end of a wait depends on.
  void Changed() { m_changed.notify_all(); }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_running = true;
  bool m_powerOffWhenIdle = false;
  bool m_pnpNotification = true;
  uint64_t m_readerListVersion = 0;  // changes with every reader added or removed
  uint64_t m_serviceStops = 0;
  int m_swapsDone = 0;
  std::vector<Reader> m_readers;
  std::set<tokenlink::PcscContext> m_contexts;
  std::map<tokenlink::PcscCard, CardHandle> m_cards;
  std::map<tokenlink::PcscContext, Waits> m_waits;
  uintptr_t m_nextHandle = 0x1000;
};

}  // namespace sim
