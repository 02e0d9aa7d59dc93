// The administrator's statements. Bulk rows go in by COPY, which takes a
// hundred thousand rows in a second or two where single INSERTs take minutes.
#include "pool_admin.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <map>
#include <unordered_map>

#include "pool_schema.h"

namespace pool {
namespace {

constexpr int64_t kGenerateBatch = 10000;

// A value in COPY's text format.
void CopyText(std::string* out, const std::string& value) {
  for (const char c : value) {
    switch (c) {
      case '\\': *out += "\\\\"; break;
      case '\t': *out += "\\t"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      default: *out += c;
    }
  }
}

void CopyBytes(std::string* out, const Bytes& bytes) {
  static const char kHex[] = "0123456789abcdef";
  *out += "\\\\x";  // bytea's hex form, its backslash escaped for COPY
  for (const uint8_t b : bytes) {
    *out += kHex[b >> 4];
    *out += kHex[b & 15];
  }
}

}  // namespace

std::variant<std::unique_ptr<PoolAdmin>, std::string> PoolAdmin::Connect(const std::string& conninfo) {
  auto opened = Connection::Open(conninfo);
  if (auto* why = std::get_if<std::string>(&opened)) return "the pool cannot be reached: " + *why;
  return std::unique_ptr<PoolAdmin>(new PoolAdmin(std::move(std::get<std::unique_ptr<Connection>>(opened))));
}

std::string PoolAdmin::Failure(const Result& result) {
  std::string text = FailureText(*m_connection, result);
  if (m_connection->Broken()) return "the pool cannot be reached: " + text;
  return text;
}

std::optional<std::string> PoolAdmin::Init(const PoolKey& key) { return CreateSchema(*m_connection, key); }

std::optional<std::string> PoolAdmin::CheckKey(const PoolKey& key) {
  bool outOfReach = false;
  if (auto why = CheckPool(*m_connection, key, &outOfReach)) {
    return outOfReach ? "the pool cannot be reached: " + *why : *why;
  }
  return std::nullopt;
}

std::optional<std::string> PoolAdmin::CopyRows(const std::string& copySql, const std::string& rows) {
  Result copy = m_connection->Exec(copySql);
  if (PQresultStatus(copy.Get()) != PGRES_COPY_IN) return Failure(copy);
  PGconn* conn = m_connection->Get();
  // In pieces, so that libpq's buffer does not hold the whole batch twice.
  constexpr std::size_t kPiece = 1 << 20;
  for (std::size_t at = 0; at < rows.size(); at += kPiece) {
    const std::size_t length = std::min(kPiece, rows.size() - at);
    if (PQputCopyData(conn, rows.data() + at, static_cast<int>(length)) != 1) {
      return "the pool cannot be reached: " + m_connection->LastError();
    }
  }
  if (PQputCopyEnd(conn, nullptr) != 1) return "the pool cannot be reached: " + m_connection->LastError();
  std::optional<std::string> failure;
  while (PGresult* raw = PQgetResult(conn)) {
    Result result(raw);
    if (!result.Ok() && !failure) failure = Failure(result);
  }
  return failure;
}

std::variant<int64_t, std::string> PoolAdmin::Load(const PoolKey& key, const std::vector<SeedEntry>& entries) {
  // Within the entries first: the database would only say "duplicate".
  std::unordered_map<std::string, std::size_t> serials;
  std::map<Bytes, std::size_t> macs;
  std::vector<Bytes> entryMacs;
  entryMacs.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const SeedEntry& e = entries[i];
    const auto [serial, newSerial] = serials.emplace(e.serial, i);
    if (!newSerial) {
      return e.where + ": serial " + e.serial + " is listed before, at " + entries[serial->second].where;
    }
    entryMacs.push_back(key.SecretMac(e.secret.bytes));
    const auto [mac, newMac] = macs.emplace(entryMacs.back(), i);
    if (!newMac) return e.where + ": its secret is listed before, at " + entries[mac->second].where;
  }

  std::string rows;
  rows.reserve(entries.size() * 200);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const SeedEntry& e = entries[i];
    std::optional<Bytes> sealed = key.Seal(e.secret.bytes, RowAssociatedData(entryMacs[i], e.serial));
    if (!sealed) return std::string("cannot seal a secret: libcrypto failed");
    rows += std::to_string(i) + '\t';
    CopyText(&rows, e.serial);
    rows += '\t';
    CopyBytes(&rows, *sealed);
    rows += '\t';
    CopyBytes(&rows, entryMacs[i]);
    rows += '\t';
    rows += e.algorithm ? *e.algorithm : "\\N";
    rows += '\t';
    rows += e.timeWindow ? std::to_string(*e.timeWindow) : "\\N";
    rows += '\n';
  }

  const auto abort = [&](std::string why) -> std::variant<int64_t, std::string> {
    m_connection->Exec("ROLLBACK");
    OPENSSL_cleanse(rows.data(), rows.size());
    return why;
  };
  Result begin = m_connection->Exec("BEGIN");
  if (!begin.Ok()) return abort(Failure(begin));
  Result temp = m_connection->Exec(
      "CREATE TEMPORARY TABLE incoming (n integer, serial text, sealed bytea, secret_mac bytea, "
      "file_algorithm text, file_time_window integer) ON COMMIT DROP");
  if (!temp.Ok()) return abort(Failure(temp));
  if (auto why = CopyRows("COPY incoming FROM STDIN", rows)) return abort(*why);
  OPENSSL_cleanse(rows.data(), rows.size());
  Result clash = m_connection->Exec(
      "(SELECT i.n, true, s.serial FROM incoming i JOIN orvex_pool.seed s ON s.serial = i.serial) "
      "UNION ALL (SELECT i.n, false, s.serial FROM incoming i JOIN orvex_pool.seed s ON s.secret_mac = i.secret_mac) "
      "ORDER BY 1 LIMIT 1");
  if (!clash.Ok()) return abort(Failure(clash));
  if (clash.Rows() > 0) {
    const SeedEntry& e = entries[static_cast<std::size_t>(clash.Int(0, 0))];
    if (clash.Bool(0, 1)) return abort(e.where + ": serial " + e.serial + " is in the pool already");
    const std::optional<std::string> other = clash.OptionalText(0, 2);
    return abort(e.where + ": its secret is in the pool already (" +
                 (other ? "for serial " + *other : std::string("a secret made in advance, not claimed yet")) + ")");
  }
  Result insert = m_connection->Exec(
      "INSERT INTO orvex_pool.seed (origin, serial, sealed, secret_mac, file_algorithm, file_time_window) "
      "SELECT 'file', serial, sealed, secret_mac, file_algorithm, file_time_window FROM incoming ORDER BY n");
  if (!insert.Ok()) return abort(Failure(insert));
  Result commit = m_connection->Exec("COMMIT");
  if (!commit.Ok()) return Failure(commit);
  return static_cast<int64_t>(entries.size());
}

std::variant<int64_t, std::string> PoolAdmin::Generate(const PoolKey& key, int64_t count, int bytes,
                                                        const std::function<void(int64_t)>& done) {
  int64_t made = 0;
  std::string rows;
  SecretBytes secret(Bytes(static_cast<std::size_t>(bytes)));
  while (made < count) {
    const int64_t batch = std::min(kGenerateBatch, count - made);
    rows.clear();
    for (int64_t i = 0; i < batch; ++i) {
      if (RAND_bytes(secret.bytes.data(), bytes) != 1) return std::string("the random generator failed");
      const Bytes mac = key.SecretMac(secret.bytes);
      std::optional<Bytes> sealed = key.Seal(secret.bytes, RowAssociatedData(mac, std::nullopt));
      if (!sealed) return std::string("cannot seal a secret: libcrypto failed");
      rows += "generated\t";
      CopyBytes(&rows, *sealed);
      rows += '\t';
      CopyBytes(&rows, mac);
      rows += '\n';
    }
    Result begin = m_connection->Exec("BEGIN");
    if (!begin.Ok()) return Failure(begin);
    if (auto why = CopyRows("COPY orvex_pool.seed (origin, sealed, secret_mac) FROM STDIN", rows)) {
      m_connection->Exec("ROLLBACK");
      return made > 0 ? *why + " (" + std::to_string(made) + " secrets were made before)" : *why;
    }
    Result commit = m_connection->Exec("COMMIT");
    if (!commit.Ok()) return Failure(commit);
    made += batch;
    if (done) done(made);
  }
  return made;
}

std::variant<PoolStatus, std::string> PoolAdmin::Status() {
  PoolStatus status;
  Result counts = m_connection->Exec(
      "SELECT count(*) FILTER (WHERE state = 'free' AND serial IS NULL), "
      "count(*) FILTER (WHERE state = 'free' AND serial IS NOT NULL), count(*) FILTER (WHERE state = 'claimed'), "
      "count(*) FILTER (WHERE state = 'burned'), count(*) FILTER (WHERE state = 'void'), "
      "count(*) FILTER (WHERE state = 'burned' AND burned_at > now() - interval '1 minute'), "
      "count(*) FILTER (WHERE state = 'burned' AND burned_at > now() - interval '5 minutes'), "
      "count(*) FILTER (WHERE state = 'burned' AND burned_at > now() - interval '15 minutes') "
      "FROM orvex_pool.seed");
  if (!counts.Ok()) return Failure(counts);
  status.freeGenerated = counts.Int(0, 0);
  status.freeFixed = counts.Int(0, 1);
  status.claimed = counts.Int(0, 2);
  status.burned = counts.Int(0, 3);
  status.voided = counts.Int(0, 4);
  for (int i = 0; i < 3; ++i) status.burnsLast[i] = counts.Int(0, 5 + i);
  Result stations = m_connection->Exec(
      "SELECT station, count(*) FILTER (WHERE state = 'claimed'), count(*) FILTER (WHERE state = 'burned'), "
      "orvex_pool.station_running(station), " +
      MillisecondsSql("max(burned_at) FILTER (WHERE state = 'burned')") +
      ", (array_agg(serial ORDER BY burned_at DESC, id DESC) FILTER (WHERE state = 'burned'))[1] "
      "FROM orvex_pool.seed WHERE station IS NOT NULL GROUP BY station ORDER BY station");
  if (!stations.Ok()) return Failure(stations);
  for (int row = 0; row < stations.Rows(); ++row) {
    StationStatus s;
    s.station = stations.Text(row, 0);
    s.claimed = stations.Int(row, 1);
    s.burned = stations.Int(row, 2);
    s.running = stations.Bool(row, 3);
    s.lastBurnMs = stations.OptionalInt(row, 4);
    s.lastBurnSerial = stations.OptionalText(row, 5).value_or("");
    status.stations.push_back(std::move(s));
  }
  return status;
}

std::variant<std::vector<BurnedSeed>, std::string> PoolAdmin::Burned(const PoolKey& key,
                                                                     std::optional<int64_t> sinceMs) {
  Params params;
  if (sinceMs) {
    params.Int(*sinceMs);
  } else {
    params.Null();
  }
  Result rows = m_connection->Exec(
      "SELECT id, serial, origin, sealed, secret_mac, algorithm, time_window, display_time, coalesce(upn, ''), "
      "station, " +
          MillisecondsSql("burned_at") +
          " FROM orvex_pool.seed WHERE state = 'burned' "
          "AND ($1::bigint IS NULL OR burned_at >= to_timestamp($1::bigint / 1000.0)) ORDER BY burned_at, id",
      params);
  if (!rows.Ok()) return Failure(rows);
  std::vector<BurnedSeed> burned;
  burned.reserve(static_cast<std::size_t>(rows.Rows()));
  for (int row = 0; row < rows.Rows(); ++row) {
    BurnedSeed b;
    b.id = rows.Int(row, 0);
    b.serial = rows.Text(row, 1);
    const Bytes mac = rows.Bytes(row, 4);
    const bool fromFile = rows.Text(row, 2) == "file";
    std::optional<SecretBytes> secret =
        key.Unseal(rows.Bytes(row, 3), RowAssociatedData(mac, fromFile ? std::optional<std::string>(b.serial) : std::nullopt));
    if (!secret || key.SecretMac(secret->bytes) != mac) {
      return "row " + std::to_string(b.id) + " (serial " + b.serial +
             ") does not open with the pool key: it was changed in the database; nothing is exported";
    }
    b.secret = std::move(*secret);
    b.algorithm = rows.Text(row, 5);
    b.timeWindow = static_cast<int>(rows.Int(row, 6));
    b.displayTime = static_cast<int>(rows.Int(row, 7));
    b.upn = rows.Text(row, 8);
    b.station = rows.Text(row, 9);
    b.burnedAtMs = rows.Int(row, 10);
    burned.push_back(std::move(b));
  }
  return burned;
}

std::variant<std::vector<StaleClaim>, std::string> PoolAdmin::StaleClaims() {
  Result rows = m_connection->Exec("SELECT id, serial, station, coalesce(reader, ''), " +
                                   MillisecondsSql("claimed_at") +
                                   " FROM orvex_pool.seed WHERE state = 'claimed' "
                                   "AND NOT orvex_pool.station_running(station) ORDER BY claimed_at, id");
  if (!rows.Ok()) return Failure(rows);
  std::vector<StaleClaim> claims;
  for (int row = 0; row < rows.Rows(); ++row) {
    claims.push_back({rows.Int(row, 0), rows.Text(row, 1), rows.Text(row, 2), rows.Text(row, 3), rows.Int(row, 4)});
  }
  return claims;
}

std::optional<std::string> PoolAdmin::Void(const std::string& serial) {
  const auto abort = [&](std::string why) {
    m_connection->Exec("ROLLBACK");
    return std::optional<std::string>(std::move(why));
  };
  Result begin = m_connection->Exec("BEGIN");
  if (!begin.Ok()) return Failure(begin);
  Result row = m_connection->Exec("SELECT id, state, station FROM orvex_pool.seed WHERE serial = $1 FOR UPDATE",
                                  Params().Text(serial));
  if (!row.Ok()) return abort(Failure(row));
  if (row.Rows() == 0) return abort("serial " + serial + " is not in the pool");
  const std::string state = row.Text(0, 1);
  if (state != "claimed") {
    return abort("serial " + serial + " is " + state + ", not claimed: only a claim whose station is not running is voided");
  }
  const std::string station = row.Text(0, 2);
  // Held to the end of the transaction: the station cannot start a run and
  // burn this claim while it is being voided.
  Result lock = m_connection->Exec("SELECT pg_try_advisory_xact_lock($1, hashtext($2))",
                                   Params().Int(kStationLockClass).Text(station));
  if (!lock.Ok()) return abort(Failure(lock));
  if (!lock.Bool(0, 0)) {
    return abort("serial " + serial + " is claimed by station " + station +
                 ", which is running: lay the token there to finish its burn");
  }
  Result update = m_connection->Exec("UPDATE orvex_pool.seed SET state = 'void', voided_at = now() WHERE id = $1",
                                     Params().Int(row.Int(0, 0)));
  if (!update.Ok()) return abort(Failure(update));
  Result commit = m_connection->Exec("COMMIT");
  if (!commit.Ok()) return Failure(commit);
  return std::nullopt;
}

}  // namespace pool
