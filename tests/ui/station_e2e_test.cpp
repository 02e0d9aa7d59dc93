// The station end to end: the real window on the system's PC/SC library,
// talking to an isolated pcscd whose vpcd reader holds the virtual token. The
// token is steered and inspected over its control socket.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>

#include "file_dialogs.h"
#include "monitor_watching.h"
#include "pcsc_api.h"
#include "station_test_support.h"
#include "totp.h"
#include "virtual_token_control.h"

namespace {

const QString kReader = QStringLiteral("Virtual PCD 00 00");
const QString kSerial = QStringLiteral("ZZUIE2E01");
// RFC 6238's test secret "12345678901234567890" in Base32 (coreutils base32).
const QString kSecret = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");

}  // namespace

class StationE2eTest : public StationWindowTest {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void burnedTokenShowsTheStationsCode();
  void seedWriteWithoutAnswerStoppedIsBookedUnknown();
  void recoversAfterPcscdRestart();
  void seedFileSecretIsBurnedAndMatchesThePreview();
  void connectAndCloseEndTheWaitsAtOnce();
  void secondReaderEntryAppearsAndGoes();

 private:
  // fault: a control command for the virtual token, given right before the press.
  void ConnectAndBurn(const std::string& fault = {});
};

void StationE2eTest::initTestCase() {
  QVERIFY2(std::getenv("PCSCLITE_CSOCK_NAME") && std::getenv("ZZ_VTOKEN_CONTROL"),
           "run under the test stack fixture (PCSCLITE_CSOCK_NAME, ZZ_VTOKEN_CONTROL)");
  QCOMPARE(Control("state")["ok"], std::string("ok"));
}

void StationE2eTest::init() {
  QCOMPARE(Control("factory")["ok"], std::string("ok"));
  QCOMPARE(Control("insert")["ok"], std::string("ok"));
  OpenWindow();
}

void StationE2eTest::cleanup() {
  CloseWindow();
  seed::SetTotpClock({});
}

void StationE2eTest::ConnectAndBurn(const std::string& fault) {
  ConnectTo(kReader, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  ControlOf<QLineEdit>(m_dlg, kUserNameEdit)->setText(QStringLiteral("e2e@example.com"));
  ControlOf<QPushButton>(m_dlg, kEditButton)->click();
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kSecretEdit), kSecret);
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QTRY_VERIFY(burn->isEnabled());
  if (!fault.empty()) QCOMPARE(Control(fault)["ok"], std::string("ok"));
  burn->click();
}

void StationE2eTest::burnedTokenShowsTheStationsCode() {
  ConnectAndBurn();
  QTRY_COMPARE_WITH_TIMEOUT(m_messages.Texts(), QStringList({"Token successfully programmed!"}), 10000);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(ExportLines(QStringLiteral(".b32.csv")), QStringList({kSerial + "," + kSecret}));

  auto state = Control("state");
  QCOMPARE(state["seed"], std::string("3132333435363738393031323334353637383930"));
  QCOMPARE(state["time_step"], std::string("30"));
  QCOMPARE(state["algorithm"], std::string("1"));
  const qint64 clock = std::stoll(state["clock"]);
  QVERIFY(qAbs(clock - QDateTime::currentSecsSinceEpoch()) < 5);  // synced at the burn
  const QString tokenCode = QString::fromStdString(state["code"]);
  QCOMPARE(tokenCode.size(), 6);

  // The station's TOTP engine at that moment of the token's clock.
  seed::SetTotpClock([clock] { return clock; });
  const uint32_t stationCode = seed::ComputeTotp(seed::OtpAlgorithm::Sha1, 30, kSecret.toStdString(), 6, 0);
  QCOMPARE(QString::asprintf("%06u", stationCode), tokenCode);

  // And an outside reference for the same secret and time.
  QProcess oathtool;
  oathtool.start(QStringLiteral("oathtool"),
                 {QStringLiteral("--totp"), QStringLiteral("-b"), QStringLiteral("--now=@%1").arg(clock), kSecret});
  if (oathtool.waitForFinished(5000) && oathtool.exitCode() == 0) {
    QCOMPARE(QString::fromLatin1(oathtool.readAllStandardOutput()).trimmed(), tokenCode);
  } else {
    qWarning("oathtool not available; the engine's code stands alone");
  }
}

// The card leaves with the seed write on its way: the station cannot know
// whether the token took the secret. Stopped then, the burn is booked as
// unknown and the operator is told to burn the token again.
void StationE2eTest::seedWriteWithoutAnswerStoppedIsBookedUnknown() {
  // The preparation (serial read, challenge, cryptogram, parameters), the
  // take-up (serial read, challenge, cryptogram, serial read), then the seed
  // write.
  ConnectAndBurn("pull-at 9");
  QTRY_COMPARE_WITH_TIMEOUT(m_messages.Texts().size(), 1, 10000);
  QVERIFY2(m_messages.Texts().first().startsWith(
               QStringLiteral("The token's answer to the seed write was lost: token ") + kSerial),
           qPrintable(m_messages.Texts().first()));
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QCOMPARE(burn->text(), QStringLiteral("Stop"));
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
  QTRY_VERIFY(burn->isEnabled());
  burn->click();  // Stop
  QTRY_COMPARE(m_messages.Texts().size(), 2);
  QVERIFY2(m_messages.Texts().last().contains(QStringLiteral("may hold the secret")), qPrintable(m_messages.Texts().last()));
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
  QCOMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("1"));
  QCOMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("0"));
  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  QCOMPARE(log->topLevelItem(0)->text(1), kSerial);
  QCOMPARE(log->topLevelItem(0)->text(3), QStringLiteral("Unknown"));
  QCOMPARE(burn->text(), QStringLiteral("Burn"));
  QCOMPARE(ExportLines(QStringLiteral(".b32.csv")), QStringList());
  QCOMPARE(ExportLines(QStringLiteral(".hex.csv")), QStringList());
  QCOMPARE(ExportLines(QStringLiteral(".azure.csv")).size(), 1);  // the header only
}

// pcscd's Cancel ends the monitors' waits: Connect to another reader starts
// the new watch, and closing returns, well within the longest wait (5 s).
void StationE2eTest::connectAndCloseEndTheWaitsAtOnce() {
  // With events turned off, a chain ends at its next pass instead.
  const qint64 boundMs = ui::PollingForced() ? 250 : 100;
  ConnectTo(kReader, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  QTest::qWait(300);  // both monitors are waiting by now
  auto* readers = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  readers->setCurrentIndex(readers->findText(QStringLiteral("Virtual PCD 00 01")));
  QVERIFY(readers->currentIndex() >= 0);
  QElapsedTimer connected;
  connected.start();
  ControlOf<QPushButton>(m_dlg, kConnectButton)->click();
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"), 5000);
  QVERIFY2(connected.elapsed() < boundMs, qPrintable(QString::number(connected.elapsed())));

  QTest::qWait(300);
  QElapsedTimer closing;
  closing.start();
  m_dlg->done(0);
  QVERIFY2(closing.elapsed() < boundMs, qPrintable(QString::number(closing.elapsed())));
}

// pcscd reads its serial reader entries only when it starts, so a second vpcd
// entry comes with a restart (during which the list is empty, the selection
// with it): the reader list shows the entry's two slots after the first ones,
// and loses them when the entry goes; the card monitor finds the watched
// reader's token again after each restart.
void StationE2eTest::secondReaderEntryAppearsAndGoes() {
  if (qEnvironmentVariableIsEmpty("UI_STACK_SCRIPT")) QSKIP("needs UI_STACK_SCRIPT and UI_STACK_DIR");
  auto* readers = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  auto names = [readers] {
    QStringList list;
    for (int i = 0; i < readers->count(); ++i) list << readers->itemText(i);
    return list;
  };
  ConnectTo(kReader, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  QCOMPARE(names(), QStringList({kReader, "Virtual PCD 00 01"}));

  QVERIFY(Stack({QStringLiteral("entry-add")}));
  QTRY_COMPARE_WITH_TIMEOUT(names(),
                            QStringList({kReader, "Virtual PCD 00 01", "Virtual PCD B 00 00", "Virtual PCD B 00 01"}),
                            10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);

  QVERIFY(Stack({QStringLiteral("entry-remove")}));
  QTRY_COMPARE_WITH_TIMEOUT(names(), QStringList({kReader, "Virtual PCD 00 01"}), 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
}

void StationE2eTest::recoversAfterPcscdRestart() {
  if (qEnvironmentVariableIsEmpty("UI_STACK_SCRIPT")) QSKIP("needs UI_STACK_SCRIPT and UI_STACK_DIR");
  auto* readers = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  ConnectTo(kReader, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);

  QVERIFY(Stack({QStringLiteral("stop")}));
  QTRY_COMPARE_WITH_TIMEOUT(readers->count(), 0, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QString(), 10000);
  // The reader list empties the token texts first; the status line follows at
  // the card monitor's next pass.
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"), 10000);

  QVERIFY(Stack({QStringLiteral("start"), QStringLiteral("--"), QStringLiteral("--serial"), kSerial,
                 QStringLiteral("--key"), QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0")}));
  // Fresh contexts on every pass: the station finds the reader and the token
  // again by itself, and the card monitor still watches the chosen reader.
  QTRY_VERIFY_WITH_TIMEOUT(readers->findText(kReader) >= 0, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  ControlOf<QPushButton>(m_dlg, kEditButton)->click();
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kSecretEdit), kSecret);
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QTRY_VERIFY(burn->isEnabled());
  burn->click();
  QTRY_COMPARE_WITH_TIMEOUT(m_messages.Texts(), QStringList({"Token successfully programmed!"}), 10000);
  QCOMPARE(m_messages.Messages().size(), 1);  // nothing was reported while pcscd was away
}

void StationE2eTest::seedFileSecretIsBurnedAndMatchesThePreview() {
  // The seed file names the token; the open-file dialog answers with its path.
  static FileAnswer seedFile;
  static CueRecorder cue;
  cue.Clear();
  ui::UseSoundCue(&cue);
  QCOMPARE(Control("remove")["ok"], std::string("ok"));
  QTemporaryDir dir;
  seedFile.answer = dir.filePath(QStringLiteral("seeds.csv"));
  QVERIFY(WriteFile(seedFile.answer, "ZZUIE2E00,MZXW6YTBOI\r\n" + kSerial.toLatin1() + ",JBSWY3DPEHPK3PXP\r\n"));
  ui::UseFileDialogs(&seedFile);
  ControlOf<QPushButton>(m_dlg, kLoadSeedFileButton)->click();
  ui::UseFileDialogs(nullptr);
  QCOMPARE(m_messages.Texts(), QStringList());
  QCOMPARE(LabelText(m_dlg, kSeedPathLabel), seedFile.answer);

  ConnectTo(kReader, 10000);
  QCOMPARE(Control("insert")["ok"], std::string("ok"));
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), kSerial, 10000);
  QTRY_COMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), QStringLiteral("JBSWY3DPEHPK3PXP"));
  QCOMPARE(cue.Plays().size(), 1);

  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QTRY_VERIFY(burn->isEnabled());
  burn->click();
  QTRY_COMPARE_WITH_TIMEOUT(m_messages.Texts(), QStringList({"Token successfully programmed!"}), 10000);
  ui::UseSoundCue(nullptr);

  auto state = Control("state");
  // coreutils base32 -d of the secret.
  QCOMPARE(QString::fromStdString(state["seed"]).toLower(), QStringLiteral("48656c6c6f21deadbeef"));
  const qint64 clock = std::stoll(state["clock"]);
  const QString tokenCode = QString::fromStdString(state["code"]);
  QCOMPARE(tokenCode.size(), 6);

  // The preview at the moment of the token's clock: row "0" is the token's code.
  seed::SetTotpClock([clock] { return clock; });
  QString rowZero;
  QTimer::singleShot(0, [&rowZero] {
    QWidget* preview = QApplication::activeModalWidget();
    QVERIFY(preview);
    auto* list = preview->findChild<QTreeWidget*>();
    QVERIFY(list && list->topLevelItemCount() == 21);
    QCOMPARE(list->topLevelItem(10)->text(0), QStringLiteral("0"));
    rowZero = list->topLevelItem(10)->text(1);
    QTest::keyClick(preview, Qt::Key_Escape);
  });
  ControlOf<QPushButton>(m_dlg, kTestButton)->click();
  QCOMPARE(rowZero, tokenCode);
}

QTEST_MAIN(StationE2eTest)
#include "station_e2e_test.moc"
