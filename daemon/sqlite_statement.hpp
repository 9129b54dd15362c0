// SPDX-License-Identifier: Apache-2.0
#pragma once
// SQLite as the queue uses it: connections that keep their statements
// prepared, statements bound and stepped, and failures told apart: one of
// the storage (a full disk, an I/O error), which writing again later may
// mend, from a statement's own.

#include <sqlite3.h>

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "daemon/storage_error.hpp"

namespace talvenix::daemon {

// A connection with the statements prepared on it.
struct SqliteConnection {
  sqlite3* db = nullptr;
  std::map<const char*, sqlite3_stmt*> statements;  // by the SQL text's address
  void Close();
};

bool IsStorageCode(int rc);
[[noreturn]] void Fail(sqlite3* db, const std::string& what, const char* message = nullptr);

class Statement {
 public:
  // Prepared once per connection and kept: preparing costs more than most
  // of the queue's statements take to run.
  Statement(SqliteConnection& c, const char* sql) : db_(c.db) {
    sqlite3_stmt*& kept = c.statements[sql];
    if (!kept && sqlite3_prepare_v3(c.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &kept, nullptr) != SQLITE_OK) {
      kept = nullptr;
      Fail(c.db, sql);
    }
    statement_ = kept;
  }
  ~Statement() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, const std::string& value) {
    sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int index, int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  Statement& Bind(int index, std::optional<int64_t> value) {
    if (value)
      sqlite3_bind_int64(statement_, index, *value);
    else
      sqlite3_bind_null(statement_, index);
    return *this;
  }
  // True while there is a row.
  bool Step() {
    int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail(db_, "step");
    return false;
  }
  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(statement_, column);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(statement_, column)) : "";
  }
  int64_t Int(int column) { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

// The queue holds texts and numbers: its files are the owner's alone.
// Makes the database file (or tightens it) before SQLite makes the others,
// which take its mode.
void MakeDatabasePrivate(const std::string& path);
// Opens (creating if need be) the file, waiting up to 10 s for a lock.
sqlite3* OpenDatabase(const std::string& path);
// Runs `sql`, which may be several statements; throws as Fail does.
void Exec(sqlite3* db, const char* sql);

}  // namespace talvenix::daemon
