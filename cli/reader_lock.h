// One burn run a reader: a run holds a lock file for each of its readers, so
// that a second run on the same reader is refused before it touches a token.
#pragma once
#include <QString>
#include <QStringList>
#include <memory>
#include <variant>
#include <vector>

namespace cli {

// The locks of a run's readers, released when the run ends (or the process).
class ReaderLocks {
 public:
  ReaderLocks() = default;
  ReaderLocks(const ReaderLocks&) = delete;
  ReaderLocks& operator=(const ReaderLocks&) = delete;
  ~ReaderLocks();

 private:
  friend std::variant<std::shared_ptr<ReaderLocks>, QString> LockReaders(const QStringList& readers);
  std::vector<int> m_fds;
};

// Every reader's lock, or one line saying which reader is held or why no
// lock could be taken. The lock file's name comes from the reader's name
// and the PC/SC socket (PCSCLITE_CSOCK_NAME), so that isolated stacks do not
// share locks.
std::variant<std::shared_ptr<ReaderLocks>, QString> LockReaders(const QStringList& readers);

}  // namespace cli
