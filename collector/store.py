"""Where logs are kept: SQLite in a folder (the default) or PostgreSQL
(several receivers sharing one database). Both hold the same tables:

  logs            one row per distinct upload (by SHA-256 of the log), its
                  metadata and its frame as received (the log, compressed);
  failure_groups  one row per signature and product, with its counts, which
                  outlive the logs that retention deletes;
  group_days      failures per group, day, version and system;
  session_days    runs per product, version, day and outcome.

Writes come in batches (add_batch) that are one transaction each: a log
counts as stored once that transaction has committed. Adding a log that is
already stored changes nothing, so a receiver may retry a batch, and two
receivers may add the same log at once."""

import dataclasses
import json
import sqlite3
import threading
import time
from collections import Counter
from pathlib import Path

from . import logparse

DAY = 86400
SCHEMA_LOCK = 0x6c6f6773  # advisory lock held while PostgreSQL's tables are made
PG_RETRIES = 3
# Rows of logs inserted by one statement: 13 parameters each, well within
# what either database takes in one statement.
LOG_ROWS_PER_STATEMENT = 256
LOG_ROW = "(%s" + ", %s" * 12 + ")"


class StoreError(Exception):
    """The store could not do what was asked; nothing of it took effect."""


@dataclasses.dataclass
class Upload:
    sha256: str
    received: float
    frame: bytes
    size: int
    path: str
    parsed: logparse.ParsedLog

    @property
    def group_id(self):
        parsed = self.parsed
        return logparse.short_id(parsed.product, parsed.signature) if parsed.signature else None


def day_of(timestamp: float) -> int:
    return int(timestamp // DAY)


TABLES = """
CREATE TABLE IF NOT EXISTS logs (
  id {serial},
  sha256 TEXT NOT NULL UNIQUE,
  received DOUBLE PRECISION NOT NULL,
  path TEXT NOT NULL,
  product TEXT NOT NULL,
  version TEXT NOT NULL,
  system TEXT NOT NULL,
  outcome TEXT NOT NULL,
  exception TEXT NOT NULL,
  message TEXT NOT NULL,
  group_id TEXT,
  size BIGINT NOT NULL,
  stored BIGINT NOT NULL,
  frame {blob} NOT NULL);
CREATE INDEX IF NOT EXISTS logs_by_time ON logs (received);
CREATE INDEX IF NOT EXISTS logs_by_group ON logs (group_id, received);
CREATE INDEX IF NOT EXISTS logs_by_product ON logs (product, received);
CREATE TABLE IF NOT EXISTS failure_groups (
  id TEXT PRIMARY KEY,
  product TEXT NOT NULL,
  signature TEXT NOT NULL,
  exception TEXT NOT NULL,
  message TEXT NOT NULL,
  frames TEXT NOT NULL,
  count BIGINT NOT NULL,
  first_seen DOUBLE PRECISION NOT NULL,
  last_seen DOUBLE PRECISION NOT NULL);
CREATE INDEX IF NOT EXISTS failure_groups_by_product ON failure_groups (product);
CREATE TABLE IF NOT EXISTS group_days (
  group_id TEXT NOT NULL,
  day INTEGER NOT NULL,
  version TEXT NOT NULL,
  system TEXT NOT NULL,
  count BIGINT NOT NULL,
  PRIMARY KEY (group_id, day, version, system));
CREATE TABLE IF NOT EXISTS session_days (
  product TEXT NOT NULL,
  version TEXT NOT NULL,
  day INTEGER NOT NULL,
  outcome TEXT NOT NULL,
  count BIGINT NOT NULL,
  PRIMARY KEY (product, version, day, outcome));
"""


class Store:
    """The tables, over connections that the subclass makes. Every method
    may be called from any thread; each thread gets a connection of its
    own."""

    serial = blob = least = greatest = like = None

    def __init__(self):
        self._local = threading.local()

    # ---- connections ---------------------------------------------------------

    def connect(self):
        raise NotImplementedError

    def _connection(self):
        connection = getattr(self._local, "connection", None)
        if connection is None:
            connection = self._local.connection = self.connect()
        return connection

    def _drop_connection(self):
        connection = getattr(self._local, "connection", None)
        self._local.connection = None
        if connection is not None:
            try:
                connection.close()
            except Exception:
                pass

    def sql(self, text: str) -> str:
        return text

    def _transaction(self, work, retries=1):
        """Runs work(cursor) in one transaction and returns its result;
        StoreError when it cannot commit (the transaction is rolled back)."""
        for attempt in range(retries):
            try:
                connection = self._connection()
                cursor = connection.cursor()
                try:
                    result = work(cursor)
                    connection.commit()
                    return result
                except BaseException:
                    connection.rollback()
                    raise
                finally:
                    cursor.close()
            except self.retryable_errors:
                if attempt + 1 == retries:
                    self._drop_connection()
                    raise StoreError("transaction kept conflicting") from None
            except self.errors as error:
                self._drop_connection()
                raise StoreError(str(error).strip()) from error

    def _query(self, text, parameters=()):
        def work(cursor):
            cursor.execute(self.sql(text), parameters)
            return cursor.fetchall()
        return self._transaction(work)

    def create_tables(self):
        def work(cursor):
            self._lock_schema(cursor)
            for statement in TABLES.format(serial=self.serial, blob=self.blob).split(";"):
                if statement.strip():
                    cursor.execute(statement)
        self._transaction(work)

    def _lock_schema(self, cursor):
        pass

    # ---- writing ------------------------------------------------------------

    def add_batch(self, uploads) -> list:
        """Stores uploads in one transaction: for each, True when it is new,
        False when the same log was already stored. StoreError when the
        transaction did not commit, and then nothing of the batch is stored."""
        return self._transaction(lambda cursor: self._add(cursor, uploads), PG_RETRIES)

    def _insert_logs(self, cursor, uploads) -> set:
        """Inserts the rows of uploads (of distinct hashes) that are not
        stored yet, a few hundred to a statement; the hashes inserted."""
        inserted = set()
        for start in range(0, len(uploads), LOG_ROWS_PER_STATEMENT):
            chunk = uploads[start:start + LOG_ROWS_PER_STATEMENT]
            values = []
            for upload in chunk:
                parsed = upload.parsed
                values += (upload.sha256, upload.received, upload.path, parsed.product,
                           parsed.version, parsed.system, parsed.outcome, parsed.exception,
                           parsed.message, upload.group_id, upload.size, len(upload.frame),
                           upload.frame)
            cursor.execute(self.sql(
                "INSERT INTO logs (sha256, received, path, product, version, system, outcome,"
                " exception, message, group_id, size, stored, frame) VALUES "
                + ", ".join([LOG_ROW] * len(chunk))
                + " ON CONFLICT (sha256) DO NOTHING RETURNING sha256"), values)
            inserted.update(row[0] for row in cursor.fetchall())
        return inserted

    def _add(self, cursor, uploads):
        groups, group_days, session_days = {}, Counter(), Counter()
        # One order of locks for every receiver: by hash, then by key.
        distinct = {}
        for upload in sorted(uploads, key=lambda u: u.sha256):
            distinct.setdefault(upload.sha256, upload)
        inserted = self._insert_logs(cursor, list(distinct.values()))
        new = {digest: digest in inserted for digest in distinct}
        for upload in distinct.values():
            if not new[upload.sha256]:
                continue
            parsed = upload.parsed
            group_id = upload.group_id
            day = day_of(upload.received)
            session_days[(parsed.product, parsed.version, day, parsed.outcome)] += 1
            if group_id is None:
                continue
            group_days[(group_id, day, parsed.version, parsed.system)] += 1
            count, first, last = groups.get(group_id, (None, 0, upload.received,
                                                       upload.received))[1:]
            groups[group_id] = (parsed, count + 1, min(first, upload.received),
                                max(last, upload.received))
        for group_id in sorted(groups):
            parsed, count, first, last = groups[group_id]
            cursor.execute(self.sql(
                "INSERT INTO failure_groups (id, product, signature, exception, message, frames,"
                " count, first_seen, last_seen) VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s)"
                " ON CONFLICT (id) DO UPDATE SET count = failure_groups.count + excluded.count,"
                " first_seen = {least}(failure_groups.first_seen, excluded.first_seen),"
                " last_seen = {greatest}(failure_groups.last_seen, excluded.last_seen)"
                .format(least=self.least, greatest=self.greatest)),
                (group_id, parsed.product, parsed.signature, parsed.exception, parsed.message,
                 json.dumps([str(frame) for frame in parsed.frames]), count, first, last))
        for key in sorted(group_days):
            cursor.execute(self.sql(
                "INSERT INTO group_days (group_id, day, version, system, count)"
                " VALUES (%s, %s, %s, %s, %s) ON CONFLICT (group_id, day, version, system)"
                " DO UPDATE SET count = group_days.count + excluded.count"),
                key + (group_days[key],))
        for key in sorted(session_days):
            cursor.execute(self.sql(
                "INSERT INTO session_days (product, version, day, outcome, count)"
                " VALUES (%s, %s, %s, %s, %s) ON CONFLICT (product, version, day, outcome)"
                " DO UPDATE SET count = session_days.count + excluded.count"),
                key + (session_days[key],))
        seen = set()
        results = []
        for upload in uploads:
            results.append(new[upload.sha256] and upload.sha256 not in seen)
            seen.add(upload.sha256)
        return results

    def apply_retention(self, max_age_days: float, max_bytes: int, now=None) -> int:
        """Deletes the logs older than max_age_days, then the oldest ones
        until the stored frames take at most max_bytes. The counts of groups
        and sessions stay. Returns how many logs went."""
        cutoff = (now or time.time()) - max_age_days * DAY

        def work(cursor):
            cursor.execute(self.sql("DELETE FROM logs WHERE received < %s"), (cutoff,))
            deleted = cursor.rowcount
            cursor.execute("SELECT COALESCE(SUM(stored), 0) FROM logs")
            excess = cursor.fetchone()[0] - max_bytes
            if excess <= 0:
                return deleted
            # The newest log that has to go: the first at which the running
            # total of the oldest logs reaches the excess.
            cursor.execute(self.sql(
                "SELECT received, id FROM (SELECT received, id, SUM(stored) OVER"
                " (ORDER BY received, id) AS running FROM logs) AS oldest"
                " WHERE running >= %s ORDER BY running LIMIT 1"), (excess,))
            received, last_id = cursor.fetchone()
            cursor.execute(self.sql(
                "DELETE FROM logs WHERE received < %s OR (received = %s AND id <= %s)"),
                (received, received, last_id))
            return deleted + cursor.rowcount
        return self._transaction(work, PG_RETRIES)

    # ---- reading --------------------------------------------------------------

    def products(self) -> list:
        return [row[0] for row in self._query(
            "SELECT DISTINCT product FROM session_days ORDER BY product")]

    def groups(self, product, since_day=None) -> list:
        """The product's groups, as dicts, most frequent first: over the
        days from since_day on when given, else over all time (the counts of
        the days before retention included)."""
        if since_day is None:
            rows = self._query(
                "SELECT id, signature, exception, message, count, first_seen, last_seen, count"
                " FROM failure_groups WHERE product = %s"
                " ORDER BY count DESC, last_seen DESC, id", (product,))
        else:
            rows = self._query(
                "SELECT g.id, g.signature, g.exception, g.message, g.count, g.first_seen,"
                " g.last_seen, SUM(d.count) AS period_count FROM failure_groups g"
                " JOIN group_days d ON d.group_id = g.id AND d.day >= %s"
                " WHERE g.product = %s GROUP BY g.id"
                " ORDER BY period_count DESC, g.last_seen DESC, g.id", (since_day, product))
        versions = {}
        for group_id, version in self._query(
                "SELECT DISTINCT d.group_id, d.version FROM group_days d"
                " JOIN failure_groups g ON g.id = d.group_id WHERE g.product = %s", (product,)):
            versions.setdefault(group_id, []).append(version)
        return [dict(id=row[0], signature=row[1], exception=row[2], message=row[3],
                     count=int(row[4]), first_seen=row[5], last_seen=row[6],
                     period_count=int(row[7]),
                     versions=sorted(versions.get(row[0], []), key=version_key))
                for row in rows]

    def daily_counts(self, product, first_day) -> dict:
        """{group id: {day: count}} from first_day on."""
        counts = {}
        for group_id, day, count in self._query(
                "SELECT d.group_id, d.day, SUM(d.count) FROM group_days d"
                " JOIN failure_groups g ON g.id = d.group_id"
                " WHERE g.product = %s AND d.day >= %s GROUP BY d.group_id, d.day",
                (product, first_day)):
            counts.setdefault(group_id, {})[int(day)] = int(count)
        return counts

    def sessions(self, product, since_day=0) -> list:
        """[(version, runs, runs that ended normally)], newest version first."""
        per_version = {}
        for version, outcome, count in self._query(
                "SELECT version, outcome, SUM(count) FROM session_days"
                " WHERE product = %s AND day >= %s GROUP BY version, outcome",
                (product, since_day)):
            runs, normal = per_version.get(version, (0, 0))
            per_version[version] = (runs + int(count),
                                    normal + (int(count) if outcome == logparse.NORMAL else 0))
        return sorted(((version, runs, normal) for version, (runs, normal)
                       in per_version.items()), key=lambda row: version_key(row[0]),
                      reverse=True)

    def group(self, group_id):
        rows = self._query(
            "SELECT id, product, signature, exception, message, frames, count, first_seen,"
            " last_seen FROM failure_groups WHERE id = %s", (group_id,))
        if not rows:
            return None
        row = rows[0]
        group = dict(id=row[0], product=row[1], signature=row[2], exception=row[3],
                     message=row[4], frames=json.loads(row[5]), count=int(row[6]),
                     first_seen=row[7], last_seen=row[8])
        for column in ("version", "system"):
            group["by_" + column] = [(value, int(count)) for value, count in self._query(
                "SELECT {0}, SUM(count) AS n FROM group_days WHERE group_id = %s"
                " GROUP BY {0} ORDER BY n DESC, {0}".format(column), (group_id,))]
        group["versions"] = sorted((value for value, _ in group["by_version"]), key=version_key)
        return group

    LOG_COLUMNS = ("id", "sha256", "received", "path", "product", "version", "system",
                   "outcome", "exception", "message", "group_id", "size")

    def group_logs(self, group_id, limit=50) -> list:
        return self._logs("WHERE group_id = %s", (group_id,), limit)

    def search(self, product=None, version=None, outcome=None, since=None, text=None,
               limit=200) -> list:
        """The newest logs that match every filter given."""
        clauses, parameters = [], []
        for column, value in (("product", product), ("version", version),
                              ("outcome", outcome)):
            if value:
                clauses.append("%s = %%s" % column)
                parameters.append(value)
        if since is not None:
            clauses.append("received >= %s")
            parameters.append(since)
        if text:
            pattern = "%" + text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") \
                + "%"
            clauses.append("(exception {0} %s ESCAPE '\\' OR message {0} %s ESCAPE '\\'"
                           " OR group_id {0} %s ESCAPE '\\' OR system {0} %s ESCAPE '\\')"
                           .format(self.like))
            parameters += [pattern] * 4
        where = ("WHERE " + " AND ".join(clauses)) if clauses else ""
        return self._logs(where, tuple(parameters), limit)

    def _logs(self, where, parameters, limit) -> list:
        rows = self._query("SELECT %s FROM logs %s ORDER BY received DESC, id DESC LIMIT %d"
                           % (", ".join(self.LOG_COLUMNS), where, int(limit)), parameters)
        return [dict(zip(self.LOG_COLUMNS, row)) for row in rows]

    def log(self, log_id):
        """A log's metadata with its frame, or None."""
        rows = self._query("SELECT %s, frame FROM logs WHERE id = %%s"
                           % ", ".join(self.LOG_COLUMNS), (log_id,))
        if not rows:
            return None
        log = dict(zip(self.LOG_COLUMNS + ("frame",), rows[0]))
        log["frame"] = bytes(log["frame"])
        return log

    def analyze(self):
        """Refreshes the query planner's statistics, as PostgreSQL's
        autovacuum does in time, at once (after a bulk load)."""
        self._transaction(lambda cursor: cursor.execute("ANALYZE"))

    def count_logs(self) -> int:
        return int(self._query("SELECT COUNT(*) FROM logs")[0][0])

    def close(self):
        self._drop_connection()


def version_key(version: str):
    """Orders "1.10.0.0" after "1.9.0.0"; other text after numbers."""
    parts = []
    for part in version.replace("-", ".").split("."):
        parts.append((0, int(part), "") if part.isdigit() else (1, 0, part))
    return parts


class SqliteStore(Store):
    """The database file collector.sqlite3 in a folder."""

    serial = "INTEGER PRIMARY KEY AUTOINCREMENT"
    blob = "BLOB"
    least, greatest = "MIN", "MAX"
    like = "LIKE"
    errors = (sqlite3.Error,)
    retryable_errors = ()
    FILE_NAME = "collector.sqlite3"

    def __init__(self, folder):
        super().__init__()
        Path(folder).mkdir(parents=True, exist_ok=True)
        self.path = Path(folder) / self.FILE_NAME
        self.create_tables()

    def connect(self):
        connection = sqlite3.connect(self.path, timeout=30, check_same_thread=False,
                                     isolation_level="IMMEDIATE")
        connection.execute("PRAGMA journal_mode = WAL")
        # A commit returns once the log is on the disk.
        connection.execute("PRAGMA synchronous = FULL")
        return connection

    def sql(self, text: str) -> str:
        return text.replace("%s", "?")


class PostgresStore(Store):
    """A PostgreSQL database given by its connection URL."""

    serial = "BIGSERIAL PRIMARY KEY"
    blob = "BYTEA"
    least, greatest = "LEAST", "GREATEST"
    like = "ILIKE"
    CONNECT_TIMEOUT = 5
    STATEMENT_TIMEOUT_MS = 20000

    def __init__(self, url):
        import psycopg
        super().__init__()
        self._psycopg = psycopg
        self.errors = (psycopg.Error,)
        self.retryable_errors = (psycopg.errors.DeadlockDetected,
                                 psycopg.errors.SerializationFailure)
        self.url = url
        self.create_tables()

    def connect(self):
        try:
            return self._psycopg.connect(
                self.url, connect_timeout=self.CONNECT_TIMEOUT,
                options="-c statement_timeout=%d" % self.STATEMENT_TIMEOUT_MS)
        except self._psycopg.Error as error:
            raise StoreError("cannot connect to the database: %s" % str(error).strip()) from None

    def _lock_schema(self, cursor):
        cursor.execute("SELECT pg_advisory_xact_lock(%s)", (SCHEMA_LOCK,))


def open_store(data_folder, database_url=None) -> Store:
    if database_url:
        return PostgresStore(database_url)
    return SqliteStore(data_folder)
