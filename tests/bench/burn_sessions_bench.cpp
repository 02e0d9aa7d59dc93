// Runs random operator sessions against the burn engine (the same sessions
// and promises as the unit test) until a number of steps is reached, and
// prints steps per second and what the sessions came to.
//   burn_sessions_bench [STEPS [FIRST_SEED]]   (default 1000000, 1)
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "burn_sessions.h"

int main(int argc, char** argv) {
  const std::size_t target = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const uint64_t first = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  enginetest::SessionTally tally;
  uint64_t sessions = 0;
  int broken = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t seed = first; tally.steps < target; ++seed, ++sessions) {
    const enginetest::Session session = enginetest::RandomSession(seed, 40);
    const std::string failure = enginetest::RunSession(session, &tally);
    if (!failure.empty() && ++broken <= 3) {
      std::printf("broken promise:\n%s", enginetest::Report(seed, enginetest::Shrink(session)).c_str());
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("sessions           %llu (seeds %llu to %llu)\n", static_cast<unsigned long long>(sessions),
              static_cast<unsigned long long>(first), static_cast<unsigned long long>(first + sessions - 1));
  std::printf("steps              %zu\n", tally.steps);
  std::printf("seconds            %.2f\n", seconds);
  std::printf("steps per second   %.0f\n", static_cast<double>(tally.steps) / seconds);
  std::printf("APDUs              %zu\n", tally.apdus);
  std::printf("bookings           %zu succeeded, %zu failed, %zu unknown\n", tally.succeeded, tally.failed,
              tally.unknown);
  std::printf("messages           %zu, questions %zu\n", tally.messages, tally.questions);
  std::printf("broken promises    %d\n", broken);
  return broken == 0 ? 0 : 1;
}
