// Window tests of the faults mended in the window's rebuild: every token is
// booked under its own serial number with the secret it holds, a closing
// window writes nothing, export files are never emptied and their write
// errors reach the operator, Enter presses the focused button, value labels
// publish their values, and an idle reader list costs the window nothing.
// The real CVantorDlg against emulated readers and tokens in-process.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QThread>
#include <QToolButton>
#include <QTreeWidget>
#include <atomic>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <unistd.h>

#include "app_values.h"
#include "emulated_station.h"
#include "export_set.h"
#include "token_commands.h"
#include "token_emulator.h"

namespace {

const std::string kSecondReader = "Emulated Reader 1";
const QString kSecondReaderText = QString::fromStdString(kSecondReader);
const QString kAzureHeader = QStringLiteral("upn,serial number,secret key,time interval,manufacturer,model");
const QString kProgrammed = QStringLiteral("Token successfully programmed!");

// RFC 6238's test secret, "12345678901234567890", in Base32 (coreutils base32).
const QString kRfcSecret = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
const QByteArray kRfcSecretHex = QByteArrayLiteral("3132333435363738393031323334353637383930");

// The burn authenticates twice: once to configure the token when Burn is
// pressed, once more before the seed write.
constexpr int kPreparationAuthentication = 1;
constexpr int kBurnAuthentication = 2;

// 2024-03-05 07:08:09 UTC (date -d '2024-03-05 07:08:09 UTC' +%s).
const QDateTime kWindowNowUtc(QDate(2024, 3, 5), QTime(7, 8, 9), Qt::UTC);
constexpr uint32_t kWindowNowSeconds = 1709622489;
// 2021-01-02 03:04:05 UTC.
constexpr uint32_t kTokenClockSeconds = 1609556645;

int SeedWritesIn(const std::vector<std::vector<uint8_t>>& apdus) {
  int writes = 0;
  for (const std::vector<uint8_t>& apdu : apdus) {
    if (apdu.size() > 1 && apdu[1] == tokenlink::INS_SEED_WRITE) ++writes;
  }
  return writes;
}

enum class SwapAt { AfterPreparation, InsideBurn };
enum class CloseAt { PressQuestion, TakeUpQuestion };
enum class ChangeAt { BurnAuthentication, SeedWrite };
enum class Breakage { ReadOnly, DiskFull };
enum class Pressed { Random, ScanQr, Edit, LoadSeedFile };

}  // namespace

Q_DECLARE_METATYPE(SwapAt)
Q_DECLARE_METATYPE(CloseAt)
Q_DECLARE_METATYPE(ChangeAt)
Q_DECLARE_METATYPE(Breakage)
Q_DECLARE_METATYPE(Pressed)
Q_DECLARE_METATYPE(station::ExportFile)

class WindowMendsTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void connectToAnotherReaderBooksItsToken();
  void tokenSwappedBeforeSeedWrite_data();
  void tokenSwappedBeforeSeedWrite();
  void windowChangedDuringBurnBooksWhatTheTokenHolds_data();
  void windowChangedDuringBurnBooksWhatTheTokenHolds();
  void closeDuringBurnWritesNothing_data();
  void closeDuringBurnWritesNothing();
  void burnPressWhileClosingIsIgnored();
  void exportWriteFailureIsReported_data();
  void exportWriteFailureIsReported();
  void existingExportFileIsKept_data();
  void existingExportFileIsKept();
  void tokenClockWritten_data();
  void tokenClockWritten();
  void seedFileTokenNotInFileClearsSecret();
  void enterPressesFocusedButton_data();
  void enterPressesFocusedButton();
  void valueLabelsPublishTheirValues();
  void idleReaderListHandsNothingOver();

 private:
  void OnWindowThread(const std::function<void()>& fn);
  QStringList NamesOf(const QList<int>& ids) const;
};

void WindowMendsTest::init() { StartStation(); }

void WindowMendsTest::cleanup() { EndStation(); }

// From a token event on the card monitor's thread: widgets are changed on
// the window's thread, which is free while the test waits.
void WindowMendsTest::OnWindowThread(const std::function<void()>& fn) {
  if (QThread::currentThread() == m_dlg->thread()) {
    fn();
  } else {
    QMetaObject::invokeMethod(m_dlg, fn, Qt::BlockingQueuedConnection);
  }
}

// What the accessibility bus publishes for these controls.
QStringList WindowMendsTest::NamesOf(const QList<int>& ids) const {
  QStringList names;
  for (int id : ids) names << AccessibleName(m_dlg->Control(id));
  return names;
}

// Mend: Connect to another reader reads the token there, and the burn books it.
void WindowMendsTest::connectToAnotherReaderBooksItsToken() {
  m_pcsc->AddReader(kSecondReader);
  auto first = LayToken("ZZ0000000A");
  auto second = LayToken("ZZ0000000B", kSecondReader);
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kUserNameEdit), QStringLiteral("ops@example.com"));
  EnterSecret(kRfcSecret);

  ConnectTo(kReaderText);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ0000000A"));
  ConnectTo(kSecondReaderText);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ0000000B"));
  QCOMPARE(app::SelectedReaderName(), kSecondReaderText);
  m_pcsc->ClearSentApdus(kReader);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));

  QCOMPARE(SeedHex(*second), kRfcSecretHex);
  QVERIFY(first->Seed().empty());
  QCOMPARE(m_pcsc->SentApdus(kReader).size(), size_t(0));  // the first reader is left alone
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ0000000B"));
  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  QCOMPARE(log->topLevelItemCount(), 1);
  QCOMPARE(log->topLevelItem(0)->text(1), QStringLiteral("ZZ0000000B"));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".hex.csv")),
           QStringList({"ZZ0000000B," + QString::fromLatin1(kRfcSecretHex) + "\r\n"}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")), QStringList({"ZZ0000000B," + kRfcSecret + "\r\n"}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".azure.csv")),
           QStringList({kAzureHeader + "\r\n", "ops@example.com,ZZ0000000B," + kRfcSecret + ",30,Halcy Vuzuvaro,Orvex\r\n"}));
}

void WindowMendsTest::tokenSwappedBeforeSeedWrite_data() {
  QTest::addColumn<SwapAt>("swapAt");
  QTest::addRow("after the preparation, before the card monitor takes the burn up") << SwapAt::AfterPreparation;
  QTest::addRow("inside the burn, after its authentication") << SwapAt::InsideBurn;
}

// Mend: the burn confirms the serial number in the field before the seed write.
void WindowMendsTest::tokenSwappedBeforeSeedWrite() {
  QFETCH(SwapAt, swapAt);
  ConnectTo(kReaderText);
  auto first = LayToken("ZZ0000000A");
  auto second = std::make_shared<sim::TokenEmulator>(sim::TokenConfig{.serialNumber = "ZZ0000000B"});
  auto swapped = std::make_shared<std::atomic<bool>>(false);
  auto swap = [pcsc = m_pcsc.get(), second, swapped] {
    pcsc->InsertToken(kReader, second);
    *swapped = true;
  };
  if (swapAt == SwapAt::AfterPreparation) {
    AtTokenEvent(*first, "settings:", 1, swap);
  } else {
    AtTokenEvent(*first, "authenticated", kBurnAuthentication, swap);
  }
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();

  // The pending burn takes up the token in the field, under its own serial.
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QVERIFY(swapped->load());
  QVERIFY(first->Seed().empty());
  QCOMPARE(SeedHex(*second), kRfcSecretHex);
  QCOMPARE(SeedWritesIn(m_pcsc->SentApdus(kReader)), 1);
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ0000000B"));
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
  QCOMPARE(m_messages.Texts(), QStringList({kProgrammed}));
  auto* log = ControlOf<QTreeWidget>(m_dlg, kLogList);
  QCOMPARE(log->topLevelItemCount(), 1);
  QCOMPARE(log->topLevelItem(0)->text(1), QStringLiteral("ZZ0000000B"));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")), QStringList({"ZZ0000000B," + kRfcSecret + "\r\n"}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".hex.csv")),
           QStringList({"ZZ0000000B," + QString::fromLatin1(kRfcSecretHex) + "\r\n"}));
}

void WindowMendsTest::windowChangedDuringBurnBooksWhatTheTokenHolds_data() {
  QTest::addColumn<ChangeAt>("changeAt");
  QTest::addRow("between the capture and the seed write") << ChangeAt::BurnAuthentication;
  QTest::addRow("between the seed write and the booking") << ChangeAt::SeedWrite;
}

// Mend: the booking is made from the burn as it was done, not from the widgets.
void WindowMendsTest::windowChangedDuringBurnBooksWhatTheTokenHolds() {
  QFETCH(ChangeAt, changeAt);
  ConnectTo(kReaderText);
  auto token = LayToken("ZZ00000001");
  auto changed = std::make_shared<std::atomic<bool>>(false);
  auto change = [this, changed] {
    OnWindowThread([this] {
      ControlOf<QComboBox>(m_dlg, kEncodingCombo)->setCurrentIndex(1);
      ControlOf<QLineEdit>(m_dlg, kSecretEdit)->setText(QStringLiteral("00112233445566778899AABBCCDDEEFF"));
      ControlOf<QRadioButton>(m_dlg, kTime60)->setChecked(true);
      ControlOf<QLineEdit>(m_dlg, kUserNameEdit)->setText(QStringLiteral("someone.else@example.com"));
    });
    *changed = true;
  };
  if (changeAt == ChangeAt::SeedWrite) {
    AtTokenEvent(*token, "seed:", 1, change);
  } else {
    AtTokenEvent(*token, "authenticated", kBurnAuthentication, change);
  }
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kUserNameEdit), QStringLiteral("ops@example.com"));
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QVERIFY(changed->load());

  // The token holds the secret of the press, and so do the lines.
  const QByteArray held = SeedHex(*token);
  QCOMPARE(held, kRfcSecretHex);
  QCOMPARE(token->TimeStep(), 30);
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".hex.csv")), QStringList({"ZZ00000001," + QString::fromLatin1(held) + "\r\n"}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")), QStringList({"ZZ00000001," + kRfcSecret + "\r\n"}));
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".azure.csv")),
           QStringList({kAzureHeader + "\r\n", "ops@example.com,ZZ00000001," + kRfcSecret + ",30,Halcy Vuzuvaro,Orvex\r\n"}));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItem(0)->text(2), QStringLiteral("ops@example.com"));
}

void WindowMendsTest::closeDuringBurnWritesNothing_data() {
  QTest::addColumn<CloseAt>("closeAt");
  QTest::addRow("Burn's own question on screen") << CloseAt::PressQuestion;
  QTest::addRow("the pending burn's question on screen") << CloseAt::TakeUpQuestion;
}

// Mend: a window that closes while a burn's question is on screen has nothing
// written, whatever the answer given afterwards.
void WindowMendsTest::closeDuringBurnWritesNothing() {
  QFETCH(CloseAt, closeAt);
  ConnectTo(kReaderText);
  // The secret goes into one token first, so that a second one asks.
  auto first = LayToken("ZZ00000001");
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());

  auto second = LayToken("ZZ00000002");
  std::shared_ptr<sim::TokenEmulator> target = second;
  if (closeAt == CloseAt::TakeUpQuestion) {
    // Agreed to for the second token, which leaves after its preparation;
    // the third one laid brings the question up again.
    QTRY_VERIFY(ControlOf<QPushButton>(m_dlg, kBurnButton)->isEnabled());
    m_pcsc->PullCardAtApdu(kReader, kTakeUpRead);
    PressBurnWhenReady();
    QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
    QCOMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Stop"));
    QCOMPARE(m_messages.Questions().size(), 1);
    target = LayToken("ZZ00000003");
  }
  m_pcsc->ClearSentApdus(kReader);
  const int questionsBefore = static_cast<int>(m_messages.Questions().size());
  m_messages.OnShow([dlg = m_dlg](const RecordedMessage& m) {
    if (m.question) dlg->reject();
  });
  if (closeAt == CloseAt::PressQuestion) PressBurnWhenReady();

  QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->isVisible(), 10000);
  QCOMPARE(m_messages.Questions().size(), questionsBefore + 1);
  QCOMPARE(m_dlg->result(), int(QDialog::Rejected));
  QVERIFY(target->Seed().empty());
  QCOMPARE(target->TimeStep(), 30);
  // Nothing at all reached the token after the question, not even an
  // authentication.
  for (const std::vector<uint8_t>& apdu : m_pcsc->SentApdus(kReader)) QCOMPARE(apdu[1], tokenlink::INS_READ_INFO);
  QCOMPARE(m_dlg->TotalCount(), 1);
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 1);
  QCOMPARE(FileLinesEndingIn(QStringLiteral(".b32.csv")), QStringList({"ZZ00000001," + kRfcSecret + "\r\n"}));
}

// Mend: once closing has started, a Burn press opens no export set and
// touches no token.
void WindowMendsTest::burnPressWhileClosingIsIgnored() {
  ConnectTo(kReaderText);
  auto token = LayToken("ZZ00000001");
  EnterSecret(kRfcSecret);
  bool pressed = false;
  m_messages.OnShow([&](const RecordedMessage& m) {
    if (m.text != kProgrammed || pressed) return;
    pressed = true;
    // The card monitor's box is on screen: the window closes once it is gone.
    m_dlg->done(QDialog::Rejected);
    // A press now would open a set and configure the token for 60 s.
    ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
    ControlOf<QRadioButton>(m_dlg, kTime60)->setChecked(true);
    m_pcsc->ClearSentApdus(kReader);
    m_dlg->OnBurn();  // the button itself is held during the pause after the first press
  });
  PressBurnWhenReady();
  QTRY_VERIFY(pressed);
  QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->isVisible(), 10000);
  QCOMPARE(ExportFiles(), QStringList());
  QCOMPARE(m_pcsc->SentApdus(kReader).size(), size_t(0));
  QCOMPARE(token->TimeStep(), 30);
  QCOMPARE(SeedHex(*token), kRfcSecretHex);  // the first burn stands
  QCOMPARE(m_messages.Texts(), QStringList({kProgrammed}));
  QCOMPARE(m_dlg->TotalCount(), 1);
}

void WindowMendsTest::exportWriteFailureIsReported_data() {
  QTest::addColumn<station::ExportFile>("broken");
  QTest::addColumn<QString>("ending");
  QTest::addColumn<Breakage>("breakage");
  QTest::addColumn<QString>("message");
  QTest::addRow("hex file read-only") << station::ExportFile::Hex << ".hex.csv" << Breakage::ReadOnly
                                      << "Failed to write HEX seed file";
  QTest::addRow("Base32 file on a full disk") << station::ExportFile::Base32 << ".b32.csv" << Breakage::DiskFull
                                              << "Failed to write B32 seed file";
  QTest::addRow("Azure file read-only") << station::ExportFile::Azure << ".azure.csv" << Breakage::ReadOnly
                                        << "Failed to write Azure seed file";
  QTest::addRow("OATH file on a full disk") << station::ExportFile::Oath << ".oath.csv" << Breakage::DiskFull
                                           << "Failed to write OATH seed file";
}

// Mend: a line that cannot be written reaches the operator, and the next
// Burn starts a new set.
void WindowMendsTest::exportWriteFailureIsReported() {
  QFETCH(station::ExportFile, broken);
  QFETCH(QString, ending);
  QFETCH(Breakage, breakage);
  QFETCH(QString, message);
  UseClock(QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)));  // local time
  const QString stem = QStringLiteral("Seed-2024-03-05-07-08-09");

  // The files of the set are created as usual; the broken one's descriptor
  // is then replaced by one that refuses writes.
  auto handedOut = std::make_shared<std::map<QString, int>>();
  station::UseExportFileCreator([handedOut](const QString& path) {
    const int fd = station::CreateOwnerOnlyFile(path);
    (*handedOut)[QFileInfo(path).fileName()] = fd;
    return fd;
  });
  ConnectTo(kReaderText);
  auto first = LayToken("ZZ00000001");
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kUserNameEdit), QStringLiteral("ops@example.com"));
  EnterSecret(kRfcSecret);
  // The set is open (and the Azure header written) once the token is
  // configured; the broken file refuses the line that follows.
  const int refusing = breakage == Breakage::ReadOnly ? ::open("/dev/null", O_RDONLY | O_CLOEXEC)
                                                      : ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  QVERIFY(refusing >= 0);
  auto broke = std::make_shared<std::atomic<bool>>(false);
  AtTokenEvent(*first, "settings:", 1, [handedOut, name = stem + ending, refusing, broke] {
    if (handedOut->size() == 4 && ::dup2(refusing, handedOut->at(name)) >= 0) *broke = true;
    ::close(refusing);
  });
  PressBurnWhenReady();
  QTRY_VERIFY(broke->load());

  QTRY_COMPARE(m_messages.Messages().size(), 2);
  const QList<RecordedMessage> shown = m_messages.Messages();
  QCOMPARE(shown[0].text, kProgrammed);
  QCOMPARE(shown[0].caption, QStringLiteral("Orvex Zerazaduzu"));
  QCOMPARE(shown[1].text, message);
  QCOMPARE(shown[1].icon, ui::MessageIcon::Error);
  QCOMPARE(shown[1].caption, QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(SeedHex(*first), kRfcSecretHex);
  // The files that could be written hold their line.
  const QStringList lines = {"ZZ00000001," + QString::fromLatin1(kRfcSecretHex) + "\r\n",
                             "ZZ00000001," + kRfcSecret + "\r\n",
                             kAzureHeader + "\r\n" + "ops@example.com,ZZ00000001," + kRfcSecret + ",30,Halcy Vuzuvaro,Orvex\r\n",
                             "ZZ00000001," + QString::fromLatin1(kRfcSecretHex) + ",totp,6,30,sha1\r\n"};
  const QStringList endings = {".hex.csv", ".b32.csv", ".azure.csv", ".oath.csv"};
  for (int i = 0; i < 4; ++i) {
    if (i != int(broken)) QCOMPARE(FileLines(stem + endings[i]).join(QString()), lines[i]);
  }

  // The next Burn opens a new set; with the clock standing still it takes
  // the next free name.
  m_messages.Clear();
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  auto second = LayToken("ZZ00000002");
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("2"));
  QCOMPARE(m_messages.Texts(), QStringList({kProgrammed}));
  QCOMPARE(SeedHex(*second), kRfcSecretHex);
  QCOMPARE(ExportFiles().size(), 8);
  QCOMPARE(FileLines(stem + "-2.b32.csv"), QStringList({"ZZ00000002," + kRfcSecret + "\r\n"}));
  QCOMPARE(FileLines(stem + "-2.hex.csv"), QStringList({"ZZ00000002," + QString::fromLatin1(kRfcSecretHex) + "\r\n"}));
  QCOMPARE(FileLines(stem + "-2.azure.csv"),
           QStringList({kAzureHeader + "\r\n", "ops@example.com,ZZ00000002," + kRfcSecret + ",30,Halcy Vuzuvaro,Orvex\r\n"}));
}

void WindowMendsTest::existingExportFileIsKept_data() {
  QTest::addColumn<QStringList>("existing");
  QTest::addColumn<QString>("stem");
  const QString at = QStringLiteral("Seed-2024-03-05-07-08-09");
  QTest::addRow("hex file of that name") << QStringList({at + ".hex.csv"}) << at + "-2";
  QTest::addRow("Azure file of that name") << QStringList({at + ".azure.csv"}) << at + "-2";
  QTest::addRow("OATH file of that name") << QStringList({at + ".oath.csv"}) << at + "-2";
  QTest::addRow("a whole set, and a Base32 file of the next name")
      << QStringList({at + ".hex.csv", at + ".b32.csv", at + ".azure.csv", at + "-2.b32.csv"}) << at + "-3";
}

// Mend: an existing export file is never emptied.
void WindowMendsTest::existingExportFileIsKept() {
  QFETCH(QStringList, existing);
  QFETCH(QString, stem);
  UseClock(QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)));  // local time
  QVERIFY(QDir().mkpath(DataPath()));
  const QByteArray kept = QByteArrayLiteral("ZZ99999999,KEPTBYANOTHERSTATION\r\n");
  for (const QString& name : existing) {
    QFile file(DataPath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(kept);
  }
  ConnectTo(kReaderText);
  auto token = LayToken("ZZ00000001");
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(true);
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));

  for (const QString& name : existing) QCOMPARE(FileLines(name), QStringList({QString::fromLatin1(kept)}));
  QStringList expected = existing;
  expected << stem + ".azure.csv" << stem + ".b32.csv" << stem + ".hex.csv" << stem + ".oath.csv";
  expected.sort();
  QCOMPARE(ExportFiles(), expected);
  QCOMPARE(FileLines(stem + ".b32.csv"), QStringList({"ZZ00000001," + kRfcSecret + "\r\n"}));
  QCOMPARE(FileLines(stem + ".hex.csv"), QStringList({"ZZ00000001," + QString::fromLatin1(kRfcSecretHex) + "\r\n"}));
  QCOMPARE(FileLines(stem + ".azure.csv").first(), kAzureHeader + "\r\n");
  QCOMPARE(m_messages.Texts(), QStringList({kProgrammed}));
}

void WindowMendsTest::tokenClockWritten_data() {
  QTest::addColumn<bool>("syncTicked");
  QTest::addColumn<uint>("clock");
  QTest::addRow("sync ticked: the computer clock") << true << uint(kWindowNowSeconds);
  QTest::addRow("sync cleared: the token clock as read, an hour later") << false << uint(kTokenClockSeconds + 3600);
}

// Mend: with "Sync Token Clock" cleared, the token clock moves on by the time
// since it was read.
void WindowMendsTest::tokenClockWritten() {
  QFETCH(bool, syncTicked);
  QFETCH(uint, clock);
  TestClock& windowClock = UseClock(kWindowNowUtc);
  auto token = std::make_shared<sim::TokenEmulator>();
  token->SetHostClock([] { return int64_t{1700000000}; });  // the token clock stands still
  token->SetClock(kTokenClockSeconds);
  ConnectTo(kReaderText);
  m_pcsc->InsertToken(kReader, token);
  QTRY_COMPARE(LabelText(m_dlg, kTokenClockLabel), QStringLiteral("2021-01-02 03:04:05"));
  windowClock.Advance(3600 * 1000);

  ControlOf<QCheckBox>(m_dlg, kSyncClockCheck)->setChecked(syncTicked);
  EnterSecret(kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(token->Clock(), uint32_t(clock));
}

// Mend: with a seed file loaded, a token that is not in it gets no secret
// from the token before it.
void WindowMendsTest::seedFileTokenNotInFileClearsSecret() {
  LoadSeedFileThroughDialog("ZZ00000001,GEZDGNBVGY3TQOJQ\r\nZZ00000003,MFRGGZDFMZTWQ2LK\r\n");
  QCOMPARE(m_files.Asked(), 1);

  auto* edit = ControlOf<QLineEdit>(m_dlg, kSecretEdit);
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  ConnectTo(kReaderText);
  auto listed = LayToken("ZZ00000001");
  QTRY_COMPARE(edit->text(), QStringLiteral("GEZDGNBVGY3TQOJQ"));
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(SeedHex(*listed), QByteArrayLiteral("31323334353637383930"));

  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  auto unlisted = LayToken("ZZ00000002");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000002"));
  QCOMPARE(edit->text(), QString());
  QCOMPARE(m_dlg->m_secret, QString());
  QTest::qWait(300);  // a few passes: Burn stays off
  QVERIFY(!burn->isEnabled());
  QVERIFY(unlisted->Seed().empty());

  // The next listed token brings its own secret.
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  LayToken("ZZ00000003");
  QTRY_COMPARE(edit->text(), QStringLiteral("MFRGGZDFMZTWQ2LK"));
  QTRY_VERIFY(burn->isEnabled());

  // A secret the operator typed is the operator's: a token the file does not
  // list leaves it in the box (Burn's own question guards a second use).
  ControlOf<QPushButton>(m_dlg, kEditButton)->click();
  edit->setText(kRfcSecret);
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  LayToken("ZZ00000004");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000004"));
  QCOMPARE(edit->text(), kRfcSecret);
  QTRY_VERIFY(burn->isEnabled());
}

void WindowMendsTest::enterPressesFocusedButton_data() {
  QTest::addColumn<Pressed>("pressed");
  QTest::addColumn<int>("key");
  QTest::addColumn<int>("modifiers");
  const int none = Qt::NoModifier;
  const int keypad = Qt::KeypadModifier;
  QTest::addRow("Random, Return") << Pressed::Random << int(Qt::Key_Return) << none;
  QTest::addRow("Random, keypad Enter") << Pressed::Random << int(Qt::Key_Enter) << keypad;
  QTest::addRow("Scan QR Code, Return") << Pressed::ScanQr << int(Qt::Key_Return) << none;
  QTest::addRow("Edit, Return") << Pressed::Edit << int(Qt::Key_Return) << none;
  QTest::addRow("Load Seed File, keypad Enter") << Pressed::LoadSeedFile << int(Qt::Key_Enter) << keypad;
}

// Mend: Enter on a focused button presses it, split buttons included; it
// does not close the window.
void WindowMendsTest::enterPressesFocusedButton() {
  QFETCH(Pressed, pressed);
  QFETCH(int, key);
  QFETCH(int, modifiers);
  const int id = pressed == Pressed::Random         ? kRandomButton
                 : pressed == Pressed::ScanQr       ? kScanQrButton
                 : pressed == Pressed::Edit         ? kEditButton
                                                    : kLoadSeedFileButton;
  QWidget* button = m_dlg->Control(id);
  button->setFocus();
  QCOMPARE(m_dlg->focusWidget(), button);
  QTest::keyClick(button, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

  QVERIFY(m_dlg->isVisible());
  auto* edit = ControlOf<QLineEdit>(m_dlg, kSecretEdit);
  switch (pressed) {
    case Pressed::Random:
      // 32 random bytes as Base32 without padding.
      QCOMPARE(edit->text().size(), 52);
      QCOMPARE(m_cue.Plays(), (QList<QPair<int, int>>{{2000, 500}}));
      break;
    case Pressed::ScanQr:
      // Its body does nothing.
      QCOMPARE(edit->text(), QString());
      QCOMPARE(m_messages.Messages().size(), 0);
      QCOMPARE(m_files.Asked(), 0);
      break;
    case Pressed::Edit:
      QVERIFY(!edit->isReadOnly());
      break;
    case Pressed::LoadSeedFile:
      QCOMPARE(m_files.Asked(), 1);
      break;
  }
}

// Accessibility: value labels publish what they show, Burn/Stop its caption.
void WindowMendsTest::valueLabelsPublishTheirValues() {
  UseClock(kWindowNowUtc);
  LoadSeedFileThroughDialog("ZZ12345678," + kRfcSecret.toLatin1() + "\r\n");
  QCOMPARE(NamesOf({kSeedPathLabel}), QStringList({"Secret/Seed File: " + m_files.answer}));

  ConnectTo(kReaderText);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  // An empty value leaves the caption alone.
  QCOMPARE(NamesOf({kSerialLabel, kTokenClockLabel, kComputerClockLabel, kTipsLabel, kTotalLabel, kSuccessLabel,
                    kFailLabel, kBurnButton}),
           QStringList({"Serial Number:", "Token Clock (UTC):", "Computer Clock (UTC):", "Token or card not detected",
                        "Total: 0", "Success: 0", "Fail: 0", "Burn"}));

  auto token = std::make_shared<sim::TokenEmulator>(sim::TokenConfig{.serialNumber = "ZZ12345678"});
  token->SetHostClock([] { return int64_t{1700000000}; });
  token->SetClock(kTokenClockSeconds);
  m_pcsc->InsertToken(kReader, token);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ12345678"));
  QCOMPARE(NamesOf({kSerialLabel, kTokenClockLabel, kComputerClockLabel, kTipsLabel}),
           QStringList({"Serial Number: ZZ12345678", "Token Clock (UTC): 2021-01-02 03:04:05",
                        "Computer Clock (UTC): 2024-03-05 07:08:09", "Token or card detected"}));

  // Burn fails the first time (the seed write is refused), then succeeds.
  // While the failure is on screen the burn is still pending.
  token->FailInstruction(tokenlink::INS_SEED_WRITE, sim::SW_WRONG_DATA);
  QStringList namesDuringFailure;
  m_messages.OnShow([&](const RecordedMessage&) { namesDuringFailure = NamesOf({kBurnButton}); });
  PressBurnWhenReady();
  QTRY_COMPARE(namesDuringFailure, QStringList({"Stop"}));
  m_messages.OnShow(nullptr);
  QTRY_COMPARE(LabelText(m_dlg, kFailLabel), QStringLiteral("1"));
  QCOMPARE(NamesOf({kBurnButton, kTotalLabel, kSuccessLabel, kFailLabel}),
           QStringList({"Burn", "Total: 1", "Success: 0", "Fail: 1"}));
  token->ClearFaults();
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("1"));
  QCOMPARE(NamesOf({kBurnButton, kTotalLabel, kSuccessLabel, kFailLabel}),
           QStringList({"Burn", "Total: 2", "Success: 1", "Fail: 1"}));

  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
  QCOMPARE(NamesOf({kSerialLabel, kTokenClockLabel, kComputerClockLabel, kTipsLabel}),
           QStringList({"Serial Number:", "Token Clock (UTC):", "Computer Clock (UTC):", "Token or card not detected"}));
}

// Idle cost: with a reader chosen and nothing changing, the reader-list
// monitor hands nothing to the window.
void WindowMendsTest::idleReaderListHandsNothingOver() {
  auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  QTRY_COMPARE(combo->count(), 1);
  HandOverCounter handOvers;
  QObject* hop = m_dlg->findChild<QObject*>(QStringLiteral("WindowHop"), Qt::FindDirectChildrenOnly);
  QVERIFY(hop);
  hop->installEventFilter(&handOvers);
  // No reader chosen: every pass renews the reminder on the status line.
  QTest::qWait(500);
  QVERIFY2(handOvers.count >= 3, qPrintable(QString::number(handOvers.count)));

  combo->setCurrentIndex(0);
  QTest::qWait(300);  // a pass under way may still hand its list over
  handOvers.count = 0;
  QTest::qWait(1000);
  QCOMPARE(handOvers.count.load(), 0);

  // A reader that comes is still handed over; the choice stays.
  m_pcsc->AddReader(kSecondReader);
  QTRY_COMPARE(combo->count(), 2);
  QVERIFY(handOvers.count >= 1);
  QCOMPARE(combo->currentIndex(), 0);
  m_dlg->removeEventFilter(&handOvers);
}

QTEST_MAIN(WindowMendsTest)
#include "window_mends_test.moc"
