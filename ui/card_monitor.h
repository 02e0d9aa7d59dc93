// The card monitor: watches the reader chosen with Connect, notices a token
// arriving and leaving and has each arriving token read once; the window
// tells the burn engine. It owns its thread, its PC/SC context and its stop
// handshake; it never touches a widget: the window receives what it finds on
// the window's thread, through the WindowHop, in order.
//
// It waits for the reader's events (GetStatusChange) and looks at the reader
// (a shared connection, as the passes of old) only when its state changed.
// It looks every 50 ms while a look keeps failing (a card that is not a
// token, a reader held by another program, the reader detached, no service),
// and throughout when events are turned off.
#pragma once
#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>

#include "monitor_watching.h"
#include "pcsc_api.h"
#include "status_watch.h"
#include "token_commands.h"
#include "window_hop.h"

namespace ui {

// What the card monitor tells the window. Every call runs on the window's
// thread.
class CardMonitorClient {
 public:
  virtual ~CardMonitorClient() = default;
  // A chain starts for a reader: whatever the panel shows belongs to another.
  virtual void OnCardChainStarted() = 0;
  // No card in the field, or no PC/SC context: pcscResult is the PC/SC code
  // of the step that failed (establishing the context or connecting), which
  // tells an empty field from a reader held by another program.
  virtual void OnTokenAbsent(int32_t pcscResult) = 0;
  // The outcome of a token-information read; readAtMs is the window clock's
  // monotonic time of the read.
  virtual void OnTokenInfoRead(int32_t result, const tokenlink::TokenInfo& info, int64_t readAtMs) = 0;
  // The refresh that follows a read, after its pause.
  virtual void OnRefreshView() = 0;
};

class CardMonitor {
 public:
  enum class State {
    Stopped,        // no chain runs
    Running,        // a chain runs for the reader of the last Connect
    StopRequested,  // the chain ends at the start of its next pass (a wait is woken)
  };

  CardMonitor(CardMonitorClient& client, WindowHop& hop);
  ~CardMonitor();
  CardMonitor(const CardMonitor&) = delete;
  CardMonitor& operator=(const CardMonitor&) = delete;

  // Window thread. Starts a chain for the reader. A running chain is asked to
  // stop and the new one starts once it has ended; the window never waits for
  // it here (it may be inside a burn with a message on screen).
  void Connect(const QString& readerName);
  // Window thread: asks the chain to end and starts no other. Wait() joins it.
  // Asking again repeats the wake-up (pcsc-lite may drop one that comes while
  // a wait is being set up).
  void RequestStop();
  bool ThreadAlive() const { return m_threadAlive.load(); }
  void Wait();
  State CurrentState() const { return m_state.load(); }

  // Any thread: the next token in the field is read anew (no token, or no
  // reader at all).
  void RearmToken();
  // Any thread: the token in the field is read again at once.
  void ReadTokenAgain() { RearmToken(); }

 private:
  struct Session {
    tokenlink::PcscContext context = 0;
    tokenlink::PcscCard card = 0;
    uint32_t activeProtocol = 0;
  };

  void StartChain(const QString& readerName);
  void OnChainEnded();  // window thread
  void Run(const QString& readerName);
  bool StopSeen() const;
  // The passes of old: a look every 50 ms.
  void RunPolling(const QByteArray& reader, const QString& readerName);
  // Waits for the reader's events and looks when its state changed.
  void RunOnEvents(const QByteArray& reader, const QString& readerName);
  // A look at the reader on the watch's context: kScardSuccess when a card is
  // in the field (and the token read if pending), else the PC/SC code that
  // failed, handed to the window as the token's absence.
  int32_t Look(const QByteArray& reader, const QString& readerName);
  // kScardSuccess when a card is in the field, else the PC/SC code that failed.
  int32_t TokenInField(const QByteArray& reader);
  int RefreshTokenPanel(const QString& readerName);
  void ReleaseSession();

  CardMonitorClient& m_client;
  WindowHop& m_hop;
  std::atomic<State> m_state{State::Stopped};
  std::atomic<bool> m_threadAlive{false};
  std::thread m_thread;
  Session m_session;  // monitor thread only (polling)
  tokenlink::StatusWatch m_watch;  // waited on by the chain's thread, woken by any

  // Window thread only.
  std::optional<QString> m_nextReader;  // a Connect waiting for the old chain to end

  std::atomic<bool> m_tokenInfoPending{true};
};

}  // namespace ui
