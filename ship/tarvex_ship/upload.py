"""The statements that put a cycle into the database.

A cycle is one statement -- the upsert of its row, with the upserts of its
parts' rows and the deletion of rows its new results no longer have as
data-modifying WITH queries -- in a transaction of its own; the cycles of a
batch are sent in one pipeline, so the client waits for the server once per
batch. Every upsert is on the row's natural key and changes a row only when
its content hash differs: shipping the same cycle again changes nothing; a
changed cycle gets revision + 1. Every value is a bound parameter (a part's
rows go as arrays, one per column, unnested by the server); the SQL text is
built once, from fixed names, with psycopg.sql."""

from dataclasses import dataclass

import psycopg
from psycopg import sql

from .database import first_line


@dataclass
class Part:
    table: str
    keys: tuple  # (column, type) besides instrument and started
    columns: tuple  # (column, type of the array sent, cast of each element or None)


ARRAY = "text"  # an array column's rows travel as array literals
PARTS = (
    Part("trace", (), (("times", ARRAY, "integer[]"), ("millivolts", ARRAY, "double precision[]"),
                       ("status", ARRAY, "smallint[]"))),
    Part("temperature", (("controller", "smallint"),),
         (("faults", "integer", None), ("seq_faults", "integer", None),
          ("retries", "integer", None), ("times", ARRAY, "integer[]"),
          ("column_c", ARRAY, "real[]"), ("warm_c", ARRAY, "real[]"))),
    Part("flow", (), (("minutes", ARRAY, "integer[]"), ("sample", ARRAY, "real[]"),
                      ("detector", ARRAY, "real[]"), ("closing", "text", None))),
    Part("peak", (("peak", "integer"),),
         tuple((column, "double precision", None) for column in
               ("retention_s", "start_s", "end_s", "height_mv", "area_mvs", "width_s"))
         + (("name", "text", None), ("comment", "text", None))),
    Part("amount", (("name", "text"),),
         (("kind", "text", None), ("retention_s", "double precision", None),
          ("area_mvs", "double precision", None), ("amount", "double precision", None),
          ("unit", "text", None), ("flags", ARRAY, "text[]"))),
)
CYCLE_COLUMNS = ("stamp", "kind", "standard", "exit_status", "method", "method_sha256",
                 "program_version", "report_error", "sha256")


def name(part, column):
    return "%s_%s" % (part.table, column)


def part_upsert(part):
    """INSERT ... SELECT FROM unnest(one array per column) ON CONFLICT (key)
    DO UPDATE ... WHERE the row's hash differs."""
    columns = [(column, kind, None) for column, kind in part.keys] + list(part.columns) \
        + [("sha256", "bytea", None)]
    arrays = sql.SQL(", ").join(sql.SQL("{}::{}[]").format(sql.Placeholder(name(part, column)),
                                                            sql.SQL(kind))
                                for column, kind, _ in columns)
    picked = sql.SQL(", ").join(
        sql.SQL("u.{}::{}").format(sql.Identifier(column), sql.SQL(cast)) if cast
        else sql.SQL("u.{}").format(sql.Identifier(column)) for column, _, cast in columns)
    keys = ["instrument", "started"] + [column for column, _ in part.keys]
    changes = sql.SQL(", ").join(sql.SQL("{0} = excluded.{0}").format(sql.Identifier(column))
                                 for column, _, _ in columns[len(part.keys):])
    return sql.SQL(
        "INSERT INTO tarvex_store.{table} AS t ({all}) "
        "SELECT %(instrument)s, %(started)s, {picked} FROM unnest({arrays}) AS u ({names}) "
        "ON CONFLICT ({keys}) DO UPDATE SET {changes} WHERE t.sha256 <> excluded.sha256").format(
        table=sql.Identifier(part.table),
        all=sql.SQL(", ").join(map(sql.Identifier, ["instrument", "started"] +
                                   [column for column, _, _ in columns])),
        picked=picked, arrays=arrays,
        names=sql.SQL(", ").join(sql.Identifier(column) for column, _, _ in columns),
        keys=sql.SQL(", ").join(map(sql.Identifier, keys)), changes=changes)


def part_delete(part):
    """The cycle's rows whose key the new results do not have (nothing when
    the part's file was unusable: what was shipped before stays)."""
    query = sql.SQL("DELETE FROM tarvex_store.{} WHERE instrument = %(instrument)s AND "
                    "started = %(started)s AND NOT {}").format(
        sql.Identifier(part.table), sql.Placeholder(name(part, "keep")))
    if part.keys:
        column, kind = part.keys[0]
        return query + sql.SQL(" AND NOT ({} = ANY({}::{}[]))").format(
            sql.Identifier(column), sql.Placeholder(name(part, column)), sql.SQL(kind))
    return query + sql.SQL(" AND cardinality({}::bytea[]) = 0").format(
        sql.Placeholder(name(part, "sha256")))


# The hourly sums: the cycle's amounts as stored before this statement
# taken out, its new ones put in; nothing is written when they are the same.
AMOUNT_HOUR = sql.SQL("""
prior_amounts AS (
  SELECT name, coalesce(kind, '') AS kind, coalesce(unit, '') AS unit, amount
  FROM tarvex_store.amount
  WHERE instrument = %(instrument)s AND started = %(started)s AND amount IS NOT NULL
    AND NOT %(amount_keep)s),
amount_change AS (
  SELECT name, kind, unit, sum(amount) AS total, sum(cycles)::integer AS cycles
  FROM (SELECT u.name, coalesce(u.kind, '') AS kind, coalesce(u.unit, '') AS unit, u.amount,
               1 AS cycles
        FROM unnest(%(amount_name)s::text[], %(amount_kind)s::text[], %(amount_unit)s::text[],
                    %(amount_amount)s::double precision[]) AS u (name, kind, unit, amount)
        WHERE u.amount IS NOT NULL
        UNION ALL
        SELECT name, kind, unit, -amount, -1 FROM prior_amounts) AS change
  GROUP BY name, kind, unit
  HAVING sum(amount) <> 0 OR sum(cycles) <> 0),
put_amount_hour AS (
  INSERT INTO tarvex_store.amount_hour AS t (instrument, name, kind, unit, hour, total, cycles)
  SELECT %(instrument)s, name, kind, unit,
         date_bin('1 hour', %(started)s::timestamptz, timestamptz '2000-01-01 00:00:00+00'),
         total, cycles
  FROM amount_change
  ON CONFLICT (name, kind, hour, instrument, unit)
  DO UPDATE SET total = t.total + excluded.total, cycles = t.cycles + excluded.cycles)""")


def cycle_statement():
    withs = [AMOUNT_HOUR]
    for part in PARTS:
        withs.append(sql.SQL("{} AS ({})").format(sql.Identifier("put_" + part.table),
                                                  part_upsert(part)))
        withs.append(sql.SQL("{} AS ({})").format(sql.Identifier("drop_" + part.table),
                                                  part_delete(part)))
    changes = sql.SQL(", ").join(sql.SQL("{0} = excluded.{0}").format(sql.Identifier(column))
                                 for column in CYCLE_COLUMNS)
    return sql.SQL(
        "WITH {withs} INSERT INTO tarvex_store.cycle AS t (instrument, started, {columns}) "
        "VALUES (%(instrument)s, %(started)s, {values}) ON CONFLICT (instrument, started) "
        "DO UPDATE SET {changes}, revision = t.revision + 1, received = clock_timestamp() "
        "WHERE t.sha256 <> excluded.sha256").format(
        withs=sql.SQL(", ").join(withs),
        columns=sql.SQL(", ").join(map(sql.Identifier, CYCLE_COLUMNS)),
        values=sql.SQL(", ").join(map(sql.Placeholder, CYCLE_COLUMNS)), changes=changes)


def simple_upsert(table, keys, columns, casts=None):
    """One row, its values bound in the update too."""
    casts = casts or {}
    value = lambda column: sql.SQL("{}::{}").format(  # noqa: E731
        sql.Placeholder(column), sql.SQL(casts[column])) if column in casts \
        else sql.Placeholder(column)
    every = keys + columns + ("sha256",)
    return sql.SQL(
        "INSERT INTO tarvex_store.{} AS t ({}) VALUES ({}) ON CONFLICT ({}) DO UPDATE SET {} "
        "WHERE t.sha256 <> %(sha256)s").format(
        sql.Identifier(table), sql.SQL(", ").join(map(sql.Identifier, every)),
        sql.SQL(", ").join(map(value, every)), sql.SQL(", ").join(map(sql.Identifier, keys)),
        sql.SQL(", ").join(sql.SQL("{} = {}").format(sql.Identifier(column), value(column))
                           for column in columns + ("sha256",)))


CYCLE_UPSERT = cycle_statement()
CALIBRATION_UPSERT = simple_upsert("calibration", ("instrument", "id"),
                                   ("started", "accepted", "in_force_from", "in_force",
                                    "document"), {"document": "jsonb"})
PANIC_UPSERT = simple_upsert("panic_entry", ("instrument", "logged", "ordinal"),
                             ("kind", "text", "reply"))
ENSURE_MONTHS = "SELECT tarvex_store.ensure_months(%s::timestamptz[])"
TEXTS = {}


def text(query, connection):
    """A statement as text, made once: composing it again for every cycle
    costs more than sending the cycle."""
    if id(query) not in TEXTS:
        TEXTS[id(query)] = query.as_string(connection)
    return TEXTS[id(query)]


def element(value):
    """One element of an array literal."""
    if value is None:
        return "NULL"
    if isinstance(value, str):
        return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')
    if isinstance(value, bytes):
        return '"\\\\x%s"' % value.hex()
    return repr(value)


def parameters(instrument, cycle):
    """The cycle's values, a part's rows as one array literal per column
    (made here: psycopg's own lists cost more, element by element)."""
    values = {"instrument": instrument, "started": cycle.started, "stamp": cycle.stamp,
              "sha256": cycle.sha256}
    values.update(cycle.description)
    for part in PARTS:
        rows = cycle.parts[part.table]
        values[name(part, "keep")] = rows is None
        rows = rows or []
        for column in [column for column, _ in part.keys] + \
                [column for column, _, _ in part.columns] + ["sha256"]:
            values[name(part, column)] = "{%s}" % ",".join(element(row[column]) for row in rows)
    return values


def ship_batch(connection, instrument, cycles):
    """Every cycle of the batch in its own transaction, all sent in one
    pipeline. Returns the cycles the database refused for their content,
    each with the reason ([] normally). A lost connection raises
    psycopg.OperationalError: cycles committed before it are in, the others
    not at all."""
    statement = text(CYCLE_UPSERT, connection)
    try:
        with connection.pipeline(), connection.cursor() as cursor:
            for cycle in cycles:
                cursor.execute("BEGIN")
                cursor.execute(statement, parameters(instrument, cycle))
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
    for cycle in cycles:
        try:
            connection.execute(statement, parameters(instrument, cycle))
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
