// Seed files and the process-wide SeedTable. A load builds its table aside
// and publishes it under the write lock, so a lookup sees either the old
// table or the new one, never one half rebuilt.
#include "seed_file.h"

#include <sys/stat.h>

#include <QFile>
#include <QStringList>
#include <QStringDecoder>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <cstring>
#include <openssl/crypto.h>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "base32.h"

namespace sources {
namespace {

// Serial numbers and secrets of one load, decoded (in the process's narrow
// encoding, as QString::fromLocal8Bit does) into a few large blocks. The
// table's strings refer to the blocks without owning them: a file of 100,000
// lines costs a handful of allocations instead of 200,000, to build and to free.
class TextArena {
 public:
  QString Store(std::string_view bytes) {
    const QByteArrayView in(bytes.data(), static_cast<qsizetype>(bytes.size()));
    const qsizetype needed = decoder_.requiredSpace(in.size());
    if (blocks_.empty() || blockSize_ - used_ < needed) {
      if (!blocks_.empty()) blockSizes_.push_back(blockSize_);
      blockSize_ = std::max<qsizetype>(needed, kBlockChars);
      blocks_.push_back(std::make_unique<QChar[]>(static_cast<std::size_t>(blockSize_)));
      used_ = 0;
    }
    QChar* start = blocks_.back().get() + used_;
    QChar* end = decoder_.appendToBuffer(start, in);
    used_ += end - start;
    return QString::fromRawData(start, end - start);
  }

 private:
  static constexpr qsizetype kBlockChars = 256 * 1024;
  QStringDecoder decoder_{QStringConverter::System, QStringConverter::Flag::Stateless};
  std::vector<std::unique_ptr<QChar[]>> blocks_;
  qsizetype blockSize_ = 0;
  qsizetype used_ = 0;

 public:
  // The secrets of a replaced table do not linger in freed memory.
  ~TextArena() {
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      const qsizetype chars = i + 1 == blocks_.size() ? used_ : blockSizes_[i];
      OPENSSL_cleanse(blocks_[i].get(), static_cast<std::size_t>(chars) * sizeof(QChar));
    }
  }

 private:
  std::vector<qsizetype> blockSizes_;
};

// The serial numbers of one load as the file holds them, byte for byte: the
// keys are compared as bytes, so that two serials that decode alike (invalid
// bytes each becoming U+FFFD) stay two keys.
class ByteArena {
 public:
  QByteArray Store(std::string_view bytes) {
    const std::size_t needed = bytes.size();
    if (blocks_.empty() || kBlockBytes - used_ < needed) {
      blocks_.push_back(std::make_unique<char[]>(std::max(needed, kBlockBytes)));
      used_ = 0;
    }
    char* start = blocks_.back().get() + used_;
    std::memcpy(start, bytes.data(), needed);
    used_ += needed;
    return QByteArray::fromRawData(start, static_cast<qsizetype>(needed));
  }

 private:
  static constexpr std::size_t kBlockBytes = 256 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0;
};

struct TableData {
  TextArena text;                      // declared first, so they outlive the strings below
  ByteArena serials;
  QHash<QByteArray, QString> entries;  // refer into the arenas; copy them out deeply
  QHash<QByteArray, SeedSettings> settings;
};

struct GuardedTable {
  std::shared_mutex mutex;
  std::unique_ptr<TableData> data = std::make_unique<TableData>();
};

GuardedTable& Table() {
  static GuardedTable table;
  return table;
}

// The previous table is released by the caller, after the lock is dropped.
std::unique_ptr<TableData> PublishTable(std::unique_ptr<TableData> data) {
  GuardedTable& table = Table();
  std::unique_lock lock(table.mutex);
  table.data.swap(data);
  return data;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

struct LineBuffer {
  char* data = nullptr;
  std::size_t capacity = 0;
  ~LineBuffer() { std::free(data); }
};

}  // namespace

std::string_view WithoutByteOrderMark(std::string_view firstLine) {
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  if (firstLine.substr(0, kUtf8Bom.size()) == kUtf8Bom) firstLine.remove_prefix(kUtf8Bom.size());
  return firstLine;
}

LineKind ParseSeedLine(std::string_view line, SeedLine* out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return LineKind::Skip;
  const std::size_t comma = line.find(',');
  if (comma == std::string_view::npos) return LineKind::Skip;

  const std::string_view secret = line.substr(comma + 1);
  // Longer secrets are refused by the decoder anyway; the copy gets its NUL.
  // An embedded NUL would hide the rest of the text from the decoder.
  if (secret.size() > seed::kMaxBase32Chars || secret.find('\0') != std::string_view::npos) return LineKind::Bad;
  char secretText[seed::kMaxBase32Chars + 1];
  secret.copy(secretText, secret.size());
  secretText[secret.size()] = '\0';
  uint8_t scratch[512];
  if (seed::Base32Decode(secretText, scratch) == 0) return LineKind::Bad;

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

  auto data = std::make_unique<TableData>();
  // A line holds at least "s,AA" and its end; most hold some 40 bytes.
  data->entries.reserve(static_cast<qsizetype>(std::min<off_t>(info.st_size / 32, 1 << 22)));
  LineBuffer buffer;
  bool complete = true;
  bool first = true;
  for (;;) {
    const ssize_t length = ::getline(&buffer.data, &buffer.capacity, file.get());
    if (length < 0) {
      complete = !std::ferror(file.get());
      break;
    }
    std::string_view line(buffer.data, static_cast<std::size_t>(length));
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (first) line = WithoutByteOrderMark(line);
    first = false;
    SeedLine parsed;
    const LineKind kind = ParseSeedLine(line, &parsed);
    if (kind == LineKind::Skip) continue;
    if (kind == LineKind::Bad) {
      complete = false;
      break;
    }
    data->entries.insert(data->serials.Store(parsed.serial), data->text.Store(parsed.secret));
  }
  PublishTable(std::move(data));
  return complete;
}

QString SeedSettingsText(const SeedSettings& settings) {
  QStringList parts;
  if (settings.algorithm) parts << QString::fromLatin1(*settings.algorithm);
  if (settings.timeWindow) parts << QStringLiteral("%1 s").arg(*settings.timeWindow);
  return parts.join(QStringLiteral(" and "));
}

PskcSeed::~PskcSeed() {
  if (!secret.isEmpty()) OPENSSL_cleanse(secret.data(), static_cast<std::size_t>(secret.size()));
}

PskcSeeds ReadPskcSeeds(const QByteArray& bytes, const pskc::Credential& credential) {
  PskcSeeds out;
  const pskc::ReadResult read = pskc::Read(bytes, credential);
  if (!read.error.isEmpty()) {
    out.error = read.error;
    return out;
  }
  const auto refuse = [&out](QString error) {
    out.seeds.clear();
    out.error = std::move(error);
    return std::move(out);
  };
  int number = 0;
  for (const pskc::ReadEntry& entry : read.entries) {
    ++number;
    const QString name = QStringLiteral("KeyPackage %1 (serial %2)").arg(number).arg(entry.serial);
    if (entry.serial.isEmpty()) return refuse(QStringLiteral("KeyPackage %1 names no serial number").arg(number));
    if (entry.secret.isEmpty()) return refuse(name + QStringLiteral(" holds no secret"));
    PskcSeed seed;
    if (entry.algorithm == pskc::Suite::Sha1) seed.settings.algorithm = QByteArrayLiteral("SHA1");
    if (entry.algorithm == pskc::Suite::Sha256) seed.settings.algorithm = QByteArrayLiteral("SHA256");
    if (entry.timeInterval) {
      if (*entry.timeInterval != 30 && *entry.timeInterval != 60) {
        return refuse(name + QStringLiteral(" has a time interval of %1 s: the tokens keep 30 or 60 s")
                                 .arg(*entry.timeInterval));
      }
      seed.settings.timeWindow = *entry.timeInterval;
    }
    seed.serial = entry.serial.toUtf8();
    seed.secret = QByteArray(entry.secret.constData(), entry.secret.size());  // a copy of its own, cleansed with it
    out.seeds.push_back(std::move(seed));
  }
  return out;
}

PskcLoad LoadPskcSeedFile(const QByteArray& bytes, const pskc::Credential& credential) {
  PskcLoad load;
  const PskcSeeds read = ReadPskcSeeds(bytes, credential);
  if (!read.error.isEmpty()) {
    load.error = read.error;
    return load;
  }
  auto data = std::make_unique<TableData>();
  for (const PskcSeed& seed : read.seeds) {
    std::string text(static_cast<std::size_t>(seed.secret.size()) * 8 / 5 + 8, '\0');
    const int n = seed::Base32Encode(reinterpret_cast<const uint8_t*>(seed.secret.constData()),
                                     static_cast<std::size_t>(seed.secret.size()), text.data());
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    const QByteArray serialBytes = data->serials.Store(std::string_view(seed.serial.constData(), seed.serial.size()));
    data->entries.insert(serialBytes, data->text.Store(text));
    data->settings.insert(serialBytes, seed.settings);
    OPENSSL_cleanse(text.data(), text.size());
    if (std::find(load.settings.begin(), load.settings.end(), seed.settings) == load.settings.end()) {
      load.settings.push_back(seed.settings);
    }
  }
  load.tokens = static_cast<int>(data->entries.size());
  PublishTable(std::move(data));
  return load;
}

std::optional<SeedSettings> SeedTable::Settings(const QByteArray& serialBytes) {
  GuardedTable& table = Table();
  std::shared_lock lock(table.mutex);
  const auto found = table.data->settings.constFind(serialBytes);
  if (found == table.data->settings.cend()) return std::nullopt;
  return found.value();
}

std::optional<QString> SeedTable::Lookup(const QByteArray& serialBytes) {
  GuardedTable& table = Table();
  std::shared_lock lock(table.mutex);
  const auto found = table.data->entries.constFind(serialBytes);
  if (found == table.data->entries.cend()) return std::nullopt;
  // A deep copy: the table's own text goes away with the next load.
  return QString(found.value().constData(), found.value().size());
}

int SeedTable::Size() {
  GuardedTable& table = Table();
  std::shared_lock lock(table.mutex);
  return static_cast<int>(table.data->entries.size());
}

void SeedTable::Clear() { PublishTable(std::make_unique<TableData>()); }

}  // namespace sources
