// Window tests of the station against emulated readers and tokens in-process:
// the real CVantorDlg, its monitors on their threads, the token commands and
// the emulator behind the PC/SC seam.
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QTimer>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <atomic>
#include <memory>
#include <thread>
#include <sys/stat.h>

#include "app_values.h"
#include "pskc_credential.h"
#include "pskc_reader.h"
#include "emulated_station.h"
#include "export_set.h"
#include "seed_file.h"
#include "serialized_pcsc.h"
#include "token_commands.h"
#include "token_emulator.h"

namespace {

const QString kAzureHeader = QStringLiteral("upn,serial number,secret key,time interval,manufacturer,model");

// RFC 6238's test secret, "12345678901234567890", in Base32 (coreutils base32).
const QString kRfcSecret = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
const QByteArray kRfcSecretHex = QByteArrayLiteral("3132333435363738393031323334353637383930");

enum class Setup { WrongKey, KeyLocked, AuthRejected, ConfigRejected, SeedWriteRejected, SeedNotDecodable };
enum class SealOrSync { SyncOk, SyncRejected, SyncNoToken, SealOk, SealRejected, SealNoToken };

}  // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(SealOrSync)

class VantorDlgTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void startUpState();
  void connectWithoutSelection();
  void tokenArrivalAndRemoval();
  void secretBoxAndEnablement();
  void readerHotPlugAndServiceRestart();
  void cardThatIsNoToken();
  void seedFileMatchFillsSecretAndBeeps();
  void pskcSeedFileGivesSecretHashAndWindow();
  void pskcExportWithTheKeyGiven();
  void burnSuccess_data();
  void burnSuccess();
  void burnFailure_data();
  void burnFailure();
  void burnWithoutSeedIsBookedAsFailure();
  void authFailureInBurnIsNotRetriedOnTheSameToken();
  void stopLeavesBurnModeWithoutProgramming();
  void pendingBurnProgramsTheNextTokenLaid();
  void exportFilesOncePerRun();
  void exportNotTickedAtBurnCreatesNoFiles();
  void exportDirectoryFailureIsReportedAndBurnGoesOn();
  void clearLeavesCounters();
  void sealAndSync_data();
  void sealAndSync();
  void tokenTimeText_data();
  void tokenTimeText();
  void closeDuringSuccessMessageBooksThenCloses();
  void connectDuringSuccessMessageDoesNotDeadlock();
  void enterAndEscapeClose();
  void splitButtonsThroughAssistiveTechnology();
  void splitButtonMenusOnTheAccessibleTree();
  void splitButtonMenuEntriesThroughAssistiveTechnology_data();
  void splitButtonMenuEntriesThroughAssistiveTechnology();
  void readerListThroughAssistiveTechnology();
  void aboutBox();
  void realMessageBox_data();
  void realMessageBox();
  void pcscCallsNeverOverlap();
};

void VantorDlgTest::init() { StartStation(); }

void VantorDlgTest::cleanup() { EndStation(); }

void VantorDlgTest::startUpState() {
  // Before the monitors have reported anything.
  QCOMPARE(LabelText(m_dlg, kTipsLabel), QString());
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QString());
  QCOMPARE(LabelText(m_dlg, kTokenClockLabel), QString());
  QCOMPARE(LabelText(m_dlg, kComputerClockLabel), QString());
  for (int id : {kTotalLabel, kSuccessLabel, kFailLabel}) QCOMPARE(LabelText(m_dlg, id), QStringLiteral("0"));
  for (int id : {kTestButton, kBurnButton, kSyncButton}) QVERIFY2(!m_dlg->Control(id)->isEnabled(), qPrintable(QString::number(id)));
  for (int id : {kTime30, kSha1, kDisplay30}) QVERIFY(ControlOf<QRadioButton>(m_dlg, id)->isChecked());
  for (int id : {kTime60, kSha256, kDisplay15, kDisplay60, kDisplay120}) QVERIFY(!ControlOf<QRadioButton>(m_dlg, id)->isChecked());
  auto* encoding = ControlOf<QComboBox>(m_dlg, kEncodingCombo);
  QCOMPARE(encoding->currentText(), QStringLiteral("BASE32"));
  QCOMPARE(encoding->itemText(1), QStringLiteral("HEX"));
  QVERIFY(ControlOf<QCheckBox>(m_dlg, kSyncClockCheck)->isChecked());
  QVERIFY(!ControlOf<QCheckBox>(m_dlg, kExportCheck)->isChecked());
  QVERIFY(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->isReadOnly());
  QVERIFY(!m_dlg->Control(kSealButton)->isVisible());
  QVERIFY(!m_dlg->Control(kSeedCaptionLabel)->isVisible());
  QVERIFY(!m_dlg->Control(kSeedPathLabel)->isVisible());
  QCOMPARE(m_dlg->Control(kSeedPathLabel)->property("text").toString(), QString());
  QCOMPARE(m_dlg->windowTitle(), QStringLiteral("Orvex Zerazaduzu (Devozi Zuzezor)"));

  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  QCOMPARE(log->columnCount(), 4);
  const QStringList headings = {QStringLiteral("Date Time    "), QStringLiteral("Serial Number"), QStringLiteral("User Name"),
                                QStringLiteral("Result")};
  for (int c = 0; c < 4; ++c) {
    QCOMPARE(log->headerItem()->text(c), headings[c]);
    // Fitted to the heading alone: the list is empty.
    QVERIFY(log->columnWidth(c) >= log->header()->sectionSizeHint(c));
  }
  QCOMPARE(log->topLevelItemCount(), 0);

  QCOMPARE(ControlOf<QToolButton>(m_dlg, kRandomButton)->popupMode(), QToolButton::MenuButtonPopup);
  QStringList randomItems;
  for (QAction* a : ControlOf<QToolButton>(m_dlg, kRandomButton)->menu()->actions()) randomItems << a->text();
  QCOMPARE(randomItems, QStringList({"32 Bytes", "64 Bytes", "128 Bytes"}));
  QStringList scanItems;
  for (QAction* a : ControlOf<QToolButton>(m_dlg, kScanQrButton)->menu()->actions()) scanItems << a->text();
  QCOMPARE(scanItems, QStringList({"Scan Screen", "Load Image File"}));

  // Every control publishes a name (the status line once it shows a text);
  // the edit boxes and lists take the label beside them.
  for (QWidget* w : m_dlg->findChildren<QWidget*>()) {
    if (!w->property("controlId").isValid() || w == m_dlg->Control(kTipsLabel)) continue;
    QVERIFY2(!AccessibleName(w).isEmpty(), qPrintable(w->objectName()));
  }
  QCOMPARE(m_dlg->Control(kSecretEdit)->accessibleName(), QStringLiteral("Secret:"));
  QCOMPARE(m_dlg->Control(kUserNameEdit)->accessibleName(), QStringLiteral("User Name (UPN):"));
  QCOMPARE(m_dlg->Control(kReaderCombo)->accessibleName(), QStringLiteral("Reader:"));

  // The reader monitor lists the reader and selects nothing.
  auto* readers = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  QTRY_COMPARE(readers->count(), 1);
  QCOMPARE(readers->itemText(0), kReaderText);
  QCOMPARE(readers->currentIndex(), -1);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Please select a card reader."));
  QCOMPARE(app::SelectedReaderName(), app::SelectedReaderName());  // untouched by start-up
}

void VantorDlgTest::connectWithoutSelection() {
  app::SetSelectedReaderName(QStringLiteral("before"));
  QTRY_COMPARE(ControlOf<QComboBox>(m_dlg, kReaderCombo)->count(), 1);
  ControlOf<QPushButton>(m_dlg, kConnectButton)->click();
  QCOMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Please select a card reader!"));
  QCOMPARE(app::SelectedReaderName(), QStringLiteral("before"));
  // The monitor's own reminder, with a full stop, follows on its next pass.
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Please select a card reader."));
}

void VantorDlgTest::tokenArrivalAndRemoval() {
  ConnectTo(kReaderText);
  QCOMPARE(app::SelectedReaderName(), kReaderText);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));

  sim::TokenConfig config;
  config.serialNumber = "ZZ12345678";
  config.clockBase = 1709622489;  // 2024-03-05 07:08:09 UTC
  auto token = LayToken(config);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ12345678"));
  QCOMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card detected"));
  QVERIFY(LabelText(m_dlg, kTokenClockLabel).startsWith(QStringLiteral("2024-03-05 07:08:")));
  const QRegularExpression clockShape(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));
  QVERIFY(clockShape.match(LabelText(m_dlg, kComputerClockLabel)).hasMatch());
  QVERIFY(m_dlg->Control(kSyncButton)->isEnabled());
  QVERIFY(!m_dlg->Control(kBurnButton)->isEnabled());  // no secret yet

  // The token information is read once per arrival.
  m_pcsc->ClearSentApdus(kReader);
  QTest::qWait(300);
  QCOMPARE(m_pcsc->SentApdus(kReader).size(), size_t(0));

  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QString());
  QCOMPARE(LabelText(m_dlg, kTokenClockLabel), QString());
  QCOMPARE(LabelText(m_dlg, kComputerClockLabel), QString());
  QVERIFY(!m_dlg->Control(kSyncButton)->isEnabled());

  // Laid again, it is read again.
  m_pcsc->InsertToken(kReader, token);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ12345678"));
}

void VantorDlgTest::secretBoxAndEnablement() {
  auto* edit = ControlOf<QLineEdit>(m_dlg, kSecretEdit);
  QTest::keyClicks(edit, QStringLiteral("ABC"));
  QCOMPARE(edit->text(), QString());  // read-only until Edit
  ControlOf<QPushButton>(m_dlg, kEditButton)->click();
  QTest::keyClicks(edit, QStringLiteral("   "));
  QCOMPARE(edit->text(), QStringLiteral("   "));
  QVERIFY(m_dlg->Control(kTestButton)->isEnabled());

  ConnectTo(kReaderText);
  LayToken();
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  // Spaces only: the normalised secret is empty, so Burn stays off.
  QTest::qWait(150);
  QVERIFY(!m_dlg->Control(kBurnButton)->isEnabled());
  QTest::keyClicks(edit, kRfcSecret);
  QTRY_VERIFY(m_dlg->Control(kBurnButton)->isEnabled());
  edit->clear();
  QVERIFY(!m_dlg->Control(kTestButton)->isEnabled());
  QTRY_VERIFY(!m_dlg->Control(kBurnButton)->isEnabled());
  QVERIFY(!edit->isReadOnly());  // stays writable

  // A secret but no token: Burn off, Sync off.
  QTest::keyClicks(edit, kRfcSecret);
  m_pcsc->RemoveToken(kReader);
  QTRY_VERIFY(!m_dlg->Control(kSyncButton)->isEnabled());
  QVERIFY(!m_dlg->Control(kBurnButton)->isEnabled());
}

void VantorDlgTest::readerHotPlugAndServiceRestart() {
  auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  auto items = [combo] {
    QStringList list;
    for (int i = 0; i < combo->count(); ++i) list << combo->itemText(i);
    return list;
  };
  m_pcsc->RemoveReader(kReader);
  m_pcsc->AddReader("Reader A");
  m_pcsc->AddReader("Reader B");
  QTRY_COMPARE(items(), QStringList({"Reader A", "Reader B"}));
  m_pcsc->RemoveReader("Reader A");
  QTRY_COMPARE(items(), QStringList({"Reader B"}));
  m_pcsc->AddReader("Reader C");
  QTRY_COMPARE(items(), QStringList({"Reader B", "Reader C"}));

  // The selected reader goes: the list keeps no selection; the card monitor
  // keeps the reader's name and reports no token.
  ConnectTo(QStringLiteral("Reader C"));
  m_pcsc->InsertToken("Reader C", std::make_shared<sim::TokenEmulator>());
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  m_pcsc->RemoveReader("Reader C");
  QTRY_COMPARE(items(), QStringList({"Reader B"}));
  QCOMPARE(combo->currentIndex(), -1);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  QCOMPARE(app::SelectedReaderName(), QStringLiteral("Reader C"));

  // PC/SC service stopped: list emptied, token texts cleared, no message.
  m_pcsc->SetServiceRunning(false);
  QTRY_COMPARE(combo->count(), 0);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());  // shown at the refresh that follows
  // ...and back: the monitors recover on their own with fresh contexts.
  m_pcsc->SetServiceRunning(true);
  m_pcsc->AddReader("Reader C");
  m_pcsc->InsertToken("Reader C", std::make_shared<sim::TokenEmulator>());
  QTRY_COMPARE(items(), QStringList({"Reader B", "Reader C"}));
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  QCOMPARE(m_messages.Messages().size(), 0);
}

void VantorDlgTest::cardThatIsNoToken() {
  ConnectTo(kReaderText);
  auto token = std::make_shared<sim::TokenEmulator>();
  token->FailInstruction(tokenlink::INS_READ_INFO, sim::SW_INS_NOT_SUPPORTED);
  m_pcsc->InsertToken(kReader, token);
  EnterSecret(kRfcSecret);
  // The card answers, but not as a token: read again on every pass.
  QTRY_VERIFY(m_pcsc->SentApdus(kReader).size() >= 3);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QString());
  QVERIFY(!m_dlg->Control(kBurnButton)->isEnabled());
  token->ClearFaults();
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card detected"));
  QTRY_VERIFY(m_dlg->Control(kBurnButton)->isEnabled());
  QCOMPARE(m_messages.Messages().size(), 0);
}

// A PSKC file made by csv2pskc with a password: the password is asked for,
// a wrong one refuses the file whole, the right one lists its tokens, and a
// listed token is burned with the file's hash and window, which the window
// shows; the operator is told once that they differ from the window's.
void VantorDlgTest::pskcSeedFileGivesSecretHashAndWindow() {
  m_files.answer = QStringLiteral(ZZ_PSKC_FIXTURES "/csv2pskc-password.pskcxml");
  m_files.secretAnswer = QStringLiteral("Orvex test passwort");
  ControlOf<QPushButton>(m_dlg, kLoadSeedFileButton)->click();
  QCOMPARE(m_files.prompts.size(), 1);
  QVERIFY2(m_files.prompts[0].contains(QStringLiteral("password")), qPrintable(m_files.prompts[0]));
  QCOMPARE(m_messages.Texts().size(), 1);
  QVERIFY2(m_messages.Texts()[0].startsWith(QStringLiteral("Failed to load seed file!\n")) &&
               m_messages.Texts()[0].contains(QStringLiteral("wrong key or password")),
           qPrintable(m_messages.Texts()[0]));
  QCOMPARE(sources::SeedTable::Size(), 0);

  m_messages.Clear();
  m_files.secretAnswer = QStringLiteral("Orvex test password");
  ControlOf<QPushButton>(m_dlg, kLoadSeedFileButton)->click();
  QCOMPARE(sources::SeedTable::Size(), 2);
  QCOMPARE(m_messages.Texts(), QStringList({"The PSKC file gives its tokens SHA256 and 60 s: each listed token is "
                                            "burned with the file's settings, which the window shows when the "
                                            "token is laid."}));

  ConnectTo(kReaderText);
  auto token = LayToken("CSV0002");
  // 00112233...eeff twice, in Base32 (xxd -r -p | base32, without its "=" padding).
  QTRY_COMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(),
               QStringLiteral("AAISEM2EKVTHPCEZVK54ZXPO74ABCIRTIRKWM54ITGVLXTG5537Q"));
  QVERIFY(ControlOf<QRadioButton>(m_dlg, kSha256)->isChecked());
  QVERIFY(ControlOf<QRadioButton>(m_dlg, kTime60)->isChecked());
  m_messages.Clear();
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(token->TimeStep(), 60);
  QCOMPARE(token->Algorithm(), 2);
  QCOMPARE(QByteArray(reinterpret_cast<const char*>(token->Seed().data()), static_cast<qsizetype>(token->Seed().size())).toHex(),
           QByteArray("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"));
}

// Started with a PSKC key, the window's export set has a PSKC file beside the
// CSV files, holding the burned token's secret encrypted under that key.
void VantorDlgTest::pskcExportWithTheKeyGiven() {
  EndStation();
  const QByteArray key = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
  ui::UsePskcCredential(pskc::Credential::FromKey(key));
  const auto forget = qScopeGuard([] { ui::UsePskcCredential(std::nullopt); });
  StartStation();
  ConnectTo(kReaderText);
  auto token = LayToken();
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  const QStringList names = ExportFiles();
  QCOMPARE(names.size(), 5);
  const QString pskcName = names.filter(QStringLiteral(".pskc")).value(0);
  QVERIFY2(!pskcName.isEmpty(), qPrintable(names.join(' ')));
  QFile file(QDir(DataPath()).filePath(pskcName));
  QVERIFY(file.open(QIODevice::ReadOnly));
  const pskc::ReadResult read = pskc::Read(file.readAll(), pskc::Credential::FromKey(key));
  QCOMPARE(read.error, QString());
  QCOMPARE(read.entries.size(), size_t(1));
  QCOMPARE(read.entries[0].serial, QStringLiteral("ZZ00000001"));
  QCOMPARE(read.entries[0].secret, QByteArray("12345678901234567890"));
}

void VantorDlgTest::seedFileMatchFillsSecretAndBeeps() {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("seeds.csv"));
  QVERIFY(WriteFile(path, "ZZ00000001,GEZDGNBVGY3TQOJQ\r\nZZ00000002,MFRGGZDFMZTWQ2LK\r\n"));
  QVERIFY(sources::LoadSeedFile(path));

  ConnectTo(kReaderText);
  sim::TokenConfig unlisted;
  unlisted.serialNumber = "ZZ99999999";
  LayToken(unlisted);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ99999999"));
  QCOMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), QString());
  QCOMPARE(m_cue.Plays().size(), 0);

  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  LayToken();
  QTRY_COMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), QStringLiteral("GEZDGNBVGY3TQOJQ"));
  QTRY_VERIFY(m_dlg->Control(kBurnButton)->isEnabled());
  QVERIFY(m_dlg->Control(kTestButton)->isEnabled());
  QCOMPARE(m_cue.Plays(), (QList<QPair<int, int>>{{2000, 500}}));
}

void VantorDlgTest::burnSuccess_data() {
  QTest::addColumn<QString>("typed");
  QTest::addColumn<int>("encoding");
  QTest::addColumn<int>("timeWindowId");
  QTest::addColumn<int>("algorithmId");
  QTest::addColumn<int>("displayId");
  QTest::addColumn<QByteArray>("seedHex");     // what the token must hold
  QTest::addColumn<QString>("base32Column");   // the text as burned
  QTest::addColumn<QString>("azureColumn");    // without padding
  QTest::addColumn<int>("tokenStep");
  QTest::addColumn<int>("tokenAlgorithm");
  QTest::addColumn<int>("tokenDisplay");

  // Base32 forms from coreutils base32.
  QTest::addRow("20 bytes, Base32, defaults")
      << kRfcSecret << 0 << int(kTime30) << int(kSha1) << int(kDisplay30) << kRfcSecretHex << kRfcSecret
      << kRfcSecret << 30 << 1 << 30;
  QTest::addRow("16 bytes typed in groups: padded for Base32, bare for Azure")
      << QStringLiteral("GEZD GNBV-GY3T QOJQ-GEZD GNBV-GY") << 0 << int(kTime60) << int(kSha256) << int(kDisplay120)
      << QByteArrayLiteral("31323334353637383930313233343536") << QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY======")
      << QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY") << 60 << 2 << 120;
  QTest::addRow("10 bytes typed as hex")
      << QStringLiteral("31 32 33 34 35 36 37 38 39 30") << 1 << int(kTime30) << int(kSha1) << int(kDisplay15)
      << QByteArrayLiteral("31323334353637383930") << QStringLiteral("GEZDGNBVGY3TQOJQ")
      << QStringLiteral("GEZDGNBVGY3TQOJQ") << 30 << 1 << 15;
}

void VantorDlgTest::burnSuccess() {
  QFETCH(QString, typed);
  QFETCH(int, encoding);
  QFETCH(int, timeWindowId);
  QFETCH(int, algorithmId);
  QFETCH(int, displayId);
  QFETCH(QByteArray, seedHex);
  QFETCH(QString, base32Column);
  QFETCH(QString, azureColumn);
  QFETCH(int, tokenStep);
  QFETCH(int, tokenAlgorithm);
  QFETCH(int, tokenDisplay);

  ConnectTo(kReaderText);
  sim::TokenConfig config;
  config.clockBase = 1000000000;  // far off: the sync box sets it to now
  auto token = LayToken(config);
  ControlOf<QRadioButton>(m_dlg, timeWindowId)->setChecked(true);
  ControlOf<QRadioButton>(m_dlg, algorithmId)->setChecked(true);
  ControlOf<QRadioButton>(m_dlg, displayId)->setChecked(true);
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kUserNameEdit), QStringLiteral("ops@example.com"));
  EnterSecret(typed, encoding);
  PressBurnWhenReady();

  QTRY_COMPARE(m_messages.Texts(), QStringList({"Token successfully programmed!"}));
  const RecordedMessage shown = m_messages.Messages().first();
  QCOMPARE(shown.caption, QStringLiteral("Orvex Zerazaduzu"));
  QCOMPARE(shown.icon, ui::MessageIcon::None);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
  QCOMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("0"));
  QCOMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Burn"));

  // The token holds what the operator chose.
  QCOMPARE(SeedHex(*token), seedHex);
  QCOMPARE(token->TimeStep(), tokenStep);
  QCOMPARE(token->Algorithm(), tokenAlgorithm);
  QCOMPARE(token->DisplayTime(), tokenDisplay);
  QVERIFY(qAbs(qint64(token->Clock()) - QDateTime::currentSecsSinceEpoch()) < 5);

  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  QCOMPARE(log->topLevelItemCount(), 1);
  QTreeWidgetItem* row = log->topLevelItem(0);
  QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d $")).match(row->text(0)).hasMatch());
  QCOMPARE(row->text(1), QStringLiteral("ZZ00000001"));
  QCOMPARE(row->text(2), QStringLiteral("ops@example.com"));
  QCOMPARE(row->text(3), QStringLiteral("Succeeded"));

  // Lines are on the disk already, before the window closes. The cloud
  // directory takes SHA-1 tokens only: a SHA-256 token is asked about and
  // gets no Azure line, but its line in every other file.
  const bool sha1 = algorithmId == int(kSha1);
  QCOMPARE(m_messages.Questions(),
           sha1 ? QStringList()
                : QStringList({QStringLiteral("The cloud directory takes SHA-1 tokens only: this SHA-256 token gets no "
                                              "line in the Azure file. Burn anyway?")}));
  QStringList azureLines = {kAzureHeader + "\r\n"};
  if (sha1) {
    azureLines << QStringLiteral("ops@example.com,ZZ00000001,%1,%2,Halcy Vuzuvaro,Orvex\r\n").arg(azureColumn).arg(tokenStep);
  }
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".azure.csv")), azureLines);
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".oath.csv")),
           QStringList({QStringLiteral("ZZ00000001,%1,totp,6,%2,%3\r\n")
                            .arg(QString::fromLatin1(seedHex))
                            .arg(tokenStep)
                            .arg(sha1 ? QStringLiteral("sha1") : QStringLiteral("sha256"))}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")), QStringList({QStringLiteral("ZZ00000001,%1\r\n").arg(base32Column)}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".hex.csv")),
           QStringList({QStringLiteral("ZZ00000001,%1\r\n").arg(QString::fromLatin1(seedHex))}));
  for (const QString& name : ExportFiles()) {
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(DataPath(name)).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);
  }
  QCOMPARE(m_cue.Plays().size(), 0);
}

void VantorDlgTest::burnFailure_data() {
  QTest::addColumn<Setup>("setup");
  QTest::addColumn<QString>("message");
  QTest::addColumn<bool>("booked");  // Total and Fail raised, a "Failed" row

  QTest::addRow("wrong customer key") << Setup::WrongKey << QStringLiteral("Authentication failed, remaining 4 times") << false;
  QTest::addRow("customer key locked") << Setup::KeyLocked << QStringLiteral("Customer key is locked") << false;
  QTest::addRow("authentication rejected")
      << Setup::AuthRejected << QStringLiteral("Authentication failed, remaining unlimited times") << false;
  QTest::addRow("configuration rejected") << Setup::ConfigRejected << QStringLiteral("config failed![00000001]") << false;
  QTest::addRow("seed write rejected")
      << Setup::SeedWriteRejected << QStringLiteral("Failed to program the token! Error: 00000001") << true;
  QTest::addRow("seed does not decode")
      << Setup::SeedNotDecodable << QStringLiteral("Failed to program the token! Error: 00001004") << true;
}

void VantorDlgTest::burnFailure() {
  QFETCH(Setup, setup);
  QFETCH(QString, message);
  QFETCH(bool, booked);

  ConnectTo(kReaderText);
  sim::TokenConfig config;
  if (setup == Setup::WrongKey) config.customerKeyHex = "00112233445566778899AABBCCDDEEFF";
  auto token = LayToken(config);
  if (setup == Setup::KeyLocked) token->FailInstruction(tokenlink::INS_AUTHENTICATE, 0x6983);
  if (setup == Setup::AuthRejected) token->FailInstruction(tokenlink::INS_AUTHENTICATE, 0x6A80);
  if (setup == Setup::ConfigRejected) token->FailInstruction(tokenlink::INS_PARAMETER, 0x6A80);
  if (setup == Setup::SeedWriteRejected) token->FailInstruction(tokenlink::INS_SEED_WRITE, 0x6A80);
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(setup == Setup::SeedNotDecodable ? QStringLiteral("abcdefgh") : kRfcSecret);
  PressBurnWhenReady();

  QTRY_COMPARE(m_messages.Texts(), QStringList({message}));
  QCOMPARE(m_messages.Messages().first().caption, QStringLiteral("ERROR"));
  QCOMPARE(m_messages.Messages().first().icon, ui::MessageIcon::None);
  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  if (booked) {
    QTRY_COMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("1"));
    QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
    QCOMPARE(log->topLevelItemCount(), 1);
    QCOMPARE(log->topLevelItem(0)->text(1), QStringLiteral("ZZ00000001"));
    QCOMPARE(log->topLevelItem(0)->text(3), QStringLiteral("Failed"));
  } else {
    QTest::qWait(200);
    QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
    QCOMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("0"));
    QCOMPARE(log->topLevelItemCount(), 0);
  }
  QCOMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("0"));
  QCOMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Burn"));
  QVERIFY(token->Seed().empty());
  // The export set exists (Burn was pressed with the box ticked) but holds no line.
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".azure.csv")), QStringList({kAzureHeader + "\r\n"}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")), QStringList());
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".hex.csv")), QStringList());
}

void VantorDlgTest::burnWithoutSeedIsBookedAsFailure() {
  ConnectTo(kReaderText);
  auto first = LayToken();
  EnterSecret(kRfcSecret);
  // The token leaves right after its preparation: the burn pends.
  QTRY_VERIFY(ControlOf<QPushButton>(m_dlg, kBurnButton)->isEnabled());
  m_pcsc->PullCardAtApdu(kReader, kTakeUpRead);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  QCOMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Stop"));
  // The secret box is emptied before the next token is laid.
  ControlOf<QLineEdit>(m_dlg, kSecretEdit)->clear();
  auto token = LayToken("ZZ00000002");
  QTRY_COMPARE(m_messages.Texts(), QStringList({"No seed found!"}));
  QCOMPARE(m_messages.Messages().first().caption, QStringLiteral("ERROR"));
  QTRY_COMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("1"));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItem(0)->text(3), QStringLiteral("Failed"));
  QCOMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Burn"));
  QVERIFY(token->Seed().empty());
}

void VantorDlgTest::authFailureInBurnIsNotRetriedOnTheSameToken() {
  ConnectTo(kReaderText);
  auto token = LayToken();
  EnterSecret(kRfcSecret);
  // Configured; now the burn's own authentication fails.
  // The listener holds the token by pointer: the token owns its listener.
  AtTokenEvent(*token, "settings:", 1, [t = token.get()] { t->FailInstruction(tokenlink::INS_AUTHENTICATE, 0x63C3); });
  PressBurnWhenReady();
  const QString failure = QStringLiteral("Authentication failed, remaining 3 times");
  QTRY_COMPARE(m_messages.Texts(), QStringList({failure}));
  QCOMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Stop"));
  // Not tried again while the token stays, however many passes go by.
  QTest::qWait(500);
  QCOMPARE(m_messages.Count(failure), 1);
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 0);

  // Nor when it is laid anew, nor after a pass that could not reach the
  // reader: only a press of the button lets it cost the token another try.
  m_pcsc->ClearSentApdus(kReader);
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  m_pcsc->InsertToken(kReader, token);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  m_pcsc->SetServiceRunning(false);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  m_pcsc->SetServiceRunning(true);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  QTest::qWait(300);
  QCOMPARE(m_messages.Count(failure), 1);
  for (const std::vector<uint8_t>& apdu : m_pcsc->SentApdus(kReader)) QVERIFY(apdu[1] != tokenlink::INS_AUTHENTICATE);

  // Another token is taken up by the pending burn at once.
  auto other = std::make_shared<sim::TokenEmulator>(sim::TokenConfig{.serialNumber = "ZZ00000002"});
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  m_pcsc->InsertToken(kReader, other);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(m_messages.Texts().last(), QStringLiteral("Token successfully programmed!"));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItem(0)->text(1), QStringLiteral("ZZ00000002"));
  QCOMPARE(other->Seed().size(), size_t(20));

  // With the fault gone, Burn pressed again programs the first one.
  m_messages.Clear();
  token->ClearFaults();
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  m_pcsc->InsertToken(kReader, token);
  // The press is for the token shown: the panel shows the first one first.
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("2"));
  QCOMPARE(m_messages.Texts(), QStringList({"Token successfully programmed!"}));
  QCOMPARE(token->Seed().size(), size_t(20));
}

void VantorDlgTest::stopLeavesBurnModeWithoutProgramming() {
  ConnectTo(kReaderText);
  auto token = LayToken();
  EnterSecret(kRfcSecret);
  // The listener holds the token by pointer: the token owns its listener.
  AtTokenEvent(*token, "settings:", 1, [t = token.get()] { t->FailInstruction(tokenlink::INS_AUTHENTICATE, 0x63C3); });
  PressBurnWhenReady();
  QTRY_COMPARE(m_messages.Texts().size(), 1);
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QCOMPARE(burn->text(), QStringLiteral("Stop"));
  QTRY_VERIFY(burn->isEnabled());
  token->ClearFaults();
  m_pcsc->ClearSentApdus(kReader);
  burn->click();
  QCOMPARE(burn->text(), QStringLiteral("Burn"));
  QVERIFY(!burn->isEnabled());  // during the pause
  QTest::qWait(400);
  QVERIFY(!burn->isEnabled());
  QTRY_VERIFY(burn->isEnabled());
  QCOMPARE(m_pcsc->SentApdus(kReader).size(), size_t(0));  // nothing sent to the token
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
  QVERIFY(token->Seed().empty());
}

void VantorDlgTest::pendingBurnProgramsTheNextTokenLaid() {
  ConnectTo(kReaderText);
  auto first = LayToken();
  EnterSecret(kRfcSecret);
  ControlOf<QRadioButton>(m_dlg, kTime60)->setChecked(true);
  QTRY_VERIFY(ControlOf<QPushButton>(m_dlg, kBurnButton)->isEnabled());
  m_pcsc->PullCardAtApdu(kReader, kTakeUpRead);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  QCOMPARE(burn->text(), QStringLiteral("Stop"));
  // Stop stays at hand while the burn pends, with no token on the reader.
  QTRY_VERIFY(burn->isEnabled());
  // The choices changed after the press do not reach the token.
  ControlOf<QRadioButton>(m_dlg, kTime30)->setChecked(true);
  sim::TokenConfig second;
  second.serialNumber = "ZZ00000002";
  second.clockBase = 0;
  auto token = LayToken(second);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItem(0)->text(1), QStringLiteral("ZZ00000002"));
  QCOMPARE(token->Seed().size(), size_t(20));
  QVERIFY(first->Seed().empty());
  // A token that was not prepared is prepared before its seed goes in: it
  // holds the choices of the press, and the computer's clock.
  QCOMPARE(token->TimeStep(), 60);
  QVERIFY(token->Clock() > 1000000u);
}

void VantorDlgTest::exportFilesOncePerRun() {
  ConnectTo(kReaderText);
  auto token = LayToken();
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(kRfcSecret);
  const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
  PressBurnWhenReady();
  const QDateTime after = QDateTime::currentDateTime().addSecs(1);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));

  // One set, one time stamp, taken when Burn was pressed.
  const QStringList names = ExportFiles();
  QCOMPARE(names.size(), 4);
  const QRegularExpression shape(QStringLiteral("^Seed-(\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d)\\.(azure|b32|hex|oath)\\.csv$"));
  const QString stamp = shape.match(names[0]).captured(1);
  QVERIFY2(!stamp.isEmpty(), qPrintable(names.join(' ')));
  QCOMPARE(names, QStringList({"Seed-" + stamp + ".azure.csv", "Seed-" + stamp + ".b32.csv", "Seed-" + stamp + ".hex.csv",
                               "Seed-" + stamp + ".oath.csv"}));
  const QDateTime stamped = QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd-HH-mm-ss"));
  QVERIFY(stamped >= before && stamped <= after);

  // A second burn and a failed third one add to the same set.
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  sim::TokenConfig second;
  second.serialNumber = "ZZ00000002";
  auto token2 = LayToken(second);
  QTest::qWait(1100);  // a new second, so a new set would get a new name
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("2"));
  token2->FailInstruction(tokenlink::INS_SEED_WRITE, 0x6A80);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("1"));
  QCOMPARE(ExportFiles(), names);
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")),
           QStringList({"ZZ00000001," + kRfcSecret + "\r\n", "ZZ00000002," + kRfcSecret + "\r\n"}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".azure.csv")).size(), 3);
  // Newest row on top.
  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  QCOMPARE(log->topLevelItem(0)->text(3), QStringLiteral("Failed"));
  QCOMPARE(log->topLevelItem(1)->text(1), QStringLiteral("ZZ00000002"));
  QCOMPARE(log->topLevelItem(2)->text(1), QStringLiteral("ZZ00000001"));
}

void VantorDlgTest::exportNotTickedAtBurnCreatesNoFiles() {
  ConnectTo(kReaderText);
  LayToken();
  EnterSecret(kRfcSecret);
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kUserNameEdit), QStringLiteral("someone"));
  PressBurnWhenReady();
  // Ticked only after the press: no set was created, the lines are skipped.
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(ExportFiles(), QStringList());
  QCOMPARE(m_messages.Texts(), QStringList({"Token successfully programmed!"}));
}

void VantorDlgTest::exportDirectoryFailureIsReportedAndBurnGoesOn() {
  QFile blocker(m_data->filePath(QStringLiteral("blocked")));
  QVERIFY(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  station::SetExportDirectoryOverride(blocker.fileName() + QStringLiteral("/Data"));  // under a plain file
  ConnectTo(kReaderText);
  auto token = LayToken();
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  const QList<RecordedMessage> shown = m_messages.Messages();
  QCOMPARE(shown.size(), 2);
  QCOMPARE(shown[0].text, QStringLiteral("Failed to create HEX seed file"));
  QCOMPARE(shown[0].caption, QCoreApplication::applicationName());
  QCOMPARE(shown[0].icon, ui::MessageIcon::Error);
  QCOMPARE(shown[1].text, QStringLiteral("Token successfully programmed!"));
  QCOMPARE(token->Seed().size(), size_t(20));
}

void VantorDlgTest::clearLeavesCounters() {
  ConnectTo(kReaderText);
  auto token = LayToken();
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  ControlOf<QPushButton>(m_dlg, kClearButton)->click();
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 0);
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
  QCOMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("0"));
}

void VantorDlgTest::sealAndSync_data() {
  QTest::addColumn<SealOrSync>("action");
  QTest::addColumn<QString>("caption");
  QTest::addColumn<QString>("message");
  QTest::addRow("sync") << SealOrSync::SyncOk << "Orvex Zerazaduzu" << "Token clock successfuly synchronized!";
  QTest::addRow("sync refused") << SealOrSync::SyncRejected << "ERROR" << "config failed![00000001]";
  QTest::addRow("sync without token") << SealOrSync::SyncNoToken << "ERROR" << "No token or card detected!";
  QTest::addRow("seal") << SealOrSync::SealOk << "Hints" << "CardSeal success!";
  QTest::addRow("seal refused") << SealOrSync::SealRejected << "Hints" << "CardSeal failed![00000001]";
  QTest::addRow("seal without token") << SealOrSync::SealNoToken << "ERROR" << "Device not connected";
}

void VantorDlgTest::sealAndSync() {
  QFETCH(SealOrSync, action);
  QFETCH(QString, caption);
  QFETCH(QString, message);

  ConnectTo(kReaderText);
  const bool withToken = action != SealOrSync::SyncNoToken && action != SealOrSync::SealNoToken;
  std::shared_ptr<sim::TokenEmulator> token;
  if (withToken) {
    sim::TokenConfig config;
    config.clockBase = 1000000000;
    token = LayToken(config);
    QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
    if (action == SealOrSync::SyncRejected) token->FailInstruction(tokenlink::INS_PARAMETER, 0x6A80);
    if (action == SealOrSync::SealRejected) token->FailInstruction(tokenlink::INS_SEAL, 0x6985);
  } else {
    QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  }
  m_pcsc->ClearSentApdus(kReader);
  const bool sync = action == SealOrSync::SyncOk || action == SealOrSync::SyncRejected || action == SealOrSync::SyncNoToken;
  if (sync) {
    if (withToken) {
      QTRY_VERIFY(m_dlg->Control(kSyncButton)->isEnabled());
      ControlOf<QPushButton>(m_dlg, kSyncButton)->click();
    } else {
      m_dlg->OnSyncClock();  // the button is disabled without a token
    }
  } else {
    ControlOf<QPushButton>(m_dlg, kSealButton)->click();  // hidden, but wired
  }
  QCOMPARE(m_messages.Messages().size(), 1);
  QCOMPARE(m_messages.Messages().first().caption, caption);
  QCOMPARE(m_messages.Messages().first().text, message);
  QCOMPARE(m_messages.Messages().first().icon, ui::MessageIcon::None);
  if (action == SealOrSync::SyncNoToken) QCOMPARE(m_pcsc->SentApdus(kReader).size(), size_t(0));
  if (action == SealOrSync::SyncOk) QVERIFY(qAbs(qint64(token->Clock()) - QDateTime::currentSecsSinceEpoch()) < 5);
  if (action == SealOrSync::SyncRejected) QVERIFY(token->Clock() < 1000001000);
  if (withToken) QCOMPARE(token->Sealed(), action == SealOrSync::SealOk);
  // Neither workflow books anything.
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 0);
}

void VantorDlgTest::tokenTimeText_data() {
  QTest::addColumn<QByteArray>("clockText");
  QTest::addColumn<QString>("tokenTime");
  QTest::addRow("example") << QByteArrayLiteral("2024-03-05 07:08:09") << QStringLiteral("2024/03/05/07/08/09");
  QTest::addRow("year without leading zeros") << QByteArrayLiteral("0999-12-31 23:59:59") << QStringLiteral("999/12/31/23/59/59");
  QTest::addRow("unreadable fields count as 0") << QByteArrayLiteral("2024-03") << QStringLiteral("2024/03/00/00/00/00");
}

void VantorDlgTest::tokenTimeText() {
  QFETCH(QByteArray, clockText);
  QFETCH(QString, tokenTime);
  QCOMPARE(CVantorDlg::TokenTimeText(clockText), tokenTime);
}

void VantorDlgTest::closeDuringSuccessMessageBooksThenCloses() {
  ConnectTo(kReaderText);
  LayToken();
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(kRfcSecret);
  // The operator closes the window while the success message is up.
  m_messages.OnShow([this](const RecordedMessage& m) {
    if (m.text == QStringLiteral("Token successfully programmed!")) m_dlg->reject();
  });
  PressBurnWhenReady();
  QTRY_VERIFY(!m_dlg->isVisible());
  QCOMPARE(m_dlg->result(), int(QDialog::Rejected));
  QCOMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")), QStringList({"ZZ00000001," + kRfcSecret + "\r\n"}));
  // Both monitors have ended: nothing probes the reader any more.
  m_pcsc->ClearSentApdus(kReader);
  const int contexts = m_pcsc->OpenContexts();
  QTest::qWait(200);
  QCOMPARE(contexts, 0);
  QCOMPARE(m_pcsc->SentApdus(kReader).size(), size_t(0));
}

void VantorDlgTest::connectDuringSuccessMessageDoesNotDeadlock() {
  m_pcsc->AddReader("Second Reader");
  ConnectTo(kReaderText);
  LayToken();
  EnterSecret(kRfcSecret);
  auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  QTRY_COMPARE(combo->count(), 2);
  m_messages.OnShow([this, combo](const RecordedMessage& m) {
    if (m.text != QStringLiteral("Token successfully programmed!")) return;
    combo->setCurrentIndex(combo->findText(QStringLiteral("Second Reader")));
    m_dlg->OnConnect();
  });
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  // The new chain watches the second reader, which has no token.
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  QCOMPARE(app::SelectedReaderName(), QStringLiteral("Second Reader"));
  m_pcsc->InsertToken("Second Reader", std::make_shared<sim::TokenEmulator>());
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
}

void VantorDlgTest::enterAndEscapeClose() {
  auto* user = ControlOf<QLineEdit>(m_dlg, kUserNameEdit);
  user->setFocus();
  QTest::keyClick(user, Qt::Key_Return);
  QVERIFY(!m_dlg->isVisible());
  QCOMPARE(m_dlg->result(), int(QDialog::Accepted));
  delete m_dlg;
  m_dlg = new CVantorDlg;
  m_dlg->show();
  QTest::keyClick(m_dlg, Qt::Key_Escape);
  QVERIFY(!m_dlg->isVisible());
  QCOMPARE(m_dlg->result(), int(QDialog::Rejected));
}

void VantorDlgTest::splitButtonsThroughAssistiveTechnology() {
  // A screen reader presses the body and opens the menu as two actions, and
  // neither request waits for the menu to close.
  auto* random = ControlOf<QToolButton>(m_dlg, kRandomButton);
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(random);
  QVERIFY(face && face->actionInterface());
  QCOMPARE(face->text(QAccessible::Name), QStringLiteral("Random"));
  QCOMPARE(face->actionInterface()->actionNames(),
           QStringList({QAccessibleActionInterface::pressAction(), QAccessibleActionInterface::showMenuAction()}));
  face->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  auto* secret = ControlOf<QLineEdit>(m_dlg, kSecretEdit);
  QTRY_COMPARE(secret->text().size(), 52);  // 32 random bytes in Base32
  QCOMPARE(m_cue.Plays().size(), 1);

  // The menu runs an event loop of its own once it opens: close it from there.
  bool menuSeen = false;
  QTimer closer;
  connect(&closer, &QTimer::timeout, [&] {
    if (QApplication::activePopupWidget() != random->menu()) return;
    menuSeen = true;
    random->menu()->close();
  });
  closer.start(10);
  face->actionInterface()->doAction(QAccessibleActionInterface::showMenuAction());
  QVERIFY(!random->menu()->isVisible());  // not opened inside the request
  QTRY_VERIFY(menuSeen);
  closer.stop();

  // The body of "Scan QR Code" does nothing, through this way too.
  QAccessibleInterface* scan = QAccessible::queryAccessibleInterface(ControlOf<QToolButton>(m_dlg, kScanQrButton));
  scan->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  QTest::qWait(100);
  QCOMPARE(secret->text().size(), 52);
  QVERIFY(m_messages.Texts().isEmpty());
}

// The entries of a split button's menu as a screen reader finds them: the
// menu is the button's only child, open or not.
static QList<QAccessibleInterface*> MenuEntryFaces(QToolButton* button) {
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(button);
  QAccessibleInterface* menu = face && face->childCount() == 1 ? face->child(0) : nullptr;
  QList<QAccessibleInterface*> entries;
  for (int i = 0; menu && i < menu->childCount(); ++i) entries << menu->child(i);
  return entries;
}

static QAccessibleInterface* MenuEntryFace(QToolButton* button, const QString& name) {
  for (QAccessibleInterface* entry : MenuEntryFaces(button)) {
    if (entry && entry->text(QAccessible::Name) == name) return entry;
  }
  return nullptr;
}

void VantorDlgTest::splitButtonMenusOnTheAccessibleTree() {
  const QList<QPair<int, QStringList>> buttons = {
      {kRandomButton, {"32 Bytes", "64 Bytes", "128 Bytes"}},
      {kScanQrButton, {"Scan Screen", "Load Image File"}},
  };
  for (const auto& [id, names] : buttons) {
    auto* button = ControlOf<QToolButton>(m_dlg, id);
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(button);
    QCOMPARE(face->childCount(), 1);
    QAccessibleInterface* menu = face->child(0);
    QVERIFY(menu);
    QCOMPARE(menu->object(), button->menu());
    QCOMPARE(menu->role(), QAccessible::PopupMenu);
    QCOMPARE(menu->text(QAccessible::Name), button->text());
    QCOMPARE(menu->parent()->object(), button);
    QCOMPARE(face->indexOfChild(menu), 0);

    QStringList shown;
    for (int i = 0; i < menu->childCount(); ++i) {
      QAccessibleInterface* entry = menu->child(i);
      shown << entry->text(QAccessible::Name);
      QCOMPARE(entry->role(), QAccessible::MenuItem);
      QCOMPARE(entry->parent()->object(), button->menu());
      QCOMPARE(menu->indexOfChild(entry), i);
      // The same interface each time: the bus names an object by it.
      QCOMPARE(menu->child(i), entry);
      QVERIFY(entry->state().invisible);  // the menu is closed
      QCOMPARE(entry->actionInterface()->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
    }
    QCOMPARE(shown, names);
  }

  // A disabled button's entries can be chosen no more than on screen.
  auto* random = ControlOf<QToolButton>(m_dlg, kRandomButton);
  random->setEnabled(false);
  QAccessibleInterface* entry = MenuEntryFace(random, QStringLiteral("64 Bytes"));
  QVERIFY(entry->state().disabled);
  QCOMPARE(entry->actionInterface()->actionNames(), QStringList());
  entry->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  QTest::qWait(100);
  QCOMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), QString());
}

namespace {

// A screen without a QR code, counting its pictures.
class BlankScreen : public ui::ScreenCapture {
 public:
  QImage GrabPrimaryScreen() override {
    ++grabs;
    QImage picture(320, 240, QImage::Format_RGB32);
    picture.fill(Qt::white);
    return picture;
  }
  int grabs = 0;
};

}  // namespace

// The "Reader:" list as a screen reader meets it: one entry a reader, whose
// press makes it the choice. An entry held while its reader goes chooses
// nothing, not the reader that moves into its row.
void VantorDlgTest::readerListThroughAssistiveTechnology() {
  auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  m_pcsc->AddReader("Reader B");
  QTRY_COMPARE(combo->count(), 2);
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(combo);
  QCOMPARE(face->role(), QAccessible::ComboBox);
  QCOMPARE(face->text(QAccessible::Name), QStringLiteral("Reader:"));
  QCOMPARE(face->childCount(), 2);
  QAccessibleInterface* first = face->child(0);
  QAccessibleInterface* second = face->child(1);
  QCOMPARE(first->text(QAccessible::Name), kReaderText);
  QCOMPARE(second->text(QAccessible::Name), QStringLiteral("Reader B"));
  QCOMPARE(second->role(), QAccessible::ListItem);
  QCOMPARE(second->parent(), face);
  QCOMPARE(face->indexOfChild(second), 1);
  QCOMPARE(face->child(1), second);  // the same interface each time: the bus names an object by it
  QVERIFY(!first->state().selected && !second->state().selected);

  second->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  QTRY_COMPARE(combo->currentIndex(), 1);
  QCOMPARE(face->text(QAccessible::Name), QStringLiteral("Reader: Reader B"));
  QCOMPARE(face->text(QAccessible::Value), QStringLiteral("Reader B"));
  QVERIFY(second->state().selected && !first->state().selected);
  ControlOf<QPushButton>(m_dlg, kConnectButton)->click();
  QCOMPARE(app::SelectedReaderName(), QStringLiteral("Reader B"));

  // The first reader goes while a screen reader holds its entry; "Reader B"
  // moves into row 0 with the interface it had.
  m_pcsc->RemoveReader(kReader);
  QTRY_COMPARE(combo->count(), 1);
  QVERIFY(!first->isValid());
  first->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  combo->setCurrentIndex(-1);
  QTest::qWait(100);
  QCOMPARE(combo->currentIndex(), -1);
  QCOMPARE(face->childCount(), 1);
  QCOMPARE(face->child(0), second);
  QCOMPARE(face->indexOfChild(second), 0);
}

void VantorDlgTest::splitButtonMenuEntriesThroughAssistiveTechnology_data() {
  QTest::addColumn<int>("button");
  QTest::addColumn<QString>("entry");
  QTest::addColumn<bool>("menuOpen");  // pressed in the open menu, or with the menu closed
  QTest::addColumn<int>("secretLength");
  QTest::addColumn<int>("screenGrabs");
  QTest::addColumn<int>("fileQuestions");
  QTest::addColumn<QStringList>("messages");

  const QStringList none;
  // Base32 without padding, as the secret box shows it.
  QTest::addRow("32 Bytes") << int(kRandomButton) << "32 Bytes" << true << 52 << 0 << 0 << none;
  QTest::addRow("64 Bytes") << int(kRandomButton) << "64 Bytes" << true << 103 << 0 << 0 << none;
  QTest::addRow("128 Bytes") << int(kRandomButton) << "128 Bytes" << true << 205 << 0 << 0 << none;
  QTest::addRow("64 Bytes, menu closed") << int(kRandomButton) << "64 Bytes" << false << 103 << 0 << 0 << none;
  QTest::addRow("Scan Screen") << int(kScanQrButton) << "Scan Screen" << true << 0 << 1 << 0
                               << QStringList{"No QR Code found on the screen!"};
  QTest::addRow("Load Image File") << int(kScanQrButton) << "Load Image File" << true << 0 << 0 << 1 << none;
}

void VantorDlgTest::splitButtonMenuEntriesThroughAssistiveTechnology() {
  QFETCH(int, button);
  QFETCH(QString, entry);
  QFETCH(bool, menuOpen);
  QFETCH(int, secretLength);
  QFETCH(int, screenGrabs);
  QFETCH(int, fileQuestions);
  QFETCH(QStringList, messages);

  BlankScreen screen;
  ui::UseScreenCapture(&screen);
  const auto restoreScreen = qScopeGuard([] { ui::UseScreenCapture(nullptr); });
  auto* tool = ControlOf<QToolButton>(m_dlg, button);
  QMenu* menu = tool->menu();
  QAccessibleInterface* face = MenuEntryFace(tool, entry);
  QVERIFY(face);
  auto* secret = ControlOf<QLineEdit>(m_dlg, kSecretEdit);

  // The press must return at once, with nothing done yet; the menu closes
  // before the entry runs, as after a click.
  bool pressed = false;
  bool shownWhenPressed = false;
  bool openAfterRequest = false;
  auto press = [&] {
    pressed = true;
    shownWhenPressed = !face->state().invisible;
    face->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    openAfterRequest = menu->isVisible();
    QCOMPARE(secret->text(), QString());
    QCOMPARE(screen.grabs + m_files.Asked(), 0);
  };
  if (menuOpen) {
    // The menu runs an event loop of its own once it opens: press from there,
    // and close a menu that stays open, which would hold the test in its loop.
    bool leftOpen = false;
    QElapsedTimer sincePress;
    QTimer presser;
    connect(&presser, &QTimer::timeout, [&] {
      if (QApplication::activePopupWidget() != menu) return;
      if (!pressed) {
        press();
        sincePress.start();
      } else if (sincePress.elapsed() > 2000) {
        leftOpen = true;
        menu->close();
      }
    });
    presser.start(10);
    QAccessible::queryAccessibleInterface(tool)->actionInterface()->doAction(
        QAccessibleActionInterface::showMenuAction());
    QTRY_VERIFY(pressed);
    QVERIFY(shownWhenPressed);
    QVERIFY(openAfterRequest);
    QTRY_VERIFY(!menu->isVisible());
    QVERIFY(!leftOpen);
  } else {
    press();
    QVERIFY(!shownWhenPressed);
  }

  QTRY_COMPARE(secret->text().size(), secretLength);
  QTRY_COMPARE(screen.grabs, screenGrabs);
  QCOMPARE(m_files.Asked(), fileQuestions);
  QTRY_COMPARE(m_messages.Texts(), messages);
  QCOMPARE(m_cue.Plays().size(), secretLength > 0 ? 1 : 0);
}

// Runs check on the modal dialog that the next call opens, then lets it go.
template <class Check>
static void WhenModalOpens(Check check) {
  QTimer::singleShot(0, [check] {
    QWidget* modal = QApplication::activeModalWidget();
    QVERIFY(modal);
    check(modal);
  });
}

void VantorDlgTest::aboutBox() {
  QStringList texts;
  bool hasIcon = false;
  WhenModalOpens([&](QWidget* modal) {
    for (QLabel* label : modal->findChildren<QLabel*>()) {
      if (!label->text().isEmpty()) texts << label->text();
      if (!label->pixmap().isNull()) hasIcon = true;
    }
    texts << modal->windowTitle();
    modal->findChild<QPushButton*>()->click();  // "Close"
  });
  m_dlg->OnAbout();
  QVERIFY(texts.contains(QStringLiteral("Orvex Zerazaduzu v2.0")));
  QVERIFY(texts.contains(QStringLiteral("Orvex Zerazaduzu")));
  QVERIFY(hasIcon);
}

void VantorDlgTest::realMessageBox_data() {
  QTest::addColumn<int>("icon");
  QTest::addColumn<int>("boxIcon");
  QTest::addRow("operator message") << int(ui::MessageIcon::None) << int(QMessageBox::NoIcon);
  QTest::addRow("export failure") << int(ui::MessageIcon::Error) << int(QMessageBox::Critical);
}

void VantorDlgTest::realMessageBox() {
  QFETCH(int, icon);
  QFETCH(int, boxIcon);
  ui::UseMessages(nullptr);
  QString title, text;
  int shownIcon = -1;
  QList<QAbstractButton*> buttons;
  bool onTop = false;
  bool modal = false;
  WhenModalOpens([&](QWidget* widget) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    QVERIFY(box);
    title = box->windowTitle();
    text = box->text();
    shownIcon = int(box->icon());
    buttons = box->buttons();
    onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    modal = box->isModal() && box->parentWidget() == m_dlg;
    box->button(QMessageBox::Ok)->click();
  });
  ui::ShowOperatorMessage(m_dlg, QStringLiteral("ERROR"), QStringLiteral("Device not connected"), ui::MessageIcon(icon));
  ui::UseMessages(&m_messages);
  QCOMPARE(title, QStringLiteral("ERROR"));
  QCOMPARE(text, QStringLiteral("Device not connected"));
  QCOMPARE(shownIcon, boxIcon);
  QCOMPARE(buttons.size(), 1);
  QVERIFY(onTop);
  QVERIFY(modal);
}

// Counts how many callers are inside the PC/SC implementation at once.
class OverlapProbe : public sim::EmulatedPcsc {
 public:
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  int32_t EstablishContext(uint32_t scope, tokenlink::PcscContext* context) override {
    Enter();
    const int32_t rc = sim::EmulatedPcsc::EstablishContext(scope, context);
    --inside;
    return rc;
  }
  int32_t ReleaseContext(tokenlink::PcscContext context) override {
    Enter();
    const int32_t rc = sim::EmulatedPcsc::ReleaseContext(context);
    --inside;
    return rc;
  }

 private:
  void Enter() {
    const int now = ++inside;
    int seen = most;
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
};

void VantorDlgTest::pcscCallsNeverOverlap() {
  OverlapProbe probe;
  tokenlink::SerializedPcsc serialized(probe);
  auto hammer = [&] {
    for (int i = 0; i < 200; ++i) {
      tokenlink::PcscContext context = 0;
      if (serialized.EstablishContext(tokenlink::kScopeUser, &context) == 0) serialized.ReleaseContext(context);
    }
  };
  std::thread a(hammer), b(hammer), c(hammer);
  a.join();
  b.join();
  c.join();
  QCOMPARE(probe.most.load(), 1);
  QCOMPARE(probe.OpenContexts(), 0);
}

QTEST_MAIN(VantorDlgTest)
#include "vantor_dlg_test.moc"
