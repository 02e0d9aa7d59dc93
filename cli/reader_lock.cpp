// Lock files of the readers: flock on a file a reader, under /run/lock (seen
// by every user's runs), else $XDG_RUNTIME_DIR, else /tmp.
#include "reader_lock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace cli {
namespace {

QString LockDirectory() {
  QStringList candidates = {QStringLiteral("/run/lock")};
  if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.isEmpty()) candidates << runtime;
  candidates << QStringLiteral("/tmp");
  for (const QString& dir : candidates) {
    if (::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0) return dir;
  }
  return QStringLiteral("/tmp");
}

}  // namespace

ReaderLocks::~ReaderLocks() {
  for (int fd : m_fds) ::close(fd);
}

std::variant<std::shared_ptr<ReaderLocks>, QString> LockReaders(const QStringList& readers) {
  auto locks = std::make_shared<ReaderLocks>();
  const QString dir = LockDirectory();
  const QByteArray socket = qgetenv("PCSCLITE_CSOCK_NAME");
  for (const QString& reader : readers) {
    const QByteArray key = socket + '\n' + reader.toUtf8();
    const QString path = QDir(dir).filePath(
        QStringLiteral("orvex-zerazaduzu-burn-%1.lock")
            .arg(QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(24))));
    // Read-only is enough for flock, and lets a run open a lock file another
    // user's run created.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      return QStringLiteral("cannot lock reader '%1': %2: %3").arg(reader, path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    locks->m_fds.push_back(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return QStringLiteral("reader '%1' is in use by another burn run").arg(reader);
      return QStringLiteral("cannot lock reader '%1': %2").arg(reader, QString::fromLocal8Bit(std::strerror(errno)));
    }
  }
  return locks;
}

}  // namespace cli
