// The durable rewrite: temporary file, fsync, rename (or link for a new file),
// fsync of the directory.
#include "pskc_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <utility>

namespace pskc {
namespace {

QString Reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Closes the descriptor and removes the temporary file unless it was put in
// place.
struct Temporary {
  int fd = -1;
  QByteArray path;
  bool keep = false;
  ~Temporary() {
    if (fd >= 0) ::close(fd);
    if (!keep && !path.isEmpty()) ::unlink(path.constData());
  }
};

}  // namespace

PskcFile::PskcFile(QString path, Protection protection, FaultHook faults)
    : m_path(std::move(path)), m_protection(std::move(protection)), m_faults(std::move(faults)) {}

std::unique_ptr<PskcFile> PskcFile::Create(const QString& path, Protection protection, QString* error,
                                           FaultHook faults) {
  std::unique_ptr<PskcFile> file(new PskcFile(path, std::move(protection), std::move(faults)));
  bool inPlace = false;
  if (!file->Publish(WriteDocument({}, file->m_protection), true, &inPlace, error)) return nullptr;
  return file;
}

bool PskcFile::Add(const TokenEntry& entry, QString* error) { return AddAll({entry}, error); }

bool PskcFile::AddAll(const std::vector<TokenEntry>& entries, QString* error) {
  const std::size_t before = m_entries.size();
  for (const TokenEntry& entry : entries) {
    std::optional<SealedEntry> sealed = Seal(entry, m_protection, error);
    if (!sealed) {
      m_entries.resize(before);
      return false;
    }
    m_entries.push_back(std::move(*sealed));
  }
  bool inPlace = false;
  if (!Publish(WriteDocument(m_entries, m_protection), false, &inPlace, error)) {
    if (!inPlace) m_entries.resize(before);
    return false;
  }
  return true;
}

bool PskcFile::Publish(const QByteArray& document, bool asNewFile, bool* inPlace, QString* error) {
  *inPlace = false;
  const auto fail = [&](const QString& what, int errorNumber) {
    *error = QStringLiteral("%1: %2: %3").arg(m_path, what, Reason(errorNumber));
    return false;
  };
  const auto injected = [&](Step step) { return m_faults ? m_faults(step) : 0; };
  const QFileInfo info(m_path);
  const QByteArray directory = QFile::encodeName(info.absolutePath());

  Temporary temporary;
  temporary.path = directory + "/." + QFile::encodeName(info.fileName()) + ".XXXXXX";
  if (int e = injected(Step::CreateTemporary)) return fail("cannot make a temporary file", e);
  // mkstemp makes the file 0600, readable and writable by its owner only.
  temporary.fd = ::mkstemp(temporary.path.data());
  if (temporary.fd < 0) {
    const int e = errno;
    temporary.path.clear();
    return fail("cannot make a temporary file", e);
  }
  if (::fchmod(temporary.fd, S_IRUSR | S_IWUSR) != 0) return fail("cannot set the temporary file's mode", errno);

  const char* next = document.constData();
  qsizetype left = document.size();
  while (left > 0) {
    if (int e = injected(Step::Write)) return fail("cannot write", e);
    const ssize_t written = ::write(temporary.fd, next, static_cast<std::size_t>(left));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return fail("cannot write", errno);
    next += written;
    left -= written;
  }
  if (int e = injected(Step::Sync)) return fail("cannot flush to disk", e);
  if (::fsync(temporary.fd) != 0) return fail("cannot flush to disk", errno);

  const QByteArray target = QFile::encodeName(info.absoluteFilePath());
  if (asNewFile) {
    // link() refuses a name that exists, where rename() would replace it.
    if (int e = injected(Step::Publish)) return fail("cannot create", e);
    if (::link(temporary.path.constData(), target.constData()) != 0) return fail("cannot create", errno);
  } else {
    if (int e = injected(Step::Publish)) return fail("cannot replace", e);
    if (::rename(temporary.path.constData(), target.constData()) != 0) return fail("cannot replace", errno);
    temporary.keep = true;
  }
  *inPlace = true;

  // The new name is durable only once the directory itself is on disk.
  if (int e = injected(Step::SyncDirectory)) return fail("cannot flush its directory to disk", e);
  const int directoryFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) return fail("cannot open its directory", errno);
  const int synced = ::fsync(directoryFd);
  const int syncError = errno;
  ::close(directoryFd);
  if (synced != 0) return fail("cannot flush its directory to disk", syncError);
  return true;
}

}  // namespace pskc
