"""Command line of tarvex-ship.

Exit status: 0 everything new is shipped (or the schema is up to date);
75 the database could not be reached (the backlog stays for the next run);
2 a command line, configuration or file that cannot be used (the message
names it; everything else was shipped); 143 stopped by SIGTERM between two
batches; 1 anything else (one line, never a traceback unless
TARVEX_SHIP_TRACEBACK=1)."""

import argparse
import os
import re
import sys

import psycopg

from . import __version__
from .database import Link, Unreachable, first_line
from .migrate import add_instrument, migrate
from .problems import (BAD_INPUT, FAILED, PROGRAM, SHIPPED, UNREACHABLE, BadInput, Refused,
                       say)

INSTRUMENT = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,62}")
DEFAULT_STATE = "/var/lib/tarvex/%s/ship"


def instrument_name(text):
    if not INSTRUMENT.fullmatch(text):
        raise argparse.ArgumentTypeError(
            "%r: an instrument's name is 1 to 63 letters, digits, '.', '_' or '-', starting with "
            "a letter or digit" % text)
    return text


def count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 10000:
        raise argparse.ArgumentTypeError("%r is not a whole number from 1 to 10000" % text)
    return value


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 86400:
        raise argparse.ArgumentTypeError("%r is not a number of seconds from 0 to 86400" % text)
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Ships the cycles of a Tarvex instrument into the network's "
        "central PostgreSQL database.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ship = commands.add_parser("ship", help="ship what is new or changed for one instrument")
    ship.add_argument("--instrument", required=True, type=instrument_name, metavar="NAME")
    ship.add_argument("--root", required=True, metavar="ROOT", help="the data root")
    ship.add_argument("--reports", required=True, metavar="DIR",
                      help="the report folder (tarvex-report update --out)")
    ship.add_argument("--dsn", required=True, metavar="DSN", help="libpq connection string")
    ship.add_argument("--state", metavar="DIR",
                      help="the memory of what is shipped (default: %s)" % (DEFAULT_STATE % "NAME"))
    ship.add_argument("--paniclog", metavar="FILE", help="the instrument's PanicLog")
    ship.add_argument("--batch", type=count, default=50, metavar="N",
                      help="cycles sent together (default: 50)")
    ship.add_argument("--retry-for", type=seconds, default=120, metavar="SECONDS",
                      help="keep trying to reach the database this long (default: 120)")
    ship.add_argument("--full", action="store_true",
                      help="look at every day folder, not only the changed ones")
    ship.set_defaults(run=run_ship)

    schema = commands.add_parser("migrate", help="bring the database's schema up to date")
    schema.add_argument("--dsn", required=True, metavar="DSN")
    schema.set_defaults(run=run_migrate)

    add = commands.add_parser("add-instrument",
                              help="create an instrument's login role and map it")
    add.add_argument("--instrument", required=True, type=instrument_name, metavar="NAME")
    add.add_argument("--role", required=True, metavar="ROLE")
    add.add_argument("--dsn", required=True, metavar="DSN")
    add.set_defaults(run=run_add_instrument)
    return parser


def run_ship(args):
    from .shipper import ship
    args.state = args.state or DEFAULT_STATE % args.instrument
    return ship(args)


def administrator_connection(dsn):
    return Link(dsn, "tarvex-ship", retry_for=0).connect()


def run_migrate(args):
    with administrator_connection(args.dsn) as connection:
        if migrate(connection) == 0:
            say("the schema is up to date")
    return SHIPPED


def run_add_instrument(args):
    with administrator_connection(args.dsn) as connection:
        add_instrument(connection, args.instrument, args.role)
    return SHIPPED


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except BadInput as problem:
        say(problem)
        return BAD_INPUT
    except Unreachable as down:
        say("database unreachable: %s" % down.reason)
        return UNREACHABLE
    except Refused as problem:
        say(problem)
        return FAILED
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # one line for the journal, never a traceback
        if os.environ.get("TARVEX_SHIP_TRACEBACK") == "1":
            raise
        if isinstance(error, psycopg.Error):
            say("database: %s" % first_line(error))
        else:
            say("%s: %s" % (type(error).__name__, error))
        return FAILED


if __name__ == "__main__":
    sys.exit(main())
