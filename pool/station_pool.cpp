// The station's side of the pool. One connection holds the station's lock for
// the whole run and replays the journal; the claims and bookings of the
// worker threads run on connections of their own, taken from a small list of
// idle ones, so that a slow statement of one reader holds up no other.
#include "station_pool.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>

#include "pool_crypto.h"
#include "pool_db.h"
#include "pool_journal.h"
#include "pool_schema.h"

namespace pool {
namespace {

// After a failed attempt to reach the database, calls within this time fail
// at once instead of each waiting for its own connect timeout.
constexpr auto kRetryPause = std::chrono::milliseconds(1000);
// Taking over another station's claim holds that station's lock for a moment;
// a run of that station starting just then tries again before it gives up.
constexpr int kLockTries = 5;
constexpr auto kLockTryPause = std::chrono::milliseconds(100);

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// "2025-03-04 10:11:12 UTC", for the operator's lines.
std::string UtcText(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

// Keeps a station's name usable as part of a file name: letters, digits,
// '.', '_' and '-' stay, every other byte becomes %XX.
std::string FileNamePart(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-' || (c == '.' && !out.empty());
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

class PgStationPool final : public StationPool {
 public:
  PgStationPool(StationOptions options, PoolKey key, std::string journalPath)
      : m_options(std::move(options)),
        m_key(std::move(key)),
        m_journal(journalPath),
        m_refused(journalPath + ".refused") {}

  // The first session: connect, check the key, take the lock, replay.
  std::optional<std::string> Start() {
    const Session session = EnsureSession(true);
    if (session.up) {
      // One connection for the claims, ready before the first token: a new
      // session costs the server a process and more than the claim itself.
      std::string why;
      if (std::unique_ptr<Connection> connection = Borrow(&why)) GiveBack(std::move(connection));
      return std::nullopt;
    }
    return session.outOfReach ? "the pool cannot be reached: " + session.why : session.why;
  }

  std::variant<SeedClaim, ClaimRefused> Claim(const std::string& serial, const std::string& reader) override;
  BookingResult Burned(const SeedClaim& claim, const BurnFacts& facts) override;
  BookingResult Release(const SeedClaim& claim) override;
  std::vector<std::string> TakeNotes() override {
    std::lock_guard<std::mutex> lock(m_notesMutex);
    return std::exchange(m_notes, {});
  }
  int JournalEntries() const override { return m_journal.Count(); }

 private:
  struct Session {
    bool up = false;
    int lockPid = 0;
    std::string why;
    bool outOfReach = false;
  };
  enum class Applied { Done, Refused, OutOfReach };

  Session EnsureSession(bool force);
  std::optional<std::string> Connect(bool* outOfReach);
  std::optional<std::string> Replay(bool* outOfReach);
  void NoteLost(const std::string& why);  // under m_sessionMutex
  void MarkLost(const std::string& why);
  std::unique_ptr<Connection> Borrow(std::string* why);
  void GiveBack(std::unique_ptr<Connection> connection);
  Applied Apply(Connection& connection, const JournalEntry& entry, std::string* text);
  BookingResult Book(JournalEntry entry);
  void Note(std::string line) {
    std::lock_guard<std::mutex> lock(m_notesMutex);
    m_notes.push_back(std::move(line));
  }

  const StationOptions m_options;
  const PoolKey m_key;
  Journal m_journal;
  Journal m_refused;  // entries the pool would not take, kept for the administrator

  std::mutex m_sessionMutex;  // the lock connection and what follows
  std::unique_ptr<Connection> m_lockConnection;
  bool m_suspect = false;  // a worker lost its connection: is the lock connection still there?
  bool m_lost = false;     // the loss is noted, its return not yet
  std::string m_lostWhy;
  std::chrono::steady_clock::time_point m_nextAttempt{};

  std::mutex m_idleMutex;
  std::vector<std::unique_ptr<Connection>> m_idle;

  std::mutex m_notesMutex;
  std::vector<std::string> m_notes;
};

void PgStationPool::NoteLost(const std::string& why) {
  m_lostWhy = why;
  if (m_lost) return;
  m_lost = true;
  Note("the pool cannot be reached: " + why);
}

void PgStationPool::MarkLost(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(m_sessionMutex);
    m_suspect = true;
    NoteLost(why);
  }
  // The others most likely went with it; they are made anew when needed.
  std::lock_guard<std::mutex> lock(m_idleMutex);
  m_idle.clear();
}

std::optional<std::string> PgStationPool::Connect(bool* outOfReach) {
  *outOfReach = true;
  auto opened = Connection::Open(m_options.conninfo);
  if (auto* why = std::get_if<std::string>(&opened)) return *why;
  std::unique_ptr<Connection> connection = std::move(std::get<std::unique_ptr<Connection>>(opened));
  if (auto why = CheckPool(*connection, m_key, outOfReach)) return why;
  for (int attempt = 1;; ++attempt) {
    Result locked = connection->Exec("SELECT pg_try_advisory_lock($1, hashtext($2))",
                                     Params().Int(kStationLockClass).Text(m_options.station));
    if (!locked.Ok()) {
      *outOfReach = OutOfReach(*connection, locked);
      return FailureText(*connection, locked);
    }
    if (locked.Bool(0, 0)) break;
    if (attempt == kLockTries) {
      *outOfReach = false;
      return "station " + m_options.station +
             " is running already: another run of it holds its lock in the pool (one run a station)";
    }
    std::this_thread::sleep_for(kLockTryPause);
  }
  m_lockConnection = std::move(connection);
  return std::nullopt;
}

PgStationPool::Session PgStationPool::EnsureSession(bool force) {
  std::lock_guard<std::mutex> lock(m_sessionMutex);
  if (m_lockConnection && m_suspect) {
    if (!m_lockConnection->Exec("SELECT 1").Ok()) m_lockConnection.reset();
    m_suspect = false;
  }
  Session session;
  if (!m_lockConnection) {
    if (!force && std::chrono::steady_clock::now() < m_nextAttempt) {
      session.why = m_lostWhy;
      session.outOfReach = true;
      return session;
    }
    if (auto why = Connect(&session.outOfReach)) {
      m_nextAttempt = std::chrono::steady_clock::now() + kRetryPause;
      if (session.outOfReach) NoteLost(*why);
      session.why = *why;
      return session;
    }
  }
  const int before = m_journal.Count();
  if (before > 0) {
    if (auto why = Replay(&session.outOfReach)) {
      if (session.outOfReach) {
        m_lockConnection.reset();
        m_nextAttempt = std::chrono::steady_clock::now() + kRetryPause;
        NoteLost(*why);
      }
      session.why = *why;
      return session;
    }
  }
  const int replayed = before - m_journal.Count();
  if (m_lost) {
    Note("the pool is back: " + std::to_string(replayed) + (replayed == 1 ? " journal entry" : " journal entries") +
         " replayed");
    m_lost = false;
  } else if (replayed > 0) {
    Note(std::to_string(replayed) + (replayed == 1 ? " journal entry" : " journal entries") +
         " replayed into the pool");
  }
  session.up = true;
  session.lockPid = m_lockConnection->BackendPid();
  return session;
}

std::optional<std::string> PgStationPool::Replay(bool* outOfReach) {
  *outOfReach = false;
  const JournalContents contents = m_journal.Read();
  if (!contents.error.empty()) return contents.error;
  std::size_t done = 0;
  std::optional<std::string> failure;
  for (const JournalEntry& entry : contents.entries) {
    std::string text;
    const Applied applied = Apply(*m_lockConnection, entry, &text);
    if (applied == Applied::OutOfReach) {
      *outOfReach = true;
      failure = text;
      break;
    }
    if (applied == Applied::Refused) {
      // Replaying it again would meet the same refusal: it is kept aside, and
      // the operator told, instead of blocking the entries after it.
      if (auto why = m_refused.Append(entry)) {
        failure = "journal entry for serial " + entry.serial + " is refused by the pool (" + text +
                  ") and cannot be kept aside: " + *why;
        break;
      }
      Note("journal entry for serial " + entry.serial + " is refused by the pool (" + text + "): kept in " +
           m_refused.Path());
    }
    ++done;
  }
  if (done > 0) {
    if (auto why = m_journal.Drop(done)) return failure ? *failure : *why;
  }
  return failure;
}

std::unique_ptr<Connection> PgStationPool::Borrow(std::string* why) {
  {
    std::lock_guard<std::mutex> lock(m_idleMutex);
    if (!m_idle.empty()) {
      std::unique_ptr<Connection> connection = std::move(m_idle.back());
      m_idle.pop_back();
      return connection;
    }
  }
  auto opened = Connection::Open(m_options.conninfo);
  if (auto* error = std::get_if<std::string>(&opened)) {
    *why = *error;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<Connection>>(opened));
}

void PgStationPool::GiveBack(std::unique_ptr<Connection> connection) {
  if (connection->Broken()) return;
  std::lock_guard<std::mutex> lock(m_idleMutex);
  m_idle.push_back(std::move(connection));
}

std::variant<SeedClaim, ClaimRefused> PgStationPool::Claim(const std::string& serial, const std::string& reader) {
  const auto refused = [](ClaimRefusal why, std::string text) { return ClaimRefused{why, std::move(text)}; };
  const auto unreachable = [&](const std::string& why) {
    return refused(ClaimRefusal::Unreachable, "the pool cannot be reached: " + why + "; no new claim until it is back");
  };
  if (serial.empty()) return refused(ClaimRefusal::Failed, "the token reported no serial number");
  // A second round only when the lock connection turned out to be gone.
  for (int round = 0; round < 2; ++round) {
    const Session session = EnsureSession(false);
    if (!session.up) {
      return session.outOfReach ? unreachable(session.why) : refused(ClaimRefusal::Failed, session.why);
    }
    std::string why;
    std::unique_ptr<Connection> connection = Borrow(&why);
    if (!connection) {
      MarkLost(why);
      return unreachable(why);
    }
    const auto failed = [&](const Result& result) -> std::variant<SeedClaim, ClaimRefused> {
      const std::string text = FailureText(*connection, result);
      if (OutOfReach(*connection, result)) {
        MarkLost(text);
        return unreachable(text);
      }
      connection->Exec("ROLLBACK");
      GiveBack(std::move(connection));
      return refused(ClaimRefusal::Failed, "the pool refused the claim for serial " + serial + ": " + text);
    };
    // The transaction's start and the claim in one round trip; its commit
    // waits until the secret is known to open.
    Result row = connection->Exec(
        "BEGIN; SELECT outcome, id, origin, sealed, secret_mac, file_algorithm, file_time_window, other_station, "
        "at_ms FROM orvex_pool.claim(" +
        connection->Literal(serial) + ", " + connection->Literal(m_options.station) + ", " +
        connection->Literal(reader) + ", " + connection->Literal(m_options.operatorName) + ", " +
        std::to_string(session.lockPid) + ")");
    if (!row.Ok() || row.Rows() != 1) return failed(row);
    const std::string outcome = row.Text(0, 0);
    const auto finish = [&](ClaimRefusal why, std::string text) -> std::variant<SeedClaim, ClaimRefused> {
      Result rollback = connection->Exec("ROLLBACK");
      if (rollback.Ok()) GiveBack(std::move(connection));
      return refused(why, std::move(text));
    };
    if (outcome == "nolock") {
      connection->Exec("ROLLBACK");
      GiveBack(std::move(connection));
      std::lock_guard<std::mutex> lock(m_sessionMutex);
      m_lockConnection.reset();  // taken anew, with the lock, by the next round
      continue;
    }
    const std::string other = row.OptionalText(0, 7).value_or("");
    const int64_t atMs = row.OptionalInt(0, 8).value_or(0);
    if (outcome == "burned") {
      return finish(ClaimRefusal::Burned,
                    "serial " + serial + " is burned in the pool already: by station " + other + " at " + UtcText(atMs));
    }
    if (outcome == "void") {
      return finish(ClaimRefusal::Void, "serial " + serial + ": its secret in the pool was voided at " +
                                            UtcText(atMs) + "; the pool gives it no other");
    }
    if (outcome == "live") {
      return finish(ClaimRefusal::ClaimedByLiveStation,
                    "serial " + serial + " is claimed by station " + other + ", which is running: lay the token there");
    }
    if (outcome == "nofree") {
      return finish(ClaimRefusal::NoFreeSecret, "the pool holds no free secret for serial " + serial);
    }
    SeedClaim claim;
    claim.id = row.Int(0, 1);
    claim.serial = serial;
    const bool fromFile = row.Text(0, 2) == "file";
    const Bytes mac = row.Bytes(0, 4);
    std::optional<SecretBytes> secret =
        m_key.Unseal(row.Bytes(0, 3), RowAssociatedData(mac, fromFile ? std::optional<std::string>(serial) : std::nullopt));
    if (!secret || m_key.SecretMac(secret->bytes) != mac) {
      return finish(ClaimRefusal::Failed, "the pool's secret for serial " + serial + " (row " +
                                              std::to_string(claim.id) +
                                              ") does not open with the pool key: it was changed in the database "
                                              "or sealed under another key; the row is left as it was");
    }
    claim.secret = std::move(secret->bytes);
    claim.algorithm = row.OptionalText(0, 5);
    if (const std::optional<int64_t> window = row.OptionalInt(0, 6)) claim.timeWindow = static_cast<int>(*window);
    if (outcome == "resumed" || outcome == "taken") claim.resumedFrom = other;
    Result commit = connection->Exec("COMMIT");
    if (!commit.Ok()) {
      // The claim may or may not be in the pool; either way no secret goes
      // to the token now, and the next claim of the serial resumes it.
      return failed(commit);
    }
    GiveBack(std::move(connection));
    return claim;
  }
  return refused(ClaimRefusal::Failed, "the station's lock in the pool was lost and could not be taken again");
}

PgStationPool::Applied PgStationPool::Apply(Connection& connection, const JournalEntry& e, std::string* text) {
  if (e.outcome == JournalEntry::Outcome::Released) {
    Result released = connection.Exec("SELECT orvex_pool.release($1, $2, $3)",
                                      Params().Int(e.id).Text(e.serial).Text(e.station));
    if (!released.Ok()) {
      *text = FailureText(connection, released);
      return OutOfReach(connection, released) ? Applied::OutOfReach : Applied::Refused;
    }
    return Applied::Done;
  }
  Result booked = connection.Exec(
      "SELECT outcome, state, serial, station FROM orvex_pool.book_burn($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)",
      Params()
          .Int(e.id)
          .Text(e.serial)
          .Text(e.station)
          .Text(e.reader)
          .Text(e.operatorName)
          .Text(e.algorithm)
          .Int(e.timeWindow)
          .Int(e.displayTime)
          .Text(e.upn)
          .Int(e.burnedAtMs));
  if (!booked.Ok() || booked.Rows() != 1) {
    *text = FailureText(connection, booked);
    return OutOfReach(connection, booked) ? Applied::OutOfReach : Applied::Refused;
  }
  const std::string outcome = booked.Text(0, 0);
  if (outcome == "booked" || outcome == "already") return Applied::Done;
  if (booked.IsNull(0, 1)) {
    *text = "the pool has no row " + std::to_string(e.id);
  } else {
    *text = "row " + std::to_string(e.id) + " is " + booked.Text(0, 1) + ", for serial " +
            booked.OptionalText(0, 2).value_or("(none)") + ", not claimed for serial " + e.serial;
  }
  return Applied::Refused;
}

BookingResult PgStationPool::Book(JournalEntry entry) {
  const bool burned = entry.outcome == JournalEntry::Outcome::Burned;
  const std::string what = (burned ? "the burn of serial " : "the release of serial ") + entry.serial;
  std::string why;
  const Session session = EnsureSession(false);
  if (session.up) {
    std::unique_ptr<Connection> connection = Borrow(&why);
    if (connection) {
      std::string text;
      switch (Apply(*connection, entry, &text)) {
        case Applied::Done:
          GiveBack(std::move(connection));
          return {Booking::Committed, what + " is in the pool"};
        case Applied::Refused:
          GiveBack(std::move(connection));
          return {Booking::Failed, "the pool did not take " + what + ": " + text};
        case Applied::OutOfReach:
          why = text;
          break;
      }
    }
    MarkLost(why);
  } else {
    why = session.why;
  }
  entry.journaledAtMs = NowMs();
  if (auto failure = m_journal.Append(entry)) {
    return {Booking::Failed, "the pool cannot be reached (" + why + ") and " + what +
                                 " cannot be written to the journal: " + *failure};
  }
  return {Booking::Journaled,
          "the pool cannot be reached (" + why + "): " + what + " is in the journal " + m_journal.Path() +
              ", to be replayed when the pool is back"};
}

BookingResult PgStationPool::Burned(const SeedClaim& claim, const BurnFacts& facts) {
  JournalEntry entry;
  entry.outcome = JournalEntry::Outcome::Burned;
  entry.id = claim.id;
  entry.serial = claim.serial;
  entry.station = m_options.station;
  entry.operatorName = m_options.operatorName;
  entry.reader = facts.reader;
  entry.algorithm = facts.algorithm;
  entry.timeWindow = facts.timeWindow;
  entry.displayTime = facts.displayTime;
  entry.upn = facts.upn;
  entry.burnedAtMs = facts.burnedAtMs > 0 ? facts.burnedAtMs : NowMs();
  return Book(std::move(entry));
}

BookingResult PgStationPool::Release(const SeedClaim& claim) {
  JournalEntry entry;
  entry.outcome = JournalEntry::Outcome::Released;
  entry.id = claim.id;
  entry.serial = claim.serial;
  entry.station = m_options.station;
  entry.operatorName = m_options.operatorName;
  return Book(std::move(entry));
}

}  // namespace

SeedClaim::~SeedClaim() {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
}

std::string DefaultJournalPath(const std::string& station) {
  std::string base;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr && home[0] != '\0' ? home : ".") + "/.local/state";
  }
  return base + "/orvex-zerazaduzu/pool-journal-" + FileNamePart(station) + ".jsonl";
}

std::variant<std::unique_ptr<StationPool>, std::string> StationPool::Open(const StationOptions& options) {
  if (options.station.empty()) return std::string("the station needs a name in the pool");
  std::variant<PoolKey, std::string> key = PoolKey::ReadFile(options.keyFile);
  if (auto* why = std::get_if<std::string>(&key)) return *why;
  const std::string journal = options.journalPath.empty() ? DefaultJournalPath(options.station) : options.journalPath;
  auto pool = std::make_unique<PgStationPool>(options, std::move(std::get<PoolKey>(key)), journal);
  if (auto why = pool->Start()) return *why;
  return std::unique_ptr<StationPool>(std::move(pool));
}

}  // namespace pool
