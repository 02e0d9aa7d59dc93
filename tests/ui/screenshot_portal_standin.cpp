// A stand-in for the desktop portal's Screenshot interface on the session bus,
// for tests: it answers every Screenshot call with a file of its choice or a
// refusal, and prints each call it receives on its standard output.
//
//   screenshot-portal-standin --uri URI [--response N] [--silent]
//                             [--answer-first] [--own-request-path]
//
//   --response N        the Response code (0 success, 1 cancelled, 2 failed)
//   --silent            never sends the Response
//   --answer-first      sends the Response before the method's reply
//   --own-request-path  returns a request path of its own, as portals before
//                       version 0.9 did, instead of the one from handle_token
//
// It prints "ready" once it owns org.freedesktop.portal.Desktop.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QTimer>
#include <QVariantMap>
#include <cstdio>

namespace {

struct Behaviour {
  QString uri;
  uint response = 0;
  bool silent = false;
  bool answerFirst = false;
  bool ownRequestPath = false;
};

class ScreenshotPortal : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
  Q_PROPERTY(uint version READ version)

 public:
  explicit ScreenshotPortal(Behaviour behaviour) : m_behaviour(std::move(behaviour)) {}
  uint version() const { return 2; }

 public slots:
  QDBusObjectPath Screenshot(const QString& parentWindow, const QVariantMap& options, const QDBusMessage& call) {
    const QString token = options.value(QStringLiteral("handle_token")).toString();
    std::printf("Screenshot parent_window='%s' interactive=%s handle_token=%s\n", qPrintable(parentWindow),
                options.contains(QStringLiteral("interactive"))
                    ? (options.value(QStringLiteral("interactive")).toBool() ? "true" : "false")
                    : "unset",
                qPrintable(token));
    std::fflush(stdout);

    QString sender = call.service();
    sender.remove(0, 1).replace(u'.', u'_');
    const QString path = m_behaviour.ownRequestPath
                             ? QStringLiteral("/org/freedesktop/portal/desktop/request/legacy/%1").arg(++m_calls)
                             : QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    if (!m_behaviour.silent) {
      auto respond = [this, path, caller = call.service()] {
        QDBusMessage response =
            QDBusMessage::createTargetedSignal(caller, path, QStringLiteral("org.freedesktop.portal.Request"),
                                               QStringLiteral("Response"));
        QVariantMap results;
        if (m_behaviour.response == 0) results.insert(QStringLiteral("uri"), m_behaviour.uri);
        response << m_behaviour.response << results;
        QDBusConnection::sessionBus().send(response);
      };
      if (m_behaviour.answerFirst) {
        respond();
      } else {
        QTimer::singleShot(20, this, respond);
      }
    }
    return QDBusObjectPath(path);
  }

 private:
  Behaviour m_behaviour;
  int m_calls = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication application(argc, argv);
  QCommandLineParser parser;
  const QCommandLineOption uri(QStringLiteral("uri"), QStringLiteral("URI of the screenshot"), QStringLiteral("uri"));
  const QCommandLineOption response(QStringLiteral("response"), QStringLiteral("Response code"), QStringLiteral("n"),
                                    QStringLiteral("0"));
  const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Never answer"));
  const QCommandLineOption answerFirst(QStringLiteral("answer-first"), QStringLiteral("Answer before the reply"));
  const QCommandLineOption ownRequestPath(QStringLiteral("own-request-path"),
                                          QStringLiteral("Request path not from handle_token"));
  parser.addOptions({uri, response, silent, answerFirst, ownRequestPath});
  parser.process(application);

  Behaviour behaviour;
  behaviour.uri = parser.value(uri);
  behaviour.response = parser.value(response).toUInt();
  behaviour.silent = parser.isSet(silent);
  behaviour.answerFirst = parser.isSet(answerFirst);
  behaviour.ownRequestPath = parser.isSet(ownRequestPath);

  QDBusConnection bus = QDBusConnection::sessionBus();
  ScreenshotPortal portal(behaviour);
  if (!bus.isConnected() ||
      !bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) ||
      !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
    std::fprintf(stderr, "screenshot-portal-standin: cannot serve on the session bus\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return application.exec();
}

#include "screenshot_portal_standin.moc"
