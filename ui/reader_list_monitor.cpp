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

bool ReaderListMonitor::Unchanged(bool listed, const QStringList& names) const {
  // A failed or empty listing changes the window on every pass (the token
  // texts are cleared each time), as does the reminder to choose a reader.
  if (!listed || names.isEmpty() || m_everyPass) return false;
  return m_handedOver && m_handedOver->first == listed && m_handedOver->second == names;
}

void ReaderListMonitor::Run() {
  do {
    if (m_state.load() == State::StopRequested) break;
    std::vector<std::string> found;
    const bool listed = tokenlink::ListReaders(&found) == 0;
    QStringList names;
    for (const std::string& name : found) names << app::AnsiToWide(QByteArray::fromStdString(name));
    if (!Unchanged(listed, names)) {
      m_handedOver = std::make_pair(listed, names);
      m_hop.Post([this, listed, names] { m_client.ApplyReaderList(listed, names); });
    }
  } while (m_hop.Pause(kPassPauseMs));
  m_state = State::Stopped;
}

}  // namespace ui
