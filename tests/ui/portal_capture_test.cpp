// "Scan Screen" where Qt sees no screen (a Wayland session): the window asks
// the desktop portal. Runs on a private session bus (dbus-run-session) with a
// stand-in portal (screenshot-portal-standin) that answers with a prepared
// picture, refuses, fails, never answers, or is not there at all.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <memory>

#include "emulated_station.h"
#include "screen_capture.h"
#include "serialized_pcsc.h"

namespace {

const QString kPortalName = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kScreenFailed = QStringLiteral("Something has gone wrong!");
const QString kNoCodeOnScreen = QStringLiteral("No QR Code found on the screen!");
// The payload of otpauth.png (tests/fixtures/qr/make-fixtures.sh).
const QString kFixtureSecret = QStringLiteral("JBSWY3DPEHPK3PXP");

QString Fixture(const QString& name) { return QStringLiteral(QR_FIXTURE_DIR "/") + name; }

// Qt cannot see the screen: what QScreen::grabWindow gives under Wayland.
class NoScreen : public ui::ScreenCapture {
 public:
  QImage GrabPrimaryScreen() override { return {}; }
};

}  // namespace

enum class Portal { Absent, Answers, AnswersFirst, OwnRequestPath, Refuses, Fails, Silent };
Q_DECLARE_METATYPE(Portal)

class PortalCaptureTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void scanScreen_data();
  void scanScreen();

 private:
  bool StartPortal(const QStringList& arguments);
  void StopPortal();

  QTemporaryDir m_dir;
  QString m_screenWithCode;
  NoScreen m_noScreen;
  QProcess m_portal;
};

void PortalCaptureTest::initTestCase() {
  // Never a desktop's real portal: the bus is a private one without service
  // directories (dbus-run-session --config-file=private-bus.conf).
  QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
  QVERIFY2(bus != nullptr, "no session bus");
  QVERIFY2(!bus->isServiceRegistered(kPortalName).value(), "a portal is running on this bus");
  QVERIFY2(!bus->activatableServiceNames().value().contains(kPortalName), "a portal can be started on this bus");

  // A 1080p screenshot with the code at (1200, 300).
  QImage code;
  QVERIFY(code.load(Fixture(QStringLiteral("otpauth.png"))));
  QImage screen(1920, 1080, QImage::Format_RGB32);
  screen.fill(Qt::white);
  QPainter(&screen).drawImage(QPoint(1200, 300), code);
  m_screenWithCode = m_dir.filePath(QStringLiteral("Screenshot with code.png"));
  QVERIFY(screen.save(m_screenWithCode, "PNG"));
}

void PortalCaptureTest::init() {
  ui::UseScreenCapture(&m_noScreen);
  StartStation();
}

void PortalCaptureTest::cleanup() {
  StopPortal();
  CloseWindow();
  EndStack();
}

bool PortalCaptureTest::StartPortal(const QStringList& arguments) {
  m_portal.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  m_portal.start(QStringLiteral(PORTAL_STANDIN), arguments);
  if (!m_portal.waitForStarted(5000)) return false;
  while (!m_portal.canReadLine()) {
    if (!m_portal.waitForReadyRead(5000)) return false;
  }
  return m_portal.readLine().trimmed() == "ready";
}

void PortalCaptureTest::StopPortal() {
  if (m_portal.state() == QProcess::NotRunning) return;
  m_portal.terminate();
  if (!m_portal.waitForFinished(5000)) m_portal.kill();
  m_portal.waitForFinished(5000);
  // The name is free again before the next case starts its portal.
  QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(kPortalName).value());
}

void PortalCaptureTest::scanScreen_data() {
  QTest::addColumn<Portal>("portal");
  QTest::addColumn<QString>("picture");  // the file the portal names; empty: the screenshot with a code
  QTest::addColumn<QString>("secret");
  QTest::addColumn<QStringList>("messages");

  const QStringList none;
  QTest::addRow("portal answers") << Portal::Answers << QString() << kFixtureSecret << none;
  QTest::addRow("answer before the reply") << Portal::AnswersFirst << QString() << kFixtureSecret << none;
  QTest::addRow("request path of its own") << Portal::OwnRequestPath << QString() << kFixtureSecret << none;
  QTest::addRow("picture without a code") << Portal::Answers << Fixture(QStringLiteral("no-code.png")) << QString()
                                          << QStringList{kNoCodeOnScreen};
  QTest::addRow("file is no picture") << Portal::Answers << Fixture(QStringLiteral("not-an-image.png")) << QString()
                                      << QStringList{kScreenFailed};
  QTest::addRow("file is gone") << Portal::Answers << m_dir.filePath(QStringLiteral("gone.png")) << QString()
                                << QStringList{kScreenFailed};
  QTest::addRow("portal refuses") << Portal::Refuses << QString() << QString() << QStringList{kScreenFailed};
  QTest::addRow("portal fails") << Portal::Fails << QString() << QString() << QStringList{kScreenFailed};
  QTest::addRow("no portal") << Portal::Absent << QString() << QString() << QStringList{kScreenFailed};
  QTest::addRow("portal never answers") << Portal::Silent << QString() << QString() << QStringList{kScreenFailed};
}

void PortalCaptureTest::scanScreen() {
  QFETCH(Portal, portal);
  QFETCH(QString, picture);
  QFETCH(QString, secret);
  QFETCH(QStringList, messages);

  const QString file = picture.isEmpty() ? m_screenWithCode : picture;
  QStringList arguments{QStringLiteral("--uri"), QUrl::fromLocalFile(file).toString()};
  switch (portal) {
    case Portal::Absent: arguments.clear(); break;
    case Portal::Answers: break;
    case Portal::AnswersFirst: arguments << QStringLiteral("--answer-first"); break;
    case Portal::OwnRequestPath: arguments << QStringLiteral("--own-request-path"); break;
    case Portal::Refuses: arguments << QStringLiteral("--response") << QStringLiteral("1"); break;
    case Portal::Fails: arguments << QStringLiteral("--response") << QStringLiteral("2"); break;
    case Portal::Silent: arguments << QStringLiteral("--silent"); break;
  }
  if (portal != Portal::Absent) QVERIFY(StartPortal(arguments));

  // The wait for the portal leaves the window's timers running.
  bool timerRan = false;
  QTimer::singleShot(1000, this, [&] { timerRan = true; });
  QElapsedTimer elapsed;
  elapsed.start();
  QAction* scan = MenuAction(ControlOf<QToolButton>(m_dlg, kScanQrButton), QStringLiteral("Scan Screen"));
  QVERIFY(scan);
  scan->trigger();
  const qint64 ms = elapsed.elapsed();

  QCOMPARE(m_messages.Texts(), messages);
  QCOMPARE(ControlOf<QLineEdit>(m_dlg, kSecretEdit)->text(), secret);
  QCOMPARE(m_cue.Plays().size(), secret.isEmpty() ? 0 : 1);
  QVERIFY(!m_dlg->isMinimized());
  // Whatever the portal does, the operator has an answer within five seconds.
  QVERIFY2(ms < 5000, qPrintable(QString::number(ms)));
  if (portal == Portal::Silent) {
    QVERIFY2(ms >= 4000, qPrintable(QString::number(ms)));
    QVERIFY(timerRan);
  }
  if (portal == Portal::Absent) QVERIFY2(ms < 2000, qPrintable(QString::number(ms)));

  if (portal != Portal::Absent) {
    // One non-interactive call with a handle token, and no parent window.
    QVERIFY(m_portal.canReadLine() || m_portal.waitForReadyRead(2000));
    const QString call = QString::fromUtf8(m_portal.readLine()).trimmed();
    QVERIFY2(call.startsWith(QStringLiteral("Screenshot parent_window='' interactive=false handle_token=")),
             qPrintable(call));
    QVERIFY2(!call.endsWith(u'='), qPrintable(call));
    QVERIFY(!m_portal.canReadLine());
  }
}

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  PortalCaptureTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "portal_capture_test.moc"
