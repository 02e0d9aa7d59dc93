// The administrator's side of the pool: its schema, the secrets put into it
// (a seed file's, or made in advance), what it holds, the burns it records,
// and the claims of stations that are gone.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pool_crypto.h"
#include "pool_db.h"

namespace pool {

// A secret for a serial, as a seed file gives it.
struct SeedEntry {
  std::string serial;
  SecretBytes secret;
  std::optional<std::string> algorithm;  // a PSKC file's "SHA1" or "SHA256"
  std::optional<int> timeWindow;         // a PSKC file's 30 or 60
  std::string where;                     // "line 3", "KeyPackage 2": how a refusal names it
};

struct StationStatus {
  std::string station;
  int64_t claimed = 0;
  int64_t burned = 0;
  bool running = false;  // a run of it holds its lock
  std::optional<int64_t> lastBurnMs;
  std::string lastBurnSerial;
};

struct PoolStatus {
  int64_t freeGenerated = 0;  // made in advance, for any serial
  int64_t freeFixed = 0;      // loaded for a serial
  int64_t claimed = 0;
  int64_t burned = 0;
  int64_t voided = 0;
  // Burns in the last 1, 5 and 15 minutes.
  int64_t burnsLast[3] = {0, 0, 0};
  std::vector<StationStatus> stations;
};

struct StaleClaim {
  int64_t id = 0;
  std::string serial;
  std::string station;
  std::string reader;
  int64_t claimedAtMs = 0;
};

// A burned row as the pool records it, its secret opened.
struct BurnedSeed {
  int64_t id = 0;
  std::string serial;
  SecretBytes secret;
  std::string algorithm;
  int timeWindow = 30;
  int displayTime = 30;
  std::string upn;
  std::string station;
  int64_t burnedAtMs = 0;
};

class PoolAdmin {
 public:
  static std::variant<std::unique_ptr<PoolAdmin>, std::string> Connect(const std::string& conninfo);

  // The schema, made or brought up to date; a pool of another key refused.
  std::optional<std::string> Init(const PoolKey& key);
  // The pool exists and the key opens it.
  std::optional<std::string> CheckKey(const PoolKey& key);
  // Every entry or none, in one transaction; a serial or a secret that the
  // pool (or the entries) hold already refuses them all, naming it.
  std::variant<int64_t, std::string> Load(const PoolKey& key, const std::vector<SeedEntry>& entries);
  // count random secrets of bytes bytes each, committed in batches; done is
  // told the rows committed so far. The count made, or why it stopped (the
  // batches before stay).
  std::variant<int64_t, std::string> Generate(const PoolKey& key, int64_t count, int bytes,
                                              const std::function<void(int64_t done)>& done = {});
  std::variant<PoolStatus, std::string> Status();
  // The burned rows since the time (all without one), in burn order.
  std::variant<std::vector<BurnedSeed>, std::string> Burned(const PoolKey& key, std::optional<int64_t> sinceMs);
  // Claims whose station holds no lock: each is one token whose burn may or
  // may not have reached it.
  std::variant<std::vector<StaleClaim>, std::string> StaleClaims();
  // Marks the serial's claim void, once it is confirmed to be a claim whose
  // station is not running: its secret is never given to a token.
  std::optional<std::string> Void(const std::string& serial);

 private:
  explicit PoolAdmin(std::unique_ptr<Connection> connection) : m_connection(std::move(connection)) {}
  std::optional<std::string> CopyRows(const std::string& copySql, const std::string& rows);
  std::string Failure(const Result& result);
  std::unique_ptr<Connection> m_connection;
};

}  // namespace pool
