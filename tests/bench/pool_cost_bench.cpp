// What the shared pool costs a token when a bench of stations claims at once:
// STATIONS stations, each on a thread and a connection of its own, claim a
// secret for a fresh serial and book its burn, CYCLES times each. Prints the
// median and 99th percentile of claim + burned per token and the claims per
// second of all stations together. tests/bench/pool_bench.sh runs it on a
// pool with enough free secrets (STATIONS x CYCLES are used up).
//
//   pool_cost_bench CONNINFO KEY_FILE JOURNAL_DIR [CYCLES] [STATIONS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

struct StationFigures {
  std::vector<double> totalMs;  // claim + burned, one per token
  std::vector<double> claimMs;
  std::vector<double> burnedMs;
  int refused = 0;
  int notCommitted = 0;
  std::string firstFault;
  std::string openFault;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  // Nearest rank: the value below which p of the tokens fall.
  std::size_t rank = static_cast<std::size_t>(p * static_cast<double>(values.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, values.size());
  return values[rank - 1];
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int64_t NowMsSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void RunStation(const pool::StationOptions& options, int cycles, const std::string& serialPrefix, std::latch& opened,
                std::latch& go, StationFigures& figures) {
  auto result = pool::StationPool::Open(options);
  if (const auto* why = std::get_if<std::string>(&result)) {
    figures.openFault = *why;
    opened.count_down();
    return;
  }
  std::unique_ptr<pool::StationPool> station = std::move(std::get<std::unique_ptr<pool::StationPool>>(result));
  opened.count_down();
  go.wait();
  const std::string reader = "cost bench reader";
  for (int i = 0; i < cycles; ++i) {
    const std::string serial = serialPrefix + std::to_string(i);
    const Clock::time_point start = Clock::now();
    auto claimed = station->Claim(serial, reader);
    const double claimMs = MsSince(start);
    if (const auto* refused = std::get_if<pool::ClaimRefused>(&claimed)) {
      if (figures.firstFault.empty()) figures.firstFault = "claim of " + serial + " refused: " + refused->text;
      ++figures.refused;
      continue;
    }
    const pool::SeedClaim& claim = std::get<pool::SeedClaim>(claimed);
    pool::BurnFacts facts;
    facts.reader = reader;
    facts.algorithm = "SHA1";
    facts.burnedAtMs = NowMsSinceEpoch();
    const Clock::time_point bookStart = Clock::now();
    const pool::BookingResult booked = station->Burned(claim, facts);
    const double burnedMs = MsSince(bookStart);
    if (booked.how != pool::Booking::Committed) {
      // A journaled booking would make the figure look cheaper than the pool is.
      if (figures.firstFault.empty()) figures.firstFault = "burn of " + serial + " not committed: " + booked.text;
      ++figures.notCommitted;
      continue;
    }
    figures.claimMs.push_back(claimMs);
    figures.burnedMs.push_back(burnedMs);
    figures.totalMs.push_back(claimMs + burnedMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6) {
    std::fprintf(stderr, "usage: pool_cost_bench CONNINFO KEY_FILE JOURNAL_DIR [CYCLES] [STATIONS]\n");
    return 2;
  }
  const int cycles = argc > 4 ? std::atoi(argv[4]) : 500;
  const int stations = argc > 5 ? std::atoi(argv[5]) : 8;
  if (cycles < 1 || stations < 1 || stations > 64) {
    std::fprintf(stderr, "pool_cost_bench: CYCLES from 1 up, STATIONS from 1 to 64\n");
    return 2;
  }
  // Serials of this run only: a second run on the same pool claims fresh ones.
  const std::string run = std::to_string(NowMsSinceEpoch());

  std::vector<StationFigures> figures(static_cast<std::size_t>(stations));
  std::vector<std::thread> threads;
  std::latch opened(stations);
  std::latch go(1);
  for (int s = 0; s < stations; ++s) {
    pool::StationOptions options;
    options.conninfo = argv[1];
    options.keyFile = argv[2];
    options.station = "cost-bench-" + std::to_string(s + 1);
    options.operatorName = "pool_cost_bench";
    options.journalPath = std::string(argv[3]) + "/journal-" + options.station + ".jsonl";
    const std::string prefix = "ZZCOST" + run + "S" + std::to_string(s + 1) + "N";
    threads.emplace_back(RunStation, options, cycles, prefix, std::ref(opened), std::ref(go),
                         std::ref(figures[static_cast<std::size_t>(s)]));
  }
  // The clock starts once every station is connected and holds its lock:
  // opening is a station's start-up, not a token's cost.
  opened.wait();
  const Clock::time_point start = Clock::now();
  go.count_down();
  for (std::thread& t : threads) t.join();
  const double wallSeconds = MsSince(start) / 1000.0;

  std::vector<double> total, claim, burned;
  int refused = 0, notCommitted = 0, openFaults = 0;
  for (std::size_t s = 0; s < figures.size(); ++s) {
    const StationFigures& f = figures[s];
    if (!f.openFault.empty()) {
      std::fprintf(stderr, "pool_cost_bench: station cost-bench-%zu did not open: %s\n", s + 1, f.openFault.c_str());
      ++openFaults;
    }
    if (!f.firstFault.empty()) std::fprintf(stderr, "pool_cost_bench: %s\n", f.firstFault.c_str());
    total.insert(total.end(), f.totalMs.begin(), f.totalMs.end());
    claim.insert(claim.end(), f.claimMs.begin(), f.claimMs.end());
    burned.insert(burned.end(), f.burnedMs.begin(), f.burnedMs.end());
    refused += f.refused;
    notCommitted += f.notCommitted;
  }
  const double median = Percentile(total, 0.5);
  const double p99 = Percentile(total, 0.99);
  std::printf("pool cost: %d stations x %d tokens, claim + burned per token: median %.2f ms, 99th percentile %.2f ms, "
              "longest %.2f ms (target at most 5 ms: median %s, 99th percentile %s)\n",
              stations, cycles, median, p99, Percentile(total, 1.0), median <= 5.0 ? "met" : "MISSED",
              p99 <= 5.0 ? "met" : "MISSED");
  std::printf("  claim alone: median %.2f ms, 99th percentile %.2f ms; burned alone: median %.2f ms, "
              "99th percentile %.2f ms\n",
              Percentile(claim, 0.5), Percentile(claim, 0.99), Percentile(burned, 0.5), Percentile(burned, 0.99));
  std::printf("  claims per second, all stations together: %.0f (%zu tokens in %.2f s)\n",
              wallSeconds > 0 ? static_cast<double>(total.size()) / wallSeconds : 0.0, total.size(), wallSeconds);
  std::printf("  stations that did not open: %d, claims refused: %d, burns not committed: %d\n", openFaults, refused,
              notCommitted);
  return openFaults == 0 && refused == 0 && notCommitted == 0 ? 0 : 1;
}
