"""The Network page's JSON, a read-only WSGI application (run by Debian's
waitress behind lighttpd):

  GET /api/instruments      every instrument's latest state
  GET /api/compounds        the compounds quantified in the last 92 days
  GET /api/amounts?name=N&from=YYYY-MM-DD&to=YYYY-MM-DD[&kind=sample]
                            one compound across all instruments, the days
                            from and to included (UTC); means per bucket when
                            the period holds more cycles than a chart shows

It connects with the reader role (TARVEX_NETWORK_DSN, a libpq connection
string; the password from the file PGPASSFILE names), in read-only sessions,
and only ever reads. Every value from a request is a bound parameter."""

import json
import math
import os
import sys
import threading
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal
from urllib.parse import parse_qs

import psycopg

from . import queries

KINDS = ("sample", "blank", "calibration", "check")
LONGEST_PERIOD_DAYS = 400
# Means per bucket once an instrument would have more points than this.
POINTS_PER_SERIES = 400
CYCLE_S = 900
BUCKETS_S = (3600, 7200, 10800, 21600, 43200, 86400, 604800)  # whole hours: the hourly sums
SESSION = ("SELECT set_config('default_transaction_read_only', 'on', false), "
           "set_config('statement_timeout', '10000', false), "
           "set_config('TimeZone', 'UTC', false)")
HEADERS = [("Content-Type", "application/json; charset=utf-8"), ("Cache-Control", "no-store"),
           ("X-Content-Type-Options", "nosniff"),
           ("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'")]


class Problem(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Database:
    """One connection per server thread, made again after a failure."""

    def __init__(self, conninfo):
        self.conninfo = conninfo
        self.local = threading.local()

    def rows(self, query, parameters=None):
        for attempt in (1, 2):
            connection = getattr(self.local, "connection", None)
            try:
                if connection is None or connection.closed:
                    connection = psycopg.connect(self.conninfo, autocommit=True,
                                                 application_name="tarvex-network")
                    connection.execute(SESSION)
                    self.local.connection = connection
                cursor = connection.execute(query, parameters)
                names = [column.name for column in cursor.description]
                return [dict(zip(names, row)) for row in cursor.fetchall()]
            except psycopg.OperationalError as error:
                self.local.connection = None
                if connection is not None:
                    connection.close()
                if attempt == 2:
                    print("tarvex-network: database: %s" % str(error).strip().split("\n")[0],
                          file=sys.stderr, flush=True)
                    raise Problem("503 Service Unavailable",
                                  "the central database cannot be reached") from None


def plain(value):
    """JSON of what the database returns."""
    if isinstance(value, datetime):
        return value.astimezone(timezone.utc).isoformat()
    if isinstance(value, Decimal):
        return float(value)
    if isinstance(value, float) and not math.isfinite(value):
        return None
    raise TypeError(type(value).__name__)


def instruments(database, query):
    return {"generated": datetime.now(timezone.utc),
            "instruments": database.rows(queries.INSTRUMENTS)}


def compounds(database, query):
    return {"compounds": [row["name"] for row in database.rows(queries.COMPOUNDS)]}


def day(query, name):
    text = (query.get(name) or [""])[0]
    try:
        if len(text) != 10:
            raise ValueError(text)
        return date.fromisoformat(text)
    except ValueError:
        raise Problem("400 Bad Request", "%s: not a date YYYY-MM-DD" % name) from None


def amounts(database, query):
    name = (query.get("name") or [""])[0]
    kind = (query.get("kind") or ["sample"])[0]
    if not name or len(name) > 200:
        raise Problem("400 Bad Request", "name: the compound is missing or too long")
    if kind not in KINDS:
        raise Problem("400 Bad Request", "kind: one of %s" % ", ".join(KINDS))
    first, last = day(query, "from"), day(query, "to")
    if not 0 <= (last - first).days < LONGEST_PERIOD_DAYS:
        raise Problem("400 Bad Request", "from must not be after to, and the period at most %d "
                      "days" % LONGEST_PERIOD_DAYS)
    start = datetime(first.year, first.month, first.day, tzinfo=timezone.utc)
    end = datetime(last.year, last.month, last.day, tzinfo=timezone.utc) + timedelta(days=1)
    cycles = (end - start).total_seconds() / CYCLE_S
    bucket = next((size for size in BUCKETS_S if cycles * CYCLE_S / size <= POINTS_PER_SERIES),
                  BUCKETS_S[-1]) if cycles > POINTS_PER_SERIES else None
    parameters = {"name": name, "kind": kind, "start": start, "end": end,
                  "bucket": timedelta(seconds=bucket or 0)}
    found = database.rows(queries.AMOUNT_MEANS if bucket else queries.AMOUNTS, parameters)
    return {"name": name, "kind": kind, "from": first.isoformat(), "to": last.isoformat(),
            "bucket_s": bucket, "series": json.loads(found[0]["series"])}


ROUTES = {"/api/instruments": instruments, "/api/compounds": compounds, "/api/amounts": amounts}


def make_application(conninfo):
    database = Database(conninfo)

    def application(environ, start_response):
        method = environ.get("REQUEST_METHOD", "GET")
        try:
            if method not in ("GET", "HEAD"):
                raise Problem("405 Method Not Allowed", "only GET and HEAD")
            route = ROUTES.get(environ.get("PATH_INFO", ""))
            if route is None:
                raise Problem("404 Not Found", "no such resource")
            query = parse_qs(environ.get("QUERY_STRING", ""), max_num_fields=10)
            status, answer = "200 OK", route(database, query)
        except Problem as problem:
            status, answer = problem.status, {"error": str(problem)}
        except ValueError:  # a query string beyond its limits
            status, answer = "400 Bad Request", {"error": "the query string cannot be read"}
        body = json.dumps(answer, default=plain, ensure_ascii=False).encode("utf-8")
        headers = HEADERS + [("Content-Length", str(len(body)))]
        if status.startswith("405"):
            headers.append(("Allow", "GET, HEAD"))
        start_response(status, headers)
        return [b"" if method == "HEAD" else body]

    return application


def from_environment():
    conninfo = os.environ.get("TARVEX_NETWORK_DSN")
    if not conninfo:
        sys.exit("tarvex-network: TARVEX_NETWORK_DSN is not set (see /etc/tarvex/network.conf)")
    return make_application(conninfo)
