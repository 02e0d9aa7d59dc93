// Seed files: one "serial,Base32 secret" line per token, or a PSKC file,
// loaded into the process-wide SeedTable that token detection looks serial
// numbers up in.
#pragma once
#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>
#include <string_view>
#include <vector>

#include "pskc_reader.h"

namespace sources {

struct SeedLine {
  std::string_view serial;
  std::string_view secret;
};
enum class LineKind { Skip, Entry, Bad };
// A file's first line without the UTF-8 byte-order mark that spreadsheet
// programs put before it, which would otherwise become part of its serial.
std::string_view WithoutByteOrderMark(std::string_view firstLine);
// One line without its end (LF removed; a CR before it is removed here too).
LineKind ParseSeedLine(std::string_view line, SeedLine* out);

// True when the whole file was read; SeedTable keeps its content when the file
// cannot be opened, and the lines before a bad one when a line is bad.
bool LoadSeedFile(const QString& path);

// What a PSKC file gives a token besides its secret: its hash and time
// window, where the file says.
struct SeedSettings {
  std::optional<QByteArray> algorithm;  // "SHA1" or "SHA256"
  std::optional<int> timeWindow;        // 30 or 60
  bool operator==(const SeedSettings& other) const {
    return algorithm == other.algorithm && timeWindow == other.timeWindow;
  }
};

// "SHA256 and 60 s", as the operator is told of them.
QString SeedSettingsText(const SeedSettings& settings);

// One token of a PSKC file: its serial number's bytes, its secret and the
// settings the file gives it.
struct PskcSeed {
  PskcSeed() = default;
  PskcSeed(const PskcSeed&) = delete;
  PskcSeed& operator=(const PskcSeed&) = delete;
  PskcSeed(PskcSeed&&) = default;
  PskcSeed& operator=(PskcSeed&&) = default;
  ~PskcSeed();  // the secret's bytes are cleansed
  QByteArray serial;
  QByteArray secret;
  SeedSettings settings;
};
struct PskcSeeds {
  QString error;  // the file is refused whole when it is set, and seeds is empty
  std::vector<PskcSeed> seeds;
};
// A PSKC file's tokens with the rules LoadPskcSeedFile applies, for a reader
// other than the SeedTable (the pool's administrator loads them into the pool).
PskcSeeds ReadPskcSeeds(const QByteArray& bytes, const pskc::Credential& credential);

struct PskcLoad {
  QString error;  // empty when the file was taken; the table is unchanged otherwise
  int tokens = 0;
  std::vector<SeedSettings> settings;  // the different settings the file gives, each once
};
// A PSKC file's tokens (every MAC checked first: a file with one bad MAC, an
// entry without a readable secret, or a time window the tokens cannot keep
// is refused whole, with one message).
PskcLoad LoadPskcSeedFile(const QByteArray& bytes, const pskc::Credential& credential);

// Guarded process-wide table; lookups never run while a load rebuilds it.
class SeedTable {
 public:
  // By the serial number's bytes as the token reports them.
  static std::optional<QString> Lookup(const QByteArray& serialBytes);
  // The settings a PSKC file gave the token; none for a line of a seed file.
  static std::optional<SeedSettings> Settings(const QByteArray& serialBytes);
  static int Size();
  static void Clear();
};

}  // namespace sources
