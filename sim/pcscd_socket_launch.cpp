// pcscd-socket-launch SOCKET PROGRAM [ARGS...]: hands PROGRAM (pcscd) a
// listening UNIX socket the way systemd socket activation does (descriptor 3,
// LISTEN_FDS=1, LISTEN_PID = its own pid), so that a second pcscd can serve
// clients on a socket of its own instead of the compiled-in path.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pcscd-socket-launch SOCKET PROGRAM [ARGS...]\n");
    return 2;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(argv[1]) >= sizeof address.sun_path) {
    std::fprintf(stderr, "pcscd-socket-launch: socket path too long\n");
    return 2;
  }
  std::strcpy(address.sun_path, argv[1]);
  unlink(address.sun_path);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    std::fprintf(stderr, "pcscd-socket-launch: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  if (fd != 3) {
    if (dup2(fd, 3) < 0) return 1;
    close(fd);
  }
  setenv("LISTEN_FDS", "1", 1);
  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  unsetenv("LISTEN_FDNAMES");
  execvp(argv[2], argv + 2);
  std::fprintf(stderr, "pcscd-socket-launch: cannot run %s: %s\n", argv[2], std::strerror(errno));
  return 127;
}
