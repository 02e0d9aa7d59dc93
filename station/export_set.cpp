#include "export_set.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "app_values.h"
#include "text_convert.h"

namespace station {
namespace {

constexpr std::array<const char*, 3> kEndings = {".hex.csv", ".b32.csv", ".azure.csv"};
constexpr int kMaxNameTries = 1000;
const QByteArray kAzureHeader = QByteArrayLiteral("upn,serial number,secret key,time interval,manufacturer,model");

std::mutex g_mutex;
QString g_override;
ExportFileCreator g_creator;
ExportLineWriter g_lineWriter;

bool UsableDirectory(const QString& path) {
  if (!QDir().mkpath(path)) return false;
  // Writable for real, not just by its mode bits.
  QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".probe-XXXXXX")));
  return probe.open();
}

int CreateFile(const QString& path) {
  ExportFileCreator creator;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    creator = g_creator;
  }
  return creator ? creator(path) : CreateOwnerOnlyFile(path);
}

bool WriteAll(int fd, const QByteArray& bytes) {
  const char* at = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, at, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    left -= n;
  }
  return true;
}

int WriteAndSync(int fd, const QByteArray& bytes) {
  if (!WriteAll(fd, bytes)) return errno != 0 ? errno : EIO;
  return ::fsync(fd) == 0 ? 0 : errno;
}

// The line and its CR LF in one write, then on the disk before the operator
// is told the token is booked. 0 or an errno.
int WriteLine(const UniqueFd& file, const QByteArray& line) {
  ExportLineWriter writer;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    writer = g_lineWriter;
  }
  errno = 0;
  return writer ? writer(file.Get(), line + "\r\n") : WriteAndSync(file.Get(), line + "\r\n");
}

// Why the file the descriptor writes can no longer be found by its name, or
// nothing: a line that reached a deleted or replaced file is lost to whoever
// reads the directory.
std::optional<QString> Unreachable(const UniqueFd& file, const QString& path) {
  struct stat open {};
  struct stat named {};
  if (::fstat(file.Get(), &open) != 0) return QString::fromLocal8Bit(std::strerror(errno));
  if (::stat(QFile::encodeName(path).constData(), &named) != 0) return QStringLiteral("the file was deleted");
  if (open.st_dev != named.st_dev || open.st_ino != named.st_ino) return QStringLiteral("the file was replaced");
  if (open.st_nlink == 0) return QStringLiteral("the file was deleted");
  return std::nullopt;
}

}  // namespace

void SetExportDirectoryOverride(const QString& directory) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_override = directory;
}

QString ExportDirectory() {
  QString override;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    override = g_override;
  }
  if (!override.isEmpty()) return UsableDirectory(override) ? override : QString();
  const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Data"));
  if (UsableDirectory(beside)) return beside;
  const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (appData.isEmpty()) return {};
  const QString inAppData = QDir(appData).filePath(QStringLiteral("Data"));
  return UsableDirectory(inAppData) ? inAppData : QString();
}

QString ExportFileName(const QString& directory, const QDateTime& t, const QString& suffix, const char* ending) {
  const QDate d = t.date();
  const QTime c = t.time();
  const QString name = QString::asprintf("Seed-%04d-%02d-%02d-%02d-%02d-%02d", d.year(), d.month(), d.day(), c.hour(),
                                         c.minute(), c.second()) +
                       suffix + QLatin1String(ending);
  return QDir(directory).filePath(name);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int UniqueFd::Release() {
  const int fd = m_fd;
  m_fd = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  // close() releases the descriptor even when it reports an error; the data
  // was synced line by line, so there is nothing left to lose here.
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

int CreateOwnerOnlyFile(const QString& path) {
  if (path.isEmpty()) return -1;
  const QByteArray native = QFile::encodeName(path);
  return ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
}

void UseExportFileCreator(ExportFileCreator creator) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_creator = std::move(creator);
}

void UseExportLineWriter(ExportLineWriter writer) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lineWriter = std::move(writer);
}

QString ExportFileLabel(ExportFile file) {
  switch (file) {
    case ExportFile::Hex:
      return QStringLiteral("HEX");
    case ExportFile::Base32:
      return QStringLiteral("B32");
    case ExportFile::Azure:
      return QStringLiteral("Azure");
  }
  return {};
}

std::optional<ExportFile> ExportSet::Open(const QString& directory, const QDateTime& localTime) {
  Close();
  if (!directory.isEmpty()) {
    for (int n = 1; n <= kMaxNameTries; ++n) {
      const QString suffix = n == 1 ? QString() : QStringLiteral("-%1").arg(n);
      std::array<QString, 3> paths;
      bool taken = false;
      for (std::size_t i = 0; i < paths.size(); ++i) {
        paths[i] = ExportFileName(directory, localTime, suffix, kEndings[i]);
        taken = taken || QFileInfo::exists(paths[i]) || QFileInfo(paths[i]).isSymLink();
      }
      if (taken) continue;
      for (std::size_t i = 0; i < paths.size(); ++i) m_files[i] = UniqueFd(CreateFile(paths[i]));
      m_paths = paths;
      break;
    }
  }
  m_state = State::Incomplete;
  for (std::size_t i = 0; i < m_files.size(); ++i) {
    if (!m_files[i].IsOpen()) return static_cast<ExportFile>(i);
  }
  if (WriteLine(m_files[static_cast<std::size_t>(ExportFile::Azure)], kAzureHeader) != 0) {
    // A set whose header could not be written is of no use to the import.
    Close();
    m_state = State::Incomplete;
    return ExportFile::Azure;
  }
  m_state = State::Complete;
  return std::nullopt;
}

LinesWritten ExportSet::Write(const BurnRecord& record) {
  if (m_state == State::LostALine) {
    LinesWritten refused = m_lost;
    refused.written = {};
    return refused;
  }
  if (m_state == State::Closed) {
    LinesWritten refused;
    refused.failed = ExportFile::Hex;
    refused.reason = QStringLiteral("the export files are closed");
    return refused;
  }
  const QByteArray& serial = record.serialBytes;
  const QByteArray secret = app::WideToAnsi(record.secretText);
  // The cloud directory takes only Base32 letters and digits in this column.
  QByteArray unpadded = secret;
  while (unpadded.endsWith('=')) unpadded.chop(1);
  const QByteArray hex =
      app::WideToAnsi(app::BytesToHexText(record.secretBytes.data(), record.secretBytes.size()));
  const std::array<std::pair<ExportFile, QByteArray>, 3> lines = {{
      {ExportFile::Azure, app::WideToAnsi(record.userName) + ',' + serial + ',' + unpadded + ',' +
                              QByteArray::number(record.choices.timeWindow) + ",Halcy Vuzuvaro,Orvex"},
      {ExportFile::Base32, serial + ',' + secret},
      {ExportFile::Hex, serial + ',' + hex},
  }};
  LinesWritten result;
  std::array<QString, 3> why;
  for (const auto& [file, line] : lines) {
    const std::size_t i = static_cast<std::size_t>(file);
    const UniqueFd& fd = m_files[i];
    if (!fd.IsOpen()) continue;
    if (const int error = WriteLine(fd, line); error != 0) {
      why[i] = QString::fromLocal8Bit(std::strerror(error));
    } else if (const std::optional<QString> gone = Unreachable(fd, m_paths[i])) {
      why[i] = *gone;
    } else {
      result.written[i] = true;
    }
  }
  for (std::size_t i = 0; i < why.size(); ++i) {
    if (why[i].isEmpty()) continue;
    result.failed = static_cast<ExportFile>(i);
    result.path = m_paths[i];
    result.reason = why[i];
    // The file misses a line from now on: every later line is refused too,
    // until a new set is made.
    m_lost = result;
    m_state = State::LostALine;
    break;
  }
  return result;
}

void ExportSet::Close() {
  for (UniqueFd& file : m_files) file.Reset();
  m_paths = {};
  m_state = State::Closed;
}

}  // namespace station
