// The one seam to libpq: a connection, its results, and how a failure is
// judged (the database out of reach, or a refusal of the statement).
#pragma once
#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pool_crypto.h"

namespace pool {

// The first key of every advisory lock the pool takes; the second is the
// hash of the station's name.
inline constexpr int32_t kStationLockClass = 0x4F5A5031;  // "OZP1"
// How long a connection attempt may take: a worker that cannot reach the
// database gives up soon and journals what it has.
inline constexpr int kConnectTimeoutSeconds = 2;

// Parameters of one statement: text, or bytes sent in binary (bytea).
class Params {
 public:
  Params& Text(std::string value);
  Params& Int(int64_t value);
  Params& Bytes(const pool::Bytes& value);
  Params& Null();
  Params& Optional(const std::optional<std::string>& value) { return value ? Text(*value) : Null(); }

  int Count() const { return static_cast<int>(m_values.size()); }
  std::vector<const char*> Values() const;
  std::vector<int> Lengths() const;
  std::vector<int> Formats() const;

 private:
  std::vector<std::optional<std::string>> m_values;
  std::vector<int> m_formats;
};

class Result {
 public:
  explicit Result(PGresult* result) : m_result(result, PQclear) {}
  bool Ok() const;  // a command done or rows returned
  int Rows() const { return m_result ? PQntuples(m_result.get()) : 0; }
  bool IsNull(int row, int column) const { return PQgetisnull(m_result.get(), row, column) != 0; }
  std::string Text(int row, int column) const;
  std::optional<std::string> OptionalText(int row, int column) const;
  int64_t Int(int row, int column) const;
  std::optional<int64_t> OptionalInt(int row, int column) const;
  bool Bool(int row, int column) const { return Text(row, column) == "t"; }
  pool::Bytes Bytes(int row, int column) const;  // a bytea column in text form
  std::string SqlState() const;
  std::string Error() const;  // the server's primary message, one line
  PGresult* Get() const { return m_result.get(); }

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> m_result;
};

class Connection {
 public:
  // conninfo: a libpq connection string or URI; empty takes the PG*
  // environment variables. The attempt gives up after kConnectTimeoutSeconds
  // unless the string says otherwise.
  static std::variant<std::unique_ptr<Connection>, std::string> Open(const std::string& conninfo);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // One or more statements in one round trip (the simple query protocol):
  // the last one's result. Values go in through Literal().
  Result Exec(const std::string& sql);
  Result Exec(const std::string& sql, const Params& params);
  // The statement's failure, if any, in words; nothing when it went through.
  // A failure that lost the connection leaves it Broken().
  bool Broken() const { return PQstatus(m_conn) != CONNECTION_OK; }
  // The connection's own last error, one line (after a failed connect or a
  // lost link, where no result says why).
  std::string LastError() const;
  // A value as an SQL literal, quoted and escaped for this connection.
  std::string Literal(const std::string& value) const;
  int BackendPid() const { return PQbackendPID(m_conn); }
  PGconn* Get() const { return m_conn; }

 private:
  explicit Connection(PGconn* conn) : m_conn(conn) {}
  PGconn* m_conn;
};

// Whether a failed statement says the database is out of reach or was not
// able to answer (the connection lost, the server shutting down, a timeout,
// no room for another session): its outcome belongs in the journal. Any other
// failure is a refusal that a retry would meet again.
bool OutOfReach(const Connection& connection, const Result& result);

// The failure of a statement in one line: the server's message, or the
// connection's when there was no answer.
std::string FailureText(const Connection& connection, const Result& result);

// A timestamp of the pool (timestamptz in text) as milliseconds since the
// epoch, read by the server: the client's own time zone plays no part.
std::string MillisecondsSql(const std::string& column);

}  // namespace pool
