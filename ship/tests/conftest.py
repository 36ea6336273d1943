"""What the tests of tarvex-ship share: a PostgreSQL server of their own
(Debian's binaries, initdb and pg_ctl into a temporary folder, reached only
through a Unix socket there; run as `nobody` when the tests run as root,
since initdb refuses root), a fresh database per test set up as a database
administrator would, and an instrument's folders."""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile

import psycopg
import pytest
from psycopg import sql

TESTS = os.path.dirname(os.path.abspath(__file__))
SHIP = os.path.dirname(TESTS)
TOP = os.path.dirname(SHIP)
TOOL = os.path.join(SHIP, "tarvex-ship")
PG_BIN = os.environ.get("TARVEX_PG_BIN", "/usr/lib/postgresql/15/bin")
INSTRUMENTS = ("lab1", "lab2", "lab3", "lab4")
PASSWORD = "secret of %s"

sys.path.insert(0, TESTS)


class Server:
    """A PostgreSQL cluster in a temporary folder: superuser postgres and
    the owner trusted on the socket, every other role by password."""

    def __init__(self, durable=False, trust_everyone=False, top=None):
        self.durable = durable
        self.top = tempfile.mkdtemp(prefix="tarvex-ship-pg-", dir=top)
        self.data = os.path.join(self.top, "data")
        self.log = os.path.join(self.top, "server.log")
        self.user = "nobody" if os.geteuid() == 0 else None
        if self.user:
            entry = pwd.getpwnam(self.user)
            os.chown(self.top, entry.pw_uid, entry.pw_gid)
        self.as_user(["initdb", "-D", self.data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                      "--locale=C.UTF-8", "--no-sync"])
        with open(os.path.join(self.data, "pg_hba.conf"), "w") as hba:
            hba.write("local all postgres trust\nlocal all tarvex_owner trust\n"
                      "local all all %s\n" % ("trust" if trust_everyone else "scram-sha-256"))
        self.start()

    def as_user(self, command, check=True):
        options = {"user": self.user, "group": "nogroup", "extra_groups": []} if self.user else {}
        done = subprocess.run([os.path.join(PG_BIN, command[0])] + command[1:],
                              capture_output=True, text=True, cwd=self.top, **options)
        if check and done.returncode != 0:
            raise AssertionError("%s: %s%s" % (command[0], done.stdout, done.stderr))
        return done

    def start(self):
        # fsync off for the tests: nothing here outlives the machine; every
        # commit still reaches the operating system, so an immediate stop
        # loses nothing. A benchmark keeps the server's defaults (durable).
        fast = "" if self.durable else " -c fsync=off -c full_page_writes=off"
        self.as_user(["pg_ctl", "-D", self.data, "-l", self.log, "-w", "-o",
                      "-k %s -c listen_addresses=''%s" % (self.top, fast), "start"])

    def stop(self, mode="fast"):
        self.as_user(["pg_ctl", "-D", self.data, "-m", mode, "-w", "stop"])

    def running(self):
        return self.as_user(["pg_ctl", "-D", self.data, "status"], check=False).returncode == 0

    def dsn(self, user="postgres", database="postgres"):
        return "host=%s dbname=%s user=%s" % (self.top, database, user)

    def connect(self, user="postgres", database="postgres"):
        return psycopg.connect(self.dsn(user, database), autocommit=True)

    def remove(self):
        if self.running():
            self.stop("immediate")
        shutil.rmtree(self.top, ignore_errors=True)


def tool(*arguments, env=None, timeout=120):
    """(status, stderr) of tarvex-ship."""
    done = subprocess.run([TOOL] + [str(a) for a in arguments], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, **(env or {})))
    return done.returncode, done.stderr


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    """The cluster, its roles made once as a database administrator makes
    them, and a template database brought to the current schema."""
    made = Server()
    passfile = tmp_path_factory.mktemp("secrets") / "pgpass"
    with made.connect() as connection:
        for statement in ("CREATE ROLE tarvex_owner LOGIN", "CREATE ROLE tarvex_instrument NOLOGIN",
                          "CREATE ROLE tarvex_reader NOLOGIN",
                          "CREATE ROLE tarvex_network LOGIN IN ROLE tarvex_reader",
                          "CREATE DATABASE tarvex_template OWNER tarvex_owner"):
            connection.execute(statement)
        set_password(connection, "tarvex_network", PASSWORD % "network")
    status, err = tool("migrate", "--dsn", made.dsn("tarvex_owner", "tarvex_template"))
    assert status == 0, err
    lines = ["*:*:*:tarvex_network:%s" % (PASSWORD % "network")]
    for instrument in INSTRUMENTS:
        role = "tarvex_" + instrument
        status, err = tool("add-instrument", "--instrument", instrument, "--role", role,
                           "--dsn", made.dsn("postgres", "tarvex_template"))
        assert status == 0, err
        with made.connect() as connection:
            set_password(connection, role, PASSWORD % role)
        lines.append("*:*:*:%s:%s" % (role, PASSWORD % role))
    passfile.write_text("\n".join(lines) + "\n")
    passfile.chmod(0o600)
    made.passfile = str(passfile)
    made.databases = 0
    yield made
    made.remove()


def set_password(connection, role, password):
    """What the administrator does with psql's \\password (ALTER ROLE takes
    no parameters: psycopg quotes the literal)."""
    connection.execute(sql.SQL("ALTER ROLE {} PASSWORD {}").format(sql.Identifier(role),
                                                                    sql.Literal(password)))


@pytest.fixture
def database(server):
    """A fresh database of the current schema with lab1 to lab4 mapped;
    the server running again afterwards whatever the test did to it."""
    server.databases += 1
    name = "tarvex_%d" % server.databases
    with server.connect() as connection:
        connection.execute("CREATE DATABASE %s TEMPLATE tarvex_template OWNER tarvex_owner" % name)
    yield name
    if not server.running():
        server.start()


class Instrument:
    """An instrument's folders and how its service runs tarvex-ship."""

    def __init__(self, top, name, server, database):
        self.name, self.server, self.database = name, server, database
        self.root = os.path.join(top, name, "data")
        self.reports = os.path.join(top, name, "reports")
        self.state = os.path.join(top, name, "state")
        self.paniclog = os.path.join(top, name, "PanicLog")
        for folder in (self.root, self.reports):
            os.makedirs(folder, exist_ok=True)

    def command(self, *extra, retry_for=0):
        return ["ship", "--instrument", self.name, "--root", self.root, "--reports",
                self.reports, "--dsn", self.server.dsn("tarvex_" + self.name, self.database),
                "--state", self.state, "--paniclog", self.paniclog,
                "--retry-for", retry_for] + list(extra)

    def environment(self):
        return {"PGPASSFILE": self.server.passfile}

    def ship(self, *extra, retry_for=0):
        return tool(*self.command(*extra, retry_for=retry_for), env=self.environment())

    def popen(self, *extra, retry_for=0):
        return subprocess.Popen([TOOL] + [str(a) for a in self.command(*extra,
                                                                       retry_for=retry_for)],
                                stderr=subprocess.PIPE, text=True,
                                env=dict(os.environ, **self.environment()))


@pytest.fixture
def lab1(tmp_path, server, database):
    return Instrument(str(tmp_path), "lab1", server, database)


@pytest.fixture
def lab2(tmp_path, server, database):
    return Instrument(str(tmp_path), "lab2", server, database)


def rows(server, database, query, parameters=()):
    """Rows of a query as the owner sees them."""
    with server.connect("tarvex_owner", database) as connection:
        return connection.execute(query, parameters).fetchall()
