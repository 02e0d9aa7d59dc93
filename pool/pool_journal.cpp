// Journal lines through QJsonDocument; the file through plain POSIX calls,
// every one of them looked at, since a booking lost here is lost for good.
#include "pool_journal.h"

#include "durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pool {
namespace {

std::string Errno(int e) { return std::strerror(e); }

QString Q(const std::string& text) { return QString::fromStdString(text); }

bool WriteAll(int fd, const std::string& bytes) { return pool::WriteAll(fd, bytes.data(), bytes.size()); }

// Creates the directory and its missing parents, owner-only.
std::optional<std::string> MakeDirectories(const std::string& directory) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) == 0) return std::nullopt;
  const std::string parent = DirectoryOf(directory);
  if (parent != directory) {
    if (auto why = MakeDirectories(parent)) return why;
  }
  if (::mkdir(directory.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
    return "cannot create " + directory + ": " + Errno(errno);
  }
  return SyncDirectory(parent);
}

}  // namespace

std::string JournalLine(const JournalEntry& e) {
  QJsonObject o;
  o.insert(QStringLiteral("outcome"), e.outcome == JournalEntry::Outcome::Burned ? QStringLiteral("burned")
                                                                                 : QStringLiteral("released"));
  o.insert(QStringLiteral("id"), static_cast<qint64>(e.id));
  o.insert(QStringLiteral("serial"), Q(e.serial));
  o.insert(QStringLiteral("station"), Q(e.station));
  o.insert(QStringLiteral("operator"), Q(e.operatorName));
  o.insert(QStringLiteral("reader"), Q(e.reader));
  if (e.outcome == JournalEntry::Outcome::Burned) {
    o.insert(QStringLiteral("algorithm"), Q(e.algorithm));
    o.insert(QStringLiteral("timeWindow"), e.timeWindow);
    o.insert(QStringLiteral("displayTime"), e.displayTime);
    o.insert(QStringLiteral("upn"), Q(e.upn));
    o.insert(QStringLiteral("burnedAtMs"), static_cast<qint64>(e.burnedAtMs));
  }
  o.insert(QStringLiteral("journaledAtMs"), static_cast<qint64>(e.journaledAtMs));
  return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

std::optional<JournalEntry> ParseJournalLine(const std::string& line) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const QJsonObject o = document.object();
  JournalEntry e;
  const QString outcome = o.value(QStringLiteral("outcome")).toString();
  if (outcome == QLatin1String("burned")) {
    e.outcome = JournalEntry::Outcome::Burned;
  } else if (outcome == QLatin1String("released")) {
    e.outcome = JournalEntry::Outcome::Released;
  } else {
    return std::nullopt;
  }
  e.id = o.value(QStringLiteral("id")).toInteger(0);
  e.serial = o.value(QStringLiteral("serial")).toString().toStdString();
  e.station = o.value(QStringLiteral("station")).toString().toStdString();
  e.operatorName = o.value(QStringLiteral("operator")).toString().toStdString();
  e.reader = o.value(QStringLiteral("reader")).toString().toStdString();
  e.algorithm = o.value(QStringLiteral("algorithm")).toString().toStdString();
  e.timeWindow = o.value(QStringLiteral("timeWindow")).toInt();
  e.displayTime = o.value(QStringLiteral("displayTime")).toInt();
  e.upn = o.value(QStringLiteral("upn")).toString().toStdString();
  e.burnedAtMs = o.value(QStringLiteral("burnedAtMs")).toInteger(0);
  e.journaledAtMs = o.value(QStringLiteral("journaledAtMs")).toInteger(0);
  if (e.id <= 0 || e.serial.empty() || e.station.empty()) return std::nullopt;
  if (e.outcome == JournalEntry::Outcome::Burned && (e.algorithm.empty() || e.timeWindow <= 0 || e.burnedAtMs <= 0)) {
    return std::nullopt;
  }
  return e;
}

JournalContents ReadJournal(const std::string& path) {
  JournalContents contents;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (errno != ENOENT) contents.error = "cannot read " + path + ": " + Errno(errno);
    return contents;
  }
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (line.empty()) continue;
    if (std::optional<JournalEntry> entry = ParseJournalLine(line)) {
      contents.entries.push_back(std::move(*entry));
    } else {
      contents.badLines.push_back(number);
    }
  }
  if (file.bad()) contents.error = "cannot read " + path + " to its end";
  return contents;
}

Journal::Journal(std::string path) : m_path(std::move(path)) {}

std::optional<std::string> Journal::Append(const JournalEntry& entry) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (auto why = MakeDirectories(DirectoryOf(m_path))) return "journal " + m_path + ": " + *why;
  struct stat info {};
  const bool existed = ::stat(m_path.c_str(), &info) == 0;
  const int fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return "cannot open journal " + m_path + ": " + Errno(errno);
  // A line cut short by a crash before this one would swallow it: a line end
  // first makes it a bad line of its own.
  std::string line = JournalLine(entry) + "\n";
  if (existed && info.st_size > 0) {
    char last = '\n';
    if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') line.insert(line.begin(), '\n');
  }
  std::optional<std::string> why;
  if (!WriteAll(fd, line)) {
    why = "cannot write journal " + m_path + ": " + Errno(errno);
  } else if (::fsync(fd) != 0) {
    why = "cannot flush journal " + m_path + " to disk: " + Errno(errno);
  }
  if (::close(fd) != 0 && !why) why = "cannot write journal " + m_path + ": " + Errno(errno);
  if (!why && !existed) {
    if (auto dir = SyncDirectory(DirectoryOf(m_path))) why = "journal " + m_path + ": " + *dir;
  }
  if (why) return why;
  if (m_count >= 0) ++m_count;
  return std::nullopt;
}

JournalContents Journal::Read() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  JournalContents contents = ReadJournal(m_path);
  if (contents.error.empty()) m_count = static_cast<int>(contents.entries.size());
  return contents;
}

int Journal::Count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_count < 0) {
    const JournalContents contents = ReadJournal(m_path);
    m_count = static_cast<int>(contents.entries.size());
  }
  return m_count;
}

std::optional<std::string> Journal::Drop(std::size_t count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::ifstream in(m_path, std::ios::binary);
  if (!in) return std::nullopt;
  // Entries are dropped by position among the good lines; bad lines before
  // them go with them, bad lines after them stay for the reader to see.
  std::ostringstream rest;
  std::string line;
  std::size_t dropped = 0;
  int remaining = 0;
  while (std::getline(in, line)) {
    if (dropped < count) {
      if (!line.empty() && ParseJournalLine(line)) ++dropped;
      continue;
    }
    rest << line << '\n';
    if (!line.empty() && ParseJournalLine(line)) ++remaining;
  }
  if (in.bad()) return "cannot read journal " + m_path;
  in.close();
  const std::string directory = DirectoryOf(m_path);
  if (rest.str().empty()) {
    if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) return "cannot remove journal " + m_path + ": " + Errno(errno);
  } else {
    std::string temporary = m_path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return "cannot rewrite journal " + m_path + ": " + Errno(errno);
    std::optional<std::string> why;
    if (!WriteAll(fd, rest.str()) || ::fsync(fd) != 0) why = "cannot rewrite journal " + m_path + ": " + Errno(errno);
    if (::close(fd) != 0 && !why) why = "cannot rewrite journal " + m_path + ": " + Errno(errno);
    if (!why && ::rename(temporary.c_str(), m_path.c_str()) != 0) {
      why = "cannot replace journal " + m_path + ": " + Errno(errno);
    }
    if (why) {
      ::unlink(temporary.c_str());
      return why;
    }
  }
  m_count = remaining;
  if (auto why = SyncDirectory(directory)) return "journal " + m_path + ": " + *why;
  return std::nullopt;
}

}  // namespace pool
