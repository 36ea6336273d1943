"""Reaching the central database: connection settings, retries that back
off, and the checks that the database and this client go together."""

import os
import random
import re
import time

import psycopg
from psycopg.conninfo import conninfo_to_dict, make_conninfo

from .problems import BadInput, Refused

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(HERE)
MIGRATION_FOLDERS = ((os.path.join(CHECKOUT, "migrations"),)
                     if os.path.exists(os.path.join(CHECKOUT, "tarvex-ship")) else ()) \
    + ("/usr/share/tarvex-ship/migrations",)
MIGRATION_NAME = re.compile(r"(\d{3})_[a-z0-9_]+\.sql")

# A link that drops silently must not hang a run: libpq gives up on a
# connection attempt, and on a connection that stops answering, after these
# (a DSN may set others).
LINK_DEFAULTS = {"connect_timeout": "10", "keepalives_idle": "30", "keepalives_interval": "10",
                 "keepalives_count": "3", "tcp_user_timeout": "60000"}
# A server that answers with one of these is busy or restarting: worth another
# try. Any other refusal (password, role, database, pg_hba.conf) is a setting
# that no retry mends.
PASSING_REFUSALS = ("the database system is", "too many connections",
                    "remaining connection slots", "terminating connection due to administrator")
FIRST_DELAY_S = 1.0
LONGEST_DELAY_S = 60.0


def migrations():
    """[(version, path)] of the migrations shipped with this client, in order."""
    for folder in MIGRATION_FOLDERS:
        if os.path.isdir(folder):
            found = sorted((int(match.group(1)), os.path.join(folder, name))
                           for name in os.listdir(folder)
                           for match in [MIGRATION_NAME.fullmatch(name)] if match)
            if found:
                return found
    raise Refused("no migrations found in %s: the installation is incomplete"
                  % " or ".join(MIGRATION_FOLDERS))


def client_version():
    return migrations()[-1][0]


def conninfo(dsn, application):
    try:
        given = conninfo_to_dict(dsn)
    except psycopg.ProgrammingError as error:
        raise BadInput("--dsn: not a libpq connection string: %s" % error) from None
    extra = {name: value for name, value in LINK_DEFAULTS.items() if name not in given}
    extra.setdefault("application_name", application)
    return make_conninfo(dsn, **extra)


class Unreachable(Exception):
    def __init__(self, reason, attempts, waited):
        super().__init__(reason)
        self.reason, self.attempts, self.waited = reason, attempts, waited


def first_line(error):
    lines = [line.strip() for line in str(error).strip().split("\n") if line.strip()]
    return lines[0] if lines else type(error).__name__


def refused_for_good(error):
    text = str(error)
    return "FATAL:" in text and not any(reason in text for reason in PASSING_REFUSALS)


class Link:
    """Connections with capped exponential backoff and jitter: after the n-th
    failed attempt the wait is drawn between half and all of
    min(LONGEST_DELAY_S, FIRST_DELAY_S * 2**n); retry_for seconds after the
    first failure in a row the run gives up (Unreachable)."""

    def __init__(self, dsn, application, retry_for, sleep=time.sleep):
        self.conninfo = conninfo(dsn, application)
        self.retry_for = retry_for
        self.sleep = sleep

    def connect(self):
        attempt, first_failure = 0, None
        while True:
            try:
                return psycopg.connect(self.conninfo, autocommit=True)
            except psycopg.OperationalError as error:
                if "connection option" in str(error) or "invalid sslmode" in str(error):
                    raise BadInput("--dsn: %s" % first_line(error)) from None
                if refused_for_good(error):
                    raise Refused("the database refused the connection (%s): check the user and "
                                  "database in the DSN and the password file" % first_line(error)
                                  ) from None
                now = time.monotonic()
                first_failure = first_failure or now
                attempt += 1
                ceiling = min(LONGEST_DELAY_S, FIRST_DELAY_S * 2 ** (attempt - 1))
                delay = random.uniform(ceiling / 2, ceiling)
                if now + delay - first_failure > self.retry_for:
                    raise Unreachable(first_line(error), attempt, now - first_failure) from None
                self.sleep(delay)


def schema_version(connection):
    """The version of the database's schema, 0 before the first migration."""
    exists = connection.execute("SELECT to_regclass('tarvex.schema_version') IS NOT NULL")
    if not exists.fetchone()[0]:
        return 0
    return connection.execute("SELECT coalesce(max(version), 0) FROM tarvex.schema_version"
                              ).fetchone()[0]


def check_schema(connection):
    """The database must be at this client's version."""
    have, know = schema_version(connection), client_version()
    if have > know:
        raise Refused("the database's schema is version %d, newer than this tarvex-ship knows "
                      "(%d): install the newer tarvex-ship" % (have, know))
    if have < know:
        raise Refused("the database's schema is version %d, this tarvex-ship needs %d: the "
                      "database administrator runs tarvex-ship migrate" % (have, know))


def check_instrument(connection, instrument):
    """The login role must be the one mapped to this instrument."""
    rows = connection.execute("SELECT name FROM tarvex_store.instruments").fetchall()
    role = connection.info.parameter_status("session_authorization") or "?"
    names = [row[0] for row in rows]
    if instrument in names:
        return
    if not names:
        raise Refused("the role %s ships for no instrument: the database administrator runs "
                      "tarvex-ship add-instrument --instrument %s --role %s" % (role, instrument,
                                                                                 role))
    raise BadInput("the role %s ships for instrument %s, not %s: check --instrument and the "
                   "user in --dsn" % (role, ", ".join(names), instrument))
