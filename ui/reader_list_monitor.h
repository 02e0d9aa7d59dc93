// The reader-list monitor: lists the attached readers every 50 ms on a thread
// of its own and hands the list to the window when the window has something
// to change: a reader came or went, the listing failed or found no reader,
// or the window waits for the operator to choose a reader.
#pragma once
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "window_hop.h"

namespace ui {

class ReaderListClient {
 public:
  virtual ~ReaderListClient() = default;
  // Window thread: the outcome of a pass; names in the service's order;
  // pcscResult is the PC/SC code of a failed listing (kScardSuccess when
  // listed).
  virtual void ApplyReaderList(bool listed, const QStringList& names, int32_t pcscResult) = 0;
};

class ReaderListMonitor {
 public:
  enum class State {
    Stopped,
    Running,
    StopRequested,  // the loop ends at its next pause
  };

  ReaderListMonitor(ReaderListClient& client, WindowHop& hop);
  ~ReaderListMonitor();
  ReaderListMonitor(const ReaderListMonitor&) = delete;
  ReaderListMonitor& operator=(const ReaderListMonitor&) = delete;

  // Window thread.
  void Start();
  void RequestStop();
  bool ThreadAlive() const { return m_threadAlive.load(); }
  void Wait();
  State CurrentState() const { return m_state.load(); }

  // Any thread: while no reader is chosen, every pass is handed over, since
  // each one renews the reminder on the status line.
  void HandOverEveryPass(bool everyPass) { m_everyPass = everyPass; }

 private:
  void Run();
  // What a pass found: whether the listing succeeded, the names as PC/SC
  // gives them (compared as they are; turned into text only when handed
  // over), and the PC/SC code that says why it failed.
  struct Listing {
    bool listed = false;
    std::vector<std::string> names;
    int32_t pcscResult = 0;
    bool operator==(const Listing&) const = default;
  };
  bool Unchanged(const Listing& listing) const;

  ReaderListClient& m_client;
  WindowHop& m_hop;
  std::atomic<State> m_state{State::Stopped};
  std::atomic<bool> m_threadAlive{false};
  std::atomic<bool> m_everyPass{true};
  std::thread m_thread;
  std::optional<Listing> m_handedOver;  // monitor thread only
};

}  // namespace ui
