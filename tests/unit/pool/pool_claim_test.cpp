// Claims: what each state of a serial's row gives a station, what a second
// station finds, and many stations claiming at once.
#include <map>
#include <set>
#include <thread>

#include "pool_fixture.h"

namespace {

using pooltest::BytesOf;
using pooltest::ClaimOk;
using pooltest::PoolTest;

const pool::Bytes kFreeSecret = BytesOf("free fixed secret 20");

// One station, rows in each state; the serial claimed and what it gives.
struct ClaimCase {
  const char* name;
  const char* serial;
  std::optional<pool::ClaimRefusal> refusal;  // nothing: claimed
  const char* text;                           // in the refusal's line
};
void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }

class PoolClaimRule : public PoolTest, public ::testing::WithParamInterface<ClaimCase> {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    LoadFixed({{"FREE", kFreeSecret},
               {"BURNED", BytesOf("burned secret 20 byt")},
               {"VOID", BytesOf("voided secret 20 byt")}});
    ASSERT_TRUE(m_sql->Exec("UPDATE orvex_pool.seed SET state = 'burned', station = 'OLD', algorithm = 'SHA1', "
                            "time_window = 30, display_time = 30, claimed_at = now(), "
                            "burned_at = '2024-05-06 07:08:09+00' WHERE serial = 'BURNED'")
                    .Ok());
    ASSERT_TRUE(m_sql->Exec("UPDATE orvex_pool.seed SET state = 'void', voided_at = now() WHERE serial = 'VOID'").Ok());
  }
};

TEST_P(PoolClaimRule, FromTheRowsState) {
  const ClaimCase& c = GetParam();
  const bool generated = std::string(c.name) == "new_serial_takes_a_generated_secret";
  if (generated) Generate(2);
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  const std::string before = Sql("SELECT string_agg(s::text, ';' ORDER BY id) FROM orvex_pool.seed s");
  auto claimed = station->Claim(c.serial, "Reader 1");
  if (c.refusal) {
    ASSERT_TRUE(std::holds_alternative<pool::ClaimRefused>(claimed));
    const pool::ClaimRefused& refused = std::get<pool::ClaimRefused>(claimed);
    EXPECT_EQ(refused.why, *c.refusal);
    EXPECT_NE(refused.text.find(c.text), std::string::npos) << refused.text;
    EXPECT_EQ(Sql("SELECT string_agg(s::text, ';' ORDER BY id) FROM orvex_pool.seed s"), before);
    return;
  }
  ASSERT_TRUE(std::holds_alternative<pool::SeedClaim>(claimed)) << std::get<pool::ClaimRefused>(claimed).text;
  const pool::SeedClaim& claim = std::get<pool::SeedClaim>(claimed);
  EXPECT_EQ(claim.serial, c.serial);
  EXPECT_FALSE(claim.resumedFrom);
  const std::string row = "FROM orvex_pool.seed WHERE id = " + std::to_string(claim.id);
  EXPECT_EQ(Sql("SELECT serial || ' ' || state || ' ' || station || ' ' || reader || ' ' || operator " + row),
            std::string(c.serial) + " claimed A Reader 1 operator of A");
  if (generated) {
    EXPECT_EQ(claim.secret.size(), 20u);
    // The lowest free generated row.
    EXPECT_EQ(Sql("SELECT min(id) = " + std::to_string(claim.id) +
                  " FROM orvex_pool.seed WHERE origin = 'generated'"), "t");
  } else {
    EXPECT_EQ(claim.secret, kFreeSecret);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolClaimRule,
    ::testing::Values(
        ClaimCase{"fixed_serial_free", "FREE", std::nullopt, ""},
        ClaimCase{"new_serial_takes_a_generated_secret", "NEW1", std::nullopt, ""},
        ClaimCase{"burned", "BURNED", pool::ClaimRefusal::Burned, "by station OLD at 2024-05-06 07:08:09 UTC"},
        ClaimCase{"void", "VOID", pool::ClaimRefusal::Void, "voided"},
        ClaimCase{"new_serial_without_generated_secrets", "NEW2", pool::ClaimRefusal::NoFreeSecret, "NEW2"}),
    [](const auto& info) { return std::string(info.param.name); });

// Serials and readers are the token's and the PC/SC layer's bytes: quotes,
// backslashes and non-ASCII text reach the pool as they are.
TEST_F(PoolTest, SerialsAndReadersAreTakenAsTheyAre) {
  const std::string fixed = "O'Brien\\1 \xC3\xA9";
  const std::string generated = "x'); DROP TABLE orvex_pool.seed; --";
  LoadFixed({{fixed, BytesOf("a fixed secret, 20 b")}});
  Generate(1);
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  EXPECT_EQ(ClaimOk(*station, fixed, "Reader 'B' \\ 01").secret, BytesOf("a fixed secret, 20 b"));
  EXPECT_EQ(ClaimOk(*station, generated).secret.size(), 20u);
  EXPECT_EQ(Sql("SELECT reader FROM orvex_pool.seed WHERE serial = " + m_sql->Literal(fixed)), "Reader 'B' \\ 01");
  EXPECT_EQ(Sql("SELECT count(*) FROM orvex_pool.seed WHERE serial = " + m_sql->Literal(generated)), "1");
}

TEST_F(PoolTest, OwnClaimOfAnEarlierRunIsResumed) {
  Generate(3);
  int64_t id = 0;
  pool::Bytes secret;
  {
    std::unique_ptr<pool::StationPool> crashed = OpenStation("A");
    ASSERT_TRUE(crashed);
    pool::SeedClaim claim = ClaimOk(*crashed, "T1");
    id = claim.id;
    secret = claim.secret;
  }  // the run ends with the claim open, as a crash leaves it
  WaitUntilNotRunning("A");
  std::unique_ptr<pool::StationPool> again = OpenStation("A");
  ASSERT_TRUE(again);
  pool::SeedClaim resumed = ClaimOk(*again, "T1", "R2");
  EXPECT_EQ(resumed.id, id);
  EXPECT_EQ(resumed.secret, secret);
  EXPECT_EQ(resumed.resumedFrom, std::optional<std::string>("A"));
  EXPECT_EQ(Sql("SELECT reader FROM orvex_pool.seed WHERE id = " + std::to_string(id)), "R2");
}

TEST_F(PoolTest, OtherStationsClaimIsTakenOverOnlyOnceItsLockIsGone) {
  Generate(3);
  std::unique_ptr<pool::StationPool> b = OpenStation("B");
  std::unique_ptr<pool::StationPool> a = OpenStation("A");
  ASSERT_TRUE(a && b);
  const pool::SeedClaim first = ClaimOk(*b, "T1");

  auto whileRunning = a->Claim("T1", "R1");
  ASSERT_TRUE(std::holds_alternative<pool::ClaimRefused>(whileRunning));
  EXPECT_EQ(std::get<pool::ClaimRefused>(whileRunning).why, pool::ClaimRefusal::ClaimedByLiveStation);
  EXPECT_NE(std::get<pool::ClaimRefused>(whileRunning).text.find("station B, which is running: lay the token there"),
            std::string::npos)
      << std::get<pool::ClaimRefused>(whileRunning).text;
  EXPECT_EQ(Sql("SELECT station FROM orvex_pool.seed WHERE serial = 'T1'"), "B");

  b.reset();  // station B's run is gone, and its lock with it
  WaitUntilNotRunning("B");
  const pool::SeedClaim taken = ClaimOk(*a, "T1");
  EXPECT_EQ(taken.id, first.id);
  EXPECT_EQ(taken.secret, first.secret);
  EXPECT_EQ(taken.resumedFrom, std::optional<std::string>("B"));
  EXPECT_EQ(Sql("SELECT station FROM orvex_pool.seed WHERE serial = 'T1'"), "A");
  // A run of B that starts again finds its claim gone to A, which is running.
  std::unique_ptr<pool::StationPool> bAgain = OpenStation("B");
  ASSERT_TRUE(bAgain);
  auto back = bAgain->Claim("T1", "R1");
  ASSERT_TRUE(std::holds_alternative<pool::ClaimRefused>(back));
  EXPECT_EQ(std::get<pool::ClaimRefused>(back).why, pool::ClaimRefusal::ClaimedByLiveStation);
}

TEST_F(PoolTest, SecondRunOfAStationIsRefused) {
  std::unique_ptr<pool::StationPool> first = OpenStation("A");
  ASSERT_TRUE(first);
  auto second = pool::StationPool::Open(Station("A"));
  ASSERT_TRUE(std::holds_alternative<std::string>(second));
  EXPECT_NE(std::get<std::string>(second).find("station A is running already"), std::string::npos)
      << std::get<std::string>(second);
  first.reset();
  WaitUntilNotRunning("A");
  EXPECT_TRUE(OpenStation("A"));
}

// Eight workers on four stations claim a mix of serials of their own and
// serials every station wants at the same time: no row goes to two serials,
// no serial gets two rows, and a shared serial goes to one station.
TEST_F(PoolTest, ConcurrentClaimsNeverShareARowOrASerial) {
  constexpr int kStations = 4;
  constexpr int kWorkersPerStation = 2;
  constexpr int kOwnSerials = 40;
  constexpr int kSharedSerials = 20;
  Generate(kStations * kWorkersPerStation * kOwnSerials + kSharedSerials);
  LoadFixed({{"FIXED-0", BytesOf("fixed secret number0")}, {"FIXED-1", BytesOf("fixed secret number1")}});
  std::vector<std::unique_ptr<pool::StationPool>> stations;
  for (int s = 0; s < kStations; ++s) stations.push_back(OpenStation("S" + std::to_string(s)));
  for (const auto& s : stations) ASSERT_TRUE(s);

  struct Got {
    std::string station;
    std::string serial;
    int64_t id;
    pool::Bytes secret;
  };
  std::mutex mutex;
  std::vector<Got> got;
  std::vector<std::string> failures;
  std::vector<std::thread> workers;
  for (int s = 0; s < kStations; ++s) {
    for (int w = 0; w < kWorkersPerStation; ++w) {
      workers.emplace_back([&, s, w] {
        for (int i = 0; i < kOwnSerials + kSharedSerials + 2; ++i) {
          std::string serial;
          if (i < kOwnSerials) {
            serial = "OWN-" + std::to_string(s) + "-" + std::to_string(w) + "-" + std::to_string(i);
          } else if (i < kOwnSerials + kSharedSerials) {
            serial = "SHARED-" + std::to_string(i - kOwnSerials);
          } else {
            serial = "FIXED-" + std::to_string(i - kOwnSerials - kSharedSerials);
          }
          auto claimed = stations[s]->Claim(serial, "R" + std::to_string(w));
          std::lock_guard<std::mutex> lock(mutex);
          if (auto* claim = std::get_if<pool::SeedClaim>(&claimed)) {
            got.push_back({"S" + std::to_string(s), serial, claim->id, claim->secret});
          } else if (std::get<pool::ClaimRefused>(claimed).why != pool::ClaimRefusal::ClaimedByLiveStation) {
            failures.push_back(serial + ": " + std::get<pool::ClaimRefused>(claimed).text);
          }
        }
      });
    }
  }
  for (std::thread& t : workers) t.join();
  EXPECT_TRUE(failures.empty()) << failures.front();

  std::map<int64_t, std::string> serialOfRow;
  std::map<std::string, int64_t> rowOfSerial;
  std::map<std::string, std::set<std::string>> stationsOfSerial;
  std::map<int64_t, pool::Bytes> secretOfRow;
  for (const Got& g : got) {
    const auto [row, newRow] = serialOfRow.emplace(g.id, g.serial);
    EXPECT_EQ(row->second, g.serial) << "row " << g.id << " handed to two serials";
    const auto [serial, newSerial] = rowOfSerial.emplace(g.serial, g.id);
    EXPECT_EQ(serial->second, g.id) << "serial " << g.serial << " given two rows";
    const auto [secret, newSecret] = secretOfRow.emplace(g.id, g.secret);
    EXPECT_EQ(secret->second, g.secret);
    stationsOfSerial[g.serial].insert(g.station);
  }
  const int serials = kStations * kWorkersPerStation * kOwnSerials + kSharedSerials + 2;
  EXPECT_EQ(rowOfSerial.size(), static_cast<std::size_t>(serials));
  for (const auto& [serial, holders] : stationsOfSerial) EXPECT_EQ(holders.size(), 1u) << serial;
  // The database agrees: one row a serial, each claimed by the station that got it.
  EXPECT_EQ(Sql("SELECT count(*) FROM orvex_pool.seed WHERE state = 'claimed'"), std::to_string(serials));
  for (const auto& [serial, holders] : stationsOfSerial) {
    if (serial.rfind("SHARED-", 0) != 0) continue;
    EXPECT_EQ(Sql("SELECT station FROM orvex_pool.seed WHERE serial = '" + serial + "'"), *holders.begin());
  }
}

}  // namespace
