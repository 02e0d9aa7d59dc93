// Bookings: a burn's record and a release, each idempotent; the journal while
// the database is away, and its replay when it is back.
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "pool_fixture.h"
#include "pool_journal.h"

namespace {

using pooltest::BytesOf;
using pooltest::ClaimOk;
using pooltest::PoolTest;

pool::BurnFacts Facts(const std::string& reader = "R1") {
  pool::BurnFacts facts;
  facts.reader = reader;
  facts.algorithm = "SHA256";
  facts.timeWindow = 60;
  facts.displayTime = 120;
  facts.upn = "user@example.org";
  facts.burnedAtMs = 1714979289123;  // 2024-05-06 07:08:09.123 UTC
  return facts;
}

std::string Record(const std::string& where) {
  return "SELECT state || ' ' || serial || ' ' || station || ' ' || reader || ' ' || operator || ' ' || algorithm || "
         "' ' || time_window || ' ' || display_time || ' ' || upn || ' ' || "
         "to_char(burned_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.MS') || ' ' || (claimed_at IS NOT NULL) "
         "FROM orvex_pool.seed WHERE " + where;
}

TEST_F(PoolTest, BurnedRecordsTheBurnAndIsIdempotent) {
  Generate(2);
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  const pool::SeedClaim claim = ClaimOk(*station, "T1");
  for (int time = 0; time < 2; ++time) {
    const pool::BookingResult booked = station->Burned(claim, Facts());
    EXPECT_EQ(booked.how, pool::Booking::Committed) << booked.text;
  }
  EXPECT_EQ(Sql(Record("serial = 'T1'")),
            "burned T1 A R1 operator of A SHA256 60 120 user@example.org 2024-05-06 07:08:09.123 true");
  // Burned once: a later claim of the serial is refused, a release changes nothing.
  EXPECT_EQ(station->Release(claim).how, pool::Booking::Committed);
  EXPECT_EQ(Sql("SELECT state FROM orvex_pool.seed WHERE serial = 'T1'"), "burned");
  auto again = station->Claim("T1", "R1");
  ASSERT_TRUE(std::holds_alternative<pool::ClaimRefused>(again));
  EXPECT_EQ(std::get<pool::ClaimRefused>(again).why, pool::ClaimRefusal::Burned);
  EXPECT_NE(std::get<pool::ClaimRefused>(again).text.find("station A at 2024-05-06 07:08:09 UTC"), std::string::npos);
  EXPECT_EQ(station->JournalEntries(), 0);
}

TEST_F(PoolTest, BurnedOfARowNotClaimedForTheSerialFails) {
  LoadFixed({{"F1", BytesOf("fixed secret number1")}});
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  pool::SeedClaim claim = ClaimOk(*station, "F1");
  claim.serial = "F2";  // no such claim
  const pool::BookingResult booked = station->Burned(claim, Facts());
  EXPECT_EQ(booked.how, pool::Booking::Failed);
  EXPECT_NE(booked.text.find("not claimed for serial F2"), std::string::npos) << booked.text;
  EXPECT_EQ(Sql("SELECT state FROM orvex_pool.seed WHERE serial = 'F1'"), "claimed");
}

TEST_F(PoolTest, ReleaseFreesTheRowAndIsIdempotent) {
  Generate(1);
  LoadFixed({{"F1", BytesOf("fixed secret number1")}});
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  const pool::SeedClaim generated = ClaimOk(*station, "T1");
  const pool::SeedClaim fixed = ClaimOk(*station, "F1");
  for (int time = 0; time < 2; ++time) {
    EXPECT_EQ(station->Release(generated).how, pool::Booking::Committed);
    EXPECT_EQ(station->Release(fixed).how, pool::Booking::Committed);
  }
  // A generated secret loses the serial; a loaded one keeps it.
  const std::string fields = "SELECT state || ' ' || coalesce(serial, '-') || ' ' || coalesce(station, '-') || ' ' || "
                             "coalesce(reader, '-') || ' ' || (claimed_at IS NULL) FROM orvex_pool.seed WHERE id = ";
  EXPECT_EQ(Sql(fields + std::to_string(generated.id)), "free - - - true");
  EXPECT_EQ(Sql(fields + std::to_string(fixed.id)), "free F1 - - true");
  // Free again: the same secret goes to the next new serial.
  const pool::SeedClaim next = ClaimOk(*station, "T2");
  EXPECT_EQ(next.id, generated.id);
  EXPECT_EQ(next.secret, generated.secret);
}

class PoolOutage : public PoolTest {
 protected:
  void TearDown() override {
    pooltest::ClusterCommand("start-server");  // whatever the test left
    PoolTest::TearDown();
  }
  // Claims until the pool answers again (it is tried at most once a second).
  pool::SeedClaim ClaimWhenBack(pool::StationPool& station, const std::string& serial) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      auto claimed = station.Claim(serial, "R1");
      if (auto* claim = std::get_if<pool::SeedClaim>(&claimed)) return std::move(*claim);
      const pool::ClaimRefused& refused = std::get<pool::ClaimRefused>(claimed);
      if (refused.why != pool::ClaimRefusal::Unreachable || std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << refused.text;
        return {};
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  static std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }
  std::string FileText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
};

TEST_F(PoolOutage, BookingsGoToTheJournalAndAreReplayedWhenThePoolIsBack) {
  Generate(4);
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  const pool::SeedClaim burned = ClaimOk(*station, "T1");
  const pool::SeedClaim released = ClaimOk(*station, "T2");
  const std::string journal = Station("A").journalPath;

  ASSERT_EQ(pooltest::ClusterCommand("stop-server"), 0);
  const pool::BookingResult b = station->Burned(burned, Facts());
  EXPECT_EQ(b.how, pool::Booking::Journaled) << b.text;
  EXPECT_NE(b.text.find(journal), std::string::npos) << b.text;
  EXPECT_EQ(station->Release(released).how, pool::Booking::Journaled);
  EXPECT_EQ(station->JournalEntries(), 2);
  auto refused = station->Claim("T3", "R1");
  ASSERT_TRUE(std::holds_alternative<pool::ClaimRefused>(refused));
  EXPECT_EQ(std::get<pool::ClaimRefused>(refused).why, pool::ClaimRefusal::Unreachable);
  const std::string lost = Joined(station->TakeNotes());
  EXPECT_NE(lost.find("the pool cannot be reached: "), std::string::npos) << lost;
  // The journal holds the record and no secret.
  const std::string lines = FileText(journal);
  EXPECT_NE(lines.find("\"serial\":\"T1\""), std::string::npos) << lines;
  EXPECT_NE(lines.find("\"upn\":\"user@example.org\""), std::string::npos) << lines;
  EXPECT_EQ(lines.find(std::string(burned.secret.begin(), burned.secret.end())), std::string::npos);

  ASSERT_EQ(pooltest::ClusterCommand("start-server"), 0);
  const pool::SeedClaim after = ClaimWhenBack(*station, "T3");
  EXPECT_EQ(Joined(station->TakeNotes()), "the pool is back: 2 journal entries replayed\n");
  EXPECT_EQ(station->JournalEntries(), 0);
  EXPECT_NE(::access(journal.c_str(), F_OK), 0) << "the replayed journal is removed";
  EXPECT_EQ(Sql(Record("serial = 'T1'")),
            "burned T1 A R1 operator of A SHA256 60 120 user@example.org 2024-05-06 07:08:09.123 true");
  // The released secret lost its serial and went to the next new one, T3:
  // the lowest free row.
  EXPECT_EQ(after.id, released.id);
  EXPECT_EQ(Sql("SELECT state || ' ' || serial FROM orvex_pool.seed WHERE id = " + std::to_string(released.id)),
            "claimed T3");
}

TEST_F(PoolOutage, AJournalLeftByAnEarlierRunIsReplayedAtOpenOnceOnly) {
  Generate(2);
  const std::string journal = Station("A").journalPath;
  pool::SeedClaim claim;
  {
    std::unique_ptr<pool::StationPool> station = OpenStation("A");
    ASSERT_TRUE(station);
    claim = ClaimOk(*station, "T1");
    ASSERT_EQ(pooltest::ClusterCommand("stop-server"), 0);
    ASSERT_EQ(station->Burned(claim, Facts()).how, pool::Booking::Journaled);
  }
  // Replaying an entry the pool holds already changes nothing: a copy of the
  // journal replayed twice books the burn once.
  const std::string copy = FileText(journal);
  ASSERT_EQ(pooltest::ClusterCommand("start-server"), 0);
  {
    std::unique_ptr<pool::StationPool> station = OpenStation("A");
    ASSERT_TRUE(station);
    const std::string notes = Joined(station->TakeNotes());
    EXPECT_EQ(notes, "1 journal entry replayed into the pool\n");
    EXPECT_EQ(Sql("SELECT state FROM orvex_pool.seed WHERE serial = 'T1'"), "burned");
  }
  WaitUntilNotRunning("A");
  pooltest::WriteFile(journal, copy);
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  EXPECT_EQ(station->JournalEntries(), 0);
  EXPECT_EQ(Sql("SELECT count(*) FROM orvex_pool.seed WHERE state = 'burned'"), "1");
}

TEST_F(PoolOutage, AJournalThatCannotBeWrittenFailsTheBooking) {
  Generate(1);
  pool::StationOptions options = Station("A");
  options.journalPath = "/proc/no-such-directory/journal.jsonl";  // no one may create it
  auto opened = pool::StationPool::Open(options);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<pool::StationPool>>(opened));
  pool::StationPool& station = *std::get<std::unique_ptr<pool::StationPool>>(opened);
  const pool::SeedClaim claim = ClaimOk(station, "T1");
  ASSERT_EQ(pooltest::ClusterCommand("stop-server"), 0);
  const pool::BookingResult booked = station.Burned(claim, Facts());
  EXPECT_EQ(booked.how, pool::Booking::Failed);
  EXPECT_NE(booked.text.find("cannot be written to the journal"), std::string::npos) << booked.text;
}

TEST_F(PoolOutage, OpenRefusesWhileThePoolIsAway) {
  ASSERT_EQ(pooltest::ClusterCommand("stop-server"), 0);
  const auto started = std::chrono::steady_clock::now();
  auto opened = pool::StationPool::Open(Station("A"));
  ASSERT_TRUE(std::holds_alternative<std::string>(opened));
  EXPECT_EQ(std::get<std::string>(opened).rfind("the pool cannot be reached: ", 0), 0u) << std::get<std::string>(opened);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(PoolJournalPath, InTheStateDirectoryWithTheStationsNameKeptSafe) {
  const char* saved = std::getenv("XDG_STATE_HOME");
  const std::string restore = saved ? saved : "";
  ::setenv("XDG_STATE_HOME", "/var/state", 1);
  EXPECT_EQ(pool::DefaultJournalPath("Station 1/../x"),
            "/var/state/orvex-zerazaduzu/pool-journal-Station%201%2F..%2Fx.jsonl");
  ::setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
  ::setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(pool::DefaultJournalPath("A"), "/home/ann/.local/state/orvex-zerazaduzu/pool-journal-A.jsonl");
  if (saved) {
    ::setenv("XDG_STATE_HOME", restore.c_str(), 1);
  } else {
    ::unsetenv("XDG_STATE_HOME");
  }
}

TEST(PoolJournalLine, RoundTripsAndRefusesAWriteCutShort) {
  pool::JournalEntry entry;
  entry.outcome = pool::JournalEntry::Outcome::Burned;
  entry.id = 42;
  entry.serial = "S \"1\"\\,é";
  entry.station = "Station 1";
  entry.operatorName = "Ann";
  entry.reader = "Reader 00 00";
  entry.algorithm = "SHA1";
  entry.timeWindow = 30;
  entry.displayTime = 15;
  entry.upn = "ann@example.org";
  entry.burnedAtMs = 1714979289123;
  entry.journaledAtMs = 1714979290000;
  const std::string line = pool::JournalLine(entry);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const std::optional<pool::JournalEntry> back = pool::ParseJournalLine(line);
  ASSERT_TRUE(back);
  EXPECT_EQ(pool::JournalLine(*back), line);
  EXPECT_EQ(back->serial, entry.serial);
  EXPECT_FALSE(pool::ParseJournalLine(line.substr(0, line.size() - 5)));
  EXPECT_FALSE(pool::ParseJournalLine("{\"outcome\":\"burned\",\"id\":1,\"serial\":\"S\",\"station\":\"A\"}"));
}

}  // namespace
