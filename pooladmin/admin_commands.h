// The command line of orvex-zerazaduzu-pool: its options, its commands and
// what each prints. main() only hands it the arguments.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

namespace pooladmin {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

std::string UsageText();

// Runs one command; the exit status (0, kExitFailure, kExitUsage).
int RunCommand(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

}  // namespace pooladmin
