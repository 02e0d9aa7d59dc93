// The export files of a run: where they go, and the set of one file a
// format (hex, Base32, the cloud directory's hardware-token list, OATH, ...)
// as one object that owns its files and closes them itself.
#pragma once
#include <QDateTime>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "burn_record.h"
#include "export_formats.h"

namespace station {

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

// Writes one line and its end to a descriptor and pushes it to the disk; 0,
// or the errno of what failed. Tests put another in its place to make a file
// fail at a chosen line.
using ExportLineWriter = std::function<int(int fd, const QByteArray& bytes)>;
void UseExportLineWriter(ExportLineWriter writer);  // empty restores the real one

// The writer of a line format's file: owner-only, its header first, each line
// pushed to the disk whole.
std::unique_ptr<ExportWriter> NewLineFileWriter(const LineFormat& format);

// What became of one token's lines.
struct LinesWritten {
  std::vector<ExportFile> written;   // the files that hold the token now
  std::optional<ExportFile> failed;  // the first file that did not take its line
  QString path;                      // that file's name, when it has one
  QString reason;                    // why, in words
};

// One file a format, in the order of its formats.
class ExportSet {
 public:
  explicit ExportSet(ExportFormats formats = StationExportFormats()) : m_formats(std::move(formats)) {}

  // Creates one file a format stamped with localTime in the directory, under
  // the first name ("", "-2", "-3", … before the ending) that none of the
  // set's files holds yet, so that no existing file is ever emptied. Files
  // that open are kept. Gives the first file that could not be created, in
  // the order of the formats; nothing when the set is complete (a file with
  // a header holds it then).
  std::optional<ExportFile> Open(const QString& directory, const QDateTime& localTime);
  bool IsComplete() const { return m_state == State::Complete; }
  const ExportFormats& Formats() const { return m_formats; }
  // The set's files that leave this token out.
  std::vector<ExportFile> FilesLeavingOut(const BurnRecord& record) const;

  // Adds the token to each open file that takes it, on the disk, and checks
  // that each file is still the one its name leads to (a directory deleted
  // under the set takes its lines with it). A set whose creation fell short
  // writes to the files it has: their absence was reported when they could
  // not be created. A closed set, or one that has lost a line, takes no line
  // at all and says so, so that no later booking passes for exported.
  LinesWritten Write(const BurnRecord& record);
  // Write's first failed file.
  std::optional<ExportFile> WriteLines(const BurnRecord& record) { return Write(record).failed; }

  void Close();

 private:
  enum class State { Closed, Incomplete, Complete, LostALine };
  ExportFormats m_formats;
  std::vector<std::unique_ptr<ExportWriter>> m_writers;  // by format; none for a file not created
  std::vector<QString> m_paths;                          // by format
  State m_state = State::Closed;
  LinesWritten m_lost;  // State::LostALine: the first line lost
};

// The export set as the engine uses it; the files' own class does the work.
class ExportSink {
 public:
  virtual ~ExportSink() = default;
  virtual bool IsComplete() const = 0;
  // A new set, stamped with the current local time; the first file that could
  // not be created, or nothing.
  virtual std::optional<ExportFile> Open() = 0;
  // The record's line in each file; the first file that could not take it.
  virtual std::optional<ExportFile> WriteLines(const BurnRecord& record) = 0;
  virtual void Close() = 0;
  // The files of the set's formats that leave this token out (the Azure file
  // a SHA-256 token), whether the set is open or not.
  virtual std::vector<ExportFile> FilesLeavingOut(const BurnRecord& record) const = 0;
};

// The export set of a station: in the export directory, stamped with the
// local time of its creation.
class FileExports : public ExportSink {
 public:
  explicit FileExports(std::function<QDateTime()> now, ExportFormats formats = StationExportFormats())
      : m_now(std::move(now)), m_set(std::move(formats)) {}
  bool IsComplete() const override { return m_set.IsComplete(); }
  std::optional<ExportFile> Open() override { return m_set.Open(ExportDirectory(), m_now().toLocalTime()); }
  std::optional<ExportFile> WriteLines(const BurnRecord& record) override { return m_set.WriteLines(record); }
  void Close() override { m_set.Close(); }
  std::vector<ExportFile> FilesLeavingOut(const BurnRecord& record) const override {
    return m_set.FilesLeavingOut(record);
  }

 private:
  std::function<QDateTime()> m_now;
  ExportSet m_set;
};

}  // namespace station
