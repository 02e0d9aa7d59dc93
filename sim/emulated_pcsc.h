// An in-process PC/SC stack of emulated readers and tokens, behind the same
// seam as pcsc-lite, for unit and window tests. Error codes follow pcsc-lite.
#pragma once
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

  // Every APDU transmitted to the reader, in order (a pulled one included),
  // and the protocol each was sent with.
  std::vector<std::vector<uint8_t>> SentApdus(const std::string& reader) const;
  std::vector<uint32_t> SentProtocols(const std::string& reader) const;
  void ClearSentApdus(const std::string& reader);

  int OpenContexts() const;
  int OpenCards() const;

  // tokenlink::PcscApi
  int32_t EstablishContext(uint32_t scope, tokenlink::PcscContext* context) override;
  int32_t ReleaseContext(tokenlink::PcscContext context) override;
  int32_t ListReaders(tokenlink::PcscContext context, char* multiString, uint32_t* length) override;
  int32_t Connect(tokenlink::PcscContext context, const char* reader, uint32_t shareMode,
                  uint32_t preferredProtocols, tokenlink::PcscCard* card, uint32_t* activeProtocol) override;
  int32_t Disconnect(tokenlink::PcscCard card, uint32_t disposition) override;
  int32_t Transmit(tokenlink::PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override;

 private:
  struct Reader {
    std::string name;
    std::shared_ptr<TokenEmulator> token;
    uint64_t insertion = 0;  // changes with every insertion and removal
    uint32_t protocol = tokenlink::kProtocolT1;
    bool heldElsewhere = false;
    int pullAt = 0;
    int loseAt = 0;
    bool loseLeaves = false;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<uint32_t> sentProtocols;
  };
  struct CardHandle {
    tokenlink::PcscContext context;
    std::string reader;
    uint64_t insertion;
  };

  Reader* FindReader(const std::string& name);
  const Reader* FindReader(const std::string& name) const;
  void TakeTokenOut(Reader& reader);  // caller holds the lock
  void PowerOffIfIdle(const std::string& readerName);  // caller holds the lock

  mutable std::mutex m_mutex;
  bool m_running = true;
  bool m_powerOffWhenIdle = false;
  std::vector<Reader> m_readers;
  std::set<tokenlink::PcscContext> m_contexts;
  std::map<tokenlink::PcscCard, CardHandle> m_cards;
  uintptr_t m_nextHandle = 0x1000;
};

}  // namespace sim
