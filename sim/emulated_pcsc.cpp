// In-process readers and tokens behind the PC/SC seam.
#include "emulated_pcsc.h"

#include <algorithm>
#include <cstring>

namespace sim {

using tokenlink::PcscCard;
using tokenlink::PcscContext;

EmulatedPcsc::Reader* EmulatedPcsc::FindReader(const std::string& name) {
  auto it = std::find_if(m_readers.begin(), m_readers.end(), [&](const Reader& r) { return r.name == name; });
  return it == m_readers.end() ? nullptr : &*it;
}

const EmulatedPcsc::Reader* EmulatedPcsc::FindReader(const std::string& name) const {
  return const_cast<EmulatedPcsc*>(this)->FindReader(name);
}

void EmulatedPcsc::AddReader(const std::string& name) {
  std::lock_guard lock(m_mutex);
  if (FindReader(name) == nullptr) {
    Reader reader;
    reader.name = name;
    m_readers.push_back(std::move(reader));
  }
}

void EmulatedPcsc::RemoveReader(const std::string& name) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(name)) {
    TakeTokenOut(*reader);
    m_readers.erase(m_readers.begin() + (reader - m_readers.data()));
  }
}

void EmulatedPcsc::TakeTokenOut(Reader& reader) {
  if (reader.token) reader.token->PowerOff();
  reader.token.reset();
  reader.pullAt = 0;
  reader.loseAt = 0;
  ++reader.insertion;
}

void EmulatedPcsc::InsertToken(const std::string& readerName, std::shared_ptr<TokenEmulator> token) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) {
    TakeTokenOut(*reader);
    reader->token = std::move(token);
  }
}

void EmulatedPcsc::RemoveToken(const std::string& readerName) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) TakeTokenOut(*reader);
}

std::shared_ptr<TokenEmulator> EmulatedPcsc::TokenIn(const std::string& readerName) const {
  std::lock_guard lock(m_mutex);
  const Reader* reader = FindReader(readerName);
  return reader ? reader->token : nullptr;
}

void EmulatedPcsc::SetServiceRunning(bool running) {
  std::lock_guard lock(m_mutex);
  m_running = running;
}

void EmulatedPcsc::SetActiveProtocol(const std::string& readerName, uint32_t protocol) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) reader->protocol = protocol;
}

void EmulatedPcsc::SetPowerOffWhenIdle(bool enabled) {
  std::lock_guard lock(m_mutex);
  m_powerOffWhenIdle = enabled;
}

void EmulatedPcsc::SetHeldByAnotherProgram(const std::string& readerName, bool held) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) reader->heldElsewhere = held;
}

void EmulatedPcsc::PullCardAtApdu(const std::string& readerName, int n) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) reader->pullAt = std::max(n, 0);
}

void EmulatedPcsc::LoseAnswerAtApdu(const std::string& readerName, int n, bool cardLeaves) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) {
    reader->loseAt = std::max(n, 0);
    reader->loseLeaves = cardLeaves;
  }
}

std::vector<std::vector<uint8_t>> EmulatedPcsc::SentApdus(const std::string& readerName) const {
  std::lock_guard lock(m_mutex);
  const Reader* reader = FindReader(readerName);
  return reader ? reader->sent : std::vector<std::vector<uint8_t>>{};
}

std::vector<uint32_t> EmulatedPcsc::SentProtocols(const std::string& readerName) const {
  std::lock_guard lock(m_mutex);
  const Reader* reader = FindReader(readerName);
  return reader ? reader->sentProtocols : std::vector<uint32_t>{};
}

void EmulatedPcsc::ClearSentApdus(const std::string& readerName) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) {
    reader->sent.clear();
    reader->sentProtocols.clear();
  }
}

int EmulatedPcsc::OpenContexts() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_contexts.size());
}

int EmulatedPcsc::OpenCards() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_cards.size());
}

int32_t EmulatedPcsc::EstablishContext(uint32_t /*scope*/, PcscContext* context) {
  std::lock_guard lock(m_mutex);
  if (context == nullptr) return static_cast<int32_t>(0x80100004);  // SCARD_E_INVALID_PARAMETER
  if (!m_running) return tokenlink::kScardENoService;
  *context = m_nextHandle++;
  m_contexts.insert(*context);
  return tokenlink::kScardSuccess;
}

int32_t EmulatedPcsc::ReleaseContext(PcscContext context) {
  std::lock_guard lock(m_mutex);
  if (m_contexts.erase(context) == 0) return tokenlink::kScardEInvalidHandle;
  // Releasing a context also releases the cards connected through it.
  std::set<std::string> touched;
  for (auto it = m_cards.begin(); it != m_cards.end();) {
    if (it->second.context == context) {
      touched.insert(it->second.reader);
      it = m_cards.erase(it);
    } else {
      ++it;
    }
  }
  for (const std::string& reader : touched) PowerOffIfIdle(reader);
  return tokenlink::kScardSuccess;
}

int32_t EmulatedPcsc::ListReaders(PcscContext context, char* multiString, uint32_t* length) {
  std::lock_guard lock(m_mutex);
  if (length == nullptr) return static_cast<int32_t>(0x80100004);
  if (!m_contexts.contains(context)) return tokenlink::kScardEInvalidHandle;
  if (!m_running) return tokenlink::kScardENoService;
  if (m_readers.empty()) return tokenlink::kScardENoReadersAvailable;
  std::string names;
  for (const Reader& reader : m_readers) {
    names += reader.name;
    names.push_back('\0');
  }
  names.push_back('\0');
  const auto needed = static_cast<uint32_t>(names.size());
  if (multiString == nullptr) {
    *length = needed;
    return tokenlink::kScardSuccess;
  }
  if (*length < needed) {
    *length = needed;
    return tokenlink::kScardEInsufficientBuffer;
  }
  std::memcpy(multiString, names.data(), names.size());
  *length = needed;
  return tokenlink::kScardSuccess;
}

int32_t EmulatedPcsc::Connect(PcscContext context, const char* readerName, uint32_t /*shareMode*/,
                              uint32_t preferredProtocols, PcscCard* card, uint32_t* activeProtocol) {
  std::lock_guard lock(m_mutex);
  if (card == nullptr || activeProtocol == nullptr) return static_cast<int32_t>(0x80100004);
  if (!m_contexts.contains(context)) return tokenlink::kScardEInvalidHandle;
  if (!m_running) return tokenlink::kScardENoService;
  if (readerName == nullptr) return tokenlink::kScardEUnknownReader;
  Reader* reader = FindReader(readerName);
  if (reader == nullptr) return tokenlink::kScardEUnknownReader;
  if (reader->heldElsewhere) return tokenlink::kScardESharingViolation;
  if (!reader->token) return tokenlink::kScardENoSmartcard;
  if ((preferredProtocols & reader->protocol) == 0) return static_cast<int32_t>(0x8010000F);  // PROTO_MISMATCH
  *card = m_nextHandle++;
  *activeProtocol = reader->protocol;
  m_cards[*card] = CardHandle{context, reader->name, reader->insertion};
  return tokenlink::kScardSuccess;
}

int32_t EmulatedPcsc::Disconnect(PcscCard card, uint32_t disposition) {
  std::lock_guard lock(m_mutex);
  auto it = m_cards.find(card);
  if (it == m_cards.end()) return tokenlink::kScardEInvalidHandle;
  const CardHandle handle = it->second;
  m_cards.erase(it);
  Reader* reader = FindReader(handle.reader);
  // SCARD_RESET_CARD (1), SCARD_UNPOWER_CARD (2) and SCARD_EJECT_CARD (3) end the authentication.
  if (reader && reader->token && reader->insertion == handle.insertion && disposition != tokenlink::kLeaveCard)
    reader->token->PowerOff();
  PowerOffIfIdle(handle.reader);
  return tokenlink::kScardSuccess;
}

void EmulatedPcsc::PowerOffIfIdle(const std::string& readerName) {
  if (!m_powerOffWhenIdle) return;
  Reader* reader = FindReader(readerName);
  if (reader == nullptr || !reader->token) return;
  const bool inUse =
      std::any_of(m_cards.begin(), m_cards.end(), [&](const auto& entry) { return entry.second.reader == readerName; });
  if (!inUse) reader->token->PowerOff();
}

int32_t EmulatedPcsc::Transmit(PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                               uint8_t* response, std::size_t* responseLength) {
  std::shared_ptr<TokenEmulator> token;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_cards.find(card);
    if (it == m_cards.end()) return tokenlink::kScardEInvalidHandle;
    if (!m_running) return tokenlink::kScardENoService;
    if (command == nullptr || response == nullptr || responseLength == nullptr)
      return static_cast<int32_t>(0x80100004);
    Reader* reader = FindReader(it->second.reader);
    if (reader == nullptr) return static_cast<int32_t>(0x80100017);  // SCARD_E_READER_UNAVAILABLE
    if (!reader->token || reader->insertion != it->second.insertion) return tokenlink::kScardWRemovedCard;
    reader->sent.emplace_back(command, command + commandLength);
    reader->sentProtocols.push_back(protocol);
    if (reader->pullAt > 0 && --reader->pullAt == 0) {
      TakeTokenOut(*reader);
      return tokenlink::kScardWRemovedCard;
    }
    token = reader->token;
    if (reader->loseAt > 0 && --reader->loseAt == 0) {
      token->Process(std::vector<uint8_t>(command, command + commandLength));
      if (!reader->loseLeaves) return tokenlink::kScardECommDataLost;
      TakeTokenOut(*reader);
      return tokenlink::kScardWRemovedCard;
    }
  }
  const std::vector<uint8_t> answer = token->Process(std::vector<uint8_t>(command, command + commandLength));
  if (*responseLength < answer.size()) {
    *responseLength = answer.size();
    return tokenlink::kScardEInsufficientBuffer;
  }
  std::memcpy(response, answer.data(), answer.size());
  *responseLength = answer.size();
  return tokenlink::kScardSuccess;
}

}  // namespace sim
