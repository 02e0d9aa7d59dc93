// A private X server for tests and benchmarks that need a real screen: Xvfb on
// a display number it picks itself (-displayfd), stopped with the object.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

class XvfbDisplay {
 public:
  XvfbDisplay() = default;
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;
  ~XvfbDisplay() { Stop(); }

  // Starts Xvfb with one screen of width x height at 24 bits and sets DISPLAY
  // to it. False when Xvfb is not installed or does not come up in time.
  bool Start(int width, int height) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return false;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const std::string fd = std::to_string(ready[1]);
    m_pid = fork();
    if (m_pid == 0) {
      fcntl(ready[1], F_SETFD, 0);  // the one descriptor Xvfb must keep
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
      }
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    if (m_pid < 0) {
      close(ready[0]);
      return false;
    }
    // Xvfb writes the display number and a line feed once it accepts clients.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{ready[0], POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char c = 0;
      if (read(ready[0], &c, 1) != 1 || c == '\n') break;
      number.push_back(c);
    }
    close(ready[0]);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
      Stop();
      return false;
    }
    m_display = ":" + number;
    setenv("DISPLAY", m_display.c_str(), 1);
    return true;
  }

  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
  }

  const std::string& Display() const { return m_display; }

 private:
  pid_t m_pid = -1;
  std::string m_display;
};
