// Window tests of the seed sources and the code preview: seed files, QR codes
// from image files and from the screen, random secrets and "Test", on the real
// CVantorDlg with emulated readers and tokens. The open-file dialog and the
// screen picture are answered through their seams.
//
//   sources_test            Qt's offscreen platform
//   sources_test --screen   a real X server: DISPLAY, or an Xvfb of its own;
//                           skipped when there is neither
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "emulated_station.h"
#include "file_dialogs.h"
#include "otp_dialog.h"
#include "qr_scan.h"
#include "random_seed.h"
#include "screen_capture.h"
#include "seed_file.h"
#include "serialized_pcsc.h"
#include "token_emulator.h"
#include "totp.h"
#include "xvfb_display.h"

namespace {

const QString kDecodeFailed = QStringLiteral("QR : Failed to decode!");
const QString kIncorrectFile = QStringLiteral("Incorrect QR code file!");
const QString kNoCodeOnScreen = QStringLiteral("No QR Code found on the screen!");
const QString kScreenFailed = QStringLiteral("Something has gone wrong!");
const QString kSeedFileFailed = QStringLiteral("Failed to load seed file!");

// The payload of otpauth.png and its relatives (tests/fixtures/qr/make-fixtures.sh).
const QString kFixtureSecret = QStringLiteral("JBSWY3DPEHPK3PXP");

// RFC 6238's secret "12345678901234567890" in Base32 (coreutils base32) and hex.
const QString kRfcSecret = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
const QString kRfcSecretHex = QStringLiteral("3132333435363738393031323334353637383930");
// RFC 6238's first test time.
constexpr qint64 kRfcTime = 1111111109;

QString Fixture(const QString& name) { return QStringLiteral(QR_FIXTURE_DIR "/") + name; }

// A QR code as qrencode draws it (3-pixel modules, 4-module margin); a null
// picture when qrencode is not installed.
QImage QrencodePicture(const QString& payload) {
  QProcess qrencode;
  qrencode.start(QStringLiteral("qrencode"), {QStringLiteral("-s"), QStringLiteral("3"), QStringLiteral("-m"),
                                             QStringLiteral("4"), QStringLiteral("-o"), QStringLiteral("-"), payload});
  if (!qrencode.waitForFinished(10000) || qrencode.exitCode() != 0) return {};
  return QImage::fromData(qrencode.readAllStandardOutput(), "PNG");
}

// qrencode's codes of the payloads side by side on white, left to right; a
// null picture when qrencode is not installed.
QImage QrencodePictures(const QStringList& payloads) {
  std::vector<QImage> codes;
  int width = 0, height = 0;
  for (const QString& payload : payloads) {
    codes.push_back(QrencodePicture(payload));
    if (codes.back().isNull()) return {};
    width += codes.back().width();
    height = std::max(height, codes.back().height());
  }
  QImage row(width, height, QImage::Format_RGB32);
  row.fill(Qt::white);
  QPainter painter(&row);
  int x = 0;
  for (const QImage& code : codes) {
    painter.drawImage(QPoint(x, 0), code);
    x += code.width();
  }
  return row;
}

// A white 1080p screen with the picture drawn at (1200, 300), 1:1.
QImage ScreenShowing(const QImage& picture) {
  QImage screen(1920, 1080, QImage::Format_RGB32);
  screen.fill(Qt::white);
  if (!picture.isNull()) {
    QPainter painter(&screen);
    painter.drawImage(QPoint(1200, 300), picture);
  }
  return screen;
}

// Answers the screen capture with a picture and notes the window's state and
// the time at the moment of the capture.
class ScreenAnswer : public ui::ScreenCapture {
 public:
  QImage GrabPrimaryScreen() override {
    ++grabs;
    minimisedAtGrab = window != nullptr && window->isMinimized();
    msSincePress = sincePress.elapsed();
    timerRanBeforeGrab = timerRan;
    return picture;
  }
  QImage picture;
  QWidget* window = nullptr;
  QElapsedTimer sincePress;
  bool timerRan = false;
  int grabs = 0;
  bool minimisedAtGrab = false;
  qint64 msSincePress = -1;
  bool timerRanBeforeGrab = false;
};

struct RadioClicks : QObject {
  int count = 0;
  void Watch(CVantorDlg* dlg) {
    for (int id : {kTime30, kTime60, kSha1, kSha256}) {
      connect(ControlOf<QRadioButton>(dlg, id), &QAbstractButton::clicked, this, [this] { ++count; });
    }
  }
};

// Runs check on the OTP preview that the next press of Test opens, then closes
// it with Esc. Fails the test when none opens within a second.
template <class Check>
void WhenPreviewOpens(Check check, bool* opened) {
  *opened = false;
  auto* poll = new QTimer;
  poll->setInterval(10);
  auto* elapsed = new QElapsedTimer;
  elapsed->start();
  QObject::connect(poll, &QTimer::timeout, [=] {
    auto* preview = qobject_cast<CDiaLogOTP*>(QApplication::activeModalWidget());
    if (preview == nullptr && elapsed->elapsed() < 1000) return;
    poll->stop();
    poll->deleteLater();
    delete elapsed;
    if (preview == nullptr) return;
    *opened = true;
    check(preview);
    QTest::keyClick(preview, Qt::Key_Escape);
  });
  poll->start();
}

// A table's codes as one text, "-10" first.
QStringList Codes(const char* spaced) { return QString::fromLatin1(spaced).split(QLatin1Char(' ')); }

}  // namespace

// ---------------------------------------------------------------------------
// Offscreen: every source through its seams.

class SourcesTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void loadSeedFile_data();
  void loadSeedFile();
  void seedFileWithABadFifthLine();
  void loadImageFile_data();
  void loadImageFile();
  void scanScreen_data();
  void scanScreen();
  void screenGreyIsTheGreyOfImageFiles();
  void unusableSecretSkipped_data();
  void unusableSecretSkipped();
  void random_data();
  void random();
  void randomKnownBytesAndFailingSource();
  void preview_data();
  void preview();
  void previewNeedsASecret();
  void benchCheck_data();
  void benchCheck();

 private:
  void ConnectAndLay(const std::string& serial);
  QAction* ScanAction(const QString& caption) const;
  QAction* RandomAction(const QString& caption) const;
  QString SecretBox() const { return ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(); }
  bool Checked(int id) const { return ControlOf<QRadioButton>(m_dlg, id)->isChecked(); }
  void CheckScanOutcome(const QStringList& messages, const QString& secret, bool sixtySeconds, bool sha256) const;

  ScreenAnswer m_screen;
  QTemporaryDir m_dir;
};

void SourcesTest::init() {
  m_screen.picture = QImage();
  m_screen.grabs = 0;
  m_screen.timerRan = false;
  ui::UseScreenCapture(&m_screen);
  StartStation();
  m_screen.window = m_dlg;
}

void SourcesTest::cleanup() {
  CloseWindow();
  EndStack();
}

void SourcesTest::ConnectAndLay(const std::string& serial) {
  ConnectTo(kReaderText);
  LayToken(serial);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QString::fromStdString(serial));
}

QAction* SourcesTest::ScanAction(const QString& caption) const {
  return MenuAction(ControlOf<QToolButton>(m_dlg, kScanQrButton), caption);
}

QAction* SourcesTest::RandomAction(const QString& caption) const {
  return MenuAction(ControlOf<QToolButton>(m_dlg, kRandomButton), caption);
}

// What a QR code read from a picture leaves: the messages (all captioned
// ERROR), the secret with one beep when there is one, and the code's choices.
void SourcesTest::CheckScanOutcome(const QStringList& messages, const QString& secret, bool sixtySeconds,
                                   bool sha256) const {
  QCOMPARE(m_messages.Texts(), messages);
  for (const RecordedMessage& message : m_messages.Messages()) QCOMPARE(message.caption, QStringLiteral("ERROR"));
  QCOMPARE(SecretBox(), secret);
  QCOMPARE(m_cue.Plays().size(), secret.isEmpty() ? 0 : 1);
  QCOMPARE(Checked(kTime60), sixtySeconds);
  QCOMPARE(Checked(kTime30), !sixtySeconds);
  QCOMPARE(Checked(kSha256), sha256);
  QCOMPARE(Checked(kSha1), !sha256);
}

// --- Seed files -------------------------------------------------------------

enum class SeedCase { Written, Missing, Cancelled };
Q_DECLARE_METATYPE(SeedCase)

void SourcesTest::loadSeedFile_data() {
  QTest::addColumn<SeedCase>("how");
  QTest::addColumn<QByteArray>("content");
  QTest::addColumn<QByteArray>("tokenOnReader");  // serial, or empty for none
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("pathShown");
  QTest::addColumn<QString>("secret");
  QTest::addColumn<int>("beeps");

  const QByteArray good = "ZZ00000001,GEZDGNBVGY3TQOJQ\r\nZZ00000002,MFRGGZDFMZTWQ2LK\r\n\r\n";
  QTest::addRow("no token") << SeedCase::Written << good << QByteArray() << QStringList() << true << QString() << 0;
  QTest::addRow("listed token on the reader")
      << SeedCase::Written << good << QByteArray("ZZ00000002") << QStringList() << true << "MFRGGZDFMZTWQ2LK" << 1;
  QTest::addRow("unlisted token on the reader")
      << SeedCase::Written << good << QByteArray("ZZ00000009") << QStringList() << true << QString() << 0;
  QTest::addRow("lower-case secret") << SeedCase::Written << QByteArray("ZZ00000001,gezdgnbvgy3tqojq\n")
                                     << QByteArray("ZZ00000001") << QStringList{kSeedFileFailed} << false << QString()
                                     << 0;
  QTest::addRow("file cannot be opened") << SeedCase::Missing << QByteArray() << QByteArray()
                                         << QStringList{kSeedFileFailed} << false << QString() << 0;
  QTest::addRow("dialog cancelled") << SeedCase::Cancelled << QByteArray() << QByteArray("ZZ00000001")
                                    << QStringList() << false << QString() << 0;
}

void SourcesTest::loadSeedFile() {
  QFETCH(SeedCase, how);
  QFETCH(QByteArray, content);
  QFETCH(QByteArray, tokenOnReader);
  QFETCH(QStringList, messages);
  QFETCH(bool, pathShown);
  QFETCH(QString, secret);
  QFETCH(int, beeps);

  // A table from before, which a cancelled or unreadable file leaves alone.
  const QString earlier = m_dir.filePath(QStringLiteral("earlier.csv"));
  QVERIFY(WriteFile(earlier, "ZZ00000001,MZXW6YTBOI\n"));
  QVERIFY(sources::LoadSeedFile(earlier));

  if (!tokenOnReader.isEmpty()) ConnectAndLay(tokenOnReader.toStdString());
  EnterSecret(QStringLiteral("AAAA BBBB"));
  m_cue.Clear();

  const QString path = m_dir.filePath(QStringLiteral("seeds %1.csv").arg(QTest::currentDataTag()));
  if (how == SeedCase::Written) QVERIFY(WriteFile(path, content));
  m_files.answer = how == SeedCase::Cancelled ? QString() : path;
  ControlOf<QPushButton>(m_dlg, kLoadSeedFileButton)->click();

  QCOMPARE(m_files.filters, QStringList{QStringLiteral("CSV Files (*.csv);;All Files (*.*)")});
  QCOMPARE(m_messages.Texts(), messages);
  for (const RecordedMessage& message : m_messages.Messages()) QCOMPARE(message.caption, QStringLiteral("ERROR"));
  QCOMPARE(SecretBox(), secret);
  QCOMPARE(m_cue.Plays().size(), beeps);
  QCOMPARE(m_dlg->Control(kSeedCaptionLabel)->isVisible(), pathShown);
  QCOMPARE(m_dlg->Control(kSeedPathLabel)->isVisible(), pathShown);
  QCOMPARE(LabelText(m_dlg, kSeedPathLabel), pathShown ? path : QString());
  if (pathShown) QVERIFY(m_dlg->Control(kSeedPathLabel)->accessibleName().contains(path));
  if (how != SeedCase::Written) {
    QCOMPARE(sources::SeedTable::Lookup(QByteArrayLiteral("ZZ00000001")).value_or(QString()), QStringLiteral("MZXW6YTBOI"));
  }
}

void SourcesTest::seedFileWithABadFifthLine() {
  const QString path = m_dir.filePath(QStringLiteral("fifth.csv"));
  QVERIFY(WriteFile(path, "ZZ00000001,GEZDGNBVGY3TQOJQ\nZZ00000002,MFRGGZDFMZTWQ2LK\nZZ00000003,MZXW6YTBOI\n"
                         "ZZ00000004,ORSXG5A\nZZ00000005,NOT BASE32\nZZ00000006,GEZDGNBVGY3TQOJQ\n"));
  m_files.answer = path;
  ControlOf<QPushButton>(m_dlg, kLoadSeedFileButton)->click();
  QCOMPARE(m_messages.Texts(), QStringList{kSeedFileFailed});
  QVERIFY(!m_dlg->Control(kSeedCaptionLabel)->isVisible());
  QVERIFY(!m_dlg->Control(kSeedPathLabel)->isVisible());
  QCOMPARE(LabelText(m_dlg, kSeedPathLabel), QString());

  // The first four lines stay in force: a token of line 3 gets its secret.
  ConnectAndLay("ZZ00000003");
  QTRY_COMPARE(SecretBox(), QStringLiteral("MZXW6YTBOI"));
  QCOMPARE(m_cue.Plays(), (QList<QPair<int, int>>{{2000, 500}}));
  QVERIFY(!sources::SeedTable::Lookup(QByteArrayLiteral("ZZ00000006")).has_value());
}

// --- QR codes from image files ----------------------------------------------

void SourcesTest::loadImageFile_data() {
  QTest::addColumn<QString>("file");  // fixture, "missing", or empty: cancelled
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<QString>("secret");
  QTest::addColumn<bool>("sixtySeconds");
  QTest::addColumn<bool>("sha256");

  const QStringList none;
  QTest::addRow("otpauth code") << "otpauth.png" << none << kFixtureSecret << true << true;
  QTest::addRow("web address and otpauth code") << "url-and-otpauth.png" << none << kFixtureSecret << true << true;
  QTest::addRow("JPEG data in a .png file") << "jpeg-in-png.png" << none << kFixtureSecret << true << true;
  QTest::addRow("16-bit PNG") << "sixteen-bit.png" << none << kFixtureSecret << true << true;
  QTest::addRow("secret only, cut at a NUL") << "latin1-nul.png" << none << "GEZDGNBVGY3TQOJQ" << false << false;
  QTest::addRow("malformed mode") << "bad-mode.png" << QStringList{kDecodeFailed, kIncorrectFile} << QString()
                                  << false << false;
  QTest::addRow("malformed numeric data") << "bad-numeric.png" << QStringList{kDecodeFailed, kIncorrectFile}
                                          << QString() << false << false;
  QTest::addRow("malformed code beside a good one")
      << "bad-mode-and-good.png" << QStringList{kDecodeFailed, kIncorrectFile} << QString() << false << false;
  QTest::addRow("no code") << "no-code.png" << QStringList{kIncorrectFile} << QString() << false << false;
  QTest::addRow("not an image") << "not-an-image.png" << QStringList{kIncorrectFile} << QString() << false << false;
  QTest::addRow("missing file") << "missing" << QStringList{kIncorrectFile} << QString() << false << false;
  QTest::addRow("dialog cancelled") << QString() << none << QString() << false << false;
}

void SourcesTest::loadImageFile() {
  QFETCH(QString, file);
  QFETCH(QStringList, messages);
  QFETCH(QString, secret);
  QFETCH(bool, sixtySeconds);
  QFETCH(bool, sha256);

  RadioClicks clicks;
  clicks.Watch(m_dlg);
  EnterSecret(QStringLiteral("AAAA BBBB"));
  m_files.answer = file.isEmpty() ? QString() : Fixture(file == "missing" ? QStringLiteral("no-such-file.png") : file);
  ScanAction(QStringLiteral("Load Image File"))->trigger();

  QCOMPARE(m_files.filters, QStringList{QStringLiteral("PNG Files (*.png);;JPG Files (*.jpg)")});
  CheckScanOutcome(messages, secret, sixtySeconds, sha256);
  QCOMPARE(clicks.count, 0);
  const bool applied = !secret.isEmpty();
  QCOMPARE(m_dlg->Control(kSeedPathLabel)->isVisible(), applied);
  QCOMPARE(m_dlg->Control(kSeedCaptionLabel)->isVisible(), applied);
  QCOMPARE(LabelText(m_dlg, kSeedPathLabel), applied ? m_files.answer : QString());
  // The secret box feeds Test like a typed secret.
  QCOMPARE(m_dlg->Control(kTestButton)->isEnabled(), applied);
}

// --- QR codes from the screen -----------------------------------------------

void SourcesTest::scanScreen_data() {
  QTest::addColumn<QString>("fixture");  // drawn on a white screen
  QTest::addColumn<QString>("payload");  // drawn by qrencode instead
  QTest::addColumn<bool>("nullPicture");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<QString>("secret");
  QTest::addColumn<bool>("sixtySeconds");
  QTest::addColumn<bool>("sha256");

  const QStringList none;
  QTest::addRow("otpauth code") << "otpauth.png" << QString() << false << none << kFixtureSecret << true << true;
  // Grey from the blue byte alone would make these modules white.
  QTest::addRow("code drawn in pure blue") << "blue-on-white.png" << QString() << false << none << kFixtureSecret
                                           << true << true;
  QTest::addRow("light code on a dark ground") << "inverted.png" << QString() << false << none << kFixtureSecret
                                               << true << true;
  QTest::addRow("web address and otpauth code") << "url-and-otpauth.png" << QString() << false << none
                                                << kFixtureSecret << true << true;
  QTest::addRow("otpauth code without a secret")
      << QString() << "otpauth://totp/Orvex:carol?period=60&algorithm=sha256" << false << none << QString() << true
      << true;
  QTest::addRow("web address only") << QString() << "https://www.example.com/enrol" << false
                                    << QStringList{kNoCodeOnScreen} << QString() << false << false;
  QTest::addRow("blank screen") << QString() << QString() << false << QStringList{kNoCodeOnScreen} << QString()
                                << false << false;
  QTest::addRow("malformed code") << "bad-length.png" << QString() << false
                                  << QStringList{kDecodeFailed, kNoCodeOnScreen} << QString() << false << false;
  QTest::addRow("no picture") << QString() << QString() << true << QStringList{kScreenFailed} << QString() << false
                              << false;
}

void SourcesTest::scanScreen() {
  QFETCH(QString, fixture);
  QFETCH(QString, payload);
  QFETCH(bool, nullPicture);
  QFETCH(QStringList, messages);
  QFETCH(QString, secret);
  QFETCH(bool, sixtySeconds);
  QFETCH(bool, sha256);

  QImage code;
  if (!fixture.isEmpty()) QVERIFY(code.load(Fixture(fixture)));
  if (!payload.isEmpty()) {
    code = QrencodePicture(payload);
    if (code.isNull()) QSKIP("qrencode is not installed");
  }
  m_screen.picture = nullPicture ? QImage() : ScreenShowing(code);

  RadioClicks clicks;
  clicks.Watch(m_dlg);
  EnterSecret(QStringLiteral("AAAA BBBB"));
  // The pause before the capture must leave the window's events running.
  QTimer::singleShot(50, this, [this] { m_screen.timerRan = true; });
  m_screen.sincePress.start();
  ScanAction(QStringLiteral("Scan Screen"))->trigger();

  QCOMPARE(m_screen.grabs, 1);
  QVERIFY(m_screen.minimisedAtGrab);
  QVERIFY2(m_screen.msSincePress >= 333, qPrintable(QString::number(m_screen.msSincePress)));
  QVERIFY(m_screen.timerRanBeforeGrab);
  QVERIFY(!m_dlg->isMinimized());

  CheckScanOutcome(messages, secret, sixtySeconds, sha256);
  QCOMPARE(clicks.count, 0);
  // A screen is no file: the path label stays as it was.
  QVERIFY(!m_dlg->Control(kSeedPathLabel)->isVisible());
}

void SourcesTest::screenGreyIsTheGreyOfImageFiles() {
  // stb_image's grey of a file is the reference: the same picture on screen
  // must give the same grey bytes.
  QImage colours(64, 48, QImage::Format_RGB32);
  for (int y = 0; y < colours.height(); ++y) {
    for (int x = 0; x < colours.width(); ++x) colours.setPixel(x, y, qRgb(x * 37 % 256, y * 53 % 256, (x * y * 11) % 256));
  }
  colours.setPixel(0, 0, qRgb(0, 0, 255));
  colours.setPixel(1, 0, qRgb(255, 0, 0));
  colours.setPixel(2, 0, qRgb(0, 255, 0));
  colours.setPixel(3, 0, qRgb(255, 255, 255));
  const QString path = m_dir.filePath(QStringLiteral("colours.png"));
  QVERIFY(colours.save(path, "PNG"));

  for (const QString& file : {path, Fixture(QStringLiteral("blue-on-white.png"))}) {
    const std::optional<sources::GreyImage> fromFile = sources::LoadGreyImage(file.toStdString());
    const std::optional<sources::GreyImage> fromScreen = ui::ScreenGreyImage(QImage(file));
    QVERIFY(fromFile && fromScreen);
    QCOMPARE(fromScreen->width, fromFile->width);
    QCOMPARE(fromScreen->height, fromFile->height);
    QVERIFY2(fromScreen->pixels == fromFile->pixels, qPrintable(file));
  }
  QVERIFY(!ui::ScreenGreyImage(QImage()).has_value());
}

// A code whose secret the window cannot use is passed over like a web
// address: the next code is tried, and with none left the command's own
// message shows. The bad codes also carry a period and an algorithm, which
// must stay unapplied.
void SourcesTest::unusableSecretSkipped_data() {
  QTest::addColumn<bool>("fromScreen");
  QTest::addColumn<QStringList>("payloads");  // left to right
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<QString>("secret");

  const QString good = QStringLiteral("otpauth://totp/Orvex:dave?secret=") + kRfcSecret;
  const QString nul = QStringLiteral("otpauth://totp/Orvex:eve?secret=GEZDGNBV%00GY3TQOJQ&period=60&algorithm=SHA256");
  const QString lowerCase =
      QStringLiteral("otpauth://totp/Orvex:eve?secret=gezdgnbvgy3tqojq&period=60&algorithm=SHA256");
  const QString digitOne =
      QStringLiteral("otpauth://totp/Orvex:eve?secret=GEZDGNBVGY3TQOJ1&period=60&algorithm=SHA256");
  const QStringList none;

  QTest::addRow("file: NUL in the secret, alone") << false << QStringList{nul} << QStringList{kIncorrectFile}
                                                  << QString();
  QTest::addRow("screen: NUL in the secret, alone") << true << QStringList{nul} << QStringList{kNoCodeOnScreen}
                                                    << QString();
  QTest::addRow("screen: lower-case secret, alone") << true << QStringList{lowerCase}
                                                    << QStringList{kNoCodeOnScreen} << QString();
  // Beside a good code, in both arrangements: whichever the recogniser
  // delivers first, the good one is applied.
  QTest::addRow("file: NUL secret, then a good code") << false << QStringList{nul, good} << none << kRfcSecret;
  QTest::addRow("file: good code, then a NUL secret") << false << QStringList{good, nul} << none << kRfcSecret;
  QTest::addRow("screen: digit 1 in the secret, then a good code") << true << QStringList{digitOne, good} << none
                                                                   << kRfcSecret;
  QTest::addRow("screen: good code, then digit 1 in the secret") << true << QStringList{good, digitOne} << none
                                                                 << kRfcSecret;
}

void SourcesTest::unusableSecretSkipped() {
  QFETCH(bool, fromScreen);
  QFETCH(QStringList, payloads);
  QFETCH(QStringList, messages);
  QFETCH(QString, secret);

  const QImage codes = QrencodePictures(payloads);
  if (codes.isNull()) QSKIP("qrencode is not installed");
  EnterSecret(QStringLiteral("AAAA BBBB"));
  if (fromScreen) {
    m_screen.picture = ScreenShowing(codes);
    ScanAction(QStringLiteral("Scan Screen"))->trigger();
  } else {
    m_files.answer = m_dir.filePath(QStringLiteral("codes.png"));
    QVERIFY(codes.save(m_files.answer, "PNG"));
    ScanAction(QStringLiteral("Load Image File"))->trigger();
  }

  CheckScanOutcome(messages, secret, false, false);
  QCOMPARE(m_dlg->Control(kSeedPathLabel)->isVisible(), !fromScreen && !secret.isEmpty());
}

// --- Random secrets ---------------------------------------------------------

void SourcesTest::random_data() {
  QTest::addColumn<int>("encoding");
  QTest::addColumn<QString>("item");  // menu item, or empty: the button's face
  QTest::addColumn<int>("length");

  QTest::addRow("face, Base32") << 0 << QString() << 52;
  QTest::addRow("32 Bytes, Base32") << 0 << "32 Bytes" << 52;
  QTest::addRow("64 Bytes, Base32") << 0 << "64 Bytes" << 103;
  QTest::addRow("128 Bytes, Base32") << 0 << "128 Bytes" << 205;
  QTest::addRow("face, hex") << 1 << QString() << 64;
  QTest::addRow("32 Bytes, hex") << 1 << "32 Bytes" << 64;
  QTest::addRow("64 Bytes, hex") << 1 << "64 Bytes" << 128;
  QTest::addRow("128 Bytes, hex") << 1 << "128 Bytes" << 256;
}

void SourcesTest::random() {
  QFETCH(int, encoding);
  QFETCH(QString, item);
  QFETCH(int, length);

  ControlOf<QComboBox>(m_dlg, kEncodingCombo)->setCurrentIndex(encoding);
  auto press = [&] {
    if (item.isEmpty()) {
      ControlOf<QToolButton>(m_dlg, kRandomButton)->click();
    } else {
      RandomAction(item)->trigger();
    }
    return SecretBox();
  };
  const QString first = press();
  QCOMPARE(first.size(), length);
  const QRegularExpression alphabet(encoding == 0 ? QStringLiteral("^[A-Z2-7]+$") : QStringLiteral("^[0-9A-F]+$"));
  QVERIFY2(alphabet.match(first).hasMatch(), qPrintable(first));
  QCOMPARE(m_cue.Plays(), (QList<QPair<int, int>>{{2000, 500}}));
  QVERIFY(m_dlg->Control(kTestButton)->isEnabled());
  QVERIFY(m_messages.Texts().isEmpty());

  const QString second = press();
  QCOMPARE(second.size(), length);
  QVERIFY(second != first);
  QCOMPARE(m_cue.Plays().size(), 2);
}

void SourcesTest::randomKnownBytesAndFailingSource() {
  // Bytes 00 01 .. 1F; the texts are coreutils' base32 (padding removed) and od.
  sources::SetRandomSource([](uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i);
    return true;
  });
  ControlOf<QToolButton>(m_dlg, kRandomButton)->click();
  QCOMPARE(SecretBox(), QStringLiteral("AAAQEAYEAUDAOCAJBIFQYDIOB4IBCEQTCQKRMFYYDENBWHA5DYPQ"));
  ControlOf<QComboBox>(m_dlg, kEncodingCombo)->setCurrentIndex(1);
  RandomAction(QStringLiteral("32 Bytes"))->trigger();
  QCOMPARE(SecretBox(), QStringLiteral("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"));
  QCOMPARE(m_cue.Plays().size(), 2);

  // A failing source: the box keeps its text, nothing is heard or shown.
  sources::SetRandomSource([](uint8_t*, std::size_t) { return false; });
  EnterSecret(QStringLiteral("KEEPME"));
  m_cue.Clear();
  for (const QString& item : {QStringLiteral("32 Bytes"), QStringLiteral("64 Bytes"), QStringLiteral("128 Bytes")}) {
    RandomAction(item)->trigger();
  }
  ControlOf<QToolButton>(m_dlg, kRandomButton)->click();
  QCOMPARE(SecretBox(), QStringLiteral("KEEPME"));
  QCOMPARE(m_cue.Plays().size(), 0);
  QVERIFY(m_messages.Texts().isEmpty());
}

// --- The code preview -------------------------------------------------------

void SourcesTest::preview_data() {
  QTest::addColumn<int>("encoding");
  QTest::addColumn<QString>("secret");
  QTest::addColumn<bool>("sixtySeconds");
  QTest::addColumn<bool>("sha256");
  QTest::addColumn<QStringList>("codes");

  // oathtool --totp=ALG --time-step-size=Ns --now=@$((1111111109 - 10 * N)) -w 20 -b GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ
  const QStringList sha1_30 = Codes(
      "338819 755423 156289 257124 335769 677498 734088 404137 150727 731029 081804 "
      "050471 266759 306183 466594 754889 511787 813955 474409 655883 272560");
  const QStringList sha1_60 = Codes(
      "889411 274056 279229 446314 532351 072372 537228 270104 871156 471227 360094 "
      "593113 514723 572738 432082 000442 997561 143206 693808 281556 191574");
  const QStringList sha256_30 = Codes(
      "810401 877291 539441 202737 229524 698470 274471 340524 804474 067564 756375 "
      "584430 396393 110219 826931 198936 674366 899543 881607 689074 176723");
  const QStringList sha256_60 = Codes(
      "965133 784298 012882 258809 098647 472784 872551 516632 363311 519882 648066 "
      "554703 250150 040150 358874 908835 083348 440154 532146 118395 552160");

  QTest::addRow("Base32, SHA1, 30s") << 0 << kRfcSecret << false << false << sha1_30;
  QTest::addRow("hex, SHA1, 30s") << 1 << kRfcSecretHex << false << false << sha1_30;
  QTest::addRow("Base32 with dashes, SHA1, 60s") << 0 << "GEZD-GNBV GY3T-QOJQ GEZD-GNBV GY3T-QOJQ" << true << false
                                                 << sha1_60;
  QTest::addRow("Base32, SHA256, 30s") << 0 << kRfcSecret << false << true << sha256_30;
  QTest::addRow("Base32, SHA256, 60s") << 0 << kRfcSecret << true << true << sha256_60;
  QTest::addRow("lower-case hex, SHA256, 60s") << 1 << kRfcSecretHex.toLower() << true << true << sha256_60;
}

void SourcesTest::preview() {
  QFETCH(int, encoding);
  QFETCH(QString, secret);
  QFETCH(bool, sixtySeconds);
  QFETCH(bool, sha256);
  QFETCH(QStringList, codes);

  seed::SetTotpClock([] { return kRfcTime; });
  EnterSecret(secret, encoding);
  // The choices count as they stand when Test is pressed.
  ControlOf<QRadioButton>(m_dlg, sixtySeconds ? kTime60 : kTime30)->setChecked(true);
  ControlOf<QRadioButton>(m_dlg, sha256 ? kSha256 : kSha1)->setChecked(true);

  QString title;
  QStringList headings, offsets, shown;
  int currentRow = -1;
  bool rowZeroSelected = false;
  int selectedCount = -1;
  bool opened = false;
  WhenPreviewOpens(
      [&](CDiaLogOTP* preview) {
        title = preview->windowTitle();
        auto* list = qobject_cast<QTreeWidget*>(preview->findChild<QWidget*>(QStringLiteral("codeList")));
        QVERIFY(list);
        QCOMPARE(list->property("controlId").toInt(), int(kCodeList));
        for (int c = 0; c < list->columnCount(); ++c) headings << list->headerItem()->text(c);
        for (int r = 0; r < list->topLevelItemCount(); ++r) {
          offsets << list->topLevelItem(r)->text(0);
          shown << list->topLevelItem(r)->text(1);
        }
        currentRow = list->indexOfTopLevelItem(list->currentItem());
        rowZeroSelected = list->topLevelItemCount() > 10 && list->topLevelItem(10)->isSelected();
        selectedCount = static_cast<int>(list->selectedItems().size());
      },
      &opened);
  ControlOf<QPushButton>(m_dlg, kTestButton)->click();

  QVERIFY(opened);
  QVERIFY(QApplication::activeModalWidget() == nullptr);  // Esc closed it
  QCOMPARE(title, QStringLiteral("One-Time Password"));
  QCOMPARE(headings, (QStringList{"Time Step", "OTP Code"}));
  QStringList expectedOffsets;
  for (int offset = -10; offset <= 10; ++offset) expectedOffsets << (offset > 0 ? "+" : "") + QString::number(offset);
  QCOMPARE(offsets, expectedOffsets);
  QCOMPARE(shown, codes);
  QCOMPARE(currentRow, 10);
  QVERIFY(rowZeroSelected);
  QCOMPARE(selectedCount, 1);
}

void SourcesTest::previewNeedsASecret() {
  auto* test = ControlOf<QPushButton>(m_dlg, kTestButton);
  QVERIFY(!test->isEnabled());
  // Dashes and spaces only: Test is enabled, but nothing is left to show.
  EnterSecret(QStringLiteral("- -  -"));
  QVERIFY(test->isEnabled());
  bool opened = false;
  WhenPreviewOpens([](CDiaLogOTP*) {}, &opened);
  test->click();
  QTest::qWait(1100);
  QVERIFY(!opened);
  QVERIFY(m_messages.Texts().isEmpty());
}

// --- Bench check: the code the token shows, found in the preview ------------

enum class Typed { DisplayCode, FirstFiveDigits, DisplayCodeThenFive };
Q_DECLARE_METATYPE(Typed)

void SourcesTest::benchCheck_data() {
  QTest::addColumn<bool>("sixtySeconds");
  QTest::addColumn<bool>("sha256");
  QTest::addColumn<int>("tokenAhead");  // time steps the token's clock runs ahead of the computer's
  QTest::addColumn<int>("secondsLater");  // how long after the dialog opens the code is typed
  QTest::addColumn<Typed>("typed");
  QTest::addColumn<int>("selectedRow");
  QTest::addColumn<QString>("said");

  const QString noMatch = QStringLiteral("no match within \u00B110 steps");
  QTest::addRow("on time") << false << false << 0 << 0 << Typed::DisplayCode << 10 << "matches step 0";
  QTest::addRow("one step ahead") << false << false << 1 << 0 << Typed::DisplayCode << 11 << "matches step +1";
  QTest::addRow("three steps behind") << false << false << -3 << 0 << Typed::DisplayCode << 7 << "matches step -3";
  QTest::addRow("ten ahead, 60s, SHA256") << true << true << 10 << 0 << Typed::DisplayCode << 20
                                          << "matches step +10";
  QTest::addRow("ten behind, 60s, SHA1") << true << false << -10 << 0 << Typed::DisplayCode << 0
                                         << "matches step -10";
  QTest::addRow("eleven ahead") << false << false << 11 << 0 << Typed::DisplayCode << 10 << noMatch;
  QTest::addRow("eleven behind, SHA256") << false << true << -11 << 0 << Typed::DisplayCode << 10 << noMatch;
  QTest::addRow("five digits typed") << false << false << -2 << 0 << Typed::FirstFiveDigits << 10 << QString();
  // A match, then a digit taken back: the selection returns to the current step.
  QTest::addRow("matched, then a digit deleted") << false << false << 4 << 0 << Typed::DisplayCodeThenFive << 10
                                                 << QString();
  // The dialog opens 5 s into a 30 s step (35 s into a 60 s one); the code is
  // typed after the next step has begun, and is judged against that step.
  QTest::addRow("on time, typed a step boundary later") << false << false << 0 << 30 << Typed::DisplayCode << 10
                                                        << "matches step 0";
  QTest::addRow("on time, 60s, typed a step boundary later") << true << true << 0 << 30 << Typed::DisplayCode
                                                             << 10 << "matches step 0";
  QTest::addRow("two behind, typed a step boundary later") << false << false << -2 << 30 << Typed::DisplayCode
                                                           << 8 << "matches step -2";
}

void SourcesTest::benchCheck() {
  QFETCH(bool, sixtySeconds);
  QFETCH(bool, sha256);
  QFETCH(int, tokenAhead);
  QFETCH(int, secondsLater);
  QFETCH(Typed, typed);
  QFETCH(int, selectedRow);
  QFETCH(QString, said);

  // One clock for the computer and the token, standing in the middle of a step
  // until the test moves it.
  constexpr qint64 kNow = 1700000015;
  auto now = std::make_shared<std::atomic<qint64>>(kNow);
  seed::SetTotpClock([now] { return now->load(); });
  ControlOf<QRadioButton>(m_dlg, sixtySeconds ? kTime60 : kTime30)->setChecked(true);
  ControlOf<QRadioButton>(m_dlg, sha256 ? kSha256 : kSha1)->setChecked(true);

  // Burn the secret into an emulated token through the window.
  ConnectTo(kReaderText);
  sim::TokenConfig config;
  config.serialNumber = "ZZBENCH001";
  config.clockBase = kNow;
  auto token = std::make_shared<sim::TokenEmulator>(config);
  token->SetHostClock([now] { return now->load(); });
  m_pcsc->InsertToken(kReader, token);
  EnterSecret(kRfcSecret);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZBENCH001"));
  PressBurnWhenReady();
  QTRY_COMPARE(m_messages.Texts(), QStringList{QStringLiteral("Token successfully programmed!")});
  QCOMPARE(token->TimeStep(), sixtySeconds ? 60 : 30);
  QCOMPARE(token->Algorithm(), sha256 ? 2 : 1);

  // The token's clock drifts; its display is what the operator reads.
  const int step = sixtySeconds ? 60 : 30;
  token->SetClock(static_cast<uint32_t>(kNow + qint64(tokenAhead) * step));

  QString shown, matchText, matchName, editName, codeInSelectedRow;
  int currentRow = -1, selectedCount = -1;
  bool opened = false;
  WhenPreviewOpens(
      [&](CDiaLogOTP* preview) {
        auto* edit = preview->findChild<QLineEdit*>(QStringLiteral("tokenCodeEdit"));
        auto* match = preview->findChild<QLabel*>(QStringLiteral("tokenMatchLabel"));
        auto* list = preview->findChild<QTreeWidget*>(QStringLiteral("codeList"));
        QVERIFY(edit && match && list);
        QVERIFY(edit->isVisible() && match->isVisible());
        // Both new controls lie inside the dialog, below the list.
        QVERIFY(preview->rect().contains(edit->geometry()));
        QVERIFY(preview->rect().contains(match->geometry()));
        QVERIFY(edit->geometry().top() >= list->geometry().bottom());
        editName = AccessibleName(edit);
        *now += secondsLater;
        const std::optional<uint32_t> display = token->DisplayCode();
        QVERIFY(display.has_value());
        shown = QString::asprintf("%06u", *display);
        edit->setFocus();
        if (typed == Typed::FirstFiveDigits) {
          QTest::keyClicks(edit, shown.left(5));
        } else {
          QTest::keyClicks(edit, shown);
          if (typed == Typed::DisplayCodeThenFive) QTest::keyClick(edit, Qt::Key_Backspace);
        }
        // The box takes digits only, at most six.
        QTest::keyClicks(edit, QStringLiteral("x"));
        if (typed == Typed::DisplayCode) QTest::keyClicks(edit, QStringLiteral("7"));
        QCOMPARE(edit->text().size(), typed == Typed::DisplayCode ? 6 : 5);
        matchText = match->text();
        matchName = AccessibleName(match);
        currentRow = list->indexOfTopLevelItem(list->currentItem());
        selectedCount = static_cast<int>(list->selectedItems().size());
        if (list->currentItem() != nullptr) codeInSelectedRow = list->currentItem()->text(1);
      },
      &opened);
  ControlOf<QPushButton>(m_dlg, kTestButton)->click();

  QVERIFY(opened);
  QCOMPARE(editName, QStringLiteral("Code the token shows"));
  QCOMPARE(matchText, said);
  if (!said.isEmpty()) QCOMPARE(matchName, said);  // the label publishes what it says
  QCOMPARE(currentRow, selectedRow);
  QCOMPARE(selectedCount, 1);
  if (said.startsWith(QStringLiteral("matches"))) QCOMPARE(codeInSelectedRow, shown);
}

// ---------------------------------------------------------------------------
// On a real X server: the picture comes from the screen itself.

class ScreenScanTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void codeInAWindowOfItsOwn_data();
  void codeInAWindowOfItsOwn();

};

void ScreenScanTest::initTestCase() {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) {
    QSKIP("no X server: DISPLAY is not set and Xvfb is not installed");
  }
}

void ScreenScanTest::init() {
  StartStack();
  OpenWindow(QPoint(0, 0));
  QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
}

void ScreenScanTest::cleanup() {
  CloseWindow();
  EndStack();
}

void ScreenScanTest::codeInAWindowOfItsOwn_data() {
  QTest::addColumn<QString>("fixture");
  QTest::newRow("black on white") << "otpauth.png";
  QTest::newRow("pure blue on white") << "blue-on-white.png";
}

void ScreenScanTest::codeInAWindowOfItsOwn() {
  QFETCH(QString, fixture);
  QPixmap code;
  QVERIFY(code.load(Fixture(fixture)));
  QLabel window;
  window.setWindowFlag(Qt::FramelessWindowHint);
  window.setPixmap(code);
  window.setStyleSheet(QStringLiteral("background: white"));
  // Beside the station window, so that nothing covers it when it stays up.
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  window.move(screen.right() - code.width() - 100, 100);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(100);

  QVERIFY(ControlOf<QRadioButton>(m_dlg, kTime30)->isChecked());
  QVERIFY(ControlOf<QRadioButton>(m_dlg, kSha1)->isChecked());
  QAction* scan = MenuAction(ControlOf<QToolButton>(m_dlg, kScanQrButton), QStringLiteral("Scan Screen"));
  QVERIFY(scan);
  scan->trigger();

  QCOMPARE(m_messages.Texts(), QStringList());
  QCOMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), kFixtureSecret);
  QVERIFY(ControlOf<QRadioButton>(m_dlg, kTime60)->isChecked());
  QVERIFY(ControlOf<QRadioButton>(m_dlg, kSha256)->isChecked());
  QCOMPARE(m_cue.Plays().size(), 1);
  QVERIFY(!m_dlg->isMinimized());
}

int main(int argc, char* argv[]) {
  std::vector<char*> args(argv, argv + argc);
  bool screen = false;
  for (auto it = args.begin() + 1; it != args.end(); ++it) {
    if (std::strcmp(*it, "--screen") == 0) {
      screen = true;
      args.erase(it);
      break;
    }
  }
  int count = static_cast<int>(args.size());
  XvfbDisplay xvfb;
  if (screen) {
    bool haveX = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (!haveX) haveX = xvfb.Start(1920, 1080);
    qputenv("QT_QPA_PLATFORM", haveX ? "xcb" : "offscreen");
  } else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(count, args.data());
  if (screen) {
    ScreenScanTest test;
    return QTest::qExec(&test, count, args.data());
  }
  SourcesTest test;
  return QTest::qExec(&test, count, args.data());
}

#include "sources_test.moc"
