// The desktop portal's Screenshot call: a method call that returns a request
// object, then the request's Response signal with the result.
#include "portal_screenshot.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

namespace ui {
namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

// Response codes of org.freedesktop.portal.Request.
constexpr uint kResponseSuccess = 0;

// The request object a portal creates for a call with this handle_token: the
// caller's unique name without ':' and with '.' as '_'. Listening there before
// the call leaves no gap for a fast portal's answer.
QString RequestPath(const QString& uniqueName, const QString& token) {
  QString sender = uniqueName;
  sender.remove(0, sender.startsWith(u':') ? 1 : 0).replace(u'.', u'_');
  return kPortalPath + QStringLiteral("/request/") + sender + u'/' + token;
}

class PortalRequest : public QObject {
  Q_OBJECT

 public:
  explicit PortalRequest(QDBusConnection bus) : m_bus(std::move(bus)) {}
  ~PortalRequest() override { Forget(); }

  // Listens for the Response of the request object at path (and no other).
  bool Listen(const QString& path) {
    if (path == m_path) return true;
    Forget();
    m_path = path;
    return m_bus.connect(QString(), m_path, kRequestInterface, QStringLiteral("Response"), this,
                         SLOT(OnResponse(uint, QVariantMap)));
  }

  bool answered = false;
  uint response = 0;
  QVariantMap results;

 signals:
  void Answered();

 private slots:
  void OnResponse(uint code, const QVariantMap& values) {
    answered = true;
    response = code;
    results = values;
    emit Answered();
  }

 private:
  void Forget() {
    if (m_path.isEmpty()) return;
    m_bus.disconnect(QString(), m_path, kRequestInterface, QStringLiteral("Response"), this,
                     SLOT(OnResponse(uint, QVariantMap)));
    m_path.clear();
  }

  QDBusConnection m_bus;
  QString m_path;
};

}  // namespace

QImage PortalScreenshot(int timeoutMs) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return {};

  const QString token = QStringLiteral("orvex%1").arg(QRandomGenerator::global()->generate());
  PortalRequest request(bus);
  if (!request.Listen(RequestPath(bus.baseService(), token))) return {};

  QDBusMessage call =
      QDBusMessage::createMethodCall(kPortalService, kPortalPath, kScreenshotInterface, QStringLiteral("Screenshot"));
  const QVariantMap options{{QStringLiteral("handle_token"), token}, {QStringLiteral("interactive"), false}};
  call << QString() << options;

  QEventLoop loop;
  bool callFailed = false;
  QDBusPendingCallWatcher watcher(bus.asyncCall(call, timeoutMs));
  QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, [&] {
    const QDBusPendingReply<QDBusObjectPath> reply = watcher;
    if (reply.isError()) {
      callFailed = true;  // no portal, or no Screenshot in it
      loop.quit();
      return;
    }
    // Portals before version 0.9 name the request object in their own way.
    if (!request.answered && !request.Listen(reply.value().path())) {
      callFailed = true;
      loop.quit();
    }
  });
  QObject::connect(&request, &PortalRequest::Answered, &loop, &QEventLoop::quit);
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  if (!request.answered) loop.exec(QEventLoop::ExcludeUserInputEvents);

  if (callFailed || !request.answered || request.response != kResponseSuccess) return {};
  const QUrl uri(request.results.value(QStringLiteral("uri")).toString());
  if (!uri.isLocalFile()) return {};
  // The format comes from the content; the file stays where the portal put it,
  // as it would for a screenshot the user took.
  return QImage(uri.toLocalFile());
}

}  // namespace ui

#include "portal_screenshot.moc"
