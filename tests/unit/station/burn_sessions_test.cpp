// Random operator sessions against the burn engine; a failure prints its
// seed and the shortest sequence of steps that shows it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "burn_sessions.h"

namespace {

// ZZ_SESSION_SEED reruns one session; ZZ_SESSIONS sets how many run.
TEST(BurnSessionsTest, PromisesHoldInRandomOperatorSessions) {
  const char* one = std::getenv("ZZ_SESSION_SEED");
  const char* count = std::getenv("ZZ_SESSIONS");
  const uint64_t first = one ? std::strtoull(one, nullptr, 10) : 1;
  const uint64_t sessions = one ? 1 : (count ? std::strtoull(count, nullptr, 10) : 3000);
  enginetest::SessionTally tally;
  for (uint64_t seed = first; seed < first + sessions; ++seed) {
    const enginetest::Session session = enginetest::RandomSession(seed, 40);
    const std::string broken = enginetest::RunSession(session, &tally);
    if (!broken.empty()) {
      FAIL() << "a session broke a promise " << broken << "\nshortest sequence:\n"
             << enginetest::Report(seed, enginetest::Shrink(session));
    }
  }
  std::printf("%llu sessions: %s\n", static_cast<unsigned long long>(sessions), tally.Text().c_str());
}

}  // namespace
