"""The schema of the central database: the versioned migrations shipped
with this client, each applied in one transaction and recorded in
tarvex.schema_version; and the mapping of an instrument to its login role."""

import os
import re

from psycopg import sql

from . import __version__
from .database import check_schema, client_version, migrations, schema_version
from .problems import BadInput, Refused, say

GROUP_ROLES = ("tarvex_instrument", "tarvex_reader")
ROLE_NAME = re.compile(r"[a-z_][a-z0-9_]{0,62}")
BOOTSTRAP = """
CREATE SCHEMA IF NOT EXISTS tarvex;
CREATE TABLE IF NOT EXISTS tarvex.schema_version (
  version integer PRIMARY KEY,
  name text NOT NULL,
  applied timestamptz NOT NULL DEFAULT now(),
  client text NOT NULL
);
"""
# Two administrators migrating at once wait for each other.
LOCK = "SELECT pg_advisory_xact_lock(hashtext('tarvex-ship migrate'))"


def missing_group_roles(connection):
    found = {row[0] for row in connection.execute(
        "SELECT rolname FROM pg_roles WHERE rolname = ANY(%s)", [list(GROUP_ROLES)])}
    return [role for role in GROUP_ROLES if role not in found]


def migrate(connection):
    """Applies every migration newer than the database; returns how many."""
    missing = missing_group_roles(connection)
    if missing:
        raise Refused("the role%s %s do%s not exist; a superuser creates them first: %s" % (
            "s" if len(missing) > 1 else "", " and ".join(missing),
            "" if len(missing) > 1 else "es",
            " ".join("CREATE ROLE %s NOLOGIN;" % role for role in missing)))
    have, know = schema_version(connection), client_version()
    if have > know:
        raise Refused("the database's schema is version %d, newer than this tarvex-ship knows "
                      "(%d): install the newer tarvex-ship" % (have, know))
    applied = 0
    for version, path in migrations():
        with connection.transaction():
            connection.execute(LOCK)
            connection.execute(BOOTSTRAP)
            if version <= schema_version(connection):
                continue  # applied meanwhile by another administrator
            with open(path, encoding="utf-8") as stream:
                connection.execute(stream.read())
            connection.execute(
                "INSERT INTO tarvex.schema_version (version, name, client) VALUES (%s, %s, %s)",
                (version, os.path.basename(path), "tarvex-ship " + __version__))
        say("applied %s" % os.path.basename(path))
        applied += 1
    return applied


def add_instrument(connection, instrument, role):
    """Creates the login role when it does not exist, puts it in the group
    tarvex_instrument and maps it to the instrument (another role mapped to
    that instrument before is replaced)."""
    if not ROLE_NAME.fullmatch(role):
        raise BadInput("--role %r: a role name is 1 to 63 lower-case letters, digits and _, "
                       "not starting with a digit" % role)
    check_schema(connection)
    with connection.transaction():
        exists = connection.execute("SELECT 1 FROM pg_roles WHERE rolname = %s", [role])
        if exists.fetchone() is None:
            connection.execute(sql.SQL("CREATE ROLE {} LOGIN IN ROLE tarvex_instrument").format(
                sql.Identifier(role)))
        else:
            connection.execute(sql.SQL("GRANT tarvex_instrument TO {}").format(
                sql.Identifier(role)))
        connection.execute(
            "INSERT INTO tarvex_store.instruments (name, role) VALUES (%s, %s) "
            "ON CONFLICT (name) DO UPDATE SET role = excluded.role", (instrument, role))
    say("instrument %s ships as role %s; set its password with psql: \\password %s"
        % (instrument, role, role))
