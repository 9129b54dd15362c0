// SPDX-License-Identifier: Apache-2.0
// The queue's tables, indexes and triggers, and the upgrade of a file made
// by an older daemon.
#include <cstdio>

#include "daemon/queue_sqlite.hpp"

namespace talvenix::daemon {
namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS messages(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  id TEXT UNIQUE NOT NULL,
  recipient TEXT NOT NULL, body TEXT NOT NULL, sender TEXT NOT NULL, client_ref TEXT NOT NULL,
  callback_url TEXT NOT NULL, kannel_dlr_mask INTEGER NOT NULL,
  state TEXT NOT NULL, code INTEGER, code_name TEXT,
  settled_ms INTEGER,  -- when it reached sent, failed, unknown or expired; NULL while on its way
  parts INTEGER,  -- the SMS parts of its text; NULL when not known
  not_before_ms INTEGER NOT NULL DEFAULT 0, expires_ms INTEGER, priority INTEGER NOT NULL DEFAULT 0,
  tenant TEXT NOT NULL DEFAULT 'default');
CREATE INDEX IF NOT EXISTS messages_by_state ON messages(state, seq);
CREATE TABLE IF NOT EXISTS message_events(
  message_seq INTEGER NOT NULL, at_ms INTEGER NOT NULL, state TEXT NOT NULL, code INTEGER, detail TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS message_events_by_message ON message_events(message_seq);
CREATE TABLE IF NOT EXISTS outcome_totals(
  state TEXT NOT NULL, code INTEGER NOT NULL, count INTEGER NOT NULL, PRIMARY KEY(state, code));
CREATE TABLE IF NOT EXISTS deleted_totals(what TEXT PRIMARY KEY, count INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS webhooks(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  event_id TEXT UNIQUE NOT NULL, message_seq INTEGER, method TEXT NOT NULL, url TEXT NOT NULL, body TEXT NOT NULL,
  created_ms INTEGER NOT NULL, next_ms INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0,
  state TEXT NOT NULL DEFAULT 'due', last_error TEXT);
CREATE INDEX IF NOT EXISTS webhooks_due ON webhooks(state, next_ms);
CREATE TABLE IF NOT EXISTS settled_boot(id TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS message_references(
  message_seq INTEGER NOT NULL, comport INTEGER NOT NULL, reference INTEGER NOT NULL, part INTEGER NOT NULL,
  parts INTEGER NOT NULL, recipient TEXT NOT NULL, at_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS message_references_by_reference ON message_references(comport, reference);
CREATE INDEX IF NOT EXISTS message_references_by_message ON message_references(message_seq);
)";

// What the status page and /metrics read, kept by triggers in the same
// transactions as the rows they count: a scrape reads a few rows, never the
// tables. Created on a queue from before them with the counts of its rows.
constexpr const char* kRunningCounts = R"(
CREATE TABLE running_counts(what TEXT PRIMARY KEY, count INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO running_counts SELECT 'messages.' || state, count(*) FROM messages GROUP BY state;
INSERT INTO running_counts SELECT 'webhooks.' || state, count(*) FROM webhooks GROUP BY state;
CREATE TABLE recent_errors(at_ms INTEGER NOT NULL, message_id TEXT NOT NULL, state TEXT NOT NULL, code INTEGER,
  detail TEXT NOT NULL);
INSERT INTO recent_errors SELECT * FROM (SELECT e.at_ms, m.id, e.state, e.code, e.detail FROM message_events e
  JOIN messages m ON m.seq=e.message_seq WHERE e.state IN ('failed','unknown','expired') ORDER BY e.rowid DESC LIMIT 10)
  ORDER BY 1;
DROP INDEX IF EXISTS message_events_errors;
)";
// Each table's rows per state: counted in on insert, moved on a change of
// state, counted out on delete.
constexpr const char* kCountTriggers = R"(
CREATE TRIGGER IF NOT EXISTS %1$s_counted_in AFTER INSERT ON %1$s BEGIN
  INSERT INTO running_counts VALUES('%1$s.' || NEW.state, 1) ON CONFLICT(what) DO UPDATE SET count=count+1;
END;
CREATE TRIGGER IF NOT EXISTS %1$s_counted_moved AFTER UPDATE OF state ON %1$s WHEN OLD.state IS NOT NEW.state BEGIN
  UPDATE running_counts SET count=count-1 WHERE what='%1$s.' || OLD.state;
  INSERT INTO running_counts VALUES('%1$s.' || NEW.state, 1) ON CONFLICT(what) DO UPDATE SET count=count+1;
END;
CREATE TRIGGER IF NOT EXISTS %1$s_counted_out AFTER DELETE ON %1$s BEGIN
  UPDATE running_counts SET count=count-1 WHERE what='%1$s.' || OLD.state;
END;
)";
// What each tenant's messages did, for its bill in /metrics; and what it
// had accepted each day, for its daily cap across restarts. A queue from
// before tenants starts the default tenant's totals from its rows.
constexpr const char* kTenantTotals = R"(
CREATE TABLE tenant_totals(tenant TEXT NOT NULL, what TEXT NOT NULL, count INTEGER NOT NULL,
  PRIMARY KEY(tenant, what)) WITHOUT ROWID;
INSERT INTO tenant_totals SELECT 'default', 'accepted', count(*) FROM messages;
INSERT INTO tenant_totals SELECT 'default', state, count(*) FROM messages
  WHERE state IN ('sent','failed','unknown','expired') GROUP BY state;
INSERT INTO tenant_totals SELECT 'default', 'parts_sent', sum(coalesce(parts, 1)) FROM messages WHERE state='sent'
  HAVING count(*) > 0;
CREATE TABLE tenant_days(tenant TEXT NOT NULL, day INTEGER NOT NULL, accepted INTEGER NOT NULL,
  PRIMARY KEY(tenant, day)) WITHOUT ROWID;
)";
constexpr const char* kTenantTriggers = R"(
CREATE TRIGGER IF NOT EXISTS tenant_counted_in AFTER INSERT ON messages BEGIN
  INSERT INTO tenant_totals VALUES(NEW.tenant, 'accepted', 1) ON CONFLICT DO UPDATE SET count=count+1;
END;
CREATE TRIGGER IF NOT EXISTS tenant_settled AFTER UPDATE OF state ON messages
WHEN OLD.state IS NOT NEW.state AND NEW.state IN ('sent','failed','unknown','expired') BEGIN
  INSERT INTO tenant_totals VALUES(NEW.tenant, NEW.state, 1) ON CONFLICT DO UPDATE SET count=count+1;
  INSERT INTO tenant_totals SELECT NEW.tenant, 'parts_sent', coalesce(NEW.parts, 1) WHERE NEW.state='sent'
    ON CONFLICT DO UPDATE SET count=count+excluded.count;
END;
)";
constexpr const char* kErrorTrigger = R"(
CREATE TRIGGER IF NOT EXISTS errors_kept AFTER INSERT ON message_events
WHEN NEW.state IN ('failed','unknown','expired') BEGIN
  INSERT INTO recent_errors VALUES(NEW.at_ms, (SELECT id FROM messages WHERE seq=NEW.message_seq), NEW.state, NEW.code,
    NEW.detail);
  DELETE FROM recent_errors WHERE rowid <= (SELECT max(rowid) FROM recent_errors) - 10;
END;
)";

// Columns added since the first schema, as a database from before gets them.
constexpr std::pair<const char*, const char*> kAddedColumns[] = {
    {"parts", "INTEGER"},
    {"not_before_ms", "INTEGER NOT NULL DEFAULT 0"},
    {"expires_ms", "INTEGER"},
    {"priority", "INTEGER NOT NULL DEFAULT 0"},
    {"tenant", "TEXT NOT NULL DEFAULT 'default'"},
};

}  // namespace

void SqliteQueue::CreateSchema() {
  CheckWhole();
  // WAL with a full sync on every commit: a committed batch survives a
  // power cut, and readers never wait for the writer. auto_vacuum takes
  // effect only before the first table: new databases can give pages freed
  // by retention back (ReclaimSpace). A statement that fires the counting
  // triggers keeps a statement journal: in memory, not in a temporary file
  // written for every message.
  Exec(writer_.db,
       "PRAGMA auto_vacuum=INCREMENTAL; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA temp_store=MEMORY;");
  Exec(writer_.db, kSchema);
  UpgradeSchema();
}

void SqliteQueue::CheckWhole() {
  // A damaged file would start "ready" and then refuse every message.
  std::string findings;
  try {
    Statement check(writer_, "PRAGMA quick_check(5)");
    while (check.Step())
      if (check.Text(0) != "ok") findings += (findings.empty() ? "" : "; ") + check.Text(0);
  } catch (const std::runtime_error&) {
    // Pages too damaged to be read are a finding too; a failing disk is not.
    const int code = sqlite3_extended_errcode(writer_.db) & 0xFF;
    if (code != SQLITE_CORRUPT && code != SQLITE_NOTADB) throw;
    findings = sqlite3_errmsg(writer_.db);
  }
  if (!findings.empty())
    throw std::runtime_error("the database is damaged (" + findings +
                             "): restore it from a backup, or move it aside to start with an empty queue");
}

void SqliteQueue::UpgradeSchema() {
  bool settled_column = false;
  {
    Statement column(writer_, "SELECT 1 FROM pragma_table_info('messages') WHERE name='settled_ms'");
    settled_column = column.Step();
  }
  // A database from before retention: settled messages take the time of their last event.
  if (!settled_column)
    Exec(writer_.db,
         "BEGIN IMMEDIATE; ALTER TABLE messages ADD COLUMN settled_ms INTEGER; "
         "UPDATE messages SET settled_ms=(SELECT max(at_ms) FROM message_events WHERE message_seq=seq) "
         "WHERE state IN ('sent','failed','unknown'); COMMIT");
  for (const auto& [name, type] : kAddedColumns) {
    Statement column(writer_, "SELECT 1 FROM pragma_table_info('messages') WHERE name=?");
    if (column.Bind(1, std::string(name)).Step()) continue;
    Exec(writer_.db, ("ALTER TABLE messages ADD COLUMN " + std::string(name) + " " + type).c_str());
  }
  Exec(writer_.db,
       "CREATE INDEX IF NOT EXISTS messages_settled ON messages(settled_ms) WHERE settled_ms IS NOT NULL;"
       // What a claim reads: the queued ones, in the order they are taken.
       "CREATE INDEX IF NOT EXISTS messages_claim ON messages(priority DESC, seq) WHERE state='queued';"
       "CREATE INDEX IF NOT EXISTS messages_expiring ON messages(expires_ms) WHERE state='queued';");
  auto has_table = [&](const char* name) {
    Statement table(writer_, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?");
    return table.Bind(1, std::string(name)).Step();
  };
  std::string sql = "BEGIN IMMEDIATE;";
  if (!has_table("running_counts")) sql += kRunningCounts;
  if (!has_table("tenant_totals")) sql += kTenantTotals;
  sql += kTenantTriggers;
  for (const char* table : {"messages", "webhooks"}) {
    char triggers[2048];
    std::snprintf(triggers, sizeof triggers, kCountTriggers, table);
    sql += triggers;
  }
  sql += kErrorTrigger;
  sql += "COMMIT;";
  Exec(writer_.db, sql.c_str());
}

}  // namespace talvenix::daemon
