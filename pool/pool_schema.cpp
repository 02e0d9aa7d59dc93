// The pool's SQL. The rules that must hold whatever a program does are the
// database's own: one row per serial, one row per secret, the states, and
// what a burned row must carry.
#include "pool_schema.h"

#include <string>

namespace pool {
namespace {

const char* const kTables = R"sql(
CREATE SCHEMA IF NOT EXISTS orvex_pool;
CREATE TABLE IF NOT EXISTS orvex_pool.meta (
  one boolean PRIMARY KEY DEFAULT true CHECK (one),
  schema_version integer NOT NULL,
  key_check bytea NOT NULL,
  created_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS orvex_pool.seed (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  -- 'file': loaded for a serial from a seed file; 'generated': made in
  -- advance, its serial set when a token claims it.
  origin text NOT NULL CHECK (origin IN ('file', 'generated')),
  serial text UNIQUE,
  -- AES-256-GCM under the pool key: nonce, ciphertext, tag.
  sealed bytea NOT NULL,
  -- HMAC-SHA256 of the secret under a key of the pool key's: a secret is in
  -- the pool once.
  secret_mac bytea NOT NULL UNIQUE CHECK (length(secret_mac) = 32),
  state text NOT NULL DEFAULT 'free' CHECK (state IN ('free', 'claimed', 'burned', 'void')),
  file_algorithm text CHECK (file_algorithm IN ('SHA1', 'SHA256')),
  file_time_window integer CHECK (file_time_window IN (30, 60)),
  loaded_at timestamptz NOT NULL DEFAULT now(),
  station text,
  reader text,
  operator text,
  claimed_at timestamptz,
  time_window integer CHECK (time_window IN (30, 60)),
  algorithm text CHECK (algorithm IN ('SHA1', 'SHA256')),
  display_time integer,
  upn text,
  burned_at timestamptz,
  voided_at timestamptz,
  CHECK (origin = 'generated' OR serial IS NOT NULL),
  CHECK (state = 'free' OR serial IS NOT NULL),
  CHECK (state <> 'free' OR (station IS NULL AND claimed_at IS NULL)),
  CHECK (state <> 'claimed' OR (station IS NOT NULL AND claimed_at IS NOT NULL)),
  CHECK (state <> 'burned' OR (station IS NOT NULL AND burned_at IS NOT NULL AND time_window IS NOT NULL
                               AND algorithm IS NOT NULL AND display_time IS NOT NULL)),
  CHECK (state <> 'void' OR voided_at IS NOT NULL)
);
-- The next secret for a new serial: the lowest free row without one.
CREATE INDEX IF NOT EXISTS seed_free_generated ON orvex_pool.seed (id) WHERE state = 'free' AND serial IS NULL;
CREATE INDEX IF NOT EXISTS seed_burned ON orvex_pool.seed (burned_at, id) WHERE state = 'burned';
CREATE INDEX IF NOT EXISTS seed_claimed ON orvex_pool.seed (station) WHERE state = 'claimed';
)sql";

// Whether a station's run holds its lock: a session lock on
// (kStationLockClass, hashtext(station)) in this database (advisory locks
// are a database's own), seen in pg_locks.
const char* const kFunctions = R"sql(
CREATE OR REPLACE FUNCTION orvex_pool.station_running(p_station text) RETURNS boolean
LANGUAGE sql STABLE AS $fn$
  SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_locks l
                 WHERE l.locktype = 'advisory' AND l.classid = 1331318833::oid
                   AND l.objid = hashtext(p_station)::oid AND l.objsubid = 2 AND l.granted
                   AND l.database = (SELECT d.oid FROM pg_catalog.pg_database d
                                     WHERE d.datname = current_database()))
$fn$;

-- The claim of a secret for a token, in one round trip. Outcomes: claimed,
-- resumed (this station's own claim), taken (from a station without its
-- lock), burned, void, live (claimed by a running station), nofree, nolock
-- (the caller's own lock connection does not hold the station's lock).
CREATE OR REPLACE FUNCTION orvex_pool.claim(p_serial text, p_station text, p_reader text, p_operator text,
                                            p_lock_pid integer)
RETURNS TABLE (outcome text, id bigint, origin text, sealed bytea, secret_mac bytea, file_algorithm text,
               file_time_window integer, other_station text, at_ms bigint)
LANGUAGE plpgsql AS $fn$
#variable_conflict use_column
DECLARE
  r orvex_pool.seed%ROWTYPE;
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_locks l
                 WHERE l.locktype = 'advisory' AND l.classid = 1331318833::oid
                   AND l.objid = hashtext(p_station)::oid AND l.objsubid = 2 AND l.granted
                   AND l.pid = p_lock_pid) THEN
    RETURN QUERY SELECT 'nolock'::text, NULL::bigint, NULL::text, NULL::bytea, NULL::bytea, NULL::text,
                        NULL::integer, NULL::text, NULL::bigint;
    RETURN;
  END IF;
  -- Claims of one serial follow each other: two at once would each give it a
  -- generated row and wait on the other's unique entry, a deadlock.
  PERFORM pg_advisory_xact_lock(1331318834, hashtext(p_serial));
  -- Another round only after another station gave this serial a row at the
  -- same moment: that row then decides.
  FOR attempt IN 1..3 LOOP
    SELECT s.* INTO r FROM orvex_pool.seed s WHERE s.serial = p_serial FOR UPDATE;
    IF FOUND THEN
      IF r.state = 'burned' THEN
        RETURN QUERY SELECT 'burned'::text, r.id, r.origin, NULL::bytea, NULL::bytea, NULL::text, NULL::integer,
                            r.station, (extract(epoch FROM r.burned_at) * 1000)::bigint;
        RETURN;
      ELSIF r.state = 'void' THEN
        RETURN QUERY SELECT 'void'::text, r.id, r.origin, NULL::bytea, NULL::bytea, NULL::text, NULL::integer,
                            r.station, (extract(epoch FROM r.voided_at) * 1000)::bigint;
        RETURN;
      ELSIF r.state = 'claimed' AND r.station <> p_station
            AND NOT pg_try_advisory_xact_lock(1331318833, hashtext(r.station)) THEN
        RETURN QUERY SELECT 'live'::text, r.id, r.origin, NULL::bytea, NULL::bytea, NULL::text, NULL::integer,
                            r.station, (extract(epoch FROM r.claimed_at) * 1000)::bigint;
        RETURN;
      END IF;
      UPDATE orvex_pool.seed s SET state = 'claimed', station = p_station, reader = p_reader,
                                   operator = p_operator, claimed_at = now()
        WHERE s.id = r.id;
      RETURN QUERY SELECT CASE WHEN r.state = 'free' THEN 'claimed'
                               WHEN r.station = p_station THEN 'resumed' ELSE 'taken' END,
                          r.id, r.origin, r.sealed, r.secret_mac, r.file_algorithm, r.file_time_window,
                          CASE WHEN r.state = 'free' THEN NULL ELSE r.station END, NULL::bigint;
      RETURN;
    END IF;
    SELECT s.* INTO r FROM orvex_pool.seed s WHERE s.state = 'free' AND s.serial IS NULL
      ORDER BY s.id LIMIT 1 FOR UPDATE SKIP LOCKED;
    IF NOT FOUND THEN
      -- Every free row is held by a claim under way, which may yet leave it
      -- free (another station's claim of the same serial): wait for them.
      SELECT s.* INTO r FROM orvex_pool.seed s WHERE s.state = 'free' AND s.serial IS NULL
        ORDER BY s.id LIMIT 1 FOR UPDATE;
    END IF;
    IF NOT FOUND THEN
      -- The row waited for may have gone to this very serial, claimed by
      -- another station: that row decides.
      IF EXISTS (SELECT 1 FROM orvex_pool.seed s WHERE s.serial = p_serial) THEN
        CONTINUE;
      END IF;
      RETURN QUERY SELECT 'nofree'::text, NULL::bigint, NULL::text, NULL::bytea, NULL::bytea, NULL::text,
                          NULL::integer, NULL::text, NULL::bigint;
      RETURN;
    END IF;
    BEGIN
      UPDATE orvex_pool.seed s SET serial = p_serial, state = 'claimed', station = p_station, reader = p_reader,
                                   operator = p_operator, claimed_at = now()
        WHERE s.id = r.id;
      RETURN QUERY SELECT 'claimed'::text, r.id, r.origin, r.sealed, r.secret_mac, r.file_algorithm,
                          r.file_time_window, NULL::text, NULL::bigint;
      RETURN;
    EXCEPTION WHEN unique_violation THEN
      NULL;  -- the serial has a row now: the next round reads it
    END;
  END LOOP;
  RAISE EXCEPTION 'serial % was given a secret twice at the same moment', p_serial;
END
$fn$;

-- A burn's record. Outcomes: booked; already (burned with this serial
-- before: the same booking again); refused (with the row's state and serial).
-- A void row takes the record too: its secret is on the token.
CREATE OR REPLACE FUNCTION orvex_pool.book_burn(p_id bigint, p_serial text, p_station text, p_reader text,
    p_operator text, p_algorithm text, p_time_window integer, p_display_time integer, p_upn text,
    p_burned_at_ms bigint)
RETURNS TABLE (outcome text, state text, serial text, station text)
LANGUAGE plpgsql AS $fn$
#variable_conflict use_column
DECLARE
  r orvex_pool.seed%ROWTYPE;
BEGIN
  UPDATE orvex_pool.seed s SET state = 'burned', station = p_station, reader = p_reader, operator = p_operator,
                               algorithm = p_algorithm, time_window = p_time_window,
                               display_time = p_display_time, upn = p_upn,
                               burned_at = to_timestamp(p_burned_at_ms / 1000.0),
                               claimed_at = coalesce(s.claimed_at, now())
    WHERE s.id = p_id AND s.serial = p_serial AND s.state IN ('claimed', 'void');
  IF FOUND THEN
    RETURN QUERY SELECT 'booked'::text, 'burned'::text, p_serial, p_station;
    RETURN;
  END IF;
  SELECT s.* INTO r FROM orvex_pool.seed s WHERE s.id = p_id;
  IF FOUND AND r.state = 'burned' AND r.serial = p_serial THEN
    RETURN QUERY SELECT 'already'::text, r.state, r.serial, r.station;
  ELSE
    RETURN QUERY SELECT 'refused'::text, r.state, r.serial, r.station;
  END IF;
END
$fn$;

-- A claim given back: the row is free again; a generated row loses the
-- serial. Outcomes: released; already (not this station's claim any more:
-- released, burned or taken over before).
CREATE OR REPLACE FUNCTION orvex_pool.release(p_id bigint, p_serial text, p_station text)
RETURNS text
LANGUAGE sql AS $fn$
  WITH freed AS (
    UPDATE orvex_pool.seed s
       SET state = 'free', serial = CASE WHEN s.origin = 'file' THEN s.serial END,
           station = NULL, reader = NULL, operator = NULL, claimed_at = NULL
     WHERE s.id = p_id AND s.serial = p_serial AND s.state = 'claimed' AND s.station = p_station
    RETURNING s.id)
  SELECT CASE WHEN EXISTS (SELECT 1 FROM freed) THEN 'released' ELSE 'already' END
$fn$;
)sql";

}  // namespace

std::optional<std::string> CreateSchema(Connection& connection, const PoolKey& key) {
  Result begin = connection.Exec("BEGIN");
  if (!begin.Ok()) return FailureText(connection, begin);
  const auto fail = [&](const Result& result) {
    std::string why = FailureText(connection, result);
    connection.Exec("ROLLBACK");
    return why;
  };
  // Two inits at once: the second waits here and then finds the first's pool.
  Result lock = connection.Exec("SELECT pg_advisory_xact_lock(1331318833, 0)");
  if (!lock.Ok()) return fail(lock);
  Result tables = connection.Exec(kTables);
  if (!tables.Ok()) return fail(tables);
  Result meta = connection.Exec("SELECT schema_version, key_check FROM orvex_pool.meta");
  if (!meta.Ok()) return fail(meta);
  if (meta.Rows() == 0) {
    Result insert = connection.Exec("INSERT INTO orvex_pool.meta (schema_version, key_check) VALUES ($1, $2)",
                                    Params().Int(kSchemaVersion).Bytes(key.CheckValue()));
    if (!insert.Ok()) return fail(insert);
  } else {
    if (meta.Bytes(0, 1) != key.CheckValue()) {
      connection.Exec("ROLLBACK");
      return std::string("the pool was made with another pool key: this key file does not open it");
    }
    if (meta.Int(0, 0) > kSchemaVersion) {
      connection.Exec("ROLLBACK");
      return "the pool is of a newer version (" + meta.Text(0, 0) + ") than this program knows (" +
             std::to_string(kSchemaVersion) + ")";
    }
  }
  Result functions = connection.Exec(kFunctions);
  if (!functions.Ok()) return fail(functions);
  Result version = connection.Exec("UPDATE orvex_pool.meta SET schema_version = $1", Params().Int(kSchemaVersion));
  if (!version.Ok()) return fail(version);
  Result commit = connection.Exec("COMMIT");
  if (!commit.Ok()) return FailureText(connection, commit);
  return std::nullopt;
}

std::optional<std::string> CheckPool(Connection& connection, const PoolKey& key, bool* outOfReach) {
  *outOfReach = false;
  Result meta = connection.Exec("SELECT schema_version, key_check FROM orvex_pool.meta");
  if (!meta.Ok()) {
    if (OutOfReach(connection, meta)) {
      *outOfReach = true;
      return FailureText(connection, meta);
    }
    if (meta.SqlState() == "42P01" || meta.SqlState() == "3F000") {
      return std::string("the database holds no seed pool: run 'orvex-zerazaduzu-pool init' first");
    }
    return FailureText(connection, meta);
  }
  if (meta.Rows() == 0) return std::string("the database holds no seed pool: run 'orvex-zerazaduzu-pool init' first");
  if (meta.Int(0, 0) != kSchemaVersion) {
    return "the pool is of version " + meta.Text(0, 0) + ", this program knows version " +
           std::to_string(kSchemaVersion) + ": run 'orvex-zerazaduzu-pool init' with the newer program";
  }
  if (meta.Bytes(0, 1) != key.CheckValue()) {
    return std::string("the pool key does not open this pool (its check value differs): no secret is claimed with it");
  }
  return std::nullopt;
}

}  // namespace pool
