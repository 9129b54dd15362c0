// SPDX-License-Identifier: Apache-2.0
// The shared queue's tables, indexes and triggers. Counts are kept per
// daemon (each daemon's session names itself), so that daemons committing
// at once never wait on one another's count rows; readers add them up.
#include <string>

#include "daemon/queue_postgresql.hpp"

namespace talvenix::daemon {
namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS talvenix_schema(version integer NOT NULL);
CREATE TABLE IF NOT EXISTS messages(
  seq bigserial PRIMARY KEY,
  id text UNIQUE NOT NULL,
  recipient text NOT NULL, body text NOT NULL, sender text NOT NULL, client_ref text NOT NULL,
  callback_url text NOT NULL, kannel_dlr_mask integer NOT NULL,
  state text NOT NULL, code integer, code_name text,
  settled_ms bigint,  -- when it reached sent, failed, unknown or expired; NULL while on its way
  parts integer,      -- the SMS parts of its text; NULL when not known
  not_before_ms bigint NOT NULL DEFAULT 0, expires_ms bigint, priority integer NOT NULL DEFAULT 0,
  tenant text NOT NULL DEFAULT 'default',
  grp text NOT NULL DEFAULT '',  -- the daemons that may send it; '' any
  owner text,                    -- the daemon that claimed it, while sending or pending
  handed boolean NOT NULL DEFAULT false);
CREATE INDEX IF NOT EXISTS messages_claim ON messages(priority DESC, seq) WHERE state='queued';
CREATE INDEX IF NOT EXISTS messages_expiring ON messages(expires_ms) WHERE state='queued';
CREATE INDEX IF NOT EXISTS messages_owned ON messages(owner) WHERE state IN ('sending','pending');
CREATE INDEX IF NOT EXISTS messages_settled ON messages(settled_ms) WHERE settled_ms IS NOT NULL;
CREATE TABLE IF NOT EXISTS message_events(
  id bigserial PRIMARY KEY, message_seq bigint NOT NULL, at_ms bigint NOT NULL, state text NOT NULL, code integer,
  detail text NOT NULL);
CREATE INDEX IF NOT EXISTS message_events_by_message ON message_events(message_seq);
CREATE INDEX IF NOT EXISTS message_events_errors ON message_events(id) WHERE state IN ('failed','unknown','expired');
CREATE TABLE IF NOT EXISTS webhooks(
  seq bigserial PRIMARY KEY,
  event_id text UNIQUE NOT NULL, message_seq bigint, method text NOT NULL, url text NOT NULL, body text NOT NULL,
  created_ms bigint NOT NULL, next_ms bigint NOT NULL, attempts integer NOT NULL DEFAULT 0,
  state text NOT NULL DEFAULT 'due', last_error text,
  claimed_by text, lease_until_ms bigint NOT NULL DEFAULT 0);  -- a daemon delivering it, until then
CREATE INDEX IF NOT EXISTS webhooks_due ON webhooks(next_ms, seq) WHERE state='due';
CREATE INDEX IF NOT EXISTS webhooks_settled ON webhooks(state, next_ms);
CREATE TABLE IF NOT EXISTS message_references(
  id bigserial PRIMARY KEY, message_seq bigint NOT NULL, comport bigint NOT NULL, reference bigint NOT NULL,
  part integer NOT NULL, parts integer NOT NULL, recipient text NOT NULL, at_ms bigint NOT NULL);
CREATE INDEX IF NOT EXISTS message_references_by_reference ON message_references(comport, reference, id);
CREATE INDEX IF NOT EXISTS message_references_by_message ON message_references(message_seq);
CREATE TABLE IF NOT EXISTS running_counts(daemon text, what text, count bigint NOT NULL, PRIMARY KEY(daemon, what));
CREATE TABLE IF NOT EXISTS outcome_totals(
  daemon text, state text, code integer, count bigint NOT NULL, PRIMARY KEY(daemon, state, code));
CREATE TABLE IF NOT EXISTS deleted_totals(daemon text, what text, count bigint NOT NULL, PRIMARY KEY(daemon, what));
CREATE TABLE IF NOT EXISTS tenant_totals(
  daemon text, tenant text, what text, count bigint NOT NULL, PRIMARY KEY(daemon, tenant, what));
CREATE TABLE IF NOT EXISTS tenant_days(
  daemon text, tenant text, day bigint, accepted bigint NOT NULL, PRIMARY KEY(daemon, tenant, day));
CREATE TABLE IF NOT EXISTS daemons(
  name text PRIMARY KEY, grp text NOT NULL, gateway text NOT NULL, version text NOT NULL,
  started_ms bigint NOT NULL, last_seen_ms bigint NOT NULL);

CREATE OR REPLACE FUNCTION talvenix_count_states() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE d text := coalesce(current_setting('talvenix.daemon', true), '');
BEGIN
  IF TG_OP = 'UPDATE' THEN
    IF OLD.state = NEW.state THEN RETURN NULL; END IF;
  END IF;
  IF TG_OP <> 'INSERT' THEN
    INSERT INTO running_counts VALUES(d, TG_TABLE_NAME || '.' || OLD.state, -1)
      ON CONFLICT (daemon, what) DO UPDATE SET count = running_counts.count - 1;
  END IF;
  IF TG_OP <> 'DELETE' THEN
    INSERT INTO running_counts VALUES(d, TG_TABLE_NAME || '.' || NEW.state, 1)
      ON CONFLICT (daemon, what) DO UPDATE SET count = running_counts.count + 1;
  END IF;
  RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER messages_counted AFTER INSERT OR DELETE OR UPDATE OF state ON messages
  FOR EACH ROW EXECUTE FUNCTION talvenix_count_states();
CREATE OR REPLACE TRIGGER webhooks_counted AFTER INSERT OR DELETE OR UPDATE OF state ON webhooks
  FOR EACH ROW EXECUTE FUNCTION talvenix_count_states();

CREATE OR REPLACE FUNCTION talvenix_count_tenants() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE d text := coalesce(current_setting('talvenix.daemon', true), '');
BEGIN
  IF TG_OP = 'INSERT' THEN
    INSERT INTO tenant_totals VALUES(d, NEW.tenant, 'accepted', 1)
      ON CONFLICT (daemon, tenant, what) DO UPDATE SET count = tenant_totals.count + 1;
  ELSIF OLD.state IS DISTINCT FROM NEW.state AND NEW.state IN ('sent','failed','unknown','expired') THEN
    INSERT INTO tenant_totals VALUES(d, NEW.tenant, NEW.state, 1)
      ON CONFLICT (daemon, tenant, what) DO UPDATE SET count = tenant_totals.count + 1;
    IF NEW.state = 'sent' THEN
      INSERT INTO tenant_totals VALUES(d, NEW.tenant, 'parts_sent', coalesce(NEW.parts, 1))
        ON CONFLICT (daemon, tenant, what) DO UPDATE SET count = tenant_totals.count + excluded.count;
    END IF;
  END IF;
  RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER messages_tenant_counted AFTER INSERT OR UPDATE OF state ON messages
  FOR EACH ROW EXECUTE FUNCTION talvenix_count_tenants();
)";

}  // namespace

void PostgresqlQueue::CreateSchema() {
  // Daemons starting together make the tables one after another.
  writer_.ExecScript("BEGIN; SELECT pg_advisory_xact_lock(hashtext('talvenixd schema'))");
  try {
    const bool made = writer_.Exec("SELECT to_regclass('talvenix_schema') IS NOT NULL").Text(0, 0) == "t";
    PgResult version = writer_.Exec(made ? "SELECT max(version) FROM talvenix_schema" : "SELECT NULL");
    if (!version.IsNull(0, 0) && version.Int(0, 0) > kSchemaVersion)
      throw std::runtime_error("the queue's tables were made by a newer talvenixd (schema " + version.Text(0, 0) +
                               "; this one knows up to " + std::to_string(kSchemaVersion) + "): start the newer one");
    // Tables in use are not touched again: even an IF NOT EXISTS index or a
    // replaced trigger locks its table against the other daemons' writes,
    // and they deadlock with this one.
    if (version.IsNull(0, 0) || version.Int(0, 0) < kSchemaVersion) writer_.ExecScript(kSchema);
    writer_.Exec(
        "INSERT INTO talvenix_schema SELECT $1 WHERE NOT EXISTS (SELECT 1 FROM talvenix_schema WHERE version>=$1::int)",
        {Pg(kSchemaVersion)});
    writer_.ExecScript("COMMIT");
  } catch (...) {
    if (!writer_.Lost()) PQclear(PQexec(writer_.raw(), "ROLLBACK"));
    throw;
  }
}

}  // namespace talvenix::daemon
