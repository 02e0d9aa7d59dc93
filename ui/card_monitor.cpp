#include "card_monitor.h"

#include "text_convert.h"
#include "window_clock.h"

namespace ui {
namespace {

constexpr int kPassPauseMs = 50;
// The longest wait for an event: a wake-up lost by pcsc-lite (see
// StatusWatch) and a change that gives no event (another program taking the
// reader for itself) are seen within this.
constexpr uint32_t kLongestWaitMs = 5000;
constexpr std::size_t kSerialCapacity = 32;
constexpr std::size_t kClockCapacity = 64;

// What of a reader's state calls for a look: the card's presence, another
// program holding the reader, the reader gone, and the count of insertions
// and removals (a token swapped between two waits). INUSE is left out: the
// token commands' own connections come and go with it.
uint32_t LookWorthy(uint32_t state) {
  using namespace tokenlink;
  constexpr uint32_t kBits =
      kStateUnknown | kStateUnavailable | kStateEmpty | kStatePresent | kStateExclusive | kStateMute;
  return (state & kBits) | (EventCount(state) << kStateEventCountShift);
}

}  // namespace

CardMonitor::CardMonitor(CardMonitorClient& client, WindowHop& hop) : m_client(client), m_hop(hop) {}

CardMonitor::~CardMonitor() {
  RequestStop();
  Wait();
}

void CardMonitor::Connect(const QString& readerName) {
  if (m_thread.joinable()) {
    m_nextReader = readerName;
    State running = State::Running;
    m_state.compare_exchange_strong(running, State::StopRequested);
    m_watch.Wake();
    return;
  }
  StartChain(readerName);
}

void CardMonitor::RequestStop() {
  m_nextReader.reset();
  if (m_state.load() != State::Stopped) m_state = State::StopRequested;
  m_watch.Wake();
}

void CardMonitor::RearmToken() {
  m_tokenInfoPending = true;
  m_watch.Wake();
}

void CardMonitor::Wait() {
  if (m_thread.joinable()) m_thread.join();
}

void CardMonitor::StartChain(const QString& readerName) {
  m_state = State::Running;
  m_threadAlive = true;
  m_thread = std::thread([this, readerName] {
    Run(readerName);
    m_threadAlive = false;
  });
}

void CardMonitor::OnChainEnded() {
  Wait();
  if (m_nextReader) {
    const QString reader = *m_nextReader;
    m_nextReader.reset();
    StartChain(reader);
  }
}

void CardMonitor::ReleaseSession() {
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  if (m_session.card) pcsc.Disconnect(m_session.card, tokenlink::kLeaveCard);
  if (m_session.context) pcsc.ReleaseContext(m_session.context);
  m_session = {};
}

int32_t CardMonitor::TokenInField(const QByteArray& reader) {
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  int32_t rc = pcsc.EstablishContext(tokenlink::kScopeSystem, &m_session.context);
  if (rc != tokenlink::kScardSuccess) {
    m_session.context = 0;
    return rc;
  }
  rc = pcsc.Connect(m_session.context, reader.constData(), tokenlink::kShareShared,
                    tokenlink::kProtocolT0 | tokenlink::kProtocolT1, &m_session.card, &m_session.activeProtocol);
  if (rc != tokenlink::kScardSuccess) m_session.card = 0;
  return rc;
}

bool CardMonitor::StopSeen() const { return m_state.load() == State::StopRequested || m_hop.Closing(); }

void CardMonitor::Run(const QString& readerName) {
  const QByteArray reader = app::WideToAnsi(readerName);
  // A new chain reads the token in its field whatever the last chain knew:
  // the panel may still show a token of another reader.
  m_tokenInfoPending = true;
  m_hop.Post([this] { m_client.OnCardChainStarted(); });
  if (PollingForced()) {
    RunPolling(reader, readerName);
  } else {
    RunOnEvents(reader, readerName);
  }
  m_watch.Close();
  m_state = State::Stopped;
  m_hop.Post([this] { OnChainEnded(); });
}

void CardMonitor::RunPolling(const QByteArray& reader, const QString& readerName) {
  while (!StopSeen()) {
    ReleaseSession();
    if (const int32_t rc = TokenInField(reader); rc != tokenlink::kScardSuccess) {
      m_tokenInfoPending = true;
      m_hop.Post([this, rc] { m_client.OnTokenAbsent(rc); });
    } else {
      if (m_tokenInfoPending.exchange(false) && RefreshTokenPanel(readerName) != 1) m_tokenInfoPending = true;
    }
    ReleaseSession();
    m_hop.Pause(kPassPauseMs);
  }
  ReleaseSession();
}

int32_t CardMonitor::Look(const QByteArray& reader, const QString& readerName) {
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  tokenlink::PcscCard card = 0;
  uint32_t protocol = 0;
  const int32_t rc = pcsc.Connect(m_watch.Context(), reader.constData(), tokenlink::kShareShared,
                                  tokenlink::kProtocolT0 | tokenlink::kProtocolT1, &card, &protocol);
  if (rc != tokenlink::kScardSuccess) {
    m_tokenInfoPending = true;
    m_hop.Post([this, rc] { m_client.OnTokenAbsent(rc); });
    return rc;
  }
  // The shared connection stays while the token is read, as in a pass.
  if (m_tokenInfoPending.exchange(false) && RefreshTokenPanel(readerName) != 1) m_tokenInfoPending = true;
  pcsc.Disconnect(card, tokenlink::kLeaveCard);
  return rc;
}

void CardMonitor::RunOnEvents(const QByteArray& reader, const QString& readerName) {
  using namespace tokenlink;
  uint32_t known = kStateUnaware;  // fed back to the next wait
  bool seenAny = false;            // a look answered for a state ...
  uint32_t seen = 0;               // ... this look-worthy one
  int32_t looked = kScardENoSmartcard;  // what the last look found
  const auto startAfresh = [&] {
    known = kStateUnaware;
    seenAny = false;
  };
  while (!StopSeen()) {
    if (const int32_t rc = m_watch.Open(kScopeSystem); rc != kScardSuccess) {
      // No service: say so, and try again after a pass's pause.
      m_tokenInfoPending = true;
      m_hop.Post([this, rc] { m_client.OnTokenAbsent(rc); });
      looked = rc;
      startAfresh();
      m_hop.Pause(kPassPauseMs);
      continue;
    }
    // While a look keeps failing (unreadable card, reader held, ...) it is
    // repeated every pass; an empty field and a read token wait for events.
    const bool settled = looked == kScardENoSmartcard || (looked == kScardSuccess && !m_tokenInfoPending);
    const uint32_t timeoutMs = settled ? kLongestWaitMs : kPassPauseMs;
    ReaderState entry{reader.toStdString(), known};
    const int32_t rc = m_watch.Wait(timeoutMs, &entry, 1);
    if (StopSeen()) break;
    if (rc == kScardSuccess || rc == kScardETimeout) {
      known = entry.eventState & ~(kStateChanged | kStateInUse);
      const uint32_t now = LookWorthy(known);
      if (seenAny && EventCount(now) != EventCount(seen) && looked == kScardSuccess && (now & kStatePresent)) {
        // The token left since the last look and a token (another, or the
        // same) is in the field again: the one that was read is gone.
        m_tokenInfoPending = true;
        m_hop.Post([this] { m_client.OnTokenAbsent(kScardENoSmartcard); });
      }
      const bool lookDue = !seenAny || now != seen || (rc == kScardETimeout && !settled);
      seenAny = true;
      seen = now;
      if (lookDue) looked = Look(reader, readerName);
    } else if (rc == kScardECancelled) {
      // Stop (seen above), or the engine asked for the token to be read
      // again, or the reader list went empty and came back.
      if (looked == kScardSuccess && m_tokenInfoPending) looked = Look(reader, readerName);
    } else if (rc == kScardEUnknownReader) {
      // The chosen reader is not attached: said on every pass, as before,
      // while the reader list renews its reminder to choose one.
      looked = Look(reader, readerName);
      startAfresh();
      m_hop.Pause(kPassPauseMs);
    } else {
      // The service went away or the context broke: a new context, looked
      // at afresh after a pass's pause, and the token read anew (a restarted
      // service counts insertions from zero).
      m_watch.Close();
      m_tokenInfoPending = true;
      startAfresh();
      m_hop.Pause(kPassPauseMs);
    }
  }
}

int CardMonitor::RefreshTokenPanel(const QString& readerName) {
  const QByteArray reader = app::WideToAnsi(readerName);
  tokenlink::TokenInfo info;
  const int32_t rc = tokenlink::ReadTokenInfo(reader.constData(), kSerialCapacity, kClockCapacity, &info);
  const int64_t readAt = ActiveWindowClock().MonotonicMs();
  m_hop.Post([this, rc, info, readAt] { m_client.OnTokenInfoRead(rc, info, readAt); });
  m_hop.Pause(kPassPauseMs);
  m_hop.Post([this] { m_client.OnRefreshView(); });
  return rc == 0 ? 1 : 0;
}

}  // namespace ui
