// The burn, seal and clock-sync workflows as one state machine. Events go in
// (a token read in the field or gone, the outcome of each token command, the
// operator's presses and answers); actions come out (token commands,
// messages, questions, log rows, counters). Every decision that spends
// something that cannot be had back -- an authentication try, a seed write --
// is taken here, with its reason beside it. No threads and no widgets: the
// card monitor and the window only translate PC/SC and controls into events,
// and actions into what is sent and shown.
#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "burn_record.h"
#include "burned_secrets.h"
#include "export_set.h"
#include "operator_texts.h"
#include "token_commands.h"

namespace station {

// What the window's form holds when the engine is told of a press or a token.
struct Form {
  QString secretText;  // the secret box as Base32 text; empty when there is none
  Choices choices;
  bool syncClock = true;     // "Sync Token Clock" ticked
  bool exportLines = false;  // "Export Seed Data" ticked
  QString userName;          // the user-name box
};

// A token as its information read gave it.
struct FieldToken {
  QByteArray serialBytes;  // as the token reports it: the key of refusals and bookings
  QString serialNumber;    // as the window shows it
};

enum class CommandKind {
  ReadSerial,    // the token information, for the serial number of the token in the field
  Authenticate,  // the customer key
  Configure,     // time window, algorithm, display time and clock
  WriteSeed,
  SyncClock,
  Seal,
};

struct Command {
  CommandKind kind = CommandKind::ReadSerial;
  Choices choices;         // Configure
  bool syncClock = false;  // Configure: the computer's clock, else the token's own as read
  std::shared_ptr<const BurnRecord> record;  // WriteSeed
};

struct Outcome {
  int32_t code = 0;  // a result code of the token link
  tokenlink::Delivery delivery = tokenlink::Delivery::Answered;
  FieldToken token;  // ReadSerial: the token that answered
};

// Events.
struct TokenSeen {  // the card monitor read this token in the field
  FieldToken token;
  Form form;        // as the window holds it once the token is shown
};
struct TokenGone {};  // no token in the field, or none that can be read
struct BurnPressed {
  Form form;
};
struct StopPressed {};
struct SyncPressed {};
struct SealPressed {};
struct ReaderConnected {};  // Connect: the card monitor watches another reader from now on
struct Closing {};
struct Answer {
  bool yes = false;
};
struct CommandDone {
  Outcome outcome;
};
struct MessageDismissed {};  // a message the engine waits on is gone
using Event = std::variant<TokenSeen, TokenGone, BurnPressed, StopPressed, SyncPressed, SealPressed, ReaderConnected,
                           Closing, Answer, CommandDone, MessageDismissed>;

// Actions. A token command, a question or an awaited message is always the
// last action of a batch: the engine waits for its outcome, its answer or its
// dismissal. No command follows a message in one batch, so that a Stop or a
// close given while a message is on screen is handled before anything more
// is sent.
struct RunCommand {
  Command command;
};
struct ShowMessage {
  QString caption;
  QString text;
  MessageIcon icon = MessageIcon::None;
  bool awaited = false;  // the engine goes on once it is dismissed
};
struct AskQuestion {
  QString text;  // Yes or No, caption "Orvex Zerazaduzu"
};
struct AddLogRow {
  QString serialNumber;
  QString userName;
  QString result;  // "Succeeded", "Failed" or "Unknown"
  std::shared_ptr<const BurnRecord> record;  // the burn as it was done
};
struct ShowCounters {
  int total = 0;
  int success = 0;
  int fail = 0;
};
struct ShowBurnPending {  // the button reads "Stop" while a burn is pending, else "Burn"
  bool pending = false;
};
struct ReadTokenAgain {};  // the card monitor reads the token in the field anew
using Action = std::variant<RunCommand, ShowMessage, AskQuestion, AddLogRow, ShowCounters, ShowBurnPending,
                            ReadTokenAgain>;

// The message for an authentication result (not 0).
QString AuthenticationMessage(int32_t code);
// The secret text's bytes; none when it is not Base32 or not 8-bit text.
std::vector<uint8_t> DecodeSecret(const QString& secretText);

class BurnEngine {
 public:
  enum class Stage {
    Idle,              // no burn pending; the button reads "Burn"
    Asking,            // a question of the burn is on screen
    Notifying,         // a message of the burn is on screen; the burn goes on after it
    PrepareRead,       // Burn pressed: the token in the field is read, to be sure it is the one shown ...
    PrepareAuth,       // ... authenticated ...
    PrepareConfigure,  // ... and configured
    Pending,           // prepared: the next token in the field is taken up; the button reads "Stop"
    TakeUpRead,        // the serial number of the token in the field is read
    TakeUpAuth,        // a token other than the prepared one is prepared first ...
    TakeUpConfigure,   // ... with the choices of the press
    BurnAuth,          // the authentication of the seed write
    RefusalRead,       // a token refused the key: the one in the field is read, to hold it against that one
    ConfirmSerial,     // the token in the field read again right before the seed write
    SeedWrite,         // the seed write is on its way
    OneShotRead,       // Sync or Seal: the token in the field read, to be sure it is the one shown ...
    OneShotAuth,       // ... the authentication ...
    OneShot,           // ... and its command
    Closed,            // the window is closing: nothing is sent or booked any more
  };

  // now: the current time (the record's and the export set's stamp).
  BurnEngine(ExportSink& exports, std::function<QDateTime()> now);

  std::vector<Action> Handle(const Event& event);

  Stage CurrentStage() const { return m_stage; }
  // A burn is pending (the button reads "Stop"), a question of it included.
  bool BurnPending() const { return m_burnPending; }
  int TotalCount() const { return m_total; }
  int SuccessCount() const { return m_success; }
  int FailCount() const { return m_fail; }
  // The user name of the latest export of this run: the log's "User Name".
  const QString& UserName() const { return m_userName; }
  // The token whose seed write went without an answer, while its burn pends.
  std::optional<QByteArray> LostWriteSerial() const {
    return m_lostWrite ? std::optional<QByteArray>(m_lostWrite->serialBytes) : std::nullopt;
  }
  // Nobody is there to ask (the burner): a file of the set that leaves a
  // token out is taken as it is, which the burner said when it started.
  void AcceptFilesLeavingOut() { m_leavingOutAccepted = true; }

 private:
  enum class Asked { Press, TakeUp };  // also what a message on screen holds up
  enum class OneShotKind { Sync, Seal };
  enum class Result { Succeeded, Failed, Unknown };
  struct Agreed {  // what the operator agreed to for the pending burn
    QByteArray digest;
    QByteArray serialBytes;
    bool exportLines = false;
  };
  using Actions = std::vector<Action>;

  void OnTokenSeen(const TokenSeen& seen, Actions& out);
  void OnTokenGone();
  void OnBurnPressed(const BurnPressed& press, Actions& out);
  void OnStop(Actions& out);
  void OnOneShot(OneShotKind kind, Actions& out);
  void OnClosing(Actions& out);
  void OnAnswer(const Answer& answer, Actions& out);
  void OnCommandDone(const Outcome& outcome, Actions& out);

  // The questions due before the secret goes into this token; none when the
  // operator has agreed to this very burn already.
  std::deque<QString> QuestionsFor(const QByteArray& serialBytes, const BurnRecord& record) const;
  void Agree(const QByteArray& serialBytes, const BurnRecord& record);
  void AskNext(Actions& out);

  void StartPreparation(Actions& out);
  void Authenticate(Actions& out);
  // Opens the export set when the burn exports and has none; true when its
  // failure is on screen and the burn waits for it to be dismissed.
  bool OpenExportsFirst(bool exportLines, Asked resume, Actions& out);
  void OnDismissed(Actions& out);
  void OnPrepared(Actions& out);
  void TakeUpIfReady(Actions& out);
  void ContinueTakeUp(Actions& out);
  void OnTakeUpRead(const Outcome& outcome, Actions& out);
  void OnBurnAuthFailed(const Outcome& outcome, Actions& out);
  void OnRefusalRead(const Outcome& outcome, Actions& out);
  // A press is for the token shown: false, with the operator told and the
  // token in the field read anew, when the read failed or found another one
  // there.
  bool IsPressedToken(const std::optional<FieldToken>& pressed, const Outcome& read, Actions& out);
  void OnConfirmRead(const Outcome& outcome, Actions& out);
  void OnSeedWritten(const Outcome& outcome, Actions& out);
  void OnOneShotDone(const Outcome& outcome, Actions& out);
  // The token in the field is left until the card monitor has read it anew.
  void AwaitReturn(Actions& out);
  void Run(CommandKind kind, Actions& out);

  void Book(Result result, Actions& out);
  void EndBurn(Actions& out);  // back to idle, without a booking

  ExportSink& m_exports;
  std::function<QDateTime()> m_now;

  Stage m_stage = Stage::Idle;
  bool m_burnPending = false;
  std::optional<FieldToken> m_field;  // the token the card monitor read last, while it stays
  Form m_form;                        // the form as of the latest press or token
  // The token in the field failed an exchange before any try was spent, or
  // was not the one read: it is not taken up until it is read anew.
  bool m_awaitingReturn = false;

  // The token shown when Burn, Sync or Seal was pressed: the press spends a
  // try of that token only.
  std::optional<FieldToken> m_pressToken;
  // The pending burn.
  Choices m_pressChoices;          // what Burn was pressed with
  bool m_pressSyncClock = true;
  std::optional<QByteArray> m_prepared;  // the token configured for this burn
  bool m_preparedConfirmed = false;       // read in the field since, as the token shown
  // Tokens that refused the key (or whose answer to the cryptogram was lost)
  // during this burn: each try costs a token one of its few, so none of them
  // is authenticated again until Burn or Stop is pressed.
  std::set<QByteArray> m_refused;
  Outcome m_refusal;  // the refused authentication, while the token that answered it is read
  std::shared_ptr<BurnRecord> m_record;  // the burn being taken up
  // A seed write whose answer was lost: the token may hold the secret. The
  // burn stays with that token and that record until it is booked.
  std::shared_ptr<const BurnRecord> m_lostWrite;
  std::optional<Agreed> m_agreed;
  // The files of the export set whose missing lines the operator accepted
  // (the Azure file without SHA-256 tokens): asked once a set, not once a
  // token. A new set, after a lost line or a set that could not be made
  // whole, asks anew.
  std::set<ExportFile> m_leavingOutAgreed;
  bool m_leavingOutAccepted = false;
  bool m_exportsTried = false;  // this burn has tried to create the export set
  std::deque<QString> m_questions;
  Asked m_asked = Asked::Press;

  OneShotKind m_oneShot = OneShotKind::Sync;
  Stage m_afterOneShot = Stage::Idle;

  BurnedSecrets m_burnedSecrets;
  QString m_userName;
  int m_total = 0;
  int m_success = 0;
  int m_fail = 0;
};

// Carries out one token command and tells what became of it.
class TokenPort {
 public:
  virtual ~TokenPort() = default;
  virtual Outcome Run(const Command& command) = 0;
};

// Where the actions other than token commands go.
class BurnView {
 public:
  virtual ~BurnView() = default;
  // Both return once the operator has dismissed or answered the box; events
  // dispatched meanwhile are handled after it.
  virtual void Show(const ShowMessage& message) = 0;
  virtual bool Ask(const QString& text) = 0;
  virtual void AddLogRow(const station::AddLogRow& row) = 0;
  virtual void ShowCounters(const station::ShowCounters& counters) = 0;
  virtual void ShowBurnPending(bool pending) = 0;
  virtual void ReadTokenAgain() = 0;
};

// Feeds events to the engine one at a time and carries out its actions. An
// event dispatched while a message or question is on screen (a nested event
// loop) waits in the queue; a command's outcome is handled next, before any
// of them; an answer after those that came while its question was shown, so
// that a Stop or a close given meanwhile wins over it.
class BurnDriver {
 public:
  BurnDriver(BurnEngine& engine, TokenPort& port, BurnView& view) : m_engine(engine), m_port(port), m_view(view) {}
  void Dispatch(Event event);
  // Inside Dispatch: a message or question may be on screen.
  bool Busy() const { return m_running; }

 private:
  BurnEngine& m_engine;
  TokenPort& m_port;
  BurnView& m_view;
  std::deque<Event> m_queue;
  bool m_running = false;
};

}  // namespace station
