// orvex-zerazaduzu-pool: administration of the stations' shared seed pool.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "admin_commands.h"

int main(int argc, char** argv) {
  // A closed pipe makes a write fail, which is reported, instead of ending
  // the program in the middle of a transaction.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return pooladmin::RunCommand(arguments, stdout, stderr);
}
