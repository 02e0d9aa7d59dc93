// The export files of a run: where they go, and the set of three (hex,
// Base32 and the cloud directory's hardware-token list) as one object that
// owns its files and closes them itself.
#pragma once
#include <QDateTime>
#include <QString>
#include <array>
#include <functional>
#include <optional>

#include "burn_record.h"

namespace ui {

// The Data directory beside the executable when it can be written, else the
// one in the user's application-data directory, created if needed; empty when
// neither place works.
QString ExportDirectory();
// Tests point the exports elsewhere; an empty path restores the default.
void SetExportDirectoryOverride(const QString& directory);

// "<dir>/Seed-YYYY-MM-DD-hh-mm-ss<suffix><ending>" for a local time.
QString ExportFileName(const QString& directory, const QDateTime& localTime, const QString& suffix,
                       const char* ending);

// Owns one file descriptor and closes it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int m_fd = -1;
};

// Creates a new file (never an existing one) readable and writable by its
// owner only, and gives a descriptor to write it, or -1. Tests put another in
// its place to hand out descriptors that fail.
using ExportFileCreator = std::function<int(const QString& path)>;
int CreateOwnerOnlyFile(const QString& path);
void UseExportFileCreator(ExportFileCreator creator);  // empty restores CreateOwnerOnlyFile

enum class ExportFile { Hex, Base32, Azure };

class ExportSet {
 public:
  // Creates the three files stamped with localTime in the directory, under
  // the first name ("", "-2", "-3", … before the ending) that none of the
  // three holds yet, so that no existing file is ever emptied. Files that
  // open are kept. Gives the first file that could not be created, in the
  // order hex, Base32, Azure; nothing when the set is complete, and then the
  // Azure file holds its header.
  std::optional<ExportFile> Open(const QString& directory, const QDateTime& localTime);
  bool IsComplete() const { return m_complete; }

  // Adds the token's line to each open file and pushes it to the disk. Gives
  // the first file whose line could not be written, flushed or synced.
  std::optional<ExportFile> WriteLines(const BurnRecord& record);

  void Close();

 private:
  std::array<UniqueFd, 3> m_files;  // by ExportFile
  bool m_complete = false;
};

}  // namespace ui
