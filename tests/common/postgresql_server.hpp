// SPDX-License-Identifier: Apache-2.0
#pragma once
// A PostgreSQL 15 server of a test's own: initdb and pg_ctl into a
// temporary folder, on a free loopback port, run as an unprivileged user
// when the test runs as root (the server refuses root). One per test
// program, a fresh database per test. Available() is false, with why,
// when Debian's postgresql-15 is not installed.

#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/free_port.hpp"
#include "common/temp_folder.hpp"

namespace talvenix::testing {

class PostgresqlServer {
 public:
  static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

  static bool Installed() { return std::filesystem::exists(std::string(kBin) + "/pg_ctl"); }
  // The program's server, started on first use; null (with `why`) when it
  // cannot be: a test skips when it is not Installed(), and fails otherwise.
  static PostgresqlServer* Shared(std::string& why) {
    static std::string failure;
    static std::unique_ptr<PostgresqlServer> server = [] {
      std::unique_ptr<PostgresqlServer> s;
      if (!Installed()) {
        failure =
            std::string("PostgreSQL 15 is not installed (no ") + kBin + "/pg_ctl): scripts/deps tests installs it";
        return s;
      }
      try {
        s = std::make_unique<PostgresqlServer>();
      } catch (const std::exception& e) {
        failure = e.what();
      }
      return s;
    }();
    why = failure;
    return server.get();
  }

  // Tests run without fsync; `durable` keeps it, for figures of real commits.
  explicit PostgresqlServer(bool durable = false) : port_(FreeLoopbackPort()), durable_(durable) {
    std::string as_user;
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (!nobody) throw std::runtime_error("no user nobody to run PostgreSQL as");
      if (chown(folder_.path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0)
        throw std::runtime_error("cannot give the server's folder to nobody");
      as_user = "runuser -u nobody -- ";
    }
    run_ = as_user;
    Run(run_ + kBin + "/initdb -D " + Data() + " -U talvenix --auth=trust -E UTF8 --no-sync -N >" +
        folder_.File("initdb.log") + " 2>&1");
    Start();
  }
  ~PostgresqlServer() {
    std::system((run_ + kBin + "/pg_ctl -D " + Data() + " -m immediate stop >/dev/null 2>&1").c_str());
  }

  void Start() {
    Run(run_ + kBin + "/pg_ctl -D " + Data() + " -l " + folder_.File("server.log") + " -w -t 60 -o '-p " +
        std::to_string(port_) + " -k " + folder_.path().string() +
        " -c listen_addresses=127.0.0.1 -c max_connections=200" + (durable_ ? "" : " -c fsync=off") +
        "' start >/dev/null");
  }
  // As a crash would: the server ends at once, without a checkpoint.
  void Kill() { Run(run_ + kBin + "/pg_ctl -D " + Data() + " -m immediate stop >/dev/null"); }

  // A fresh database; returns its connection string.
  std::string NewDatabase() {
    const std::string name = "t" + std::to_string(++databases_) + "_" + std::to_string(getpid());
    PGconn* c = PQconnectdb(Connection("postgres").c_str());
    PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
    const bool made = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string why = PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    if (!made) throw std::runtime_error("CREATE DATABASE failed: " + why);
    return Connection(name);
  }
  std::string Connection(const std::string& database) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " user=talvenix dbname=" + database;
  }
  int port() const { return port_; }

 private:
  std::string Data() const { return folder_.File("data"); }
  void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
      std::string log = folder_.Read("initdb.log") + folder_.Read("server.log");
      throw std::runtime_error("'" + command + "' failed: " + log.substr(log.size() > 2000 ? log.size() - 2000 : 0));
    }
  }

  TempFolder folder_{"pg"};
  int port_;
  bool durable_;
  std::string run_;
  int databases_ = 0;
};

// One number a query yields, or -1.
inline int64_t PgCount(const std::string& connection, const std::string& sql) {
  PGconn* c = PQconnectdb(connection.c_str());
  PGresult* r = PQexec(c, sql.c_str());
  int64_t n = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
  PQclear(r);
  PQfinish(c);
  return n;
}

}  // namespace talvenix::testing
