"""The statements that put a cycle into the database, one transaction per
cycle, the cycles of a batch sent in one pipeline (no wait for the server
between statements). Every statement is an upsert on the row's natural key
that changes a row only when its content hash differs, so shipping the same
cycle again changes nothing; a changed cycle gets revision + 1 and its rows
that the new results no longer have are deleted. Every value is a bound
parameter; the SQL text is built once, from fixed names, with psycopg.sql."""

from dataclasses import dataclass

import psycopg
from psycopg import sql

from .database import first_line


@dataclass
class Part:
    table: str
    keys: tuple  # besides instrument and started
    columns: tuple
    casts: dict
    key_type: str = ""


PARTS = (
    Part("trace", (), ("times", "millivolts", "status"),
         {"times": "integer[]", "millivolts": "double precision[]", "status": "smallint[]"}),
    Part("temperature", ("controller",),
         ("faults", "seq_faults", "retries", "times", "column_c", "warm_c"),
         {"times": "integer[]", "column_c": "real[]", "warm_c": "real[]"}, "smallint"),
    Part("flow", (), ("minutes", "sample", "detector", "closing"),
         {"minutes": "integer[]", "sample": "real[]", "detector": "real[]"}),
    Part("peak", ("peak",), ("name", "retention_s", "start_s", "end_s", "height_mv", "area_mvs",
                             "width_s", "comment"), {}, "integer"),
    Part("amount", ("name",), ("kind", "retention_s", "area_mvs", "amount", "unit", "flags"),
         {"flags": "text[]"}, "text"),
)
CYCLE = Part("cycle", (), ("stamp", "kind", "standard", "exit_status", "method", "method_sha256",
                           "program_version", "report_error"), {})
CALIBRATION = Part("calibration", ("id",), ("started", "accepted", "in_force_from", "in_force",
                                            "document"), {"document": "jsonb"})
PANIC_ENTRY = Part("panic_entry", ("logged", "ordinal"), ("kind", "text", "reply"), {})


def value(part, column):
    placeholder = sql.Placeholder(column)
    if column in part.casts:
        return sql.SQL("{}::{}").format(placeholder, sql.SQL(part.casts[column]))
    return placeholder


def upsert(part, time_key="started", extra_set=()):
    """INSERT ... ON CONFLICT (key) DO UPDATE ... WHERE the hash differs."""
    keys = ("instrument",) + ((time_key,) if time_key else ()) + part.keys
    columns = keys + part.columns + ("sha256",)
    changes = [sql.SQL("{} = {}").format(sql.Identifier(column), value(part, column))
               for column in part.columns + ("sha256",)] + [sql.SQL(text) for text in extra_set]
    return sql.SQL(
        "INSERT INTO tarvex_store.{table} AS t ({columns}) VALUES ({values}) "
        "ON CONFLICT ({keys}) DO UPDATE SET {changes} WHERE t.sha256 <> {sha256}").format(
        table=sql.Identifier(part.table),
        columns=sql.SQL(", ").join(map(sql.Identifier, columns)),
        values=sql.SQL(", ").join(value(part, column) for column in columns),
        keys=sql.SQL(", ").join(map(sql.Identifier, keys)),
        changes=sql.SQL(", ").join(changes), sha256=sql.Placeholder("sha256"))


def delete_stale(part):
    """Rows of the cycle whose key the new results do not have."""
    query = sql.SQL("DELETE FROM tarvex_store.{} WHERE instrument = %(instrument)s "
                    "AND started = %(started)s").format(sql.Identifier(part.table))
    if not part.keys:
        return query
    return query + sql.SQL(" AND NOT ({} = ANY(%(present)s::{}[]))").format(
        sql.Identifier(part.keys[0]), sql.SQL(part.key_type))


CYCLE_UPSERT = upsert(CYCLE, extra_set=("revision = t.revision + 1",
                                        "received = clock_timestamp()"))
PART_UPSERTS = {part.table: upsert(part) for part in PARTS}
PART_DELETES = {part.table: delete_stale(part) for part in PARTS}
CALIBRATION_UPSERT = upsert(CALIBRATION, time_key=None)
PANIC_UPSERT = upsert(PANIC_ENTRY, time_key=None)
ENSURE_MONTHS = "SELECT tarvex_store.ensure_months(%s::timestamptz[])"
TEXTS = {}


def text(query, connection):
    """A statement as text, made once: composing it again for every row
    costs more than sending the row."""
    if id(query) not in TEXTS:
        TEXTS[id(query)] = query.as_string(connection)
    return TEXTS[id(query)]


def send_cycle(cursor, instrument, cycle):
    """The statements of one cycle (inside its transaction)."""
    key = {"instrument": instrument, "started": cycle.started}
    connection = cursor.connection
    cursor.execute(text(CYCLE_UPSERT, connection),
                   dict(key, stamp=cycle.stamp, sha256=cycle.sha256, **cycle.description))
    for part in PARTS:
        rows = cycle.parts[part.table]
        if rows is None:
            continue  # unusable now: what was shipped before stays
        if len(rows) == 1:
            cursor.execute(text(PART_UPSERTS[part.table], connection), dict(key, **rows[0]))
        elif rows:
            cursor.executemany(text(PART_UPSERTS[part.table], connection),
                               [dict(key, **row) for row in rows])
        if part.keys:
            present = [row[part.keys[0]] for row in rows]
            cursor.execute(text(PART_DELETES[part.table], connection),
                           dict(key, present=present))
        elif not rows:
            cursor.execute(text(PART_DELETES[part.table], connection), key)


def ship_batch(connection, instrument, cycles):
    """Every cycle of the batch in its own transaction, all sent in one
    pipeline: the client waits for the server once per batch, not once per
    cycle. Returns the cycles the database refused for their content, each
    with the reason ([] normally). A lost connection raises
    psycopg.OperationalError: cycles committed before it are in, the others
    not at all."""
    try:
        with connection.pipeline(), connection.cursor() as cursor:
            for cycle in cycles:
                cursor.execute("BEGIN")
                send_cycle(cursor, instrument, cycle)
                cursor.execute("COMMIT")
        return []
    except psycopg.OperationalError:
        raise
    except psycopg.Error:
        pass
    # The server skipped everything after the refused statement: the batch
    # again one by one, to know which cycle it was (those already in change
    # nothing).
    if connection.info.transaction_status != psycopg.pq.TransactionStatus.IDLE:
        connection.rollback()
    refused = []
    with connection.cursor() as cursor:
        for cycle in cycles:
            try:
                with connection.transaction():
                    send_cycle(cursor, instrument, cycle)
            except psycopg.Error as error:
                if not refused_for_its_content(error):
                    raise
                refused.append((cycle, first_line(error)))
    return refused


def refused_for_its_content(error):
    """Data exceptions (22...) and broken constraints (23...) are the cycle's
    own; anything else (a deadlock, a server short of resources, a right
    missing) is not, and the cycle stays in the backlog."""
    return (getattr(error, "sqlstate", None) or "")[:2] in ("22", "23")


def ship_rows(connection, query, rows):
    """Rows of one kind (calibrations, PanicLog entries) in one transaction."""
    if rows:
        with connection.transaction(), connection.cursor() as cursor:
            cursor.executemany(text(query, connection), rows)
