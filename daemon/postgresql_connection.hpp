// SPDX-License-Identifier: Apache-2.0
#pragma once
// PostgreSQL as the queue uses it (libpq): a connection made on first use
// and made again after it was lost, statements with their parameters as
// text, and failures told apart: the server out of reach or shutting down
// (a StorageError, which trying again later may mend) from a statement's own.

#include <libpq-fe.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "daemon/storage_error.hpp"

namespace talvenix::daemon {

// A parameter as PostgreSQL reads it: text, or NULL.
using PgValue = std::optional<std::string>;
inline PgValue Pg(const std::string& text) { return text; }
inline PgValue Pg(const char* text) { return std::string(text); }
inline PgValue Pg(int64_t number) { return std::to_string(number); }
inline PgValue Pg(int number) { return std::to_string(number); }
inline PgValue Pg(uint32_t number) { return std::to_string(number); }
inline PgValue Pg(std::optional<int64_t> number) { return number ? Pg(*number) : std::nullopt; }

class PgResult {
 public:
  explicit PgResult(PGresult* result) : result_(result, PQclear) {}
  int Rows() const { return PQntuples(result_.get()); }
  bool IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column), PQgetlength(result_.get(), row, column));
  }
  int64_t Int(int row, int column) const;
  // The rows a change touched.
  int64_t Changed() const;

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> result_;
};

class PgConnection {
 public:
  // `conninfo`: a libpq connection string or URI. `daemon` names the
  // session, so that the triggers count its changes apart.
  PgConnection(std::string conninfo, std::string daemon) : conninfo_(std::move(conninfo)), daemon_(std::move(daemon)) {}
  ~PgConnection() { Close(); }
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Connects unless connected; throws StorageError when the server is out of reach.
  PGconn* Ensure();
  // Runs one statement with its parameters ($1, $2, ...).
  PgResult Exec(const char* sql, std::initializer_list<PgValue> params = {});
  // Runs statements without parameters, several at once.
  void ExecScript(const char* sql);
  // True once a failure showed the connection lost: the next use makes it again.
  bool Lost() const { return conn_ == nullptr; }
  void Close();
  PGconn* raw() { return conn_; }

 private:
  [[noreturn]] void Fail(PGresult* result, const char* sql);
  std::string conninfo_, daemon_;
  PGconn* conn_ = nullptr;
};

}  // namespace talvenix::daemon
