// A production run: one worker a reader, each with a burn engine of its own,
// sharing the run's book (which token gets which secret, what is burned and
// what refused), the export set and the report.
#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>
#include <map>
#include <mutex>
#include <optional>

#include "burn_inputs.h"
#include "seed_file.h"

namespace cli {

// How a token's turn ended, as reported.
enum class TokenResult {
  Succeeded,  // holds its secret, booked and exported
  Failed,     // not burned (refused, pulled, an error)
  Unknown,    // the seed write's answer was lost and the token did not come back
  Left,       // untouched: not in the seed file, refused earlier, its secret taken
  Skipped,    // burned earlier in this run: left as it is
};
const char* ResultWord(TokenResult result);

// The burn engine's messages are the window's, which speak of its buttons;
// the burner's operator lays tokens and presses Ctrl-C. Known texts are
// said the burner's way, codes get their cause in words; others pass as
// they are.
QString BurnerText(const QString& engineText);

struct TokenReport {
  QDateTime time;
  QString reader;
  QString serial;
  TokenResult result = TokenResult::Failed;
  QString message;
};

// One line (or JSON object) a token on standard output and the status line
// (count, rate per minute, failures) on standard error, rewritten in place on
// a terminal. Any thread.
class Reporter {
 public:
  Reporter(bool json, std::FILE* out, std::FILE* err, bool errIsTerminal);
  void Token(const TokenReport& report);
  void Note(const QString& reader, const QString& text);
  void Finish();
  int Burned() const;
  int Failures() const;
  // A token's line could not be written to standard output.
  bool OutputFailed() const;
  // The status line as shown: "burned N, R per minute, failed F".
  QString StatusText() const;

 private:
  QString StatusTextLocked() const;
  void ClearStatusLocked();
  void ShowStatusLocked(bool force);

  const bool m_json;
  std::FILE* const m_out;
  std::FILE* const m_err;
  const bool m_errIsTerminal;
  mutable std::mutex m_mutex;
  QElapsedTimer m_clock;
  qint64 m_lastStatusMs = -1;
  bool m_statusShown = false;
  // Without a terminal: the status line last printed, while it is still the
  // last line on standard error (so that the end does not print it twice).
  QString m_lastStatusLine;
  int m_burned = 0;
  int m_failed = 0;
  bool m_outputFailed = false;
};

// What a worker may do with the token it has read.
struct Turn {
  enum class Kind { Burn, Leave, Stop } kind = Kind::Stop;
  QString secretText;  // Burn
  QByteArray digest;   // Burn: the secret's claim in the run
  TokenResult leftAs = TokenResult::Left;  // Leave
  QString why;         // Leave
  std::optional<sources::SeedSettings> settings;  // Burn: what a PSKC seed file or the pool gives the token
  std::shared_ptr<pool::SeedClaim> claim;         // Burn from the pool: the claim, committed
  QString note;  // Burn: a line for the operator (a claim taken up again)
  // Leave: the seed pool cannot be reached; nothing was claimed or sent, and
  // the token may wait on its reader until the pool is back.
  bool waitForPool = false;
};

// The run's shared decisions. Any thread.
class RunBook {
 public:
  RunBook(const RunSetup& setup);

  // reader: where the token lies, for the pool's claim.
  Turn Begin(const QByteArray& serial, const QString& serialText, const QString& reader = QString());
  void End(const QByteArray& serial, const QByteArray& digest, TokenResult result);
  // The token refused the customer key, or its answer was lost and it may
  // have counted a try: it is not authenticated again in this run.
  enum class Refusal { Refused, AnswerLost };
  void Refused(const QByteArray& serial, Refusal why = Refusal::Refused);
  // The turn ended with nothing sent to the token: its secret is free again.
  void Release(const QByteArray& serial, const QByteArray& digest);
  // A token left without a turn (its reader waits for another): Left, or
  // Skipped when it is burned already. Either way it is on the book.
  TokenResult Passed(const QByteArray& serial);
  // A burned token's line is missing from an export file: no new token is
  // taken, and the run's end names it.
  void LineLost(const QString& serialText, const QString& file, const QString& reason);
  QStringList LostLines() const;

  void RequestStop(const QString& why);
  // Called (from any thread) when a stop is requested, to wake the workers.
  void SetWakeAll(std::function<void()> wake) { m_wakeAll = std::move(wake); }
  bool Stopping() const { return m_stopping.load(); }
  QString StopReason() const;
  // Every serial whose last turn was not a burn, and none left pending.
  bool AllBurned() const;

 private:
  // The secret claimed in the pool for a token already counted under way.
  Turn ClaimFromPool(const QByteArray& serial, const QString& serialText, const QString& reader);
  void Abandon(const QByteArray& serial);

  const RunSetup& m_setup;
  mutable std::mutex m_mutex;
  std::atomic<bool> m_stopping{false};
  QString m_stopReason;
  QStringList m_lostLines;  // "serial (file: reason)"
  QSet<QByteArray> m_burned;
  std::map<QByteArray, Refusal> m_refused;
  QSet<QByteArray> m_underWay;
  std::map<QByteArray, QString> m_secretOwners;  // digest -> serial number it is claimed by
  std::map<QByteArray, bool> m_lastOk;            // serial -> its last turn ended well
  int m_burnedCount = 0;
  std::function<void()> m_wakeAll;
};

// Burns on the setup's readers until the count, the seed file's end or
// Interrupt. Execute gives the exit status: 0 when every token was burned,
// 1 when one failed or was left.
class Run {
 public:
  Run(const RunSetup& setup, Reporter& reporter);
  ~Run();
  int Execute();
  // Any thread (the signal thread): the burns under way finish, none begins.
  void Interrupt();

 private:
  class Worker;
  const RunSetup& m_setup;
  Reporter& m_reporter;
  RunBook m_book;
  std::vector<std::unique_ptr<Worker>> m_workers;
  std::mutex m_workersMutex;
};

}  // namespace cli
