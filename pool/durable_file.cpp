#include "durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pool {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> SyncDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return "cannot open " + directory + ": " + std::strerror(errno);
  const int synced = ::fsync(fd);
  const int e = errno;
  ::close(fd);
  if (synced != 0) return "cannot flush " + directory + " to disk: " + std::strerror(e);
  return std::nullopt;
}

std::optional<std::string> WriteNewFile(const std::string& path, const char* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return "cannot create " + path + ": " + std::strerror(errno);
  std::optional<std::string> why;
  // The umask may only take bits away; the mode is set once more regardless.
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) why = "cannot set the mode of " + path + ": " + std::strerror(errno);
  if (!why && !WriteAll(fd, data, size)) why = "cannot write " + path + ": " + std::strerror(errno);
  if (!why && ::fsync(fd) != 0) why = "cannot flush " + path + " to disk: " + std::strerror(errno);
  if (::close(fd) != 0 && !why) why = "cannot write " + path + ": " + std::strerror(errno);
  if (!why) why = SyncDirectory(DirectoryOf(path));
  if (why) ::unlink(path.c_str());
  return why;
}

}  // namespace pool
