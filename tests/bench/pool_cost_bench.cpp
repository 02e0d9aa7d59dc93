// What the shared pool costs a token when a bench of stations claims at once:
// STATIONS stations, each on a thread and a connection of its own, claim a
// secret for a fresh serial and book its burn, CYCLES times each. Prints the
// median and 99th percentile of claim + burned per token and the claims per
// second of all stations together. tests/bench/pool_bench.sh runs it on a
// pool with enough free secrets (STATIONS x CYCLES are used up).
// RATE 0 (the default) claims flat out: the claims per second are what the
// database takes, and the times per token include the wait for its cores.
// RATE N starts each station's tokens N a second, as readers do (a reader
// burns about one token a second): the times are then a token's own cost.
//
//   pool_cost_bench CONNINFO KEY_FILE JOURNAL_DIR [CYCLES] [STATIONS] [RATE]
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
  double firstMs = 0;  // the first token of the run, before the clock starts
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

// One token: its claim and its burn's record; false when either did not go through.
bool ClaimAndBook(pool::StationPool& station, const std::string& serial, StationFigures& figures, double* claimMs,
                  double* burnedMs) {
  const std::string reader = "cost bench reader";
  const Clock::time_point start = Clock::now();
  auto claimed = station.Claim(serial, reader);
  *claimMs = MsSince(start);
  if (const auto* refused = std::get_if<pool::ClaimRefused>(&claimed)) {
    if (figures.firstFault.empty()) figures.firstFault = "claim of " + serial + " refused: " + refused->text;
    ++figures.refused;
    return false;
  }
  const pool::SeedClaim& claim = std::get<pool::SeedClaim>(claimed);
  pool::BurnFacts facts;
  facts.reader = reader;
  facts.algorithm = "SHA1";
  facts.burnedAtMs = NowMsSinceEpoch();
  const Clock::time_point bookStart = Clock::now();
  const pool::BookingResult booked = station.Burned(claim, facts);
  *burnedMs = MsSince(bookStart);
  if (booked.how != pool::Booking::Committed) {
    // A journaled booking would make the figure look cheaper than the pool is.
    if (figures.firstFault.empty()) figures.firstFault = "burn of " + serial + " not committed: " + booked.text;
    ++figures.notCommitted;
    return false;
  }
  return true;
}

void RunStation(const pool::StationOptions& options, int cycles, double rate, double phase,
                const std::string& serialPrefix, std::latch& opened, std::latch& go, StationFigures& figures) {
  auto result = pool::StationPool::Open(options);
  if (const auto* why = std::get_if<std::string>(&result)) {
    figures.openFault = *why;
    opened.count_down();
    return;
  }
  std::unique_ptr<pool::StationPool> station = std::move(std::get<std::unique_ptr<pool::StationPool>>(result));
  // A new connection's first claim also readies the server's side of it (the
  // functions compiled, the caches filled): a cost of the station's start,
  // paid once a run, shown apart.
  double claimMs = 0, burnedMs = 0;
  if (ClaimAndBook(*station, serialPrefix + "first", figures, &claimMs, &burnedMs)) figures.firstMs = claimMs + burnedMs;
  opened.count_down();
  go.wait();
  const Clock::time_point first = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    if (rate > 0) {
      // On a schedule of its own: a token late is not made up by the next.
      std::this_thread::sleep_until(first + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>((i + phase) / rate)));
    }
    if (!ClaimAndBook(*station, serialPrefix + std::to_string(i), figures, &claimMs, &burnedMs)) continue;
    figures.claimMs.push_back(claimMs);
    figures.burnedMs.push_back(burnedMs);
    figures.totalMs.push_back(claimMs + burnedMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 7) {
    std::fprintf(stderr, "usage: pool_cost_bench CONNINFO KEY_FILE JOURNAL_DIR [CYCLES] [STATIONS] [RATE]\n");
    return 2;
  }
  const int cycles = argc > 4 ? std::atoi(argv[4]) : 500;
  const int stations = argc > 5 ? std::atoi(argv[5]) : 8;
  const double rate = argc > 6 ? std::atof(argv[6]) : 0;
  if (cycles < 1 || stations < 1 || stations > 64 || rate < 0) {
    std::fprintf(stderr, "pool_cost_bench: CYCLES from 1 up, STATIONS from 1 to 64, RATE from 0 up\n");
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
    // Stations paced alike start apart, as readers do: not all at the same instant.
    const double phase = static_cast<double>(s) / stations;
    threads.emplace_back(RunStation, options, cycles, rate, phase, prefix, std::ref(opened), std::ref(go),
                         std::ref(figures[static_cast<std::size_t>(s)]));
  }
  // The clock starts once every station is connected and holds its lock:
  // opening is a station's start-up, not a token's cost.
  opened.wait();
  const Clock::time_point start = Clock::now();
  go.count_down();
  for (std::thread& t : threads) t.join();
  const double wallSeconds = MsSince(start) / 1000.0;

  std::vector<double> total, claim, burned, firsts;
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
    if (f.firstMs > 0) firsts.push_back(f.firstMs);
    refused += f.refused;
    notCommitted += f.notCommitted;
  }
  const double median = Percentile(total, 0.5);
  const double p99 = Percentile(total, 0.99);
  const std::string pace = rate > 0 ? "each " + std::to_string(static_cast<int>(rate)) + " a second" : "flat out";
  std::printf("pool cost: %d stations x %d tokens, %s; claim + burned per token: median %.2f ms, 99th percentile "
              "%.2f ms, longest %.2f ms (target at most 5 ms: median %s, 99th percentile %s)\n",
              stations, cycles, pace.c_str(), median, p99, Percentile(total, 1.0), median <= 5.0 ? "met" : "MISSED",
              p99 <= 5.0 ? "met" : "MISSED");
  std::printf("  claim alone: median %.2f ms, 99th percentile %.2f ms; burned alone: median %.2f ms, "
              "99th percentile %.2f ms\n",
              Percentile(claim, 0.5), Percentile(claim, 0.99), Percentile(burned, 0.5), Percentile(burned, 0.99));
  std::printf("  a station's first token after it connected: median %.2f ms, longest %.2f ms (not in the figures "
              "above)\n",
              Percentile(firsts, 0.5), Percentile(firsts, 1.0));
  std::printf("  claims per second, all stations together: %.0f (%zu tokens in %.2f s)\n",
              wallSeconds > 0 ? static_cast<double>(total.size()) / wallSeconds : 0.0, total.size(), wallSeconds);
  std::printf("  stations that did not open: %d, claims refused: %d, burns not committed: %d\n", openFaults, refused,
              notCommitted);
  return openFaults == 0 && refused == 0 && notCommitted == 0 ? 0 : 1;
}
