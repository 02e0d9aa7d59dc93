// UNIX stream sockets of the virtual token's programs: listening on a path
// (in place of a socket file left there before) and connecting to one.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sim {

// Fills *address for path; false (errno ENAMETOOLONG) when the path does not fit.
inline bool UnixAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A stream socket (socket() type flags such as SOCK_CLOEXEC added) listening
// on path, or -1 with errno set.
inline int ListenOnUnixPath(const std::string& path, int typeFlags, int backlog) {
  sockaddr_un address;
  if (!UnixAddress(path, &address)) return -1;
  unlink(address.sun_path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | typeFlags, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// A stream socket connected to path, or -1 with errno set.
inline int ConnectToUnixPath(const std::string& path) {
  sockaddr_un address;
  if (!UnixAddress(path, &address)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace sim
