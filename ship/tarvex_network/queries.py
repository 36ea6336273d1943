"""What the Network page asks the central database, through the views of
the schema tarvex only (the reader role may read nothing else)."""

# Every instrument's latest state (tarvex.instrument_status says how the
# status is derived).
INSTRUMENTS = """
SELECT instrument, status, started, stamp, kind, standard, exit_status, revision, received,
       extract(epoch FROM period) AS period_s, check_started, check_stamp, check_standard,
       check_results, open_flags, panic_entries_24h, last_panic
FROM tarvex.instrument_status ORDER BY instrument
"""

# The compounds quantified lately: one step through the compound index per
# name (a loose index scan), not every row of three months.
COMPOUNDS = """
WITH RECURSIVE names(name) AS (
  (SELECT name FROM tarvex.amounts WHERE started > now() - interval '92 days'
   ORDER BY name LIMIT 1)
  UNION ALL
  SELECT (SELECT a.name FROM tarvex.amounts a
          WHERE a.name > names.name AND a.started > now() - interval '92 days'
          ORDER BY a.name LIMIT 1)
  FROM names WHERE names.name IS NOT NULL)
SELECT name FROM names WHERE name IS NOT NULL
"""

# One compound across every instrument over a period: the series (one per
# instrument and unit) as JSON made by the server, each with its times (ms
# since 1970) and amounts as two arrays -- tens of thousands of points pass
# as one value.
SERIES = """
SELECT coalesce(json_agg(json_build_object('instrument', instrument, 'unit', unit,
                                           'times', times, 'amounts', amounts)
                         ORDER BY instrument, unit), '[]')::text AS series
FROM (SELECT instrument, unit,
             array_agg((date_part('epoch', t) * 1000)::bigint ORDER BY t) AS times,
             array_agg(amount ORDER BY t) AS amounts
      FROM (%s) AS found
      GROUP BY instrument, unit) AS series
"""

# Each cycle's amount.
AMOUNTS = SERIES % """
SELECT instrument, coalesce(unit, '') AS unit, started AS t, amount
FROM tarvex.amounts
WHERE name = %(name)s AND kind = %(kind)s AND started >= %(start)s AND started < %(end)s
  AND amount IS NOT NULL
"""

# Means per bucket of whole hours, for periods with more cycles than a chart
# shows, from the hourly sums that shipping keeps: a month is 720 rows an
# instrument, not 2,880.
AMOUNT_MEANS = SERIES % """
SELECT instrument, unit, date_bin(%(bucket)s, hour, %(start)s) AS t,
       sum(total) / sum(cycles) AS amount
FROM tarvex.amount_hours
WHERE name = %(name)s AND kind = %(kind)s AND hour >= %(start)s AND hour < %(end)s
GROUP BY 1, 2, 3
HAVING sum(cycles) > 0
"""
