// libpq calls, each result looked at.
#include "pool_db.h"

#include <cstdlib>
#include <cstring>

namespace pool {
namespace {

std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

}  // namespace

Params& Params::Text(std::string value) {
  m_values.emplace_back(std::move(value));
  m_formats.push_back(0);
  return *this;
}

Params& Params::Int(int64_t value) { return Text(std::to_string(value)); }

Params& Params::Bytes(const pool::Bytes& value) {
  m_values.emplace_back(std::string(value.begin(), value.end()));
  m_formats.push_back(1);
  return *this;
}

Params& Params::Null() {
  m_values.emplace_back(std::nullopt);
  m_formats.push_back(0);
  return *this;
}

std::vector<const char*> Params::Values() const {
  std::vector<const char*> values;
  for (const auto& v : m_values) values.push_back(v ? v->data() : nullptr);
  return values;
}

std::vector<int> Params::Lengths() const {
  std::vector<int> lengths;
  for (const auto& v : m_values) lengths.push_back(v ? static_cast<int>(v->size()) : 0);
  return lengths;
}

std::vector<int> Params::Formats() const { return m_formats; }

bool Result::Ok() const {
  if (!m_result) return false;
  const ExecStatusType status = PQresultStatus(m_result.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_COPY_IN;
}

std::string Result::Text(int row, int column) const {
  return std::string(PQgetvalue(m_result.get(), row, column),
                     static_cast<std::size_t>(PQgetlength(m_result.get(), row, column)));
}

std::optional<std::string> Result::OptionalText(int row, int column) const {
  if (IsNull(row, column)) return std::nullopt;
  return Text(row, column);
}

int64_t Result::Int(int row, int column) const { return std::strtoll(PQgetvalue(m_result.get(), row, column), nullptr, 10); }

std::optional<int64_t> Result::OptionalInt(int row, int column) const {
  if (IsNull(row, column)) return std::nullopt;
  return Int(row, column);
}

Bytes Result::Bytes(int row, int column) const {
  size_t length = 0;
  unsigned char* raw =
      PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(m_result.get(), row, column)), &length);
  if (raw == nullptr) return {};
  pool::Bytes bytes(raw, raw + length);
  PQfreemem(raw);
  return bytes;
}

std::string Result::SqlState() const {
  if (!m_result) return {};
  const char* state = PQresultErrorField(m_result.get(), PG_DIAG_SQLSTATE);
  return state ? state : "";
}

std::string Result::Error() const {
  if (!m_result) return {};
  const char* primary = PQresultErrorField(m_result.get(), PG_DIAG_MESSAGE_PRIMARY);
  if (primary != nullptr) return OneLine(primary);
  return OneLine(PQresultErrorMessage(m_result.get()));
}

std::variant<std::unique_ptr<Connection>, std::string> Connection::Open(const std::string& conninfo) {
  const std::string timeout = std::to_string(kConnectTimeoutSeconds);
  // The string's own settings come after the defaults and so win over them.
  // Keepalives tell a dead peer on a network that drops the link silently.
  const char* keywords[] = {"connect_timeout", "application_name", "keepalives", "keepalives_idle",
                            "keepalives_interval", "keepalives_count", "dbname", nullptr};
  const char* values[] = {timeout.c_str(), "orvex-zerazaduzu", "1", "10", "5", "3",
                          conninfo.empty() ? nullptr : conninfo.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) return std::string("cannot allocate a database connection");
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string why = OneLine(PQerrorMessage(conn));
    PQfinish(conn);
    return why;
  }
  std::unique_ptr<Connection> made(new Connection(conn));
  // A statement that waits longer than this is stuck behind something; its
  // caller says so instead of hanging the worker.
  Result set = made->Exec("SET statement_timeout = '10s'; SET client_min_messages = warning");
  if (!set.Ok()) return FailureText(*made, set);
  return made;
}

Connection::~Connection() { PQfinish(m_conn); }

Result Connection::Exec(const std::string& sql) { return Result(PQexec(m_conn, sql.c_str())); }

Result Connection::Exec(const std::string& sql, const Params& params) {
  const std::vector<const char*> values = params.Values();
  const std::vector<int> lengths = params.Lengths();
  const std::vector<int> formats = params.Formats();
  return Result(PQexecParams(m_conn, sql.c_str(), params.Count(), nullptr, values.data(), lengths.data(),
                             formats.data(), 0));
}

std::string Connection::LastError() const { return OneLine(PQerrorMessage(m_conn)); }

std::string Connection::Literal(const std::string& value) const {
  char* quoted = PQescapeLiteral(m_conn, value.data(), value.size());
  // Only an allocation failure or text invalid in the connection's encoding
  // gets here: NULL then refuses the statement instead of passing the value.
  if (quoted == nullptr) return "NULL";
  std::string literal(quoted);
  PQfreemem(quoted);
  return literal;
}

bool OutOfReach(const Connection& connection, const Result& result) {
  if (connection.Broken() || result.Get() == nullptr) return true;
  const std::string state = result.SqlState();
  if (state.empty()) return PQresultStatus(result.Get()) == PGRES_FATAL_ERROR && connection.Broken();
  // 08: connection exceptions; 57: the server shut down or the statement was
  // cancelled (a timeout); 53: out of resources (connections, memory, disk).
  return state.compare(0, 2, "08") == 0 || state.compare(0, 2, "57") == 0 || state.compare(0, 2, "53") == 0;
}

std::string FailureText(const Connection& connection, const Result& result) {
  std::string text = result.Error();
  if (text.empty()) text = connection.LastError();
  if (text.empty()) text = "no answer from the database";
  return text;
}

std::string MillisecondsSql(const std::string& column) {
  return "(extract(epoch FROM " + column + ") * 1000)::bigint";
}

}  // namespace pool
