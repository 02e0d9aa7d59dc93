// A station's side of the shared seed pool: the claim of a secret for the
// token read and, after the burn, its record, each committed in a
// transaction of its own. What cannot reach the database goes to the
// station's journal (a local file, synced) and is replayed into the pool
// when the database is back.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pool {

// A secret claimed for one token: the pool's row, held by this station until
// its burn is booked or the claim released.
struct SeedClaim {
  SeedClaim() = default;
  SeedClaim(const SeedClaim&) = delete;
  SeedClaim& operator=(const SeedClaim&) = delete;
  SeedClaim(SeedClaim&&) = default;
  SeedClaim& operator=(SeedClaim&&) = default;
  ~SeedClaim();  // the secret's bytes are cleansed

  int64_t id = 0;              // the pool's row
  std::string serial;          // the token's serial number, as read
  std::vector<uint8_t> secret;
  // What the row was loaded with (a PSKC file's hash and time window).
  std::optional<std::string> algorithm;  // "SHA1" or "SHA256"
  std::optional<int> timeWindow;         // 30 or 60
  // The claim was this token's already: taken up again from an earlier run
  // of this station, or taken over from a station that holds no lock any
  // more. The same secret is written again.
  std::optional<std::string> resumedFrom;  // the station whose claim it was
};

enum class ClaimRefusal {
  Burned,        // the serial is burned in the pool already
  Void,          // the serial's secret was voided
  ClaimedByLiveStation,  // claimed by a station that is running: lay it there
  NoFreeSecret,  // the pool holds no free secret for this serial
  Unreachable,   // the database cannot be reached: no new claim until it is back
  Failed,        // another error of the database
};

struct ClaimRefused {
  ClaimRefusal why = ClaimRefusal::Failed;
  std::string text;  // one line for the operator, e.g. "burned in the pool by station X at T"
};

// The burn as it was done, for the pool's record.
struct BurnFacts {
  std::string reader;
  std::string algorithm;  // "SHA1" or "SHA256"
  int timeWindow = 30;    // seconds
  int displayTime = 30;   // seconds
  std::string upn;        // the export lines' user name, may be empty
  int64_t burnedAtMs = 0;  // when the token took the secret, milliseconds since the epoch (UTC)
};

enum class Booking {
  Committed,  // in the pool
  Journaled,  // the database could not be reached: in the journal, on the disk
  Failed,     // neither: the text says why
};

struct BookingResult {
  Booking how = Booking::Failed;
  std::string text;
};

struct StationOptions {
  std::string conninfo;      // libpq connection string; empty: the PG* environment variables
  std::string keyFile;       // the pool key: 64 hexadecimal digits
  std::string station;       // the station's name in the pool
  std::string operatorName;  // who runs the station
  std::string journalPath;   // the station's journal file
};

// The journal file a station uses when none is given:
// $XDG_STATE_HOME (or ~/.local/state)/orvex-zerazaduzu/pool-journal-<station>.jsonl
std::string DefaultJournalPath(const std::string& station);

class StationPool {
 public:
  // Reads the pool key, connects, checks the key against the pool's, takes
  // the station's lock (refused while another run of the same station holds
  // it) and replays the station's journal. Nothing, and one line saying why,
  // when any of it fails: no claim is made with a wrong key.
  static std::variant<std::unique_ptr<StationPool>, std::string> Open(const StationOptions& options);
  virtual ~StationPool() = default;

  // Any thread. The claim is committed before this returns; nothing may be
  // sent to the token before.
  virtual std::variant<SeedClaim, ClaimRefused> Claim(const std::string& serial, const std::string& reader) = 0;
  // The token holds the claim's secret: the row becomes burned with the
  // record, committed, or journaled when the database cannot be reached.
  virtual BookingResult Burned(const SeedClaim& claim, const BurnFacts& facts) = 0;
  // Nothing of the claim's secret reached the token: the row is free again
  // (a secret generated in advance loses the serial it was claimed for).
  virtual BookingResult Release(const SeedClaim& claim) = 0;
  // Lines for the operator since the last call: the database lost or back,
  // journal entries replayed.
  virtual std::vector<std::string> TakeNotes() = 0;
  // Entries of the journal not yet in the pool.
  virtual int JournalEntries() const = 0;
};

}  // namespace pool
