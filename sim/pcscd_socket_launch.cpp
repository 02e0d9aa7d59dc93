// pcscd-socket-launch SOCKET PROGRAM [ARGS...]: hands PROGRAM (pcscd) a
// listening UNIX socket the way systemd socket activation does (descriptor 3,
// LISTEN_FDS=1, LISTEN_PID = its own pid), so that a second pcscd can serve
// clients on a socket of its own instead of the compiled-in path.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "unix_socket.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pcscd-socket-launch SOCKET PROGRAM [ARGS...]\n");
    return 2;
  }
  // Not close-on-exec: the descriptor is meant for PROGRAM.
  const int fd = sim::ListenOnUnixPath(argv[1], 0, 64);
  if (fd < 0) {
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
