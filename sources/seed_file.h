// Seed files: one "serial,Base32 secret" line per token, loaded into the
// process-wide SeedTable that token detection looks serial numbers up in.
#pragma once
#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>
#include <string_view>

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

// Guarded process-wide table; lookups never run while a load rebuilds it.
class SeedTable {
 public:
  // By the serial number's bytes as the token reports them.
  static std::optional<QString> Lookup(const QByteArray& serialBytes);
  static int Size();
  static void Clear();
};

}  // namespace sources
