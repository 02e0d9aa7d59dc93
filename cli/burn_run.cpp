// The production run: the shared book, the report, and one worker a reader
// that waits for the reader's events and drives its own burn engine.
#include "burn_run.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <openssl/crypto.h>
#include <algorithm>
#include <chrono>
#include <thread>

#include "app_values.h"
#include "burn_engine.h"
#include "base32.h"
#include "burned_secrets.h"
#include "card_session.h"
#include "link_token_port.h"
#include "random_seed.h"
#include "seed_file.h"
#include "status_watch.h"
#include "text_convert.h"
#include "token_clock.h"
#include "result_codes.h"
#include "token_commands.h"

namespace cli {
namespace {

constexpr qint64 kStatusEveryMs = 10000;  // without a terminal, a status line this often
constexpr uint32_t kLongestWaitMs = 500;  // a wake lost by pcsc-lite is made up for within this
constexpr int kPauseMs = 200;             // after a failed wait, before the next
constexpr uint32_t kPoolRetryMs = 1000;   // a token waiting for the seed pool asks again this often
// A token whose exchange broke while it stayed in the field is read again at
// once, at most this often an arrival; the engine spends no try on it then.
constexpr int kReadsAgain = 3;
// A card that cannot be read for this many looks in a row is noted once.
constexpr int kUnreadLooksNoted = 10;
constexpr std::size_t kSerialCapacity = 32;
constexpr std::size_t kClockCapacity = 64;

QString TimeText(const QDateTime& t) { return t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")); }

// One reader's view of the run's export set (none without --export-dir): its
// engine writes through it, and the worker learns what became of its own
// token's lines. The set is closed once, by the run at its end: an engine
// that closed it after a lost line would have the other readers' lines
// refused as "closed" instead of for the loss that stopped the run.
class ReaderExports : public station::ExportSink {
 public:
  explicit ReaderExports(SharedExports* shared) : m_shared(shared) {}
  bool IsComplete() const override { return m_shared != nullptr && m_shared->IsComplete(); }
  std::optional<station::ExportFile> Open() override {
    return m_shared != nullptr ? m_shared->Open() : std::optional(station::ExportFile::Hex);
  }
  std::optional<station::ExportFile> WriteLines(const station::BurnRecord& record) override {
    // Without a set no form asks for lines.
    if (m_shared == nullptr) return station::ExportFile::Hex;
    m_last = m_shared->Write(record);
    return m_last->failed;
  }
  void Close() override {}
  std::vector<station::ExportFile> FilesLeavingOut(const station::BurnRecord& record) const override {
    return m_shared != nullptr ? m_shared->FilesLeavingOut(record) : std::vector<station::ExportFile>();
  }
  // What became of the lines of the latest booking, once.
  std::optional<station::LinesWritten> TakeLast() { return std::exchange(m_last, std::nullopt); }

 private:
  SharedExports* const m_shared;
  std::optional<station::LinesWritten> m_last;
};

// The operator's line for a token burned whose line is missing from a file.
QString LostLineText(const station::LinesWritten& lines, bool secretKeptElsewhere) {
  const QString where = lines.path.isEmpty() ? QStringLiteral("the %1 export file")
                                                                .arg(station::ExportFileLabel(*lines.failed))
                                             : lines.path;
  QString text = QStringLiteral("the token holds its secret but its line could not be written to %1: %2")
                     .arg(where, lines.reason);
  if (lines.written.empty() && !secretKeptElsewhere) {
    text += QStringLiteral("; its secret is in no file: burn it again before it is used");
  }
  return text;
}

// What a result code of the token link means to the burner's operator.
QString CodeCause(uint32_t code) {
  switch (static_cast<int32_t>(code)) {
    case tokenlink::TL_E_CARD_STATUS:
      return QStringLiteral("the token refused the command or the exchange broke off");
    case tokenlink::TL_E_NO_DEVICE:
      return QStringLiteral("the token left the reader or did not answer");
    case tokenlink::TL_E_NO_KEY:
      return QStringLiteral("no customer key");
    case tokenlink::TL_E_SEED_LENGTH:
      return QStringLiteral("the token does not take a secret of this length");
    case tokenlink::TL_E_BAD_PARAMETER:
      return QStringLiteral("the command could not be made from the secret or the settings");
    case tokenlink::TL_E_KEY_LOCKED:
      return QStringLiteral("the customer key is locked on this token");
    case tokenlink::TL_E_AUTH_EXCHANGE:
      return QStringLiteral("the authentication could not be completed");
    case tokenlink::TL_E_TIME_TEXT:
      return QStringLiteral("the clock could not be put into the command");
    default:
      return {};
  }
}

}  // namespace

QString BurnerText(const QString& engineText) {
  static const QRegularExpression seedAnswerLost(
      QStringLiteral("^The token's answer to the seed write was lost: token (.*) may hold the secret\\."));
  static const QRegularExpression outcomeUnknown(
      QStringLiteral("^The burn was stopped while its outcome was unknown: token (.*) may hold the secret"));
  static const QRegularExpression code(QStringLiteral("(?:\\[|Error: )([0-9A-F]{8})\\]?$"));
  if (engineText.startsWith(QLatin1String("Authentication process failed! The token's answer was lost"))) {
    return QStringLiteral("its answer to the customer key was lost: it may have counted a try, so it is not "
                          "tried again in this run");
  }
  if (const QRegularExpressionMatch m = seedAnswerLost.match(engineText); m.hasMatch()) {
    return QStringLiteral("the token's answer to the seed write was lost: token %1 may hold the secret; lay it on "
                          "this reader again to finish its burn (Ctrl-C ends the run and reports it Unknown)")
        .arg(m.captured(1));
  }
  if (const QRegularExpressionMatch m = outcomeUnknown.match(engineText); m.hasMatch()) {
    return QStringLiteral("the run ended while its outcome was unknown: token %1 may hold the secret, which is in "
                          "no export file; burn it again before it is used")
        .arg(m.captured(1));
  }
  if (engineText == QLatin1String("Device not connected")) {
    return engineText + QStringLiteral(": ") + CodeCause(static_cast<uint32_t>(tokenlink::TL_E_NO_DEVICE));
  }
  if (const QRegularExpressionMatch m = code.match(engineText); m.hasMatch()) {
    const QString cause = CodeCause(m.captured(1).toUInt(nullptr, 16));
    if (!cause.isEmpty()) return engineText + QStringLiteral(": ") + cause;
  }
  return engineText;
}

const char* ResultWord(TokenResult result) {
  switch (result) {
    case TokenResult::Succeeded:
      return "Succeeded";
    case TokenResult::Failed:
      return "Failed";
    case TokenResult::Unknown:
      return "Unknown";
    case TokenResult::Left:
      return "Left";
    case TokenResult::Skipped:
      return "Skipped";
  }
  return "";
}

// The report.

Reporter::Reporter(bool json, std::FILE* out, std::FILE* err, bool errIsTerminal)
    : m_json(json), m_out(out), m_err(err), m_errIsTerminal(errIsTerminal) {
  m_clock.start();
}

void Reporter::Token(const TokenReport& report) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (report.result == TokenResult::Succeeded) ++m_burned;
  if (report.result == TokenResult::Failed || report.result == TokenResult::Unknown ||
      report.result == TokenResult::Left) {
    ++m_failed;
  }
  QByteArray line;
  if (m_json) {
    // RFC 3339, with the offset from UTC, so that lines of two sites compare.
    const QDateTime withOffset = report.time.toOffsetFromUtc(report.time.offsetFromUtc());
    QJsonObject object{{QStringLiteral("time"), withOffset.toString(Qt::ISODateWithMs)},
                       {QStringLiteral("reader"), report.reader},
                       {QStringLiteral("serial"), report.serial},
                       {QStringLiteral("result"), QLatin1String(ResultWord(report.result))},
                       {QStringLiteral("message"), report.message}};
    line = QJsonDocument(object).toJson(QJsonDocument::Compact);
  } else {
    line = QStringLiteral("%1  %2  %3  %4").arg(TimeText(report.time), report.reader, report.serial,
                                               QLatin1String(ResultWord(report.result))).toUtf8();
    if (!report.message.isEmpty()) line += "  " + report.message.toUtf8();
  }
  ClearStatusLocked();
  if (std::fprintf(m_out, "%s\n", line.constData()) < 0 || std::fflush(m_out) != 0) m_outputFailed = true;
  ShowStatusLocked(false);
}

void Reporter::Note(const QString& reader, const QString& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearStatusLocked();
  std::fprintf(m_err, "%s%s%s\n", qPrintable(TimeText(QDateTime::currentDateTime())),
               reader.isEmpty() ? "  " : qPrintable(QStringLiteral("  ") + reader + QStringLiteral(": ")),
               qPrintable(text));
  std::fflush(m_err);
  m_lastStatusLine.clear();
  ShowStatusLocked(false);
}

void Reporter::Finish() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearStatusLocked();
  const QString status = StatusTextLocked();
  if (!m_errIsTerminal && status == m_lastStatusLine) return;
  std::fprintf(m_err, "%s\n", qPrintable(status));
  std::fflush(m_err);
}

int Reporter::Burned() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_burned;
}

bool Reporter::OutputFailed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_outputFailed;
}

int Reporter::Failures() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failed;
}

QString Reporter::StatusText() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return StatusTextLocked();
}

QString Reporter::StatusTextLocked() const {
  const double minutes = std::max<qint64>(m_clock.elapsed(), 1) / 60000.0;
  return QStringLiteral("burned %1, %2 per minute, failed %3")
      .arg(m_burned)
      .arg(m_burned / minutes, 0, 'f', 1)
      .arg(m_failed);
}

void Reporter::ClearStatusLocked() {
  if (m_statusShown) std::fputs("\r\033[K", m_err);
  m_statusShown = false;
}

void Reporter::ShowStatusLocked(bool force) {
  if (m_errIsTerminal) {
    std::fputs(qPrintable(StatusTextLocked()), m_err);
    std::fflush(m_err);
    m_statusShown = true;
    return;
  }
  const qint64 now = m_clock.elapsed();
  if (!force && m_lastStatusMs >= 0 && now - m_lastStatusMs < kStatusEveryMs) return;
  m_lastStatusMs = now;
  m_lastStatusLine = StatusTextLocked();
  std::fprintf(m_err, "%s\n", qPrintable(m_lastStatusLine));
  std::fflush(m_err);
}

// The book.

RunBook::RunBook(const RunSetup& setup) : m_setup(setup) {}

Turn RunBook::Begin(const QByteArray& serial, const QString& serialText, const QString& reader) {
  Turn turn;
  if (m_stopping) return turn;
  std::unique_lock<std::mutex> lock(m_mutex);
  turn.kind = Turn::Kind::Leave;
  if (m_burned.contains(serial)) {
    turn.leftAs = TokenResult::Skipped;
    turn.why = QStringLiteral("burned earlier in this run");
    return turn;
  }
  if (m_underWay.contains(serial)) {
    turn.leftAs = TokenResult::Skipped;
    turn.why = QStringLiteral("its burn is under way on another reader");
    return turn;
  }
  if (const auto refused = m_refused.find(serial); refused != m_refused.end()) {
    // Each try costs the token one of its few.
    turn.why = refused->second == Refusal::AnswerLost
                   ? QStringLiteral("its answer to the customer key was lost earlier in this run: not tried again, "
                                    "it may have counted a try")
                   : QStringLiteral("refused the customer key earlier in this run: not tried again");
    m_lastOk[serial] = false;
    return turn;
  }
  const std::optional<int> count = m_setup.options.count;
  if (count && m_burnedCount + static_cast<int>(m_underWay.size()) >= *count) {
    turn.leftAs = TokenResult::Skipped;
    turn.why = QStringLiteral("the burns under way make up the count of %1").arg(*count);
    return turn;
  }
  if (*m_setup.options.source == SecretSource::Pool) {
    // The token counts as under way while its claim is made, outside the
    // book's lock: the other readers' turns do not wait for the database.
    m_underWay.insert(serial);
    lock.unlock();
    return ClaimFromPool(serial, serialText, reader);
  }
  QString secret;
  switch (*m_setup.options.source) {
    case SecretSource::SeedFile: {
      const std::optional<QString> found = sources::SeedTable::Lookup(serial);
      if (!found) {
        turn.why = QStringLiteral("not in the seed file");
        m_lastOk[serial] = false;
        return turn;
      }
      secret = NormaliseBase32(*found);
      turn.settings = sources::SeedTable::Settings(serial);
      break;
    }
    case SecretSource::Random: {
      const std::optional<std::string> text =
          sources::RandomSeedText(static_cast<std::size_t>(m_setup.options.randomBytes), seed::SeedEncoding::Base32);
      if (!text) {
        turn.why = QStringLiteral("the system's random source failed");
        m_lastOk[serial] = false;
        return turn;
      }
      secret = NormaliseBase32(QString::fromStdString(*text));
      break;
    }
    case SecretSource::SecretFile:
      secret = m_setup.secretText;
      break;
    case SecretSource::Pool:
      break;
  }
  const std::optional<QByteArray> digest = station::BurnedSecrets::Digest(station::DecodeSecret(secret));
  if (!digest) {
    turn.why = QStringLiteral("its secret cannot be compared with the others of this run");
    m_lastOk[serial] = false;
    return turn;
  }
  // Two tokens with one secret show the same codes; each engine knows only
  // its own reader's burns, the book knows the run's.
  if (const auto owner = m_secretOwners.find(*digest); owner != m_secretOwners.end()) {
    turn.why = QStringLiteral("its secret was already given to token %1 in this run").arg(owner->second);
    m_lastOk[serial] = false;
    return turn;
  }
  m_secretOwners[*digest] = serialText;
  m_underWay.insert(serial);
  turn.kind = Turn::Kind::Burn;
  turn.secretText = secret;
  turn.digest = *digest;
  return turn;
}

Turn RunBook::ClaimFromPool(const QByteArray& serial, const QString& serialText, const QString& reader) {
  Turn turn;
  turn.kind = Turn::Kind::Leave;
  std::variant<pool::SeedClaim, pool::ClaimRefused> claimed =
      m_setup.pool->Claim(serial.toStdString(), reader.toStdString());
  if (const auto* refused = std::get_if<pool::ClaimRefused>(&claimed)) {
    turn.why = QStringLiteral("seed pool: ") + QString::fromStdString(refused->text);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_underWay.remove(serial);
    if (refused->why == pool::ClaimRefusal::Burned) {
      // Burned on this station or another: nothing to do for it.
      turn.leftAs = TokenResult::Skipped;
    } else if (refused->why == pool::ClaimRefusal::Unreachable) {
      // Not a turn of its own yet: the worker asks again while it lies there.
      turn.waitForPool = true;
    } else {
      m_lastOk[serial] = false;
    }
    return turn;
  }
  auto claim = std::make_shared<pool::SeedClaim>(std::get<pool::SeedClaim>(std::move(claimed)));
  std::string unpadded((8 * claim->secret.size() + 4) / 5 + 1, '\0');  // and the encoder's NUL
  const int encoded = claim->secret.empty() || claim->secret.size() > seed::kMaxSeedBytes
                          ? -1
                          : seed::Base32Encode(claim->secret.data(), claim->secret.size(), unpadded.data());
  if (encoded <= 0) {
    m_setup.pool->Release(*claim);
    Abandon(serial);
    turn.why = QStringLiteral("seed pool: the secret claimed holds %1 bytes, which no token takes; released")
                   .arg(claim->secret.size());
    return turn;
  }
  unpadded.resize(static_cast<std::size_t>(encoded));
  const QString secret = NormaliseBase32(QString::fromStdString(unpadded));
  OPENSSL_cleanse(unpadded.data(), unpadded.size());
  const std::optional<QByteArray> digest = station::BurnedSecrets::Digest(claim->secret);
  if (!digest) {
    m_setup.pool->Release(*claim);
    Abandon(serial);
    turn.why = QStringLiteral("its secret cannot be compared with the others of this run");
    return turn;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  // The pool gives a secret to one serial only; this guards the run's own
  // book against a pool that would not.
  if (const auto owner = m_secretOwners.find(*digest); owner != m_secretOwners.end() && owner->second != serialText) {
    m_underWay.remove(serial);
    m_lastOk[serial] = false;
    turn.why = QStringLiteral("its secret was already given to token %1 in this run").arg(owner->second);
    return turn;
  }
  m_secretOwners[*digest] = serialText;
  turn.kind = Turn::Kind::Burn;
  turn.secretText = secret;
  turn.digest = *digest;
  if (claim->algorithm || claim->timeWindow) {
    sources::SeedSettings settings;
    if (claim->algorithm) settings.algorithm = QByteArray::fromStdString(*claim->algorithm);
    settings.timeWindow = claim->timeWindow;
    turn.settings = settings;
  }
  if (claim->resumedFrom) {
    turn.note = QString::fromStdString(*claim->resumedFrom) == m_setup.station
                    ? QStringLiteral("token %1 was claimed by an earlier run of this station: its burn is finished "
                                     "with the same secret")
                          .arg(serialText)
                    : QStringLiteral("token %1 was claimed by station %2, which is gone: its burn is finished here "
                                     "with the same secret")
                          .arg(serialText, QString::fromStdString(*claim->resumedFrom));
  }
  turn.claim = std::move(claim);
  return turn;
}

void RunBook::Abandon(const QByteArray& serial) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_underWay.remove(serial);
  m_lastOk[serial] = false;
}

void RunBook::End(const QByteArray& serial, const QByteArray& digest, TokenResult result) {
  std::optional<QString> stop;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_underWay.remove(serial);
    m_lastOk[serial] = result == TokenResult::Succeeded;
    if (result == TokenResult::Succeeded) {
      m_burned.insert(serial);
      ++m_burnedCount;
      if (m_setup.options.count && m_burnedCount >= *m_setup.options.count) {
        stop = m_burnedCount == 1 ? QStringLiteral("1 token burned") : QStringLiteral("%1 tokens burned").arg(m_burnedCount);
      } else if (*m_setup.options.source == SecretSource::SeedFile && m_burned.size() >= m_setup.seedEntries) {
        stop = QStringLiteral("every token of the seed file is burned");
      }
    } else if (result == TokenResult::Failed) {
      // The token does not hold the secret: it may go to the token again.
      m_secretOwners.erase(digest);
    }
    // Unknown: the token may hold it, so it stays claimed.
  }
  if (stop) RequestStop(*stop);
}

void RunBook::LineLost(const QString& serialText, const QString& file, const QString& reason) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lostLines << QStringLiteral("%1 (%2: %3)").arg(serialText, file, reason);
  }
  RequestStop(QStringLiteral("an export line could not be written to %1: %2").arg(file, reason));
}

QStringList RunBook::LostLines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lostLines;
}

void RunBook::Refused(const QByteArray& serial, Refusal why) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // A refusal says more than a lost answer.
  auto [at, added] = m_refused.emplace(serial, why);
  if (!added && why == Refusal::Refused) at->second = why;
}

void RunBook::Release(const QByteArray& serial, const QByteArray& digest) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_underWay.remove(serial);
  m_secretOwners.erase(digest);
}

TokenResult RunBook::Passed(const QByteArray& serial) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_burned.contains(serial)) return TokenResult::Skipped;
  m_lastOk[serial] = false;
  return TokenResult::Left;
}

void RunBook::RequestStop(const QString& why) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) return;
    m_stopReason = why;
    m_stopping = true;
  }
  if (m_wakeAll) m_wakeAll();
}

QString RunBook::StopReason() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopReason;
}

bool RunBook::AllBurned() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_underWay.isEmpty()) return false;
  for (const auto& [serial, ok] : m_lastOk) {
    if (!ok) return false;
  }
  return true;
}

// One reader's worker: its thread, its PC/SC watch, its engine. The engine's
// token commands run on this thread, through the port below, which notes
// every token that refused the key for the whole run.

class Run::Worker : public station::BurnView, public station::TokenPort {
 public:
  Worker(QString reader, const RunSetup& setup, RunBook& book, Reporter& reporter)
      : m_reader(std::move(reader)),
        m_setup(setup),
        m_book(book),
        m_reporter(reporter),
        m_link([this] { return m_reader; }, [this](bool computerClock) { return ClockText(computerClock); }),
        m_exports(setup.exports.get()),
        m_engine(m_exports, [] { return QDateTime::currentDateTime(); }),
        m_driver(m_engine, *this, *this) {
    // The run said at its start which files leave its tokens out.
    m_engine.AcceptFilesLeavingOut();
  }

  void Start() {
    m_thread = std::thread([this] { Loop(); });
  }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }
  void Wake() { m_watch.Wake(); }

  // TokenPort.
  station::Outcome Run(const station::Command& command) override {
    const station::Outcome outcome = m_link.Run(command);
    if (command.kind == station::CommandKind::Authenticate && outcome.code != 0 &&
        outcome.delivery != tokenlink::Delivery::NotSent) {
      // The cryptogram reached the token: a try may be gone. The token that
      // answered may have been swapped in since it was read; it is read
      // (which costs no try) so that the refusal is held against the token
      // that spent the try, and reported under it. Unread, it stays with the
      // turn's token.
      const RunBook::Refusal why = outcome.delivery == tokenlink::Delivery::AnswerLost ? RunBook::Refusal::AnswerLost
                                                                                      : RunBook::Refusal::Refused;
      const std::optional<station::FieldToken> answered = ReadToken(false);
      if (answered && m_current && answered->serialBytes != m_current->serialBytes) {
        m_book.Refused(answered->serialBytes, why);
        m_refusedBy = answered;
      } else if (m_current) {
        m_book.Refused(m_current->serialBytes, why);
      }
    }
    return outcome;
  }

  // BurnView.
  void Show(const station::ShowMessage& message) override {
    if (message.awaited) {
      // The export set could not be made anew after a failure: nothing more
      // is burned here, so that no token is burned without its lines.
      m_book.RequestStop(QStringLiteral("the export files cannot be written"));
      m_driver.Dispatch(station::Closing{});
    }
    // The press found another token in the field than the one read for the
    // turn: nothing was sent to either, and the newcomer gets a turn of its own.
    static const QRegularExpression replaced(QStringLiteral("^Token (.*) lies on the reader in place of token "));
    if (const QRegularExpressionMatch m = replaced.match(message.text); m.hasMatch()) {
      m_replacedBy = m.captured(1);
      return;
    }
    if (message.caption != station::kCaptionStation) m_messages << BurnerText(message.text);
  }
  bool Ask(const QString& text) override {
    // Nobody is there to answer: the token is left as it is.
    m_messages << BurnerText(text);
    m_asked = true;
    return false;
  }
  void AddLogRow(const station::AddLogRow& row) override { m_booked = row.result; }
  void ShowCounters(const station::ShowCounters&) override {}
  void ShowBurnPending(bool) override {}
  void ReadTokenAgain() override { m_readAgain = true; }

 private:
  void Loop();
  void WaitForTokens();
  // False when the card in the field could not be read as a token.
  bool OnArrival();
  void NewTurn(const station::FieldToken& token);
  // During a pending burn: true when the engine was told of the token.
  bool Offer(const station::FieldToken& token);
  void Settle();
  void Conclude();
  void EndPendingBurn();
  // keepClock: the token clock read is the one --no-sync writes back.
  std::optional<station::FieldToken> ReadToken(bool keepClock = true);
  QByteArray ClockText(bool computerClock) const;
  void Dispatch(station::Event event) { m_driver.Dispatch(std::move(event)); }
  // The pool's lines for the operator (the database lost, back, the journal replayed).
  void PoolNotes();
  // The token that waited for the pool gets no turn: it is reported left.
  void EndPoolWait(const QString& why);
  // The turn's claim when the token was left without its secret: free again.
  void ReleaseClaim();
  // The token holds the claim's secret: its record into the pool (or the
  // journal). Nothing, or why it is in neither.
  std::optional<QString> BookBurn();

  const QString m_reader;
  const RunSetup& m_setup;
  RunBook& m_book;
  Reporter& m_reporter;
  station::LinkTokenPort m_link;
  ReaderExports m_exports;
  station::BurnEngine m_engine;
  station::BurnDriver m_driver;
  tokenlink::StatusWatch m_watch;
  std::thread m_thread;

  // The token of the turn under way, and what its burn reported.
  std::optional<station::FieldToken> m_current;
  station::Form m_form;
  QByteArray m_digest;
  std::shared_ptr<pool::SeedClaim> m_claim;  // from the pool: booked or released when the turn ends
  // The token in the field waits for the seed pool to answer (nothing was
  // claimed for it or sent to it); it is asked for again every kPoolRetryMs.
  std::optional<station::FieldToken> m_poolWaiting;
  QString m_poolWaitWhy;
  QStringList m_messages;
  std::optional<QString> m_booked;
  // Another token than the turn's answered its authentication (swapped in
  // after the turn's token was read): the refusal is its own.
  std::optional<station::FieldToken> m_refusedBy;
  std::optional<QString> m_replacedBy;  // the token found in the field in place of the turn's
  bool m_asked = false;
  bool m_readAgain = false;
  bool m_lostNoted = false;
  bool m_inField = false;
  // The token clock as last read, for --no-sync.
  std::optional<uint32_t> m_tokenClock;
  std::chrono::steady_clock::time_point m_tokenClockReadAt;
};

void Run::Worker::Loop() {
  // The worker's commands follow each other on its reader: the connection
  // stays open between them, so that the token stays powered (and keeps its
  // authentication) from one command to the next, and no other reader's
  // exchange waits for a connection of this one to be made.
  tokenlink::KeepCardConnection(true);
  WaitForTokens();
  if (m_poolWaiting) EndPoolWait(QStringLiteral("the run ended first"));
  // The burn that waits for a token whose seed write lost its answer is
  // booked "Unknown" and named; any other ends without a booking.
  if (m_engine.BurnPending()) EndPendingBurn();
  Dispatch(station::Closing{});
  tokenlink::KeepCardConnection(false);
  m_watch.Close();
}

void Run::Worker::WaitForTokens() {
  using namespace tokenlink;
  const std::string reader = m_reader.toStdString();
  uint32_t known = kStateUnaware;
  int64_t handledCount = -1;  // the insertion count of the token dealt with, or none
  bool reportedFailure = false;
  // A card that could not be read (still powering up, not a token, taken off
  // during the read) is read again every pause until it can be or leaves.
  int unreadLooks = 0;
  while (!m_book.Stopping()) {
    if (const int32_t rc = m_watch.Open(kScopeSystem); rc != kScardSuccess) {
      if (!reportedFailure) m_reporter.Note(m_reader, QStringLiteral("PC/SC is not reachable; trying again"));
      reportedFailure = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
      continue;
    }
    ReaderState entry{reader, known};
    const uint32_t waitMs = unreadLooks > 0 ? kPauseMs : m_poolWaiting ? kPoolRetryMs : kLongestWaitMs;
    const int32_t rc = m_watch.Wait(waitMs, &entry, 1);
    if (m_book.Stopping()) break;
    if (rc == kScardECancelled) continue;
    if (rc != kScardSuccess && rc != kScardETimeout) {
      if (!reportedFailure) {
        m_reporter.Note(m_reader, rc == kScardEUnknownReader ? QStringLiteral("the reader is gone; waiting for it")
                                                             : QStringLiteral("PC/SC failed; trying again"));
      }
      reportedFailure = true;
      if (m_inField) {
        m_inField = false;
        Dispatch(station::TokenGone{});
      }
      if (m_poolWaiting) EndPoolWait(QStringLiteral("the reader could not be watched"));
      m_watch.Close();
      known = kStateUnaware;
      handledCount = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
      continue;
    }
    if (reportedFailure) m_reporter.Note(m_reader, QStringLiteral("PC/SC is back"));
    reportedFailure = false;
    known = entry.eventState & ~(kStateChanged | kStateInUse);
    const bool present = (known & kStatePresent) != 0 && (known & kStateMute) == 0;
    if (!present) {
      unreadLooks = 0;
      // The token dealt with is gone; a reader plugged back may count its
      // insertions from the same value again.
      handledCount = -1;
      if (m_inField) {
        m_inField = false;
        Dispatch(station::TokenGone{});
      }
      if (m_poolWaiting) EndPoolWait(QStringLiteral("it was taken off the reader"));
      continue;
    }
    // A token laid on since the last one dealt with (the count goes up with
    // every insertion and removal, so a quick swap is not missed).
    if (handledCount == static_cast<int64_t>(EventCount(known))) {
      // Still the token that waits for the pool: read again (a swap the
      // count missed is caught there) and asked for again.
      if (m_poolWaiting && rc == kScardETimeout && !OnArrival()) {
        EndPoolWait(QStringLiteral("it could not be read again"));
      }
      continue;
    }
    if (m_inField) Dispatch(station::TokenGone{});
    handledCount = EventCount(known);
    m_inField = true;
    if (OnArrival()) {
      unreadLooks = 0;
      continue;
    }
    // Nothing was sent to it but the information read.
    if (++unreadLooks == kUnreadLooksNoted) {
      m_reporter.Note(m_reader, QStringLiteral("the card on the reader cannot be read as a token"));
    }
    handledCount = -1;
    m_inField = false;
  }
}

std::optional<station::FieldToken> Run::Worker::ReadToken(bool keepClock) {
  tokenlink::TokenInfo info;
  const int32_t rc =
      tokenlink::ReadTokenInfo(app::WideToAnsi(m_reader).constData(), kSerialCapacity, kClockCapacity, &info);
  if (rc != 0) return std::nullopt;
  if (keepClock) {
    m_tokenClock = tokenlink::ClockTextSeconds(info.clockText);
    m_tokenClockReadAt = std::chrono::steady_clock::now();
  }
  station::FieldToken token;
  token.serialBytes = QByteArray::fromStdString(info.serialNumber);
  token.serialNumber = app::AnsiToWide(token.serialBytes);
  return token;
}

QByteArray Run::Worker::ClockText(bool computerClock) const {
  int64_t seconds = QDateTime::currentSecsSinceEpoch();
  if (!computerClock && m_tokenClock) {
    // The token's own clock goes on running after it was read.
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_tokenClockReadAt);
    seconds = static_cast<int64_t>(*m_tokenClock) + elapsed.count();
  }
  return QByteArray::fromStdString(tokenlink::TokenTimeText(tokenlink::ClockText(tokenlink::ClockFieldsOf(seconds))));
}

bool Run::Worker::OnArrival() {
  const std::optional<station::FieldToken> token = ReadToken();
  if (!token) return false;
  if (m_engine.BurnPending()) {
    if (Offer(*token)) Settle();
    return true;
  }
  NewTurn(*token);
  return true;
}

void Run::Worker::NewTurn(const station::FieldToken& token) {
  const Turn turn = m_book.Begin(token.serialBytes, token.serialNumber, m_reader);
  PoolNotes();
  if (turn.kind == Turn::Kind::Stop) return;
  if (turn.waitForPool) {
    // The operator need not take it off and lay it again: it is burned as
    // soon as the pool answers.
    if (!m_poolWaiting || m_poolWaiting->serialBytes != token.serialBytes) {
      if (m_poolWaiting) EndPoolWait(QStringLiteral("another token was laid in its place"));
      m_reporter.Note(m_reader, QStringLiteral("token %1 waits on the reader: %2").arg(token.serialNumber, turn.why));
      m_poolWaiting = token;
      m_poolWaitWhy = turn.why;
    }
    return;
  }
  if (m_poolWaiting) {
    // The token that waited has its turn now; another laid in its place
    // ends its wait.
    if (m_poolWaiting->serialBytes == token.serialBytes) {
      m_poolWaiting.reset();
    } else {
      EndPoolWait(QStringLiteral("another token was laid in its place"));
    }
  }
  if (turn.kind == Turn::Kind::Leave) {
    m_reporter.Token({QDateTime::currentDateTime(), m_reader, token.serialNumber, turn.leftAs, turn.why});
    return;
  }
  if (!turn.note.isEmpty()) m_reporter.Note(m_reader, turn.note);
  m_current = token;
  m_digest = turn.digest;
  m_claim = turn.claim;
  m_form = station::Form{};
  m_form.secretText = turn.secretText;
  m_form.choices = m_setup.options.choices;
  m_form.syncClock = m_setup.options.syncClock;
  m_form.exportLines = m_setup.exports != nullptr;
  m_form.userName = m_setup.options.upn;
  if (turn.settings) {
    if (turn.settings->algorithm) m_form.choices.algorithm = *turn.settings->algorithm;
    if (turn.settings->timeWindow) m_form.choices.timeWindow = *turn.settings->timeWindow;
  }
  m_messages.clear();
  m_booked.reset();
  m_refusedBy.reset();
  m_replacedBy.reset();
  m_asked = false;
  m_readAgain = false;
  m_lostNoted = false;
  Dispatch(station::TokenSeen{token, m_form});
  Dispatch(station::BurnPressed{m_form});
  Settle();
}

bool Run::Worker::Offer(const station::FieldToken& token) {
  if (m_current && token.serialBytes == m_current->serialBytes) {
    Dispatch(station::TokenSeen{token, m_form});
    return true;
  }
  if (m_engine.LostWriteSerial()) {
    // This reader finishes the token that may hold its secret first; the
    // book hears of the token left, so that the exit status counts it.
    m_reporter.Token({QDateTime::currentDateTime(), m_reader, token.serialNumber, m_book.Passed(token.serialBytes),
                      QStringLiteral("the reader waits for token %1 to finish its burn")
                          .arg(m_current ? m_current->serialNumber : QString())});
    return false;
  }
  // Another token took the place of the one being burned before its seed
  // write: that burn ends, and the newcomer gets a turn of its own with its
  // own secret.
  m_messages << QStringLiteral("another token was laid on the reader before the seed write");
  EndPendingBurn();
  NewTurn(token);
  return false;
}

void Run::Worker::Settle() {
  int readsAgain = 0;
  while (m_engine.BurnPending()) {
    if (m_readAgain && readsAgain < kReadsAgain && m_inField && !m_book.Stopping()) {
      m_readAgain = false;
      ++readsAgain;
      if (const std::optional<station::FieldToken> token = ReadToken()) {
        if (!Offer(*token)) return;
        continue;
      }
    }
    if (m_engine.LostWriteSerial()) {
      // The burn waits for the token to come back (or for the end of the run).
      if (!m_lostNoted) m_reporter.Note(m_reader, m_messages.isEmpty() ? QString() : m_messages.last());
      m_lostNoted = true;
      return;
    }
    // Refused at the take-up, or the token left before the seed write: the
    // burn ends here; the token gets a new turn when it is laid on again.
    EndPendingBurn();
    return;
  }
  Conclude();
}

void Run::Worker::EndPendingBurn() {
  Dispatch(station::StopPressed{});
  Conclude();
}

void Run::Worker::Conclude() {
  if (!m_current) return;
  if (m_refusedBy && !m_booked) {
    // The turn's token was not tried: it is free again and gets a new turn
    // when it is read again; the token that refused is reported.
    m_book.Release(m_current->serialBytes, m_digest);
    ReleaseClaim();
    m_reporter.Token({QDateTime::currentDateTime(), m_reader, m_refusedBy->serialNumber, TokenResult::Failed,
                      m_messages.join(QStringLiteral("; "))});
    m_reporter.Note(m_reader, QStringLiteral("token %1 was replaced by %2 before its burn: not tried")
                                  .arg(m_current->serialNumber, m_refusedBy->serialNumber));
    m_current.reset();
    m_refusedBy.reset();
    m_messages.clear();
    return;
  }
  if (m_replacedBy && !m_booked) {
    m_book.Release(m_current->serialBytes, m_digest);
    ReleaseClaim();
    m_reporter.Note(m_reader, QStringLiteral("token %1 was replaced by %2 before its burn: nothing was sent to it")
                                  .arg(m_current->serialNumber, *m_replacedBy));
    m_current.reset();
    m_replacedBy.reset();
    m_messages.clear();
    return;
  }
  TokenResult result = TokenResult::Failed;
  if (m_booked) {
    if (*m_booked == QLatin1String("Succeeded")) {
      result = TokenResult::Succeeded;
    } else if (*m_booked == QLatin1String("Unknown")) {
      result = TokenResult::Unknown;
    }
  } else if (m_asked) {
    result = TokenResult::Left;  // nothing was sent to it
  }
  QString message = result == TokenResult::Succeeded ? QString() : m_messages.join(QStringLiteral("; "));
  if (result == TokenResult::Succeeded && m_setup.options.noExport &&
      *m_setup.options.source == SecretSource::Random) {
    message = QStringLiteral("its secret was not saved (--no-export)");
  }
  if (result == TokenResult::Failed && message.isEmpty()) {
    // The engine says nothing when the read right before the seed write gets
    // no answer or another token: it sent nothing that could be lost.
    message = QStringLiteral(
        "the token could not be read again right before its seed write (it left the reader or did not answer): "
        "nothing was written; lay it again for a new turn");
  }
  if (const std::optional<station::LinesWritten> lines = m_exports.TakeLast();
      lines && lines->failed && result == TokenResult::Succeeded) {
    // The token holds its secret, but a file lacks its line: not a success.
    // No new token is taken on any reader from here.
    result = TokenResult::Failed;
    message = LostLineText(*lines, *m_setup.options.source != SecretSource::Random);
    m_book.LineLost(m_current->serialNumber,
                    lines->path.isEmpty() ? station::ExportFileLabel(*lines->failed) : lines->path, lines->reason);
  }
  if (m_claim) {
    if (m_booked && *m_booked == QLatin1String("Succeeded")) {
      // The token holds the secret, whatever became of its export lines.
      if (const std::optional<QString> lost = BookBurn()) {
        result = TokenResult::Failed;
        message = message.isEmpty() ? *lost : message + QStringLiteral("; ") + *lost;
      }
    } else if (result == TokenResult::Unknown) {
      // It may hold the secret: the claim stays, for this token only.
      message += QStringLiteral("; its secret stays claimed for it in the pool: lay it on any station to finish");
    } else {
      ReleaseClaim();
    }
    m_claim.reset();
  }
  m_book.End(m_current->serialBytes, m_digest, result);
  m_reporter.Token({QDateTime::currentDateTime(), m_reader, m_current->serialNumber, result, message});
  m_current.reset();
  m_booked.reset();
  m_messages.clear();
}

void Run::Worker::PoolNotes() {
  if (!m_setup.pool) return;
  for (const std::string& note : m_setup.pool->TakeNotes()) m_reporter.Note(m_reader, QString::fromStdString(note));
}

void Run::Worker::EndPoolWait(const QString& why) {
  const station::FieldToken token = *std::exchange(m_poolWaiting, std::nullopt);
  m_reporter.Token({QDateTime::currentDateTime(), m_reader, token.serialNumber, m_book.Passed(token.serialBytes),
                    QStringLiteral("%1; nothing was sent to it: %2").arg(m_poolWaitWhy, why)});
}

void Run::Worker::ReleaseClaim() {
  if (!m_claim) return;
  const pool::BookingResult released = m_setup.pool->Release(*m_claim);
  PoolNotes();
  if (released.how == pool::Booking::Failed) {
    // The secret stays claimed for this token: no other token gets it.
    m_reporter.Note(m_reader, QStringLiteral("token %1's claim could not be released in the pool (%2): its secret "
                                             "stays claimed for it")
                                  .arg(m_current ? m_current->serialNumber : QString(),
                                       QString::fromStdString(released.text)));
  }
  m_claim.reset();
}

std::optional<QString> Run::Worker::BookBurn() {
  pool::BurnFacts facts;
  facts.reader = m_reader.toStdString();
  facts.algorithm = m_form.choices.algorithm.toStdString();
  facts.timeWindow = m_form.choices.timeWindow;
  facts.displayTime = m_form.choices.displayTime;
  facts.upn = m_form.userName.toStdString();
  facts.burnedAtMs = QDateTime::currentMSecsSinceEpoch();
  const pool::BookingResult booked = m_setup.pool->Burned(*m_claim, facts);
  PoolNotes();
  switch (booked.how) {
    case pool::Booking::Committed:
      return std::nullopt;
    case pool::Booking::Journaled:
      m_reporter.Note(m_reader, QStringLiteral("token %1's burn is in the station's journal: the pool cannot be "
                                               "reached; it is replayed when the pool is back")
                                    .arg(m_current->serialNumber));
      return std::nullopt;
    case pool::Booking::Failed:
      break;
  }
  // Neither the pool nor the journal has it: the run takes no new token.
  const QString why = QString::fromStdString(booked.text);
  m_book.LineLost(m_current->serialNumber, QStringLiteral("the seed pool"), why);
  return QStringLiteral("the token holds its secret but its burn could not be recorded in the seed pool or the "
                        "journal: %1; its claim stays in the pool for it")
      .arg(why);
}

// The run.

Run::Run(const RunSetup& setup, Reporter& reporter) : m_setup(setup), m_reporter(reporter), m_book(setup) {
  m_book.SetWakeAll([this] {
    std::lock_guard<std::mutex> lock(m_workersMutex);
    for (const auto& worker : m_workers) worker->Wake();
  });
}

Run::~Run() { m_book.SetWakeAll({}); }

void Run::Interrupt() { m_book.RequestStop(QStringLiteral("interrupted")); }

int Run::Execute() {
  {
    std::lock_guard<std::mutex> lock(m_workersMutex);
    for (const QString& reader : m_setup.readers) {
      m_workers.push_back(std::make_unique<Worker>(reader, m_setup, m_book, m_reporter));
    }
  }
  m_reporter.Note(QString(), QStringLiteral("burning on %1").arg(m_setup.readers.join(QStringLiteral(", "))));
  if (m_setup.pool) {
    m_reporter.Note(QString(), QStringLiteral("secrets from the seed pool, as station %1").arg(m_setup.station));
  }
  for (const QString& note : m_setup.notes) m_reporter.Note(QString(), note);
  if (m_setup.exports && WritesAzure(m_setup.options)) {
    if (m_setup.options.choices.algorithm != "SHA1") {
      m_reporter.Note(QString(), QStringLiteral("--algorithm %1: the cloud directory takes SHA-1 tokens only, so "
                                                "the Azure file gets no lines; the other files get theirs")
                                     .arg(QString::fromLatin1(m_setup.options.choices.algorithm)));
    } else if (m_setup.options.upn.isEmpty()) {
      m_reporter.Note(QString(), QStringLiteral("no --upn: the Azure lines are written with an empty UPN"));
    }
  }
  for (const auto& worker : m_workers) worker->Start();
  for (const auto& worker : m_workers) worker->Join();
  if (m_setup.exports) m_setup.exports->Close();
  const QString reason = m_book.StopReason();
  if (!reason.isEmpty()) m_reporter.Note(QString(), QStringLiteral("stopped: ") + reason);
  if (const QStringList lost = m_book.LostLines(); !lost.isEmpty()) {
    m_reporter.Note(QString(), QStringLiteral("export lines lost: %1 %2 burned but missing from the export files: %3")
                                   .arg(lost.size())
                                   .arg(lost.size() == 1 ? QStringLiteral("token is") : QStringLiteral("tokens are"))
                                   .arg(lost.join(QStringLiteral("; "))));
  }
  if (m_setup.pool) {
    for (const std::string& note : m_setup.pool->TakeNotes()) m_reporter.Note(QString(), QString::fromStdString(note));
    if (const int waiting = m_setup.pool->JournalEntries(); waiting > 0) {
      m_reporter.Note(QString(), QStringLiteral("%1 in the station's journal, not yet in the seed pool: the next run "
                                                "of station %2 replays %3 once the pool can be reached")
                                     .arg(waiting == 1 ? QStringLiteral("1 booking is")
                                                       : QStringLiteral("%1 bookings are").arg(waiting),
                                          m_setup.station, waiting == 1 ? QStringLiteral("it") : QStringLiteral("them")));
    }
  }
  m_reporter.Finish();
  const bool exportsFailed = m_setup.exports && m_setup.exports->Failed();
  return m_book.AllBurned() && !exportsFailed ? 0 : 1;
}

}  // namespace cli
