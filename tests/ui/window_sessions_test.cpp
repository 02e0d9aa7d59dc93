// Random operator sessions through the whole window: the steps of the burn
// engine's random sessions applied to the real CVantorDlg (its buttons and
// boxes, its card monitor polling two emulated readers, its export files),
// with the station's promises checked against the emulated tokens, the log
// list, the counters and the files after every step. The window runs on real
// threads and timers, so a session does not repeat to the millisecond: a
// failure prints its seed and steps, unshrunk.
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "burn_engine.h"
#include "burn_record.h"
#include "burn_sessions.h"
#include "emulated_station.h"
#include "token_commands.h"
#include "token_emulator.h"

namespace {

using enginetest::Session;
using enginetest::Step;

const std::string kSecondReader = "Emulated Reader 1";
const QString kProgrammed = QStringLiteral("Token successfully programmed!");
const QString kNoToken = QStringLiteral("Token or card not detected");
const QString kUserName = QStringLiteral("ops@example.com");
const QString kAzureHeader = QStringLiteral("upn,serial number,secret key,time interval,manufacturer,model");

// Burn/Stop stays held this long after a press.
constexpr int kBurnPauseMs = 500;
// After each step the card monitor makes a pass or two, and the panel gets
// the time to show the token in the field.
constexpr int kStepPauseMs = 50;
constexpr int kPanelWithinMs = 1000;

constexpr int kSessionSteps = 25;
constexpr uint64_t kSessions = 20;

// ZZ_WINDOW_SESSION_SEED runs the session of that seed (and those after it
// when ZZ_WINDOW_SESSIONS is set too); ZZ_WINDOW_SESSIONS sets how many run.
uint64_t EnvNumber(const char* name, uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text ? std::strtoull(text, nullptr, 10) : otherwise;
}

// A session for the window: the steps of the engine's sessions in a mix that
// a short run can afford. Every step of the window is followed by passes of
// the card monitor, so there are no steps for them; most tokens go onto the
// reader the window watches and have the station's key, and Burn comes
// often, so that a short run still burns a lot, with cards pulled and
// answers lost at every APDU of the burn.
Session WindowSession(uint64_t seed, int length) {
  std::mt19937_64 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  Session session;
  const int tokenCount = 1 + pick(3);
  for (int i = 0; i < tokenCount; ++i) session.tokens.push_back({pick(4) != 0, 2 + pick(9)});
  int watched = 0;  // the reader of the latest Connect
  auto reader = [&] { return pick(5) == 0 ? 1 - watched : watched; };
  // A token on the reader to begin with, so that the first presses burn.
  session.steps.push_back({Step::Lay, 0, 0});
  for (int i = 1; i < length; ++i) {
    Step s;
    const int roll = pick(100);
    if (roll < 22) {
      s = {Step::Lay, pick(tokenCount), reader()};
    } else if (roll < 30) {
      s = {Step::Remove, reader()};
    } else if (roll < 54) {
      s = {Step::Burn};
    } else if (roll < 57) {
      s = {Step::Sync};
    } else if (roll < 60) {
      s = {Step::Connect, pick(2)};
      watched = s.a;
    } else if (roll < 67) {
      s = {Step::Pull, 1 + pick(9)};
    } else if (roll < 76) {
      s = {Step::LoseAnswer, 1 + pick(9), pick(2)};
    } else if (roll < 83) {
      s = {Step::TypeSecret, pick(4)};
    } else if (roll < 86) {
      s = {Step::SeedFile, pick(1 << tokenCount)};
    } else if (roll < 92) {
      s = {Step::Export, pick(2)};
    } else if (roll < 95) {
      s = {Step::Choices, pick(16)};
    } else if (roll < 99) {
      const int mode = pick(20);
      s = {Step::Answer, mode < 4 ? 0 : mode < 14 ? 1 : mode < 17 ? 2 : 3};
    } else {
      s = {Step::Close};
    }
    session.steps.push_back(s);
  }
  session.steps.push_back({Step::Close});
  return session;
}

// The seed a token holds once this secret is burned with this algorithm.
std::vector<uint8_t> StoredSeedOf(const QString& secretText, const QByteArray& algorithm) {
  station::BurnRecord record;
  record.secretBytes = station::DecodeSecret(secretText);
  record.choices.algorithm = algorithm;
  return enginetest::StoredSeed(record);
}

QStringList SplitLines(const QByteArray& content) {
  return QString::fromLatin1(content).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

struct SessionTally {
  std::size_t sessions = 0;
  std::size_t steps = 0;
  std::size_t presses = 0;
  std::size_t succeeded = 0;
  std::size_t failed = 0;
  std::size_t unknown = 0;
  std::size_t exported = 0;
  std::size_t questions = 0;
  std::size_t apdus = 0;
  // Steps after which the panel did not come to show the token in the field
  // (no promise, but a window that stops following its reader shows here).
  std::vector<std::string> unsettled;
};

}  // namespace

class WindowSessionsTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void cleanupTestCase();

  void promisesHoldInRandomSessions_data();
  void promisesHoldInRandomSessions();

 private:
  // One session's bookkeeping: what the operator did and what has been seen
  // booked so far.
  struct Run {
    uint64_t seed = 0;
    Session session;
    std::size_t step = 0;  // the step under way; 0 before the first
    std::vector<std::shared_ptr<sim::TokenEmulator>> tokens;
    int connected = 0;
    bool closeRequested = false;
    std::optional<QElapsedTimer> sinceBurnClick;

    // Tries: as laid, at the latest Burn press, and the presses that may spend one.
    std::vector<int> initialTries;
    std::vector<int> pressTries;
    int syncsSinceBurn = 0;
    int presses = 0;  // Burn presses that started a burn, and Sync presses

    // The burn of the latest Burn press: its choices, and every secret and
    // export tick the form has held since (the burn takes the form as it is
    // when the card monitor hands the token over).
    station::Choices pressChoices;
    int seedWritesAtPress = 0;
    std::set<QString> secretsSincePress;
    std::set<bool> exportSincePress;
    std::map<QByteArray, QString> seedFile;
    std::optional<int> seedWritesAtStop;
    std::optional<int> protectedAtClose;

    // The tokens' seeds as last seen, and at which step each last changed.
    std::vector<std::vector<uint8_t>> seeds;
    std::vector<std::size_t> seedChangedAt;
    // The log rows seen, oldest first, and what they came to.
    int rowsSeen = 0;
    int succeeded = 0;
    int failedRows = 0;
    int unknownRows = 0;
    std::map<QByteArray, std::vector<uint8_t>> successSeed;  // what each token's latest success left in it
    std::map<QByteArray, std::size_t> unknownAt;
    // The export files as last read, and the lines they must hold.
    std::map<QString, QByteArray> files;
    QStringList expectedB32, expectedHex, expectedAzure;
    // What the window showed after each step, for the report.
    std::vector<std::string> shown;
  };

  std::string RunSession(uint64_t seed);
  void Apply(const Step& step);
  void Settle();
  std::string Check(std::size_t stepIndex);
  std::string CheckBookings(std::size_t stepIndex, std::vector<QByteArray>* newSuccesses);
  std::string CheckExports(std::vector<QByteArray> newSuccesses);

  void PressBurnOrStop();
  void ClickBurn();
  void NoteBurnPress();
  void NoteStop();
  void NoteClose();
  void NoteForm();

  static std::string Reader(int index);
  QString PanelSerial() const { return LabelText(m_dlg, kSerialLabel); }
  QString FieldSerial() const;
  int Sent(std::initializer_list<uint8_t> instructions) const;
  int SeedWrites() const { return Sent({tokenlink::INS_SEED_WRITE}); }
  int ProtectedCommands() const {
    return Sent({tokenlink::INS_AUTHENTICATE, tokenlink::INS_PARAMETER, tokenlink::INS_SEED_WRITE});
  }
  int TokenIndex(const QByteArray& serial) const;
  std::string Shown() const;
  std::string Report(uint64_t seed, std::size_t failedAt, const std::string& broken) const;

  Run m_run;
  static inline SessionTally s_tally;
};

void WindowSessionsTest::init() {
  StartStack();
  m_pcsc->AddReader(kSecondReader);
  OpenWindow();
}

void WindowSessionsTest::cleanup() { EndStation(); }

void WindowSessionsTest::cleanupTestCase() {
  qInfo(
      "%zu sessions, %zu steps (%zu unsettled), %zu presses of Burn and Sync: %zu succeeded (%zu exported), "
      "%zu failed, %zu unknown, %zu questions, %zu APDUs",
      s_tally.sessions, s_tally.steps, s_tally.unsettled.size(), s_tally.presses, s_tally.succeeded, s_tally.exported,
      s_tally.failed, s_tally.unknown, s_tally.questions, s_tally.apdus);
  for (const std::string& step : s_tally.unsettled) qInfo("unsettled: %s", step.c_str());
}

void WindowSessionsTest::promisesHoldInRandomSessions_data() {
  QTest::addColumn<quint64>("seed");
  const char* one = std::getenv("ZZ_WINDOW_SESSION_SEED");
  const uint64_t first = EnvNumber("ZZ_WINDOW_SESSION_SEED", 1);
  const uint64_t count = EnvNumber("ZZ_WINDOW_SESSIONS", one ? 1 : kSessions);
  for (uint64_t seed = first; seed < first + count; ++seed) {
    QTest::addRow("seed %llu", static_cast<unsigned long long>(seed)) << quint64(seed);
  }
}

void WindowSessionsTest::promisesHoldInRandomSessions() {
  QFETCH(quint64, seed);
  const std::string broken = RunSession(seed);
  if (broken.empty()) return;
  // A step that failed a check of its own has said so already.
  if (QTest::currentTestFailed()) {
    qWarning("%s", broken.c_str());
    return;
  }
  QFAIL(broken.c_str());
}

std::string WindowSessionsTest::Reader(int index) { return index == 0 ? kReader : kSecondReader; }

QString WindowSessionsTest::FieldSerial() const {
  const std::shared_ptr<sim::TokenEmulator> token = m_pcsc->TokenIn(Reader(m_run.connected));
  return token ? QString::fromStdString(token->Config().serialNumber) : QString();
}

int WindowSessionsTest::Sent(std::initializer_list<uint8_t> instructions) const {
  int n = 0;
  for (int reader = 0; reader < 2; ++reader) {
    for (const std::vector<uint8_t>& apdu : m_pcsc->SentApdus(Reader(reader))) {
      for (uint8_t ins : instructions) n += apdu.size() > 1 && apdu[1] == ins ? 1 : 0;
    }
  }
  return n;
}

int WindowSessionsTest::TokenIndex(const QByteArray& serial) const {
  for (std::size_t i = 0; i < m_run.tokens.size(); ++i) {
    if (m_run.tokens[i]->Config().serialNumber == serial.toStdString()) return static_cast<int>(i);
  }
  return -1;
}

std::string WindowSessionsTest::RunSession(uint64_t seed) {
  m_run = Run{};
  m_run.seed = seed;
  m_run.session = WindowSession(seed, kSessionSteps);
  for (std::size_t i = 0; i < m_run.session.tokens.size(); ++i) {
    const enginetest::TokenSpec& spec = m_run.session.tokens[i];
    sim::TokenConfig config;
    config.serialNumber = enginetest::SerialOf(static_cast<int>(i));
    config.customerKeyHex = spec.rightKey ? enginetest::kRightKey : enginetest::kWrongKey;
    config.tries = spec.tries;
    config.clockBase = 1600000000;
    auto token = std::make_shared<sim::TokenEmulator>(config);
    token->SetHostClock([] { return int64_t{1700000000}; });
    m_run.tokens.push_back(token);
    m_run.initialTries.push_back(spec.tries);
    m_run.pressTries.push_back(spec.tries);
    m_run.seeds.push_back({});
    m_run.seedChangedAt.push_back(0);
  }
  // The form as the engine's sessions start it.
  ControlOf<QLineEdit>(m_dlg, kUserNameEdit)->setText(kUserName);
  EnterSecret(enginetest::kRfcSecret);
  ConnectTo(kReaderText);
  if (QTest::currentTestFailed()) return "the first reader was never listed";
  Settle();

  std::size_t n = 0;
  std::string broken;
  for (const Step& step : m_run.session.steps) {
    m_run.step = ++n;
    Apply(step);
    if (QTest::currentTestFailed()) return Report(seed, n, "the step could not be taken");
    NoteForm();
    Settle();
    NoteForm();
    m_run.shown.push_back(Shown());
    broken = Check(n);
    if (!broken.empty()) return Report(seed, n, broken);
    if (m_run.closeRequested) break;
  }
  if (m_dlg->isVisible()) return Report(seed, n, "the window is still open after the session");

  ++s_tally.sessions;
  s_tally.steps += n;
  s_tally.succeeded += static_cast<std::size_t>(m_run.succeeded);
  s_tally.failed += static_cast<std::size_t>(m_run.failedRows);
  s_tally.unknown += static_cast<std::size_t>(m_run.unknownRows);
  s_tally.exported += static_cast<std::size_t>(m_run.expectedB32.size());
  s_tally.questions += static_cast<std::size_t>(m_messages.Questions().size());
  for (int reader = 0; reader < 2; ++reader) s_tally.apdus += m_pcsc->SentApdus(Reader(reader)).size();
  return {};
}

void WindowSessionsTest::Apply(const Step& step) {
  const int tokenCount = static_cast<int>(m_run.tokens.size());
  switch (step.kind) {
    case Step::Lay: {
      const std::shared_ptr<sim::TokenEmulator>& token = m_run.tokens[static_cast<std::size_t>(step.a % tokenCount)];
      // A token lies in one field at a time, and one token in a field.
      for (int reader = 0; reader < 2; ++reader) {
        if (m_pcsc->TokenIn(Reader(reader)) == token) m_pcsc->RemoveToken(Reader(reader));
      }
      m_pcsc->RemoveToken(Reader(step.b));
      // No hand swaps tokens between two passes of the card monitor: the
      // token goes on once a pass has found the field empty. The panel alone
      // does not tell, since a chain that Connect restarts empties it before
      // its first read.
      if (step.b == m_run.connected) {
        (void)QTest::qWaitFor([this] { return PanelSerial().isEmpty() && LabelText(m_dlg, kTipsLabel) == kNoToken; },
                              kPanelWithinMs);
      }
      m_pcsc->InsertToken(Reader(step.b), token);
      break;
    }
    case Step::Remove:
      m_pcsc->RemoveToken(Reader(step.a));
      break;
    case Step::Poll:
      break;  // the pause after every step is a pass or two
    case Step::Burn:
      PressBurnOrStop();
      break;
    case Step::Sync: {
      auto* sync = ControlOf<QPushButton>(m_dlg, kSyncButton);
      if (!sync->isEnabled()) break;
      ++m_run.syncsSinceBurn;
      ++m_run.presses;
      ++s_tally.presses;
      sync->click();
      break;
    }
    case Step::Connect:
      ConnectTo(QString::fromStdString(Reader(step.a)));
      m_run.connected = step.a;
      break;
    case Step::Pull:
      m_pcsc->PullCardAtApdu(Reader(m_run.connected), step.a);
      break;
    case Step::LoseAnswer:
      m_pcsc->LoseAnswerAtApdu(Reader(m_run.connected), step.a, step.b != 0);
      break;
    case Step::TypeSecret:
      ControlOf<QPushButton>(m_dlg, kEditButton)->click();
      ControlOf<QLineEdit>(m_dlg, kSecretEdit)->setText(enginetest::PoolSecret(step.a));
      break;
    case Step::SeedFile: {
      QByteArray lines;
      m_run.seedFile.clear();
      for (int i = 0; i < tokenCount; ++i) {
        if ((step.a & (1 << i)) == 0) continue;
        const QString secret = enginetest::PoolSecret(10 + i);
        m_run.seedFile[QByteArray::fromStdString(enginetest::SerialOf(i))] = secret;
        m_run.secretsSincePress.insert(secret);
        lines += QByteArray::fromStdString(enginetest::SerialOf(i)) + ',' + secret.toLatin1() + "\r\n";
      }
      LoadSeedFileThroughDialog(lines);
      break;
    }
    case Step::Export:
      ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(step.a != 0);
      break;
    case Step::Choices: {
      const int time = (step.a & 1) ? kTime60 : kTime30;
      const int algorithm = (step.a & 2) ? kSha256 : kSha1;
      const int display = std::array<int, 4>{kDisplay15, kDisplay30, kDisplay60, kDisplay120}[(step.a >> 2) & 3];
      for (int id : {time, algorithm, display}) ControlOf<QRadioButton>(m_dlg, id)->setChecked(true);
      const station::Choices shown = m_dlg->ReadChoices();
      QCOMPARE(shown.timeWindow, (step.a & 1) ? 60 : 30);
      QCOMPARE(shown.algorithm, (step.a & 2) ? QByteArrayLiteral("SHA256") : QByteArrayLiteral("SHA1"));
      QCOMPARE(shown.displayTime, (std::array<int, 4>{15, 30, 60, 120}[(step.a >> 2) & 3]));
      break;
    }
    case Step::Answer: {
      const int mode = std::min(step.a, 4);
      const std::shared_ptr<sim::TokenEmulator> swapIn = m_run.tokens[static_cast<std::size_t>(step.b % tokenCount)];
      m_messages.AnswerQuestions(mode != 0);
      m_messages.OnShow([this, mode, swapIn](const RecordedMessage& shown) {
        if (!shown.question) return;
        if (mode == 4) {
          // Another token takes the place of the one shown while the
          // question is on screen.
          for (int reader = 0; reader < 2; ++reader) {
            if (m_pcsc->TokenIn(Reader(reader)) == swapIn) m_pcsc->RemoveToken(Reader(reader));
          }
          m_pcsc->InsertToken(Reader(m_run.connected), swapIn);
          return;
        }
        if (mode == 2) {
          // Stop, while the question is on screen, if the button is at hand.
          auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
          if (burn->isEnabled() && burn->text() == QStringLiteral("Stop")) {
            NoteStop();
            ClickBurn();
          }
        } else if (mode == 3 && !m_run.closeRequested) {
          NoteClose();
          m_dlg->reject();
        }
      });
      break;
    }
    case Step::Close:
      NoteClose();
      m_dlg->reject();
      break;
    case Step::SwapAt:
      m_pcsc->SwapTokenAfterApdu(Reader(m_run.connected), step.a,
                                 m_run.tokens[static_cast<std::size_t>(step.b % tokenCount)]);
      break;
    case Step::ExportFails:
      break;  // the window writes real files here
  }
}

void WindowSessionsTest::PressBurnOrStop() {
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  if (m_run.sinceBurnClick) {
    const qint64 left = kBurnPauseMs + 10 - m_run.sinceBurnClick->elapsed();
    if (left > 0) QTest::qWait(static_cast<int>(left));
  }
  if (!burn->isEnabled() || m_run.closeRequested) return;
  if (burn->text() == QStringLiteral("Stop")) {
    NoteStop();
  } else {
    NoteBurnPress();
  }
  ClickBurn();
}

void WindowSessionsTest::ClickBurn() {
  m_run.sinceBurnClick.emplace();
  m_run.sinceBurnClick->start();
  ControlOf<QPushButton>(m_dlg, kBurnButton)->click();
}

// A Burn press starts a burn: during it each token may lose one try, and one
// more for each Sync pressed meanwhile.
void WindowSessionsTest::NoteBurnPress() {
  for (std::size_t i = 0; i < m_run.tokens.size(); ++i) m_run.pressTries[i] = m_run.tokens[i]->TriesLeft();
  m_run.syncsSinceBurn = 0;
  ++m_run.presses;
  ++s_tally.presses;
  m_run.pressChoices = m_dlg->ReadChoices();
  m_run.seedWritesAtPress = SeedWrites();
  m_run.seedWritesAtStop.reset();
  m_run.secretsSincePress.clear();
  m_run.exportSincePress.clear();
  for (const auto& [serial, secret] : m_run.seedFile) m_run.secretsSincePress.insert(secret);
  NoteForm();
}

// Stop: from now on no seed is written until Burn is pressed again.
void WindowSessionsTest::NoteStop() { m_run.seedWritesAtStop = SeedWrites(); }

// Closing: from now on nothing that changes a token is sent.
void WindowSessionsTest::NoteClose() {
  m_run.closeRequested = true;
  if (!m_run.protectedAtClose) m_run.protectedAtClose = ProtectedCommands();
}

void WindowSessionsTest::NoteForm() {
  m_dlg->NormaliseSecret();
  m_run.secretsSincePress.insert(m_dlg->m_secret);
  m_run.exportSincePress.insert(ControlOf<QCheckBox>(m_dlg, kExportCheck)->isChecked());
}

void WindowSessionsTest::Settle() {
  if (m_run.closeRequested) {
    (void)QTest::qWaitFor([this] { return !m_dlg->isVisible(); }, 10000);
    return;
  }
  QTest::qWait(kStepPauseMs);
  if (!QTest::qWaitFor([this] { return m_run.closeRequested || PanelSerial() == FieldSerial(); }, kPanelWithinMs)) {
    s_tally.unsettled.push_back("seed " + std::to_string(m_run.seed) + " step " + std::to_string(m_run.step) +
                                ": panel \"" + PanelSerial().toStdString() + "\", field \"" +
                                FieldSerial().toStdString() + "\"");
  }
  if (m_run.closeRequested) (void)QTest::qWaitFor([this] { return !m_dlg->isVisible(); }, 10000);
}

std::string WindowSessionsTest::Check(std::size_t stepIndex) {
  // Tries: spent only by authentications a press started, one a token.
  for (std::size_t i = 0; i < m_run.tokens.size(); ++i) {
    const sim::TokenEmulator& token = *m_run.tokens[i];
    const int left = token.TriesLeft();
    const std::string name = "token " + std::to_string(i);
    if (m_run.session.tokens[i].rightKey && left != m_run.initialTries[i])
      return name + " with the right key lost a try (" + std::to_string(left) + " left)";
    if (m_run.pressTries[i] - left > 1 + m_run.syncsSinceBurn)
      return name + " lost " + std::to_string(m_run.pressTries[i] - left) + " tries in one burn with " +
             std::to_string(m_run.syncsSinceBurn) + " Sync presses";
    if (m_run.initialTries[i] - left > m_run.presses)
      return name + " lost " + std::to_string(m_run.initialTries[i] - left) + " tries for " +
             std::to_string(m_run.presses) + " presses";
    const std::vector<uint8_t> seed = token.Seed();
    if (seed != m_run.seeds[i]) {
      m_run.seeds[i] = seed;
      m_run.seedChangedAt[i] = stepIndex;
    }
  }

  std::vector<QByteArray> newSuccesses;
  if (std::string broken = CheckBookings(stepIndex, &newSuccesses); !broken.empty()) return broken;
  if (std::string broken = CheckExports(std::move(newSuccesses)); !broken.empty()) return broken;

  // Every token that holds a seed is booked as holding it, or is shown as
  // pending or unknown.
  const bool pending = ControlOf<QPushButton>(m_dlg, kBurnButton)->text() == QStringLiteral("Stop");
  for (std::size_t i = 0; i < m_run.tokens.size(); ++i) {
    if (m_run.seeds[i].empty()) continue;
    const QByteArray serial = QByteArray::fromStdString(enginetest::SerialOf(static_cast<int>(i)));
    const auto success = m_run.successSeed.find(serial);
    if (success != m_run.successSeed.end() && success->second == m_run.seeds[i]) continue;
    if (pending) continue;
    const auto unknown = m_run.unknownAt.find(serial);
    if (unknown != m_run.unknownAt.end() && unknown->second >= m_run.seedChangedAt[i]) continue;
    return "token " + std::to_string(i) + " holds a seed that is neither booked, pending nor unknown";
  }

  // Stop, and closing, cancel the burn: nothing is written after them.
  if (m_run.seedWritesAtStop && SeedWrites() != *m_run.seedWritesAtStop) return "a seed was written after Stop";
  if (m_run.protectedAtClose && ProtectedCommands() != *m_run.protectedAtClose)
    return "a token was changed after the window began closing";
  return {};
}

// The log rows that came since the last check: a success only for a token
// that holds a secret of this burn with its settings; the counters and the
// messages agree with the rows.
std::string WindowSessionsTest::CheckBookings(std::size_t stepIndex, std::vector<QByteArray>* newSuccesses) {
  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  const int rows = log->topLevelItemCount();
  if (rows < m_run.rowsSeen) return "the log lost rows";
  // Newest first: the rows that came are the top ones, taken oldest first.
  for (int k = rows - m_run.rowsSeen - 1; k >= 0; --k) {
    const QTreeWidgetItem* row = log->topLevelItem(k);
    const QByteArray serial = row->text(1).toLatin1();
    const QString result = row->text(3);
    const int index = TokenIndex(serial);
    if (index < 0) return "a row for an unknown token " + serial.toStdString();
    const sim::TokenEmulator& token = *m_run.tokens[static_cast<std::size_t>(index)];
    if (result == QStringLiteral("Succeeded")) {
      ++m_run.succeeded;
      if (SeedWrites() == m_run.seedWritesAtPress)
        return "success booked for " + serial.toStdString() + " without a seed write since Burn was pressed";
      const std::vector<uint8_t> held = token.Seed();
      const station::Choices& c = m_run.pressChoices;
      const bool ofThisBurn =
          !held.empty() && std::any_of(m_run.secretsSincePress.begin(), m_run.secretsSincePress.end(),
                                       [&](const QString& s) { return StoredSeedOf(s, c.algorithm) == held; });
      if (!ofThisBurn) return "success booked for " + serial.toStdString() + " without a secret of its burn";
      if (token.TimeStep() != c.timeWindow || token.DisplayTime() != c.displayTime ||
          token.Algorithm() != (c.algorithm == "SHA256" ? 2 : 1))
        return "success booked for " + serial.toStdString() + " with settings it does not hold";
      m_run.successSeed[serial] = held;
      newSuccesses->push_back(serial);
    } else if (result == QStringLiteral("Failed")) {
      ++m_run.failedRows;
    } else if (result == QStringLiteral("Unknown")) {
      ++m_run.unknownRows;
      m_run.unknownAt[serial] = stepIndex;
    } else {
      return "a row reads \"" + result.toStdString() + "\"";
    }
  }
  m_run.rowsSeen = rows;

  if (const int programmed = m_messages.Count(kProgrammed); programmed != m_run.succeeded)
    return std::to_string(programmed) + " \"" + kProgrammed.toStdString() + "\" for " +
           std::to_string(m_run.succeeded) + " Succeeded rows";
  const QStringList counters = {LabelText(m_dlg, kTotalLabel), LabelText(m_dlg, kSuccessLabel),
                                LabelText(m_dlg, kFailLabel)};
  const QStringList expected = {QString::number(rows), QString::number(m_run.succeeded),
                                QString::number(m_run.failedRows + m_run.unknownRows)};
  if (counters != expected)
    return "the counters read " + counters.join(u'/').toStdString() + " for rows " + expected.join(u'/').toStdString();
  return {};
}

// The export files only grow, and hold exactly the lines of the exported
// successes: none lost, none twice, none changed.
std::string WindowSessionsTest::CheckExports(std::vector<QByteArray> newSuccesses) {
  const QDir dir(DataPath());
  std::map<QString, QByteArray> now;
  for (const QString& name : dir.entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name)) {
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::ReadOnly)) return "export file " + name.toStdString() + " cannot be read";
    now[name] = file.readAll();
  }
  for (const auto& [name, content] : m_run.files) {
    const auto found = now.find(name);
    if (found == now.end()) return "export file " + name.toStdString() + " is gone";
    if (!found->second.startsWith(content)) return "export file " + name.toStdString() + " was changed";
  }
  m_run.files = now;
  QStringList b32, hex, azure;
  for (const auto& [name, content] : now) {
    if (name.endsWith(QStringLiteral(".b32.csv"))) b32 << SplitLines(content);
    if (name.endsWith(QStringLiteral(".hex.csv"))) hex << SplitLines(content);
    if (name.endsWith(QStringLiteral(".azure.csv"))) {
      const QStringList lines = SplitLines(content);
      if (lines.isEmpty() || lines.first() != kAzureHeader)
        return "Azure file " + name.toStdString() + " has no header";
      azure << lines.mid(1);
    }
  }

  // The Base32 lines that came: each for a success of this check, holding
  // what its token holds.
  if (b32.size() < m_run.expectedB32.size()) return "Base32 export lines were lost";
  for (qsizetype k = m_run.expectedB32.size(); k < b32.size(); ++k) {
    const QString& line = b32[k];
    const qsizetype comma = line.indexOf(u',');
    const QByteArray serial = line.left(comma).toLatin1();
    const QString secret = line.mid(comma + 1);
    const std::string where = "export line " + std::to_string(k + 1) + " (" + serial.toStdString() + ")";
    const auto success = std::find(newSuccesses.begin(), newSuccesses.end(), serial);
    if (comma < 0 || success == newSuccesses.end()) return where + " has no success booked with it";
    newSuccesses.erase(success);
    if (m_run.exportSincePress == std::set<bool>{false})
      return where + " was written with \"Export Seed Data\" cleared";
    const station::Choices& c = m_run.pressChoices;
    if (StoredSeedOf(secret, c.algorithm) != m_run.tokens[static_cast<std::size_t>(TokenIndex(serial))]->Seed())
      return where + " is not the secret the token holds";
    QString unpadded = secret;
    while (unpadded.endsWith(u'=')) unpadded.chop(1);
    const std::vector<uint8_t> bytes = station::DecodeSecret(secret);
    const QByteArray hexText =
        QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())).toHex().toUpper();
    m_run.expectedB32 << line;
    m_run.expectedHex << QString::fromLatin1(serial) + u',' + QString::fromLatin1(hexText);
    // The cloud directory takes SHA-1 tokens only.
    if (c.algorithm == "SHA1") {
      m_run.expectedAzure << QStringLiteral("%1,%2,%3,%4,Halcy Vuzuvaro,Orvex")
                                 .arg(kUserName, QString::fromLatin1(serial), unpadded)
                                 .arg(c.timeWindow);
    }
  }
  if (b32 != m_run.expectedB32) return "the Base32 export lines changed";
  if (hex != m_run.expectedHex) return "the hex export lines are not those of the Base32 file";
  if (azure != m_run.expectedAzure) return "the Azure export lines are not those of the Base32 file";
  // A success of a burn that exported throughout has its lines.
  if (!newSuccesses.empty() && m_run.exportSincePress == std::set<bool>{true})
    return "the success of " + newSuccesses.front().toStdString() + " has no export line";
  return {};
}

// The panel, the field it watches, the button and the log, in a few words.
std::string WindowSessionsTest::Shown() const {
  if (!m_dlg->isVisible()) return "closed";
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  const QString panel = PanelSerial();
  const QString field = FieldSerial();
  QString text = QStringLiteral("panel %1").arg(panel.isEmpty() ? QStringLiteral("empty") : panel);
  if (field != panel) text += QStringLiteral(" (field %1)").arg(field.isEmpty() ? QStringLiteral("empty") : field);
  text += QStringLiteral(", %1%2, %3 rows")
              .arg(burn->text(), burn->isEnabled() ? QString() : QStringLiteral(" (off)"))
              .arg(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount());
  return text.toStdString();
}

std::string WindowSessionsTest::Report(uint64_t seed, std::size_t failedAt, const std::string& broken) const {
  const Session& session = m_run.session;
  std::ostringstream out;
  out << "a session broke a promise after step " << failedAt << ": " << broken << "\nseed " << seed << ", tokens:";
  for (std::size_t i = 0; i < session.tokens.size(); ++i) {
    out << " " << i << (session.tokens[i].rightKey ? " (right key, " : " (other key, ") << session.tokens[i].tries
        << " tries)";
  }
  out << "\n";
  for (std::size_t i = 0; i < failedAt && i < session.steps.size(); ++i)
    out << "  " << i + 1 << ". " << enginetest::Describe(session.steps[i])
        << (i < m_run.shown.size() ? " -- " + m_run.shown[i] : std::string()) << "\n";
  return out.str();
}

QTEST_MAIN(WindowSessionsTest)
#include "window_sessions_test.moc"
