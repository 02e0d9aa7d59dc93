// The reader-list monitor: lists the attached readers on a thread of its own
// and hands the list to the window when the window has something to change:
// a reader came or went, the listing failed or found no reader, or the window
// waits for the operator to choose a reader.
//
// It lists when the service reports a reader attached or removed (a wait on
// the PnP pseudo-reader), and every five seconds besides: pcsc-lite reports
// only the changes made while the wait is in progress, so one made in the
// instant between a listing and the next wait is found by the next listing. It lists every
// 50 ms, as the passes of old, while no reader is chosen (each pass renews
// the reminder), while the listing fails for want of a service, where the
// service gives no reader events, and when events are turned off.
#pragma once
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "monitor_watching.h"
#include "status_watch.h"
#include "window_hop.h"

namespace ui {

class ReaderListClient {
 public:
  virtual ~ReaderListClient() = default;
  // Window thread: the outcome of a pass; names in the service's order;
  // pcscResult is the PC/SC code of a failed listing (kScardSuccess when
  // listed).
  virtual void ApplyReaderList(bool listed, const QStringList& names, int32_t pcscResult) = 0;
  // Window thread: how the monitors watch, told at the start and when it
  // changes.
  virtual void ApplyWatching(Watching watching) = 0;
};

class ReaderListMonitor {
 public:
  enum class State {
    Stopped,
    Running,
    StopRequested,  // the loop ends at its next pause (a wait is woken)
  };

  ReaderListMonitor(ReaderListClient& client, WindowHop& hop);
  ~ReaderListMonitor();
  ReaderListMonitor(const ReaderListMonitor&) = delete;
  ReaderListMonitor& operator=(const ReaderListMonitor&) = delete;

  // Window thread. Asking to stop again repeats the wake-up.
  void Start();
  void RequestStop();
  bool ThreadAlive() const { return m_threadAlive.load(); }
  void Wait();
  State CurrentState() const { return m_state.load(); }

  // Any thread: while no reader is chosen, every pass is handed over, since
  // each one renews the reminder on the status line.
  void HandOverEveryPass(bool everyPass);

 private:
  void Run();
  bool StopSeen() const;
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
  // Hands the listing over unless the window has nothing to change.
  void HandOver(Listing listing);
  void Tell(Watching watching);

  ReaderListClient& m_client;
  WindowHop& m_hop;
  std::atomic<State> m_state{State::Stopped};
  std::atomic<bool> m_threadAlive{false};
  std::atomic<bool> m_everyPass{true};
  std::thread m_thread;
  std::optional<Listing> m_handedOver;  // monitor thread only
  std::optional<Watching> m_told;        // monitor thread only
  tokenlink::StatusWatch m_watch;        // waited on by the thread, woken by any
};

}  // namespace ui
