// In-process readers and tokens behind the PC/SC seam.
#include "emulated_pcsc.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim {

using tokenlink::PcscCard;
using tokenlink::PcscContext;
using tokenlink::ReaderState;

namespace {

// pcsc-lite matches the pseudo-reader's name without regard to case.
bool IsPnpNotification(const std::string& name) {
  return strcasecmp(name.c_str(), tokenlink::kPnpNotification) == 0;
}

// What pcsc-lite reports for a reader name it does not know (or, from a
// pcscd without PnP support, for the pseudo-reader).
uint32_t UnknownReaderState(uint32_t currentState) {
  const uint32_t state = tokenlink::kStateUnknown | tokenlink::kStateUnavailable;
  return (currentState & tokenlink::kStateUnknown) != 0 ? state : state | tokenlink::kStateChanged;
}

}  // namespace

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
    ++m_readerListVersion;
    Changed();
  }
}

void EmulatedPcsc::RemoveReader(const std::string& name) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(name)) {
    TakeTokenOut(*reader);
    m_readers.erase(m_readers.begin() + (reader - m_readers.data()));
    ++m_readerListVersion;
    Changed();
  }
}

void EmulatedPcsc::TakeTokenOut(Reader& reader) {
  if (reader.token) {
    reader.token->PowerOff();
    ++reader.events;
  }
  reader.token.reset();
  reader.pullAt = 0;
  reader.loseAt = 0;
  reader.swapAfter = 0;
  reader.swapIn.reset();
  ++reader.insertion;
  Changed();
}

void EmulatedPcsc::InsertToken(const std::string& readerName, std::shared_ptr<TokenEmulator> token) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) {
    TakeTokenOut(*reader);
    reader->token = std::move(token);
    if (reader->token) ++reader->events;
  }
}

void EmulatedPcsc::RemoveToken(const std::string& readerName) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) TakeTokenOut(*reader);
}

void EmulatedPcsc::SwapTokenAfterApdu(const std::string& readerName, int n, std::shared_ptr<TokenEmulator> token) {
  std::lock_guard lock(m_mutex);
  if (Reader* reader = FindReader(readerName)) {
    reader->swapAfter = n;
    reader->swapIn = n > 0 ? std::move(token) : nullptr;
  }
}

int EmulatedPcsc::SwapsDone() const {
  std::lock_guard lock(m_mutex);
  return m_swapsDone;
}

void EmulatedPcsc::SwapIfDue(Reader& reader) {
  if (reader.swapAfter <= 0 || --reader.swapAfter > 0) return;
  std::shared_ptr<TokenEmulator> token = std::move(reader.swapIn);
  for (Reader& other : m_readers) {
    if (&other != &reader && other.token == token) TakeTokenOut(other);
  }
  TakeTokenOut(reader);
  reader.token = std::move(token);
  if (reader.token) ++reader.events;
  ++m_swapsDone;
}

std::shared_ptr<TokenEmulator> EmulatedPcsc::TokenIn(const std::string& readerName) const {
  std::lock_guard lock(m_mutex);
  const Reader* reader = FindReader(readerName);
  return reader ? reader->token : nullptr;
}

void EmulatedPcsc::SetServiceRunning(bool running) {
  std::lock_guard lock(m_mutex);
  if (m_running && !running) ++m_serviceStops;
  m_running = running;
  Changed();
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
  Changed();
}

void EmulatedPcsc::SetPnpNotification(bool supported) {
  std::lock_guard lock(m_mutex);
  m_pnpNotification = supported;
  Changed();
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

int EmulatedPcsc::WaitingCalls() const {
  std::lock_guard lock(m_mutex);
  int calls = 0;
  for (const auto& [context, waits] : m_waits) calls += waits.calls;
  return calls;
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
  std::unique_lock lock(m_mutex);
  if (!m_contexts.contains(context)) return tokenlink::kScardEInvalidHandle;
  // pcsc-lite's release takes the context's lock, which a waiting
  // GetStatusChange holds until it returns.
  m_changed.wait(lock, [&] { return !m_waits.contains(context); });
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
  Changed();
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
  Changed();
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
  Changed();
  return tokenlink::kScardSuccess;
}

void EmulatedPcsc::PowerOffIfIdle(const std::string& readerName) {
  if (!m_powerOffWhenIdle) return;
  Reader* reader = FindReader(readerName);
  if (reader == nullptr || !reader->token) return;
  if (!HasCardHandle(readerName)) reader->token->PowerOff();
}

int32_t EmulatedPcsc::Transmit(PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                               uint8_t* response, std::size_t* responseLength) {
  std::shared_ptr<TokenEmulator> token;
  std::string readerName;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_cards.find(card);
    if (it == m_cards.end()) return tokenlink::kScardEInvalidHandle;
    if (!m_running) return tokenlink::kScardENoService;
    if (command == nullptr || response == nullptr || responseLength == nullptr)
      return static_cast<int32_t>(0x80100004);
    readerName = it->second.reader;
    Reader* reader = FindReader(readerName);
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
  {
    std::lock_guard lock(m_mutex);
    if (Reader* reader = FindReader(readerName)) SwapIfDue(*reader);
  }
  if (*responseLength < answer.size()) {
    *responseLength = answer.size();
    return tokenlink::kScardEInsufficientBuffer;
  }
  std::memcpy(response, answer.data(), answer.size());
  *responseLength = answer.size();
  return tokenlink::kScardSuccess;
}

bool EmulatedPcsc::HasCardHandle(const std::string& readerName) const {
  return std::any_of(m_cards.begin(), m_cards.end(),
                     [&](const auto& entry) { return entry.second.reader == readerName; });
}

// pcsc-lite's judgement of one entry, its SCardGetStatusChange loop in short.
uint32_t EmulatedPcsc::EventState(const ReaderState& entry, bool readerListChanged) const {
  using namespace tokenlink;
  const uint32_t current = entry.currentState;
  if (IsPnpNotification(entry.reader)) {
    if (!m_pnpNotification) return UnknownReaderState(current);
    return readerListChanged ? kStateChanged : kStateUnaware;
  }
  const Reader* reader = FindReader(entry.reader);
  if (reader == nullptr) return UnknownReaderState(current);

  const uint32_t count = reader->events & 0xFFFF;
  uint32_t state = count << kStateEventCountShift;
  bool changed = current == kStateUnaware || (current & (kStateUnknown | kStateUnavailable)) != 0 ||
                 (EventCount(current) != 0 && EventCount(current) != count);
  if (reader->token) {
    state |= kStatePresent;
    changed = changed || (current & (kStateEmpty | kStateMute)) != 0;
  } else {
    state |= kStateEmpty;
    changed = changed || (current & kStatePresent) != 0;
  }
  if (reader->heldElsewhere) {
    state |= kStateExclusive;
    changed = changed || (current & kStateInUse) != 0;
  } else if (HasCardHandle(reader->name)) {
    if (reader->token) {
      state |= kStateInUse;
      changed = changed || (current & kStateExclusive) != 0;
    }
  } else {
    changed = changed || (current & (kStateInUse | kStateExclusive)) != 0;
  }
  return changed ? state | kStateChanged : state;
}

int32_t EmulatedPcsc::GetStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState* states,
                                      std::size_t count) {
  using namespace tokenlink;
  if ((states == nullptr && count > 0) || count > kMaxReaderStates) return kScardEInvalidParameter;
  const auto ignored = [](const ReaderState& entry) { return (entry.currentState & kStateIgnore) != 0; };
  // Nothing to watch: pcsc-lite answers before it looks at the context.
  if (std::all_of(states, states + count, ignored)) return kScardSuccess;

  std::unique_lock lock(m_mutex);
  if (!m_contexts.contains(context)) return kScardEInvalidHandle;
  if (!m_running) return kScardENoService;
  for (std::size_t i = 0; i < count; ++i)
    if (!IsPnpNotification(states[i].reader) && FindReader(states[i].reader) == nullptr)
      return kScardEUnknownReader;
  for (std::size_t i = 0; i < count; ++i) states[i].eventState = kStateUnaware;

  Waits& waits = m_waits[context];
  ++waits.calls;
  const uint64_t cancels = waits.cancels;
  const uint64_t readerList = m_readerListVersion;
  const uint64_t serviceStops = m_serviceStops;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int32_t result;
  for (;;) {
    bool changed = false;
    for (std::size_t i = 0; i < count; ++i) {
      if (ignored(states[i])) continue;
      states[i].eventState = EventState(states[i], m_readerListVersion != readerList);
      changed = changed || (states[i].eventState & kStateChanged) != 0;
    }
    if (changed) {
      result = kScardSuccess;
      break;
    }
    if (timeoutMs != kInfinite && std::chrono::steady_clock::now() >= deadline) {
      result = kScardETimeout;
      break;
    }
    if (timeoutMs == kInfinite)
      m_changed.wait(lock);
    else
      m_changed.wait_until(lock, deadline);
    if (waits.cancels != cancels) {
      result = kScardECancelled;
      break;
    }
    if (m_serviceStops != serviceStops) {
      result = kScardFCommError;
      break;
    }
  }
  if (--waits.calls == 0) m_waits.erase(context);
  Changed();  // a ReleaseContext may wait for this call to end
  return result;
}

int32_t EmulatedPcsc::Cancel(PcscContext context) {
  std::lock_guard lock(m_mutex);
  if (!m_contexts.contains(context)) return tokenlink::kScardEInvalidHandle;
  // As in pcsc-lite, a Cancel while no call waits is not kept for the next.
  if (auto it = m_waits.find(context); it != m_waits.end()) {
    ++it->second.cancels;
    Changed();
  }
  return tokenlink::kScardSuccess;
}

}  // namespace sim
