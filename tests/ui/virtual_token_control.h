// The end-to-end tests' handles on their PC/SC stack: commands to the virtual
// token's control socket (ZZ_VTOKEN_CONTROL) and to the stack script
// (UI_STACK_SCRIPT on UI_STACK_DIR).
#pragma once
#include <QProcess>
#include <QString>
#include <QStringList>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

// One command over the virtual token's control socket; the reply's key=value
// lines, and "ok" = "ok" when it ended in ok.
inline std::map<std::string, std::string> Control(const std::string& command) {
  std::map<std::string, std::string> result;
  const char* path = std::getenv("ZZ_VTOKEN_CONTROL");
  if (!path) return result;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return result;
  }
  const std::string line = command + "\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    close(fd);
    return result;
  }
  std::string reply;
  char buffer[512];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  std::size_t from = 0;
  while (from < reply.size()) {
    std::size_t end = reply.find('\n', from);
    if (end == std::string::npos) end = reply.size();
    const std::string item = reply.substr(from, end - from);
    const std::size_t eq = item.find('=');
    if (eq != std::string::npos) result[item.substr(0, eq)] = item.substr(eq + 1);
    if (item == "ok") result.insert_or_assign(item, item);
    from = end + 1;
  }
  return result;
}

inline bool ControlOk(const std::string& command) { return Control(command)["ok"] == "ok"; }

// A command of the stack script on the test's stack directory, e.g.
// Stack({"pcscd-stop"}). It does not run the window's event loop.
inline bool Stack(const QStringList& arguments) {
  QProcess script;
  script.setProcessChannelMode(QProcess::ForwardedChannels);
  QStringList all{qEnvironmentVariable("UI_STACK_SCRIPT")};
  all << arguments.first() << qEnvironmentVariable("UI_STACK_DIR") << arguments.mid(1);
  script.start(QStringLiteral("bash"), all);
  return script.waitForFinished(30000) && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
}
