#include "reader_list_monitor.h"

#include <string>
#include <vector>

#include "reader_list.h"
#include "text_convert.h"

namespace ui {
namespace {

constexpr int kPassPauseMs = 50;
// The longest wait for a reader event; see the header.
constexpr uint32_t kLongestWaitMs = 5000;

}  // namespace

ReaderListMonitor::ReaderListMonitor(ReaderListClient& client, WindowHop& hop) : m_client(client), m_hop(hop) {}

ReaderListMonitor::~ReaderListMonitor() {
  RequestStop();
  Wait();
}

void ReaderListMonitor::Start() {
  if (m_thread.joinable()) return;
  m_state = State::Running;
  m_threadAlive = true;
  m_thread = std::thread([this] {
    Run();
    m_threadAlive = false;
  });
}

void ReaderListMonitor::RequestStop() {
  if (m_state.load() != State::Stopped) m_state = State::StopRequested;
  m_watch.Wake();
}

void ReaderListMonitor::HandOverEveryPass(bool everyPass) {
  // From waiting to a pass every 50 ms at once.
  if (!m_everyPass.exchange(everyPass) && everyPass) m_watch.Wake();
}

bool ReaderListMonitor::StopSeen() const { return m_state.load() == State::StopRequested || m_hop.Closing(); }

void ReaderListMonitor::Wait() {
  if (m_thread.joinable()) m_thread.join();
}

bool ReaderListMonitor::Unchanged(const Listing& listing) const {
  // A failed or empty listing changes the window on every pass (the token
  // texts are cleared each time), as does the reminder to choose a reader.
  // The PC/SC code counts too: the window says why the readers are missing.
  if (!listing.listed || listing.names.empty() || m_everyPass) return false;
  return m_handedOver && *m_handedOver == listing;
}

void ReaderListMonitor::HandOver(Listing listing) {
  if (Unchanged(listing)) return;
  QStringList names;
  for (const std::string& name : listing.names) names << app::AnsiToWide(QByteArray::fromStdString(name));
  const bool listed = listing.listed;
  const int32_t pcscResult = listing.pcscResult;
  m_handedOver = std::move(listing);
  m_hop.Post([this, listed, names, pcscResult] { m_client.ApplyReaderList(listed, names, pcscResult); });
}

void ReaderListMonitor::Tell(Watching watching) {
  if (m_told == watching) return;
  m_told = watching;
  m_hop.Post([this, watching] { m_client.ApplyWatching(watching); });
}

void ReaderListMonitor::Run() {
  using namespace tokenlink;
  const bool forced = PollingForced();
  enum class Pnp { Unasked, Events, None } pnp = Pnp::Unasked;  // reader events, asked once a context
  while (!StopSeen()) {
    Listing listing;
    if (forced) {
      Tell(Watching::PollingForced);
      listing.listed = ListReaders(&listing.names, &listing.pcscResult) == 0;
    } else if (const int32_t rc = m_watch.Open(kScopeUser); rc != kScardSuccess) {
      listing.pcscResult = rc;
    } else {
      if (pnp == Pnp::Unasked) {
        pnp = PnpNotificationSupported(m_watch.Context()) ? Pnp::Events : Pnp::None;
        Tell(pnp == Pnp::Events ? Watching::Events : Watching::PollingNoEvents);
      }
      listing.listed = ListReadersOn(m_watch.Context(), &listing.names, &listing.pcscResult) == 0;
    }
    const bool noReader = !listing.listed && listing.pcscResult == kScardENoReadersAvailable;
    if (!forced && !listing.listed && !noReader) {
      // No service, or the context broke: a new one at the next pass.
      m_watch.Close();
      pnp = Pnp::Unasked;
    }
    HandOver(std::move(listing));

    const bool waitForEvents = !forced && pnp == Pnp::Events && m_watch.IsOpen() && !m_everyPass;
    if (!waitForEvents) {
      if (!m_hop.Pause(kPassPauseMs)) break;
      continue;
    }
    ReaderState readers{kPnpNotification};
    const int32_t rc = m_watch.Wait(kLongestWaitMs, &readers, 1);
    if (rc != kScardSuccess && rc != kScardETimeout && rc != kScardECancelled) {
      m_watch.Close();
      pnp = Pnp::Unasked;
    }
  }
  m_watch.Close();
  m_state = State::Stopped;
}

}  // namespace ui
