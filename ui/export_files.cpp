#include "export_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace ui {
namespace {

std::mutex g_overrideMutex;
QString g_override;

bool UsableDirectory(const QString& path) {
  if (!QDir().mkpath(path)) return false;
  // Writable for real, not just by its mode bits.
  QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".probe-XXXXXX")));
  return probe.open();
}

}  // namespace

void SetExportDirectoryOverride(const QString& directory) {
  std::lock_guard<std::mutex> lock(g_overrideMutex);
  g_override = directory;
}

QString ExportDirectory() {
  {
    std::lock_guard<std::mutex> lock(g_overrideMutex);
    if (!g_override.isEmpty()) return UsableDirectory(g_override) ? g_override : QString();
  }
  const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Data"));
  if (UsableDirectory(beside)) return beside;
  const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (appData.isEmpty()) return {};
  const QString inAppData = QDir(appData).filePath(QStringLiteral("Data"));
  return UsableDirectory(inAppData) ? inAppData : QString();
}

QString ExportFileName(const QString& directory, const QDateTime& t, const char* ending) {
  const QDate d = t.date();
  const QTime c = t.time();
  const QString name = QString::asprintf("Seed-%04d-%02d-%02d-%02d-%02d-%02d%s", d.year(), d.month(), d.day(), c.hour(),
                                         c.minute(), c.second(), ending);
  return QDir(directory).filePath(name);
}

std::FILE* CreateOwnerOnlyFile(const QString& path) {
  if (path.isEmpty()) return nullptr;
  const QByteArray native = QFile::encodeName(path);
  const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return nullptr;
  // An existing file keeps its old mode through O_CREAT; narrow it before any
  // secret is written.
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "w+");
  if (!file) ::close(fd);
  return file;
}

void WriteExportLine(std::FILE* file, const QByteArray& line) {
  if (!file) return;
  std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), file);
  std::fwrite("\r\n", 1, 2, file);
  std::fflush(file);
  ::fsync(::fileno(file));
}

}  // namespace ui
