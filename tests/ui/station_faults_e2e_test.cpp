// The station end to end under faults, over an isolated pcscd with the
// virtual token: the card leaves the field at each APDU of a burn, either
// before the APDU (the transmit fails) or while it is on its way (the card
// answers no bytes); pcscd and the virtual token stop and start again. What
// counts is what the operator is told, what is booked and what the token
// holds, and that the station goes on burning the next token.
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

#include <memory>

#include "station_test_support.h"
#include "virtual_token_control.h"

namespace {

const QString kReader = QStringLiteral("Virtual PCD 00 00");
const QString kSerial = QStringLiteral("ZZFAULT01");
const QString kNextSerial = QStringLiteral("ZZFAULT02");
// "12345678901234567890" (RFC 6238's secret) in Base32, and in hex.
const QString kSecret = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
const std::string kSeedHex = "3132333435363738393031323334353637383930";
const QString kProgrammed = QStringLiteral("Token successfully programmed!");

// Where the burn's road the card leaves.
enum class Step {
  Arrival,      // the information read when the token is laid on
  Preparation,  // Burn pressed: challenge, cryptogram, parameter command
  TakeUp,       // the pending burn reads the serial number of the token in the field
  Burn,         // the burn's challenge and cryptogram
  SerialCheck,  // information read before the seed write
  SeedWrite,
};

// What the failure leads to.
enum class Outcome {
  Unseen,          // no message, nothing booked; the token is read once back
  NotPrepared,     // a message, nothing booked, no burn pending
  RetriedOnReturn, // (one message,) nothing booked; the pending burn programs the token once back
  RefusedForPress, // one message; the token is not authenticated again until Stop and Burn are pressed
};

}  // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Outcome)

class StationFaultsE2eTest : public StationWindowTest {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void cardLeavesAtEachApdu_data();
  void cardLeavesAtEachApdu();
  void pcscdRestartWhileIdle();
  void pcscdRestartWhileBurnPending();
  void tokenProgramStoppedAndStarted();

 private:
  void Connect(bool expectToken = true);
  void FillInBurnForm();
  void PressBurn();
  void BurnNextToken(int expectedSuccesses);
  void BurnAgainAfterRecovery();

  bool m_pcscdStopped = false;
};

void StationFaultsE2eTest::initTestCase() {
  QVERIFY2(std::getenv("PCSCLITE_CSOCK_NAME") && std::getenv("ZZ_VTOKEN_CONTROL") && std::getenv("UI_STACK_DIR"),
           "run under the test stack fixture (PCSCLITE_CSOCK_NAME, ZZ_VTOKEN_CONTROL, UI_STACK_DIR)");
  QVERIFY(ControlOk("state"));
}

void StationFaultsE2eTest::init() {
  QVERIFY(ControlOk("serial " + kSerial.toStdString()));
  QVERIFY(ControlOk("insert"));
  OpenWindow();
}

void StationFaultsE2eTest::cleanup() {
  CloseWindow();
  // A test that failed half-way leaves the stack whole for the next one.
  if (m_pcscdStopped && Stack({QStringLiteral("pcscd-start")})) m_pcscdStopped = false;
  if (!ControlOk("state") && Stack({QStringLiteral("token-start"), QStringLiteral("--"), QStringLiteral("--key"),
                                    QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0")})) {
    QTRY_COMPARE_WITH_TIMEOUT(Control("state")["powered"], std::string("1"), 10000);
  }
  ControlOk("clear-faults");
}

void StationFaultsE2eTest::Connect(bool expectToken) {
  ConnectTo(kReader, 10000);
  if (expectToken) {
    QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  } else {
    QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"), 10000);
  }
}

// Export ticked, a user name, and the secret.
void StationFaultsE2eTest::FillInBurnForm() {
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  ControlOf<QLineEdit>(m_dlg, kUserNameEdit)->setText(QStringLiteral("faults@example.com"));
  ControlOf<QPushButton>(m_dlg, kEditButton)->click();
  ControlOf<QLineEdit>(m_dlg, kSecretEdit)->setText(kSecret);
}

void StationFaultsE2eTest::PressBurn() {
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QTRY_VERIFY_WITH_TIMEOUT(burn->isEnabled() && burn->text() == QStringLiteral("Burn"), 10000);
  burn->click();
}

// Another token is laid on and burned with the same secret.
void StationFaultsE2eTest::BurnNextToken(int expectedSuccesses) {
  QVERIFY(ControlOk("clear-faults"));
  QVERIFY(ControlOk("serial " + kNextSerial.toStdString()));
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
  QVERIFY(ControlOk("insert"));
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kNextSerial, 10000);
  const int before = m_messages.Count(kProgrammed);
  PressBurn();
  QTRY_COMPARE_WITH_TIMEOUT(m_messages.Count(kProgrammed), before + 1, 10000);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QString::number(expectedSuccesses));
  auto state = Control("state");
  QCOMPARE(state["serial"], kNextSerial.toStdString());
  QCOMPARE(state["seed"], kSeedHex);
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItem(0)->text(1), kNextSerial);
}

void StationFaultsE2eTest::cardLeavesAtEachApdu_data() {
  QTest::addColumn<int>("apdu");  // counted from the token's arrival
  QTest::addColumn<Step>("step");
  QTest::addColumn<Outcome>("outcome");
  QTest::addColumn<QStringList>("pulledMessages");   // any one of them, or none when empty
  QTest::addColumn<QStringList>("droppedMessages");

  const QStringList none;
  // The first APDU of a command opens a session of its own: a card pulled
  // before it may be missing at the connect already.
  const QStringList authFirst{QStringLiteral("Device not connected"), QStringLiteral("Authentication process failed!")};
  const QStringList authSecond{QStringLiteral("Authentication process failed!")};
  const QStringList config{QStringLiteral("config failed![")};
  // The seed write may have reached the token: the same seed is written
  // again once it is back, and booked once.
  const QStringList writeLost{QStringLiteral("The token's answer to the seed write was lost")};
  struct Row {
    const char* name;
    int apdu;
    Step step;
    Outcome outcome;
    QStringList pulled, dropped;
  };
  const Row rows[] = {
      {"arrival info read", 1, Step::Arrival, Outcome::Unseen, none, none},
      // The press reads the token before it spends anything on it.
      {"preparation serial read", 2, Step::Preparation, Outcome::NotPrepared, authFirst, authFirst},
      {"preparation challenge", 3, Step::Preparation, Outcome::NotPrepared, authFirst, authSecond},
      {"preparation cryptogram", 4, Step::Preparation, Outcome::NotPrepared, authSecond, authSecond},
      {"preparation parameters", 5, Step::Preparation, Outcome::NotPrepared, config, config},
      {"take-up serial read", 6, Step::TakeUp, Outcome::RetriedOnReturn, none, none},
      {"burn challenge", 7, Step::Burn, Outcome::RetriedOnReturn, authFirst, authFirst},
      // The cryptogram may have cost a try: no second one without a press.
      {"burn cryptogram", 8, Step::Burn, Outcome::RefusedForPress, authSecond, authSecond},
      {"burn serial check", 9, Step::SerialCheck, Outcome::RetriedOnReturn, none, none},
      {"burn seed write", 10, Step::SeedWrite, Outcome::RetriedOnReturn, writeLost, writeLost},
  };
  for (const Row& row : rows) {
    for (const bool pulled : {true, false}) {
      QTest::addRow("%s, %s", row.name, pulled ? "pulled" : "no answer")
          << row.apdu << row.step << row.outcome << (pulled ? row.pulled : QStringList{QStringLiteral("-")})
          << (pulled ? QStringList{QStringLiteral("-")} : row.dropped);
    }
  }
}

void StationFaultsE2eTest::cardLeavesAtEachApdu() {
  QFETCH(int, apdu);
  QFETCH(Step, step);
  QFETCH(Outcome, outcome);
  QFETCH(QStringList, pulledMessages);
  QFETCH(QStringList, droppedMessages);
  const bool pulled = droppedMessages == QStringList{QStringLiteral("-")};
  const QStringList expected = pulled ? pulledMessages : droppedMessages;
  // pull-at N: the card is out of the field when the N-th APDU comes (for
  // the first one after arrival: right after the reader powered it up).
  // drop-at N: the N-th APDU gets no answer; the card is back a moment later.
  const std::string fault = (pulled ? "pull-at " : "drop-at ");
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);

  if (step == Step::Arrival) {
    QVERIFY(ControlOk("remove"));
    Connect(false);
    QVERIFY(ControlOk(fault + "1"));
    QVERIFY(ControlOk("insert"));
  } else {
    Connect();
    FillInBurnForm();
    QTRY_VERIFY_WITH_TIMEOUT(burn->isEnabled(), 10000);
    // Counted from the next APDU, the press's serial read; the press
    // follows at once, before the window could learn of a pulled card.
    QVERIFY(ControlOk(fault + std::to_string(apdu - 1)));
    burn->click();
  }

  // Pulled, the card stays out of the field until it is laid on again.
  if (pulled) QTRY_COMPARE_WITH_TIMEOUT(Control("state")["in_field"], std::string("0"), 10000);
  // Every failure message is an expected one, and one fault gives one.
  auto failures = [this] {
    QList<RecordedMessage> list = m_messages.Messages();
    list.removeIf([](const RecordedMessage& m) { return m.text == kProgrammed; });
    return list;
  };
  if (!expected.isEmpty()) QTRY_VERIFY_WITH_TIMEOUT(!failures().isEmpty(), 10000);
  auto checkFailures = [&] {
    for (const RecordedMessage& m : failures()) {
      QCOMPARE(m.caption, QStringLiteral("ERROR"));
      bool known = false;
      for (const QString& text : expected) known = known || m.text.startsWith(text);
      QVERIFY2(known, qPrintable(m.text));
      if (step == Step::SeedWrite) QVERIFY2(!m.text.endsWith(QStringLiteral("00000000")), qPrintable(m.text));
    }
  };
  checkFailures();

  switch (outcome) {
    case Outcome::Unseen:
    case Outcome::NotPrepared:
      if (pulled) {
        QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
        QVERIFY(ControlOk("insert"));
      }
      QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
      QTRY_COMPARE(burn->text(), QStringLiteral("Burn"));
      QCOMPARE(m_messages.Count(kProgrammed), 0);
      QCOMPARE(Control("state")["seed"], std::string());
      QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
      QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 0);
      if (step == Step::Arrival) {
        FillInBurnForm();
        // And the token that arrived so badly is burned as usual.
        PressBurn();
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.Texts(), QStringList({kProgrammed}), 10000);
        QCOMPARE(Control("state")["seed"], kSeedHex);
      }
      break;
    case Outcome::RetriedOnReturn:
      if (pulled) {
        QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
        QCOMPARE(burn->text(), QStringLiteral("Stop"));  // still pending
        QCOMPARE(m_messages.Count(kProgrammed), 0);
        QVERIFY(ControlOk("insert"));
      }
      QTRY_COMPARE_WITH_TIMEOUT(m_messages.Count(kProgrammed), 1, 10000);
      QCOMPARE(m_messages.Texts().last(), kProgrammed);
      checkFailures();
      QCOMPARE(failures().size(), expected.isEmpty() ? 0 : 1);
      QCOMPARE(Control("state")["seed"], kSeedHex);
      QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
      QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
      QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 1);
      break;
    case Outcome::RefusedForPress:
      if (pulled) {
        QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
        QVERIFY(ControlOk("insert"));
      }
      QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
      QTest::qWait(500);
      QCOMPARE(burn->text(), QStringLiteral("Stop"));
      QCOMPARE(failures().size(), 1);
      QCOMPARE(m_messages.Count(kProgrammed), 0);
      QCOMPARE(Control("state")["seed"], std::string());
      QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
      // Stop, then Burn: the operator's press tries the token again.
      QTRY_VERIFY(burn->isEnabled());
      burn->click();
      PressBurn();
      QTRY_COMPARE_WITH_TIMEOUT(m_messages.Count(kProgrammed), 1, 10000);
      QCOMPARE(Control("state")["seed"], kSeedHex);
      QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
      QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
      break;
  }

  const bool firstBurned = outcome == Outcome::RetriedOnReturn || outcome == Outcome::RefusedForPress ||
                           step == Step::Arrival;
  const QStringList firstLines = firstBurned ? QStringList{kSerial + u',' + kSecret} : QStringList{};
  if (step != Step::Arrival) {
    QCOMPARE(ExportLines(QStringLiteral(".b32.csv")), firstLines);
  }
  BurnNextToken(firstBurned ? 2 : 1);
  QCOMPARE(ExportLines(QStringLiteral(".b32.csv")), firstLines + QStringList{kNextSerial + u',' + kSecret});
  const QString hex = QString::fromStdString(kSeedHex).toUpper();
  QCOMPARE(ExportLines(QStringLiteral(".hex.csv")).last(), kNextSerial + u',' + hex);
  QCOMPARE(ExportLines(QStringLiteral(".azure.csv")).size(), 1 + firstLines.size() + 1);
}

// Connect works again after a recovery, and so does a burn.
void StationFaultsE2eTest::BurnAgainAfterRecovery() {
  Connect();
  FillInBurnForm();
  PressBurn();
  QTRY_COMPARE_WITH_TIMEOUT(m_messages.Texts(), QStringList({kProgrammed}), 10000);
  QCOMPARE(Control("state")["seed"], kSeedHex);
}

// How long the station takes to show the reader and the token again once
// the service or the token is back; printed, not judged.
static void ReportRecovery(const char* what, qint64 readerMs, qint64 tokenMs) {
  qInfo("%s: reader listed after %lld ms, token shown after %lld ms", what, readerMs, tokenMs);
}

void StationFaultsE2eTest::pcscdRestartWhileIdle() {
  Connect();
  auto* readers = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  m_pcscdStopped = true;
  QVERIFY(Stack({QStringLiteral("pcscd-stop")}));
  QTRY_COMPARE_WITH_TIMEOUT(readers->count(), 0, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
  QTest::qWait(300);  // passes without a service
  QVERIFY(Stack({QStringLiteral("pcscd-start")}));
  m_pcscdStopped = false;
  QElapsedTimer back;
  back.start();
  QTRY_VERIFY_WITH_TIMEOUT(readers->findText(kReader) >= 0, 10000);
  const qint64 readerMs = back.elapsed();
  // The card monitor still watches the reader chosen before.
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  ReportRecovery("pcscd restarted", readerMs, back.elapsed());
  QCOMPARE(m_messages.Messages().size(), 0);

  BurnAgainAfterRecovery();
}

void StationFaultsE2eTest::pcscdRestartWhileBurnPending() {
  Connect();
  FillInBurnForm();
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QTRY_VERIFY_WITH_TIMEOUT(burn->isEnabled(), 10000);
  // The token is prepared, then leaves the field as the pending burn reads
  // it: the burn pends with no token while the service goes and comes back.
  QVERIFY(ControlOk("pull-at 5"));
  burn->click();
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
  m_pcscdStopped = true;
  QVERIFY(Stack({QStringLiteral("pcscd-stop")}));
  QTest::qWait(300);
  QCOMPARE(burn->text(), QStringLiteral("Stop"));
  QCOMPARE(Control("state")["seed"], std::string());
  // Nothing was sent, shown or booked: no burn without a token.
  QCOMPARE(m_messages.Texts(), QStringList());
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 0);

  QVERIFY(Stack({QStringLiteral("pcscd-start")}));
  m_pcscdStopped = false;
  QTRY_VERIFY_WITH_TIMEOUT(ControlOf<QComboBox>(m_dlg, kReaderCombo)->findText(kReader) >= 0, 10000);
  QVERIFY(ControlOk("insert"));
  // The pending burn takes up the token once the service is back.
  QTRY_COMPARE_WITH_TIMEOUT(m_messages.Texts(), QStringList({kProgrammed}), 10000);
  QCOMPARE(Control("state")["seed"], kSeedHex);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
  QCOMPARE(ExportLines(QStringLiteral(".b32.csv")), QStringList{kSerial + u',' + kSecret});
}

void StationFaultsE2eTest::tokenProgramStoppedAndStarted() {
  Connect();
  QVERIFY(Stack({QStringLiteral("token-stop")}));
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"), 10000);
  QVERIFY(Stack({QStringLiteral("token-start"), QStringLiteral("--"), QStringLiteral("--serial"), kSerial,
                 QStringLiteral("--key"), QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0")}));
  QElapsedTimer back;
  back.start();
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  ReportRecovery("virtual token restarted", 0, back.elapsed());
  QCOMPARE(m_messages.Messages().size(), 0);

  BurnAgainAfterRecovery();
}

QTEST_MAIN(StationFaultsE2eTest)
#include "station_faults_e2e_test.moc"
