#include "card_monitor.h"

#include "text_convert.h"
#include "window_clock.h"

namespace ui {
namespace {

constexpr int kPassPauseMs = 50;
constexpr std::size_t kSerialCapacity = 32;
constexpr std::size_t kClockCapacity = 64;

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
    return;
  }
  StartChain(readerName);
}

void CardMonitor::RequestStop() {
  m_nextReader.reset();
  if (m_state.load() != State::Stopped) m_state = State::StopRequested;
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

void CardMonitor::Run(const QString& readerName) {
  const QByteArray reader = app::WideToAnsi(readerName);
  // A new chain reads the token in its field whatever the last chain knew:
  // the panel may still show a token of another reader.
  m_tokenInfoPending = true;
  m_hop.Post([this] { m_client.OnCardChainStarted(); });
  for (;;) {
    if (m_state.load() == State::StopRequested || m_hop.Closing()) {
      m_state = State::Stopped;
      m_hop.Post([this] { OnChainEnded(); });
      return;
    }
    ReleaseSession();
    if (const int32_t rc = TokenInField(reader); rc != tokenlink::kScardSuccess) {
      RearmToken();
      m_hop.Post([this, rc] { m_client.OnTokenAbsent(rc); });
    } else {
      if (m_tokenInfoPending.exchange(false) && RefreshTokenPanel(readerName) != 1) m_tokenInfoPending = true;
    }
    ReleaseSession();
    m_hop.Pause(kPassPauseMs);
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
