// Seed files and the process-wide SeedTable. A load builds its table aside
// and publishes it under the write lock, so a lookup sees either the old
// table or the new one, never one half rebuilt.
#include "seed_file.h"

#include <sys/stat.h>

#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "base32.h"

namespace sources {
namespace {

struct GuardedTable {
  std::shared_mutex mutex;
  QHash<QString, QString> entries;
};

GuardedTable& Table() {
  static GuardedTable table;
  return table;
}

void PublishTable(QHash<QString, QString>&& entries) {
  GuardedTable& table = Table();
  std::unique_lock lock(table.mutex);
  table.entries.swap(entries);
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

struct LineBuffer {
  char* data = nullptr;
  std::size_t capacity = 0;
  ~LineBuffer() { std::free(data); }
};

QString NarrowToQString(std::string_view text) {
  return QString::fromLocal8Bit(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace

LineKind ParseSeedLine(std::string_view line, SeedLine* out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return LineKind::Skip;
  const std::size_t comma = line.find(',');
  if (comma == std::string_view::npos) return LineKind::Skip;

  const std::string_view secret = line.substr(comma + 1);
  // The decoder reads NUL-terminated text: an embedded NUL would hide the rest.
  if (secret.find('\0') != std::string_view::npos) return LineKind::Bad;
  const std::string secretText(secret);
  uint8_t scratch[512];
  if (seed::Base32Decode(secretText.c_str(), scratch) == 0) return LineKind::Bad;

  if (out != nullptr) *out = SeedLine{line.substr(0, comma), secret};
  return LineKind::Entry;
}

bool LoadSeedFile(const QString& path) {
  const QByteArray nativePath = QFile::encodeName(path);
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(nativePath.constData(), "rb"));
  if (!file) return false;
  // Linux opens a directory for reading; it is no seed file, so the table stays.
  struct stat info {};
  if (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) return false;

  QHash<QString, QString> entries;
  LineBuffer buffer;
  bool complete = true;
  for (;;) {
    const ssize_t length = ::getline(&buffer.data, &buffer.capacity, file.get());
    if (length < 0) {
      complete = !std::ferror(file.get());
      break;
    }
    std::string_view line(buffer.data, static_cast<std::size_t>(length));
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    SeedLine parsed;
    const LineKind kind = ParseSeedLine(line, &parsed);
    if (kind == LineKind::Skip) continue;
    if (kind == LineKind::Bad) {
      complete = false;
      break;
    }
    entries.insert(NarrowToQString(parsed.serial), NarrowToQString(parsed.secret));
  }
  PublishTable(std::move(entries));
  return complete;
}

std::optional<QString> SeedTable::Lookup(const QString& serialNumber) {
  GuardedTable& table = Table();
  std::shared_lock lock(table.mutex);
  const auto found = table.entries.constFind(serialNumber);
  if (found == table.entries.cend()) return std::nullopt;
  return found.value();
}

int SeedTable::Size() {
  GuardedTable& table = Table();
  std::shared_lock lock(table.mutex);
  return static_cast<int>(table.entries.size());
}

void SeedTable::Clear() { PublishTable({}); }

}  // namespace sources
