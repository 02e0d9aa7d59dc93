#include "reader_list_monitor.h"

#include <string>
#include <vector>

#include "reader_list.h"
#include "text_convert.h"

namespace ui {
namespace {

constexpr int kPassPauseMs = 50;

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
}

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

void ReaderListMonitor::Run() {
  do {
    if (m_state.load() == State::StopRequested) break;
    Listing listing;
    listing.listed = tokenlink::ListReaders(&listing.names, &listing.pcscResult) == 0;
    if (!Unchanged(listing)) {
      QStringList names;
      for (const std::string& name : listing.names) names << app::AnsiToWide(QByteArray::fromStdString(name));
      const bool listed = listing.listed;
      const int32_t pcscResult = listing.pcscResult;
      m_handedOver = std::move(listing);
      m_hop.Post([this, listed, names, pcscResult] { m_client.ApplyReaderList(listed, names, pcscResult); });
    }
  } while (m_hop.Pause(kPassPauseMs));
  m_state = State::Stopped;
}

}  // namespace ui
