// SPDX-License-Identifier: Apache-2.0
#include "daemon/postgresql_connection.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace talvenix::daemon {

int64_t PgResult::Int(int row, int column) const {
  const char* text = PQgetvalue(result_.get(), row, column);
  int64_t value = 0;
  std::from_chars(text, text + std::strlen(text), value);
  return value;
}

int64_t PgResult::Changed() const {
  const char* text = PQcmdTuples(result_.get());
  int64_t value = 0;
  std::from_chars(text, text + std::strlen(text), value);
  return value;
}

PGconn* PgConnection::Ensure() {
  if (conn_ != nullptr) return conn_;
  // Settings before the caller's connection string, so that it may change
  // them: a server that never answers is given up after 5 s, and one that
  // vanished mid-session is noticed within about 20 s.
  const char* keywords[] = {"connect_timeout",
                            "keepalives_idle",
                            "keepalives_interval",
                            "keepalives_count",
                            "application_name",
                            "dbname",
                            nullptr};
  const char* values[] = {"5", "10", "5", "2", "talvenixd", conninfo_.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string why = conn ? PQerrorMessage(conn) : "no memory";
    PQfinish(conn);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    throw StorageError("PostgreSQL: " + why);
  }
  conn_ = conn;
  // Notices ("already exists, skipping") are not the daemon's to print.
  Exec("SELECT set_config('talvenix.daemon', $1, false), set_config('client_min_messages', 'warning', false)",
       {Pg(daemon_)});
  return conn_;
}

void PgConnection::Close() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
}

void PgConnection::Fail(PGresult* result, const char* sql) {
  std::string why = result ? PQresultErrorMessage(result) : "";
  if (why.empty() && conn_) why = PQerrorMessage(conn_);
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string sqlstate = state ? state : "";
  PQclear(result);
  // Lost connections (class 08), a server shutting down or starting
  // (57P01-57P03), one out of resources (53) and a transaction the server
  // chose to end (40: serialisation, deadlock) may all succeed later.
  const bool lost = conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK;
  if (lost) Close();
  if (lost || sqlstate.rfind("08", 0) == 0 || sqlstate.rfind("57P", 0) == 0 || sqlstate.rfind("53", 0) == 0 ||
      sqlstate.rfind("40", 0) == 0)
    throw StorageError("PostgreSQL: " + why);
  throw std::runtime_error("PostgreSQL: " + why + " (in " + std::string(sql).substr(0, 80) + ")");
}

PgResult PgConnection::Exec(const char* sql, std::initializer_list<PgValue> params) {
  PGconn* conn = Ensure();
  std::vector<const char*> values;
  for (const PgValue& p : params) values.push_back(p ? p->c_str() : nullptr);
  PGresult* result =
      PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(result, sql);
  return PgResult(result);
}

void PgConnection::ExecScript(const char* sql) {
  PGconn* conn = Ensure();
  PGresult* result = PQexec(conn, sql);
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(result, sql);
  PQclear(result);
}

}  // namespace talvenix::daemon
