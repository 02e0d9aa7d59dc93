// A station's journal: the bookings the pool could not take when they were
// made, one JSON line each, on the disk before the booking returns; replayed
// into the pool when it is back. It holds no secret.
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pool {

struct JournalEntry {
  enum class Outcome { Burned, Released };
  Outcome outcome = Outcome::Burned;
  int64_t id = 0;
  std::string serial;
  std::string station;
  std::string operatorName;
  std::string reader;
  // The burn's record (Burned only).
  std::string algorithm;
  int timeWindow = 0;
  int displayTime = 0;
  std::string upn;
  int64_t burnedAtMs = 0;
  int64_t journaledAtMs = 0;  // when the pool could not take it
};

std::string JournalLine(const JournalEntry& entry);  // without its line end
std::optional<JournalEntry> ParseJournalLine(const std::string& line);

struct JournalContents {
  std::vector<JournalEntry> entries;
  std::vector<int> badLines;  // line numbers that are no entry (a write cut short by a crash)
  std::string error;          // the file could not be read
};

// Reads a journal file; no file is an empty journal.
JournalContents ReadJournal(const std::string& path);

// One station's journal file; any thread.
class Journal {
 public:
  explicit Journal(std::string path);
  const std::string& Path() const { return m_path; }

  // The entry on the disk (the file synced, and its directory when the file
  // is new), or why not.
  std::optional<std::string> Append(const JournalEntry& entry);
  JournalContents Read() const;
  // Removes the first count entries (those replayed), durably; entries
  // appended since stay. Nothing, or why not.
  std::optional<std::string> Drop(std::size_t count);
  // Entries in the file, as of the last append, read or drop.
  int Count() const;

 private:
  const std::string m_path;
  mutable std::mutex m_mutex;
  mutable int m_count = -1;  // -1: not read yet
};

}  // namespace pool
