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

constexpr int kMaxNameTries = 1000;

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

class LineFileWriter final : public ExportWriter {
 public:
  explicit LineFileWriter(const LineFormat& format) : m_format(format) {}

  std::optional<QString> Create(const QString& path) override {
    errno = 0;
    m_file = UniqueFd(CreateFile(path));
    if (!m_file.IsOpen()) return QString::fromLocal8Bit(std::strerror(errno != 0 ? errno : EIO));
    m_path = path;
    if (const std::optional<QByteArray> header = m_format.Header()) {
      // A file without its header is of no use to the server that reads it.
      if (const int error = WriteLine(m_file, *header); error != 0) {
        m_file.Reset();
        return QString::fromLocal8Bit(std::strerror(error));
      }
    }
    return std::nullopt;
  }

  std::optional<QString> Add(const BurnRecord& record) override {
    if (const int error = WriteLine(m_file, m_format.Line(record)); error != 0) {
      return QString::fromLocal8Bit(std::strerror(error));
    }
    return Unreachable(m_file, m_path);
  }

 private:
  const LineFormat& m_format;
  UniqueFd m_file;
  QString m_path;
};

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

std::unique_ptr<ExportWriter> NewLineFileWriter(const LineFormat& format) {
  return std::make_unique<LineFileWriter>(format);
}

std::optional<ExportFile> ExportSet::Open(const QString& directory, const QDateTime& localTime) {
  Close();
  m_writers.resize(m_formats.size());
  m_paths.resize(m_formats.size());
  if (!directory.isEmpty()) {
    for (int n = 1; n <= kMaxNameTries; ++n) {
      const QString suffix = n == 1 ? QString() : QStringLiteral("-%1").arg(n);
      std::vector<QString> paths;
      bool taken = false;
      for (const auto& format : m_formats) {
        const QByteArray ending = format->Ending().toLatin1();
        paths.push_back(ExportFileName(directory, localTime, suffix, ending.constData()));
        taken = taken || QFileInfo::exists(paths.back()) || QFileInfo(paths.back()).isSymLink();
      }
      if (taken) continue;
      for (std::size_t i = 0; i < m_formats.size(); ++i) {
        std::unique_ptr<ExportWriter> writer = m_formats[i]->NewWriter();
        if (!writer->Create(paths[i])) m_writers[i] = std::move(writer);
      }
      m_paths = paths;
      break;
    }
  }
  m_state = State::Incomplete;
  for (std::size_t i = 0; i < m_formats.size(); ++i) {
    if (!m_writers[i]) return m_formats[i]->File();
  }
  m_state = State::Complete;
  return std::nullopt;
}

std::vector<ExportFile> ExportSet::FilesLeavingOut(const BurnRecord& record) const {
  std::vector<ExportFile> files;
  for (const auto& format : m_formats) {
    if (!format->Takes(record)) files.push_back(format->File());
  }
  return files;
}

LinesWritten ExportSet::Write(const BurnRecord& record) {
  if (m_state == State::LostALine) {
    LinesWritten refused = m_lost;
    refused.written.clear();
    return refused;
  }
  if (m_state == State::Closed) {
    LinesWritten refused;
    refused.failed = m_formats.empty() ? ExportFile::Hex : m_formats.front()->File();
    refused.reason = QStringLiteral("the export files are closed");
    return refused;
  }
  LinesWritten result;
  for (std::size_t i = 0; i < m_formats.size(); ++i) {
    if (!m_writers[i] || !m_formats[i]->Takes(record)) continue;
    if (const std::optional<QString> why = m_writers[i]->Add(record)) {
      if (result.failed) continue;  // the first failure is the one told
      result.failed = m_formats[i]->File();
      result.path = m_paths[i];
      result.reason = *why;
    } else {
      result.written.push_back(m_formats[i]->File());
    }
  }
  if (result.failed) {
    // The file misses a line from now on: every later line is refused too,
    // until a new set is made.
    m_lost = result;
    m_state = State::LostALine;
  }
  return result;
}

void ExportSet::Close() {
  m_writers.clear();
  m_paths.clear();
  m_state = State::Closed;
}

}  // namespace station
