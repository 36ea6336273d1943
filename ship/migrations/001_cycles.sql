-- The cycles of every instrument of a network, as tarvex-ship sends them.
--
-- Two schemas: tarvex_store keeps the rows (tables partitioned by month of
-- the cycle's start); tarvex is what consumers read (views whose columns
-- stay). tarvex-ship migrate runs this file in one transaction, as the
-- owner of the database, after the roles tarvex_instrument and
-- tarvex_reader exist (see tarvex-ship(1), DATABASE ADMINISTRATION).

CREATE SCHEMA tarvex_store;

-- Which login role ships for which instrument: the row-level security of
-- every table below is keyed on this mapping.
CREATE TABLE tarvex_store.instruments (
  name text PRIMARY KEY CHECK (name ~ '^[A-Za-z0-9][A-Za-z0-9._-]{0,62}$'),
  role name NOT NULL UNIQUE,
  added timestamptz NOT NULL DEFAULT now()
);

-- One row per cycle. started is the instrument's local stamp with the UTC
-- offset it had then; revision counts the contents shipped for the cycle
-- (1 at first, +1 each time reprocessed results replace earlier ones);
-- sha256 is the hash of everything shipped for it, so that the same cycle
-- shipped twice changes nothing.
CREATE TABLE tarvex_store.cycle (
  instrument text NOT NULL,
  started timestamptz NOT NULL,
  stamp text NOT NULL,
  kind text CHECK (kind IN ('sample', 'blank', 'calibration', 'check')),
  standard text,
  exit_status integer,
  method text,
  method_sha256 text,
  program_version text,
  report_error text,
  revision integer NOT NULL DEFAULT 1,
  sha256 bytea NOT NULL,
  received timestamptz NOT NULL DEFAULT clock_timestamp(),
  PRIMARY KEY (instrument, started)
) PARTITION BY RANGE (started);
CREATE INDEX cycle_checks ON tarvex_store.cycle (instrument, started) WHERE kind = 'check';

-- The detector trace: one row per cycle, the readings as arrays (status
-- only when one reading's is not 0).
CREATE TABLE tarvex_store.trace (
  instrument text NOT NULL,
  started timestamptz NOT NULL,
  times integer[] NOT NULL,
  millivolts double precision[] NOT NULL,
  status smallint[],
  sha256 bytea NOT NULL,
  PRIMARY KEY (instrument, started)
) PARTITION BY RANGE (started);

CREATE TABLE tarvex_store.temperature (
  instrument text NOT NULL,
  started timestamptz NOT NULL,
  controller smallint NOT NULL,
  faults integer,
  seq_faults integer,
  retries integer,
  times integer[] NOT NULL,
  column_c real[] NOT NULL,
  warm_c real[] NOT NULL,
  sha256 bytea NOT NULL,
  PRIMARY KEY (instrument, started, controller)
) PARTITION BY RANGE (started);

CREATE TABLE tarvex_store.flow (
  instrument text NOT NULL,
  started timestamptz NOT NULL,
  minutes integer[] NOT NULL,
  sample real[] NOT NULL,
  detector real[] NOT NULL,
  closing text,
  sha256 bytea NOT NULL,
  PRIMARY KEY (instrument, started)
) PARTITION BY RANGE (started);

CREATE TABLE tarvex_store.peak (
  instrument text NOT NULL,
  started timestamptz NOT NULL,
  peak integer NOT NULL,
  name text,
  retention_s double precision,
  start_s double precision,
  end_s double precision,
  height_mv double precision,
  area_mvs double precision,
  width_s double precision,
  comment text,
  sha256 bytea NOT NULL,
  PRIMARY KEY (instrument, started, peak)
) PARTITION BY RANGE (started);

-- kind repeats the cycle's so that one compound across the network is read
-- from this table's index alone.
CREATE TABLE tarvex_store.amount (
  instrument text NOT NULL,
  started timestamptz NOT NULL,
  name text NOT NULL,
  kind text,
  retention_s double precision,
  area_mvs double precision,
  amount double precision,
  unit text,
  flags text[] NOT NULL DEFAULT '{}',
  sha256 bytea NOT NULL,
  PRIMARY KEY (instrument, started, name)
) PARTITION BY RANGE (started);
CREATE INDEX amount_compound ON tarvex_store.amount (name, started) INCLUDE (instrument, kind, amount);

-- Hourly sums of the amounts (UTC hours), kept by the same statement that
-- ships a cycle: a chart over weeks or months reads an instrument's hour as
-- one row instead of its four cycles. A reprocessed cycle takes its old
-- amounts out and puts its new ones in.
CREATE TABLE tarvex_store.amount_hour (
  instrument text NOT NULL,
  name text NOT NULL,
  kind text NOT NULL,
  unit text NOT NULL,
  hour timestamptz NOT NULL,
  total double precision NOT NULL,
  cycles integer NOT NULL,
  PRIMARY KEY (name, kind, hour, instrument, unit) INCLUDE (total, cycles)
) PARTITION BY RANGE (hour);

CREATE TABLE tarvex_store.calibration (
  instrument text NOT NULL,
  id text NOT NULL,
  started timestamptz NOT NULL,
  accepted boolean,
  in_force_from timestamptz,
  in_force boolean NOT NULL DEFAULT false,
  document jsonb NOT NULL,
  sha256 bytea NOT NULL,
  PRIMARY KEY (instrument, id)
);

-- PanicLog: an entry is known by its time and its place among the entries
-- of the same second.
CREATE TABLE tarvex_store.panic_entry (
  instrument text NOT NULL,
  logged timestamptz NOT NULL,
  ordinal smallint NOT NULL,
  kind text NOT NULL CHECK (kind IN ('warning', 'panic')),
  text text NOT NULL,
  reply text NOT NULL,
  sha256 bytea NOT NULL,
  PRIMARY KEY (instrument, logged, ordinal)
);

-- Partitions by calendar month in UTC, made when a cycle of that month first
-- arrives (by the instrument's role, through this function, which runs as the
-- owner). No default partition: a row never waits in one for its month.
CREATE FUNCTION tarvex_store.ensure_months(times timestamptz[]) RETURNS integer
LANGUAGE plpgsql SECURITY DEFINER
SET search_path = pg_catalog, pg_temp
SET TimeZone = 'UTC'
AS $$
DECLARE
  month timestamp;
  parent text;
  part text;
  made integer := 0;
BEGIN
  IF cardinality(times) > 1000 THEN
    RAISE EXCEPTION 'at most 1000 times at once';
  END IF;
  FOR month IN SELECT DISTINCT date_trunc('month', t AT TIME ZONE 'UTC')
               FROM unnest(times) AS t WHERE t IS NOT NULL LOOP
    IF month < timestamp '2000-01-01' OR month > now() AT TIME ZONE 'UTC' + interval '1 year' THEN
      RAISE EXCEPTION 'a cycle of % is outside the months this database keeps (from 2000 to a year ahead)',
        to_char(month, 'YYYY-MM') USING ERRCODE = 'data_exception';
    END IF;
    FOREACH parent IN ARRAY ARRAY['cycle', 'trace', 'temperature', 'flow', 'peak', 'amount',
                                  'amount_hour'] LOOP
      part := parent || '_' || to_char(month, 'YYYY_MM');
      IF to_regclass(format('tarvex_store.%I', part)) IS NULL THEN
        -- Another instrument may be making it: wait for it, then look
        -- again with a fresh snapshot of the catalog.
        PERFORM pg_advisory_xact_lock(hashtext('tarvex_store.ensure_months'));
        IF NOT EXISTS (SELECT 1 FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
                       WHERE n.nspname = 'tarvex_store' AND c.relname = part) THEN
          EXECUTE format('CREATE TABLE tarvex_store.%I PARTITION OF tarvex_store.%I '
                         'FOR VALUES FROM (%L) TO (%L)', part, parent,
                         month AT TIME ZONE 'UTC', (month + interval '1 month') AT TIME ZONE 'UTC');
          made := made + 1;
        END IF;
      END IF;
    END LOOP;
  END LOOP;
  RETURN made;
END
$$;
REVOKE ALL ON FUNCTION tarvex_store.ensure_months(timestamptz[]) FROM PUBLIC;

-- Least privilege. An instrument's role sees only its own mapping and its
-- own rows (row-level security): INSERT ... ON CONFLICT DO UPDATE reads the
-- row it replaces. It may insert and delete (the peaks, amounts, logs that a
-- reprocessed cycle no longer has) only its own rows, and update only their
-- contents, never their keys.
GRANT USAGE ON SCHEMA tarvex_store TO tarvex_instrument;
GRANT SELECT (name, role) ON tarvex_store.instruments TO tarvex_instrument;
ALTER TABLE tarvex_store.instruments ENABLE ROW LEVEL SECURITY;
CREATE POLICY own_mapping ON tarvex_store.instruments FOR SELECT TO tarvex_instrument
  USING (role = current_user);

DO $$
DECLARE
  t text;
BEGIN
  FOREACH t IN ARRAY ARRAY['cycle', 'trace', 'temperature', 'flow', 'peak', 'amount',
                           'amount_hour', 'calibration', 'panic_entry'] LOOP
    EXECUTE format('ALTER TABLE tarvex_store.%I ENABLE ROW LEVEL SECURITY', t);
    EXECUTE format('CREATE POLICY own_rows ON tarvex_store.%I TO tarvex_instrument '
                   'USING (instrument = (SELECT i.name FROM tarvex_store.instruments i '
                   'WHERE i.role = current_user)) '
                   'WITH CHECK (instrument = (SELECT i.name FROM tarvex_store.instruments i '
                   'WHERE i.role = current_user))', t);
    EXECUTE format('GRANT SELECT, INSERT, DELETE ON tarvex_store.%I TO tarvex_instrument', t);
  END LOOP;
END
$$;

GRANT UPDATE (stamp, kind, standard, exit_status, method, method_sha256, program_version,
              report_error, sha256, revision, received)
  ON tarvex_store.cycle TO tarvex_instrument;
GRANT UPDATE (times, millivolts, status, sha256) ON tarvex_store.trace TO tarvex_instrument;
GRANT UPDATE (faults, seq_faults, retries, times, column_c, warm_c, sha256)
  ON tarvex_store.temperature TO tarvex_instrument;
GRANT UPDATE (minutes, sample, detector, closing, sha256) ON tarvex_store.flow TO tarvex_instrument;
GRANT UPDATE (name, retention_s, start_s, end_s, height_mv, area_mvs, width_s, comment, sha256)
  ON tarvex_store.peak TO tarvex_instrument;
GRANT UPDATE (kind, retention_s, area_mvs, amount, unit, flags, sha256)
  ON tarvex_store.amount TO tarvex_instrument;
GRANT UPDATE (total, cycles) ON tarvex_store.amount_hour TO tarvex_instrument;
GRANT UPDATE (started, accepted, in_force_from, in_force, document, sha256)
  ON tarvex_store.calibration TO tarvex_instrument;
GRANT UPDATE (kind, text, reply, sha256) ON tarvex_store.panic_entry TO tarvex_instrument;
GRANT EXECUTE ON FUNCTION tarvex_store.ensure_months(timestamptz[]) TO tarvex_instrument;

-- What consumers read. The views run with their owner's rights: the reader
-- role needs no right on tarvex_store. cycles and amounts keep their columns
-- in later versions (new ones may be added at the end).
CREATE VIEW tarvex.instruments AS
  SELECT name, added FROM tarvex_store.instruments;
CREATE VIEW tarvex.cycles AS
  SELECT instrument, started, stamp, kind, standard, exit_status, method, method_sha256,
         program_version, report_error, revision, received
  FROM tarvex_store.cycle;
CREATE VIEW tarvex.amounts AS
  SELECT instrument, started, name, amount, unit, flags, kind, retention_s, area_mvs
  FROM tarvex_store.amount;
CREATE VIEW tarvex.amount_hours AS
  SELECT instrument, name, kind, unit, hour, total / cycles AS amount, cycles, total
  FROM tarvex_store.amount_hour WHERE cycles > 0;
CREATE VIEW tarvex.peaks AS
  SELECT instrument, started, peak, name, retention_s, start_s, end_s, height_mv, area_mvs,
         width_s, comment
  FROM tarvex_store.peak;
CREATE VIEW tarvex.traces AS
  SELECT instrument, started, times, millivolts, status FROM tarvex_store.trace;
CREATE VIEW tarvex.temperatures AS
  SELECT instrument, started, controller, faults, seq_faults, retries, times, column_c, warm_c
  FROM tarvex_store.temperature;
CREATE VIEW tarvex.flows AS
  SELECT instrument, started, minutes, sample, detector, closing FROM tarvex_store.flow;
CREATE VIEW tarvex.calibrations AS
  SELECT instrument, id, started, accepted, in_force_from, in_force, document
  FROM tarvex_store.calibration;
CREATE VIEW tarvex.panic_entries AS
  SELECT instrument, logged, ordinal, kind, text, reply FROM tarvex_store.panic_entry;

-- Every instrument's latest state, as the Network page shows it. period is
-- the median interval of its last nine cycles. status: 'aborted' after exit
-- 20 or 21, 'schedule stopped' after 255 (both stop the schedule), 'idle'
-- when the next cycle is overdue (nothing started within two periods and 5
-- minutes: the link, the computer or a schedule stopped by hand), else
-- 'running'; 'no cycle' before the first.
CREATE VIEW tarvex.instrument_status AS
SELECT i.name AS instrument, last.started, last.stamp, last.kind, last.standard,
       last.exit_status, last.revision, last.received, period.period,
       CASE WHEN last.started IS NULL THEN 'no cycle'
            WHEN last.exit_status IN (20, 21) THEN 'aborted'
            WHEN last.exit_status = 255 THEN 'schedule stopped'
            WHEN now() > last.started + 2 * coalesce(period.period, interval '15 minutes')
                         + interval '5 minutes' THEN 'idle'
            ELSE 'running' END AS status,
       checked.started AS check_started, checked.stamp AS check_stamp,
       checked.standard AS check_standard, check_amounts.results AS check_results,
       open.flags AS open_flags, panic.entries AS panic_entries_24h, panic_last.logged AS last_panic
FROM tarvex_store.instruments i
LEFT JOIN LATERAL (
  SELECT c.started, c.stamp, c.kind, c.standard, c.exit_status, c.revision, c.received
  FROM tarvex_store.cycle c WHERE c.instrument = i.name ORDER BY c.started DESC LIMIT 1) last ON true
LEFT JOIN LATERAL (
  SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY g.gap) AS period
  FROM (SELECT r.started - lag(r.started) OVER (ORDER BY r.started) AS gap
        FROM (SELECT c.started FROM tarvex_store.cycle c WHERE c.instrument = i.name
              ORDER BY c.started DESC LIMIT 9) r) g
  WHERE g.gap IS NOT NULL) period ON true
LEFT JOIN LATERAL (
  SELECT c.started, c.stamp, c.standard FROM tarvex_store.cycle c
  WHERE c.instrument = i.name AND c.kind = 'check' ORDER BY c.started DESC LIMIT 1) checked ON true
LEFT JOIN LATERAL (
  SELECT jsonb_agg(jsonb_build_object('name', a.name, 'amount', a.amount, 'unit', a.unit,
                                      'flags', a.flags) ORDER BY a.name) AS results
  FROM tarvex_store.amount a
  WHERE a.instrument = i.name AND a.started = checked.started) check_amounts ON true
LEFT JOIN LATERAL (
  SELECT jsonb_agg(jsonb_build_object('name', a.name, 'flags', a.flags) ORDER BY a.name) AS flags
  FROM tarvex_store.amount a
  WHERE a.instrument = i.name AND a.started = last.started AND cardinality(a.flags) > 0) open ON true
LEFT JOIN LATERAL (
  SELECT count(*) AS entries FROM tarvex_store.panic_entry p
  WHERE p.instrument = i.name AND p.logged > now() - interval '24 hours') panic ON true
LEFT JOIN LATERAL (
  SELECT p.logged FROM tarvex_store.panic_entry p WHERE p.instrument = i.name
  ORDER BY p.logged DESC LIMIT 1) panic_last ON true;

GRANT USAGE ON SCHEMA tarvex TO tarvex_reader, tarvex_instrument;
GRANT SELECT ON ALL TABLES IN SCHEMA tarvex TO tarvex_reader;
GRANT SELECT ON tarvex.schema_version TO tarvex_instrument;

-- The months around today exist from the start.
SELECT tarvex_store.ensure_months(ARRAY[now(), now() + interval '1 month']);
