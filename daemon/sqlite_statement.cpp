// SPDX-License-Identifier: Apache-2.0
#include "daemon/sqlite_statement.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace talvenix::daemon {

bool IsStorageCode(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_PROTOCOL:
    case SQLITE_NOLFS:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void Fail(sqlite3* db, const std::string& what, const char* message) {
  std::string text = what + ": " + (message ? message : sqlite3_errmsg(db));
  if (IsStorageCode(sqlite3_extended_errcode(db))) throw StorageError(text);
  throw std::runtime_error(text);
}

void SqliteConnection::Close() {
  for (auto& [sql, statement] : statements) sqlite3_finalize(statement);
  statements.clear();
  sqlite3_close(db);
  db = nullptr;
}

// The queue holds texts and numbers: its files are the owner's alone. SQLite
// gives the WAL and shared-memory files the database file's mode, so the
// database file is made (or tightened) first.
void MakeDatabasePrivate(const std::string& path) {
  for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | (file == path ? O_CREAT : 0), 0600);
    if (fd < 0) {
      if (errno == ENOENT && file != path) continue;
      throw std::runtime_error(file + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) fchmod(fd, st.st_mode & 0700);
    close(fd);
  }
}

sqlite3* OpenDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    std::string why = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw std::runtime_error(path + ": " + why);
  }
  sqlite3_busy_timeout(db, 10000);
  return db;
}

void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string why = message ? message : "failed";
    sqlite3_free(message);
    Fail(db, sql, why.c_str());
  }
}

}  // namespace talvenix::daemon
