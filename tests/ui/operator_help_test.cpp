// Window tests of what the station tells the operator beyond its status line:
// why the reader list or the token panel stays empty (and that the line goes
// once the cause is gone), the question before a secret too long for the
// cloud directory's import, and the question before a secret reaches a second
// token. The real CVantorDlg against emulated readers and tokens in-process.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "app_values.h"
#include "emulated_station.h"
#include "failure_causes.h"
#include "token_emulator.h"
#include "token_protocol.h"

namespace {

const std::string kSecondReader = "Emulated Reader 1";
const QString kSecondReaderText = QString::fromStdString(kSecondReader);
const QString kNotDetected = QStringLiteral("Token or card not detected");
const QString kProgrammed = QStringLiteral("Token successfully programmed!");
const QString kLongSecretQuestion = QStringLiteral(
    "The secret is longer than 128 characters: the cloud directory will not import this token. Burn anyway?");

QString SecretTwiceQuestion(const QString& serial) {
  return QStringLiteral("This secret was already programmed into token %1. Burn it into this token too?").arg(serial);
}

// RFC 6238's test secret, "12345678901234567890": Base32 (coreutils base32)
// and hex.
const QString kRfcSecret = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
const QString kRfcSecretHexText = QStringLiteral("3132333435363738393031323334353637383930");
const QString kOtherSecret = QStringLiteral("MFRGGZDFMZTWQ2LK");  // "abcdefghij"

enum class Cause { ServiceStopped, NoReader, ReaderHeld, ReaderGone, NotAToken };

}  // namespace

Q_DECLARE_METATYPE(Cause)

class OperatorHelpTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void failureCauseShownAndCleared_data();
  void failureCauseShownAndCleared();
  void listingBackToNormalHandsNothingOver();
  void longSecretAsksBeforeBurn_data();
  void longSecretAsksBeforeBurn();
  void secretTwiceAsks_data();
  void secretTwiceAsks();
  void secretTwiceToTheSameTokenDoesNotAsk();
  void tokenLaidOnWhileBurnPendsIsAskedAbout();

 private:
  std::shared_ptr<sim::TokenEmulator> LayNextToken(const std::string& serial, const std::string& reader = kReader);
  void BurnInto(const std::string& serial, const QString& secret, int encoding = 0);
  QLabel* CauseLabel() const { return m_dlg->findChild<QLabel*>(QStringLiteral("causeLabel")); }
};

void OperatorHelpTest::init() { StartStation(); }

void OperatorHelpTest::cleanup() { EndStation(); }

// A token already on the reader is taken off first, and the window sees the
// field empty before the next one comes, as with a hand at the reader.
std::shared_ptr<sim::TokenEmulator> OperatorHelpTest::LayNextToken(const std::string& serial, const std::string& reader) {
  if (m_pcsc->TokenIn(reader) && app::SelectedReaderName() == QString::fromStdString(reader)) {
    m_pcsc->RemoveToken(reader);
    (void)QTest::qWaitFor([this] { return LabelText(m_dlg, kSerialLabel).isEmpty(); });
  }
  return LayToken(serial, reader);
}

// Lays the token, burns the secret into it and waits for the booking.
void OperatorHelpTest::BurnInto(const std::string& serial, const QString& secret, int encoding) {
  LayNextToken(serial);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString::fromStdString(serial));
  EnterSecret(secret, encoding);
  const int before = m_messages.Count(kProgrammed);
  PressBurnWhenReady();
  QTRY_COMPARE(m_messages.Count(kProgrammed), before + 1);
  QTRY_COMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Burn"));
}

void OperatorHelpTest::failureCauseShownAndCleared_data() {
  QTest::addColumn<Cause>("cause");
  QTest::addColumn<QString>("expected");
  QTest::addColumn<QString>("statusLine");  // empty: the two monitors take turns on it
  QTest::addRow("smart-card service stopped") << Cause::ServiceStopped << ui::kCauseNoService << kNotDetected;
  // The chosen reader is gone as well, but without any reader that is the
  // cause the operator needs.
  QTest::addRow("no reader attached") << Cause::NoReader << ui::kCauseNoReader << kNotDetected;
  QTest::addRow("reader held by another program") << Cause::ReaderHeld << ui::kCauseReaderHeld << kNotDetected;
  // The reader monitor asks for a choice and the card monitor finds no
  // token, pass by pass: the cause line is what stays.
  QTest::addRow("chosen reader detached, another still there") << Cause::ReaderGone << ui::kCauseReaderGone
                                                               << QString();
  QTest::addRow("a card that is not a token") << Cause::NotAToken << ui::kCauseNotAToken << kNotDetected;
}

// Each cause appears beside the token panel and as the status line's tooltip,
// the status line keeps its own text, and all of it goes once the cause does.
void OperatorHelpTest::failureCauseShownAndCleared() {
  QFETCH(Cause, cause);
  QFETCH(QString, expected);
  QFETCH(QString, statusLine);
  m_pcsc->AddReader(kSecondReader);
  const std::string reader = cause == Cause::ReaderGone ? kSecondReader : kReader;
  auto token = LayNextToken("ZZ00000001", reader);
  ConnectTo(QString::fromStdString(reader));
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  QLabel* causeLabel = CauseLabel();
  QVERIFY(causeLabel);
  QVERIFY(causeLabel->isVisible());
  QCOMPARE(causeLabel->text(), QString());

  std::function<void()> mend;
  switch (cause) {
    case Cause::ServiceStopped:
      m_pcsc->SetServiceRunning(false);
      mend = [&] { m_pcsc->SetServiceRunning(true); };
      break;
    case Cause::NoReader:
      m_pcsc->RemoveReader(kReader);
      m_pcsc->RemoveReader(kSecondReader);
      mend = [&] {
        m_pcsc->AddReader(kReader);
        m_pcsc->InsertToken(kReader, token);
      };
      break;
    case Cause::ReaderHeld:
      m_pcsc->SetHeldByAnotherProgram(kReader, true);
      mend = [&] { m_pcsc->SetHeldByAnotherProgram(kReader, false); };
      break;
    case Cause::ReaderGone:
      m_pcsc->RemoveReader(kSecondReader);
      mend = [&] {
        m_pcsc->AddReader(kSecondReader);
        m_pcsc->InsertToken(kSecondReader, token);
      };
      break;
    case Cause::NotAToken: {
      m_pcsc->RemoveToken(kReader);
      QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString());
      auto card = std::make_shared<sim::TokenEmulator>();
      card->FailInstruction(tokenlink::INS_READ_INFO, sim::SW_INS_NOT_SUPPORTED);
      m_pcsc->InsertToken(kReader, card);
      mend = [&] { m_pcsc->InsertToken(kReader, token); };
      break;
    }
  }
  // Both monitors have had their say: the card monitor's status line, and
  // the cause that wins.
  if (!statusLine.isEmpty()) QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), statusLine);
  QTRY_COMPARE(causeLabel->text(), expected);
  QTest::qWait(200);
  QCOMPARE(causeLabel->text(), expected);
  QCOMPARE(AccessibleName(causeLabel), expected);
  QCOMPARE(ControlOf<QLabel>(m_dlg, kTipsLabel)->toolTip(), expected);
  if (!statusLine.isEmpty()) QCOMPARE(LabelText(m_dlg, kTipsLabel), statusLine);
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QString());

  mend();
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  QTRY_COMPARE(causeLabel->text(), QString());
  QCOMPARE(AccessibleName(causeLabel), QString());
  QCOMPARE(ControlOf<QLabel>(m_dlg, kTipsLabel)->toolTip(), QString());
}

// The cause counts as a change of the listing, yet once the readers are back
// and steady the reader-list monitor hands the window nothing.
void OperatorHelpTest::listingBackToNormalHandsNothingOver() {
  auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  QTRY_COMPARE(combo->count(), 1);
  combo->setCurrentIndex(0);
  const QString tips = LabelText(m_dlg, kTipsLabel);
  m_pcsc->SetServiceRunning(false);
  QTRY_COMPARE(CauseLabel()->text(), ui::kCauseNoService);
  QCOMPARE(LabelText(m_dlg, kTipsLabel), tips);  // the status line says nothing of it
  m_pcsc->RemoveReader(kReader);
  m_pcsc->SetServiceRunning(true);
  QTRY_COMPARE(CauseLabel()->text(), ui::kCauseNoReader);
  m_pcsc->AddReader(kReader);
  QTRY_COMPARE(CauseLabel()->text(), QString());
  QTRY_COMPARE(combo->count(), 1);
  combo->setCurrentIndex(0);

  HandOverCounter handOvers;
  m_dlg->installEventFilter(&handOvers);
  QTest::qWait(300);  // a pass under way may still hand its list over
  handOvers.count = 0;
  QTest::qWait(1000);
  QCOMPARE(handOvers.count.load(), 0);
  m_dlg->removeEventFilter(&handOvers);
}

void OperatorHelpTest::longSecretAsksBeforeBurn_data() {
  QTest::addColumn<int>("bytes");
  QTest::addColumn<bool>("exportTicked");
  QTest::addColumn<bool>("answer");
  QTest::addColumn<bool>("asked");
  QTest::addColumn<bool>("burned");
  // 80 bytes are 128 Base32 characters, the most the import takes.
  QTest::addRow("80 bytes, export ticked") << 80 << true << true << false << true;
  QTest::addRow("81 bytes, export ticked, Yes") << 81 << true << true << true << true;
  QTest::addRow("81 bytes, export ticked, No") << 81 << true << false << true << false;
  QTest::addRow("150 bytes, export ticked, No") << 150 << true << false << true << false;
  QTest::addRow("81 bytes, no export") << 81 << false << false << false << true;
}

void OperatorHelpTest::longSecretAsksBeforeBurn() {
  QFETCH(int, bytes);
  QFETCH(bool, exportTicked);
  QFETCH(bool, answer);
  QFETCH(bool, asked);
  QFETCH(bool, burned);
  m_messages.AnswerQuestions(answer);
  ConnectTo(kReaderText);
  auto token = LayNextToken("ZZ00000001");
  ControlOf<QCheckBox>(m_dlg, kExportCheck)->setChecked(exportTicked);
  QTest::keyClicks(ControlOf<QLineEdit>(m_dlg, kUserNameEdit), QStringLiteral("ops@example.com"));
  const QString hex = QStringLiteral("A5").repeated(bytes);
  EnterSecret(hex, 1);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ00000001"));
  m_pcsc->ClearSentApdus(kReader);
  PressBurnWhenReady();

  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  if (burned) {
    QTRY_COMPARE(m_messages.Count(kProgrammed), 1);
    QVERIFY(!token->Seed().empty());
  } else {
    QTRY_VERIFY(burn->isEnabled());
    QTest::qWait(300);  // a pass of the card monitor would take up a pending burn
    QVERIFY2(m_pcsc->SentApdus(kReader).empty(), qPrintable(m_messages.Texts().join(" | ")));
    QVERIFY(token->Seed().empty());
    QCOMPARE(ExportFiles(), QStringList());
    QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("0"));
  }
  QTRY_COMPARE(burn->text(), QStringLiteral("Burn"));
  QCOMPARE(m_messages.Questions(), asked ? QStringList{kLongSecretQuestion} : QStringList());
}

void OperatorHelpTest::secretTwiceAsks_data() {
  QTest::addColumn<QString>("secondSecret");
  QTest::addColumn<int>("encoding");
  QTest::addColumn<bool>("answer");
  QTest::addRow("Yes") << kRfcSecret << 0 << true;
  QTest::addRow("No") << kRfcSecret << 0 << false;
  // The same bytes typed as hex are the same secret.
  QTest::addRow("same bytes as hex, No") << kRfcSecretHexText << 1 << false;
}

void OperatorHelpTest::secretTwiceAsks() {
  QFETCH(QString, secondSecret);
  QFETCH(int, encoding);
  QFETCH(bool, answer);
  ConnectTo(kReaderText);
  BurnInto("ZZ0000000A", kRfcSecret);
  QCOMPARE(m_messages.Questions(), QStringList());

  m_messages.AnswerQuestions(answer);
  auto second = LayNextToken("ZZ0000000B");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZ0000000B"));
  EnterSecret(secondSecret, encoding);
  m_pcsc->ClearSentApdus(kReader);
  PressBurnWhenReady();
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  if (answer) {
    QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("2"));
    QCOMPARE(SeedHex(*second), kRfcSecretHexText.toLatin1());
  } else {
    QTRY_VERIFY(burn->isEnabled());
    QTest::qWait(300);
    QCOMPARE(m_pcsc->SentApdus(kReader).size(), size_t(0));
    QVERIFY(second->Seed().empty());
    QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
  }
  QTRY_COMPARE(burn->text(), QStringLiteral("Burn"));
  QCOMPARE(m_messages.Questions(), QStringList{SecretTwiceQuestion(QStringLiteral("ZZ0000000A"))});

  // A secret of its own goes into the token without a question.
  m_messages.Clear();
  EnterSecret(kOtherSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(m_messages.Count(kProgrammed), 1);
  QCOMPARE(m_messages.Questions(), QStringList());
}

// Burning a secret into the token that holds it already gives no second
// token with it; and a secret that another token took with consent is known
// under both.
void OperatorHelpTest::secretTwiceToTheSameTokenDoesNotAsk() {
  ConnectTo(kReaderText);
  BurnInto("ZZ0000000A", kRfcSecret);
  auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
  PressBurnWhenReady();
  QTRY_COMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("2"));
  QTRY_COMPARE(burn->text(), QStringLiteral("Burn"));
  QCOMPARE(m_messages.Questions(), QStringList());

  BurnInto("ZZ0000000B", kRfcSecret);  // asked, Yes
  QCOMPARE(m_messages.Questions(), QStringList{SecretTwiceQuestion(QStringLiteral("ZZ0000000A"))});
  m_messages.Clear();
  BurnInto("ZZ0000000A", kRfcSecret);
  BurnInto("ZZ0000000B", kRfcSecret);
  QCOMPARE(m_messages.Questions(), QStringList());
  QCOMPARE(LabelText(m_dlg, kSuccessLabel), QStringLiteral("5"));
}

// A pending burn takes up the next token laid on, with the secret the seed
// file gives it: when that secret is in another token already, the operator
// is asked then, before the seed write, and No ends the burn unbooked.
void OperatorHelpTest::tokenLaidOnWhileBurnPendsIsAskedAbout() {
  LoadSeedFileThroughDialog("ZZ0000000A,GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ\r\n"
                            "ZZ0000000B,GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ\r\n"
                            "ZZ0000000C,MFRGGZDFMZTWQ2LK\r\n");
  ConnectTo(kReaderText);

  LayNextToken("ZZ0000000A");
  QTRY_COMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), kRfcSecret);
  PressBurnWhenReady();
  QTRY_COMPARE(m_messages.Count(kProgrammed), 1);
  QTRY_COMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Burn"));

  auto third = LayNextToken("ZZ0000000C");
  QTRY_COMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), kOtherSecret);
  auto second = std::make_shared<sim::TokenEmulator>(sim::TokenConfig{.serialNumber = "ZZ0000000B"});
  // Right after the preparation configured C, B takes its place.
  AtTokenEvent(*third, "settings:", 1, [pcsc = m_pcsc.get(), second] { pcsc->InsertToken(kReader, second); });
  m_messages.AnswerQuestions(false);
  PressBurnWhenReady();
  QTRY_COMPARE(m_messages.Questions(), QStringList{SecretTwiceQuestion(QStringLiteral("ZZ0000000A"))});
  QTRY_COMPARE(ControlOf<QPushButton>(m_dlg, kBurnButton)->text(), QStringLiteral("Burn"));
  QTest::qWait(300);
  QVERIFY(second->Seed().empty());
  QVERIFY(third->Seed().empty());
  QCOMPARE(LabelText(m_dlg, kTotalLabel), QStringLiteral("1"));
  QCOMPARE(ControlOf<QTreeWidget>(m_dlg, kLogList)->topLevelItemCount(), 1);
}

QTEST_MAIN(OperatorHelpTest)
#include "operator_help_test.moc"
