-- Version 4: released jobs. An engineer releases a product's images and
-- profile as the next version of a job; stations fetch it from here and
-- check it by SHA-256, and its boards are counted against the quantity
-- ordered. A job's rows change only through the functions below.

CREATE TABLE @SCHEMA@.jobs (
  name text NOT NULL CHECK (name ~ '^[A-Za-z0-9_.-]{1,64}$'),
  version integer NOT NULL CHECK (version >= 1),
  state text NOT NULL DEFAULT 'released' CHECK (state IN ('released', 'retired')),
  quantity bigint CHECK (quantity >= 1),
  made bigint NOT NULL DEFAULT 0 CHECK (made >= 0),
  sha256 text NOT NULL CHECK (sha256 ~ '^[0-9a-f]{64}$'),
  profile text NOT NULL,
  note text NOT NULL DEFAULT '',
  released_by name NOT NULL,
  released_at timestamptz NOT NULL DEFAULT now(),
  retired_by name,
  retired_at timestamptz,
  PRIMARY KEY (name, version)
);

-- A job's images, exactly the bytes of the files released.
CREATE TABLE @SCHEMA@.job_images (
  job text NOT NULL,
  version integer NOT NULL,
  kind text NOT NULL CHECK (kind IN ('code', 'data')),
  file text NOT NULL CHECK (octet_length(file) BETWEEN 1 AND 255 AND file !~ '[[:cntrl:]/\\]'),
  format text NOT NULL CHECK (format IN ('fcode', 'fdata', 'elf', 'hex', 'srec')),
  bytes bytea NOT NULL,
  sha256 text NOT NULL CHECK (sha256 ~ '^[0-9a-f]{64}$'),
  PRIMARY KEY (job, version, kind),
  FOREIGN KEY (job, version) REFERENCES @SCHEMA@.jobs (name, version)
);

ALTER TABLE @SCHEMA@.boards ADD COLUMN job text, ADD COLUMN job_version integer;
CREATE INDEX boards_job ON @SCHEMA@.boards (job, job_version);
ALTER TABLE @SCHEMA@.reservations ADD COLUMN job text, ADD COLUMN job_version integer,
  ADD COLUMN counted boolean NOT NULL DEFAULT false;
CREATE INDEX reservations_job ON @SCHEMA@.reservations (job, job_version) WHERE counted;
ALTER TABLE @SCHEMA@.stations ADD COLUMN job jsonb;

-- The text a job's bundle hash is the SHA-256 of: the profile's hash, then
-- one line per image in kind order. `job export` writes it as `manifest`.
CREATE FUNCTION @SCHEMA@.quelmar_job_manifest(p_name text, p_version integer) RETURNS text
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
  SELECT 'quelmar job 1' || E'\n' || 'profile ' ||
         encode(sha256(pg_catalog.convert_to(j.profile, 'UTF8'::name)), 'hex') || E'\n' ||
         coalesce((SELECT string_agg(i.kind || ' ' || i.sha256 || ' ' || octet_length(i.bytes) || ' ' ||
                                     i.format || ' ' || i.file || E'\n', '' ORDER BY i.kind)
                   FROM @SCHEMA@.job_images i WHERE i.job = j.name AND i.version = j.version), '')
  FROM @SCHEMA@.jobs j WHERE j.name = p_name AND j.version = p_version
$$;

-- Releases the next version of a job: its profile text, its images (kind,
-- file name, format and bytes, one of each kind at most) and the bundle
-- hash the releasing program computed, which must be the one the database
-- computes of what it received. Returns the version.
CREATE FUNCTION @SCHEMA@.quelmar_job_release(p_name text, p_quantity bigint, p_note text,
                                    p_profile text, p_kinds text[], p_files text[],
                                    p_formats text[], p_bytes bytea[], p_sha256 text)
RETURNS integer
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  n int := coalesce(cardinality(p_kinds), 0);
  v integer;
  other text;
  got text;
BEGIN
  IF NOT @SCHEMA@.quelmar_is_engineer() THEN
    RAISE EXCEPTION USING ERRCODE = '42501',
      MESSAGE = format('%s may not release jobs: it is no member of quelmar_engineer', session_user);
  END IF;
  IF p_name IS NULL OR p_name !~ '^[A-Za-z0-9_.-]{1,64}$' THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009',
      MESSAGE = 'a job''s name has 1 to 64 letters, digits, ''_'', ''-'' and ''.''';
  END IF;
  IF p_quantity IS NOT NULL AND p_quantity < 1 THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009', MESSAGE = 'a quantity is 1 or more';
  END IF;
  IF octet_length(coalesce(p_note, '')) > 1000 OR p_profile IS NULL
     OR octet_length(p_profile) > 65536 THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009',
      MESSAGE = 'a note has at most 1000 bytes and a profile at most 64 KiB';
  END IF;
  IF n <> coalesce(cardinality(p_files), 0) OR n <> coalesce(cardinality(p_formats), 0)
     OR n <> coalesce(cardinality(p_bytes), 0) OR n > 2
     OR n <> (SELECT count(DISTINCT k) FROM unnest(p_kinds) k WHERE k IN ('code', 'data'))
     OR EXISTS (SELECT 1 FROM unnest(p_bytes) b WHERE b IS NULL OR octet_length(b) > 16777216) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009',
      MESSAGE = 'a job holds at most one code and one data image of at most 16 MiB each';
  END IF;
  -- One release of a name at a time: two engineers releasing at once get
  -- versions one after the other.
  PERFORM pg_advisory_xact_lock(1364544066, hashtext(lower(p_name)));
  SELECT name INTO other FROM @SCHEMA@.jobs WHERE lower(name) = lower(p_name) AND name <> p_name
  LIMIT 1;
  IF FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009', MESSAGE = format(
      'job ''%s'' differs from job ''%s'' only in case: use ''%s'' or another name', p_name, other,
      other);
  END IF;
  SELECT coalesce(max(version), 0) + 1 INTO v FROM @SCHEMA@.jobs WHERE name = p_name;
  INSERT INTO @SCHEMA@.jobs (name, version, quantity, sha256, profile, note, released_by)
  VALUES (p_name, v, p_quantity, coalesce(lower(p_sha256), repeat('0', 64)), p_profile,
          coalesce(p_note, ''), session_user);
  FOR i IN 1..n LOOP
    INSERT INTO @SCHEMA@.job_images (job, version, kind, file, format, bytes, sha256)
    VALUES (p_name, v, p_kinds[i], p_files[i], p_formats[i], p_bytes[i],
            encode(sha256(p_bytes[i]), 'hex'));
  END LOOP;
  got := encode(sha256(pg_catalog.convert_to(@SCHEMA@.quelmar_job_manifest(p_name, v), 'UTF8'::name)),
                'hex');
  IF p_sha256 IS NULL OR lower(p_sha256) <> got THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009', MESSAGE = format(
      'the database computes the bundle hash %s, not %s: the release changed on its way', got,
      coalesce(left(p_sha256, 64), 'none'));
  END IF;
  RETURN v;
END
$$;

-- Retires a version: no station starts a new board of it; boards running
-- finish. 'retired', or 'already' when it was.
CREATE FUNCTION @SCHEMA@.quelmar_job_retire(p_name text, p_version integer) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  j @SCHEMA@.jobs%ROWTYPE;
BEGIN
  IF NOT @SCHEMA@.quelmar_is_engineer() THEN
    RAISE EXCEPTION USING ERRCODE = '42501',
      MESSAGE = format('%s may not retire jobs: it is no member of quelmar_engineer', session_user);
  END IF;
  SELECT * INTO j FROM @SCHEMA@.jobs WHERE name = p_name AND version = p_version FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'QM006',
      MESSAGE = format('no job %s@%s in the line''s database', left(p_name, 64), p_version);
  END IF;
  IF j.state = 'retired' THEN
    RETURN 'already';
  END IF;
  UPDATE @SCHEMA@.jobs SET state = 'retired', retired_by = session_user, retired_at = now()
  WHERE name = p_name AND version = p_version;
  PERFORM pg_notify('quelmar_jobs', p_name);
  RETURN 'retired';
END
$$;

-- Jobs are read by every group role of the line, and nobody else.
CREATE FUNCTION @SCHEMA@.quelmar_may_read_jobs() RETURNS void
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF NOT (pg_catalog.pg_has_role(session_user, 'quelmar_station', 'MEMBER')
          OR pg_catalog.pg_has_role(session_user, 'quelmar_supervisor', 'MEMBER')
          OR @SCHEMA@.quelmar_is_engineer()) THEN
    RAISE EXCEPTION USING ERRCODE = '42501',
      MESSAGE = format('%s may not read jobs: it is a member of no group of the line', session_user);
  END IF;
END
$$;

-- A job as a station runs it: the version asked for (NULL: the newest
-- released), one row per image (one row with no image for a job without
-- images), with its counts. Any role of the line may read it.
CREATE FUNCTION @SCHEMA@.quelmar_job_fetch(p_name text, p_version integer)
RETURNS TABLE (version integer, state text, quantity bigint, made bigint, in_progress bigint,
               sha256 text, profile text, manifest text, kind text, file text, format text,
               bytes bytea, image_sha256 text)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
#variable_conflict use_column
DECLARE
  v integer := p_version;
BEGIN
  PERFORM @SCHEMA@.quelmar_may_read_jobs();
  IF v IS NULL THEN
    SELECT max(j.version) INTO v FROM @SCHEMA@.jobs j WHERE j.name = p_name AND j.state = 'released';
    IF v IS NULL THEN
      RAISE EXCEPTION USING ERRCODE = 'QM006', MESSAGE = format(
        'no released version of job %s in the line''s database', left(p_name, 64));
    END IF;
  END IF;
  IF NOT EXISTS (SELECT 1 FROM @SCHEMA@.jobs j WHERE j.name = p_name AND j.version = v) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM006',
      MESSAGE = format('no job %s@%s in the line''s database', left(p_name, 64), v);
  END IF;
  RETURN QUERY
  SELECT j.version, j.state, j.quantity, j.made,
         (SELECT count(*) FROM @SCHEMA@.reservations r
          WHERE r.job = j.name AND r.job_version = j.version AND r.counted),
         j.sha256, j.profile, @SCHEMA@.quelmar_job_manifest(j.name, j.version), i.kind, i.file,
         i.format, i.bytes, i.sha256
  FROM @SCHEMA@.jobs j
  LEFT JOIN @SCHEMA@.job_images i ON i.job = j.name AND i.version = j.version
  WHERE j.name = p_name AND j.version = v
  ORDER BY i.kind;
END
$$;

-- Every version of every job with its counts, for `job list` and the
-- line's page.
CREATE FUNCTION @SCHEMA@.quelmar_jobs()
RETURNS TABLE (name text, version integer, state text, quantity bigint, made bigint,
               in_progress bigint, sha256 text, released_by name, released_at timestamptz,
               note text, retired_by name, retired_at timestamptz)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
#variable_conflict use_column
BEGIN
  PERFORM @SCHEMA@.quelmar_may_read_jobs();
  RETURN QUERY
  SELECT j.name, j.version, j.state, j.quantity, j.made,
         (SELECT count(*) FROM @SCHEMA@.reservations r
          WHERE r.job = j.name AND r.job_version = j.version AND r.counted),
         j.sha256, j.released_by, j.released_at, j.note, j.retired_by, j.retired_at
  FROM @SCHEMA@.jobs j ORDER BY j.name, j.version;
END
$$;

DROP FUNCTION @SCHEMA@.quelmar_reserve(text, text, uuid, text[], text[]);
CREATE FUNCTION @SCHEMA@.quelmar_reserve(p_station text, p_port text, p_board uuid, p_fields text[],
                                p_pools text[], p_job text, p_job_version integer,
                                p_count boolean) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  n_fields int := coalesce(cardinality(p_fields), 0);
  i int;
  values_out text[];
  kinds_out text[];
  taken jsonb := '{}';
  p @SCHEMA@.pools%ROWTYPE;
  n numeric;
  skip_last numeric;
  v text;
  k bytea;
  j @SCHEMA@.jobs%ROWTYPE;
  in_progress bigint;
BEGIN
  PERFORM @SCHEMA@.quelmar_caller_is(p_station);
  IF p_board IS NULL OR p_port IS NULL OR octet_length(p_port) NOT BETWEEN 1 AND 200 THEN
    RAISE EXCEPTION USING ERRCODE = 'QM010',
      MESSAGE = 'a board needs an id and a port of 1 to 200 bytes';
  END IF;
  IF n_fields <> coalesce(cardinality(p_pools), 0) OR n_fields > 64
     OR EXISTS (SELECT 1 FROM unnest(p_fields) f WHERE octet_length(f) NOT BETWEEN 1 AND 200)
     OR n_fields <> (SELECT count(DISTINCT f) FROM unnest(p_fields) f WHERE f IS NOT NULL)
     OR n_fields <> (SELECT count(DISTINCT q) FROM unnest(p_pools) q WHERE q IS NOT NULL) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM010',
      MESSAGE = 'a board takes at most 64 fields (names of 1 to 200 bytes), each of a pool of its own';
  END IF;
  -- Not a look at boards: a lock on the records (a long report, a dump)
  -- must hold up no board's values. A board filed before has no
  -- reservation left, and its filing again is refused for its record.
  IF EXISTS (SELECT 1 FROM @SCHEMA@.reservations WHERE board_id = p_board) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM010',
      MESSAGE = format('board %s has its values already', p_board);
  END IF;
  -- A board of a job is counted here, before its first erase: the job's
  -- row is locked first, so that boards racing for its last count take
  -- it one after the other. Only a board that ended before its values (it
  -- did not answer) takes a reservation without a count, and no values.
  IF p_job IS NOT NULL THEN
    SELECT * INTO j FROM @SCHEMA@.jobs WHERE name = p_job AND version = p_job_version FOR UPDATE;
    IF NOT FOUND THEN
      RAISE EXCEPTION USING ERRCODE = 'QM006',
        MESSAGE = format('no job %s@%s in the line''s database', left(p_job, 64), p_job_version);
    END IF;
    IF coalesce(p_count, true) THEN
      IF j.state <> 'released' THEN
        RAISE EXCEPTION USING ERRCODE = 'QM007',
          MESSAGE = format('job %s@%s is retired: no new board of it starts', j.name, j.version);
      END IF;
      SELECT count(*) INTO in_progress FROM @SCHEMA@.reservations
      WHERE job = j.name AND job_version = j.version AND counted;
      IF j.quantity IS NOT NULL AND j.made + in_progress >= j.quantity THEN
        RAISE EXCEPTION USING ERRCODE = 'QM008', MESSAGE = format(
          'job %s@%s has made its %s boards: %s OK, %s in progress; no new board starts',
          j.name, j.version, j.quantity, j.made, in_progress);
      END IF;
    END IF;
  END IF;
  IF NOT coalesce(p_count, true) AND n_fields > 0 THEN
    RAISE EXCEPTION USING ERRCODE = 'QM010', MESSAGE = 'a board without a count takes no values';
  END IF;
  values_out := array_fill(NULL::text, ARRAY[n_fields]);
  kinds_out := values_out;
  FOR i IN SELECT o FROM generate_subscripts(p_pools, 1) AS o ORDER BY p_pools[o] LOOP
    SELECT * INTO p FROM @SCHEMA@.pools WHERE name = p_pools[i];
    IF NOT FOUND THEN
      RAISE EXCEPTION USING ERRCODE = 'QM002',
        MESSAGE = format('no pool ''%s'' in the line''s database', p_pools[i]);
    END IF;
    IF p.kind = 'counter' THEN
      SELECT * INTO p FROM @SCHEMA@.pools WHERE name = p.name FOR UPDATE;
      n := p.next_value;
      LOOP
        IF n > p.end_value THEN
          RAISE EXCEPTION USING ERRCODE = 'QM001', MESSAGE = format('pool ''%s'' is used up', p.name);
        END IF;
        SELECT last_value INTO skip_last FROM @SCHEMA@.pool_skips
        WHERE pool = p.name AND first_value <= n ORDER BY first_value DESC LIMIT 1;
        IF FOUND AND skip_last >= n THEN
          n := skip_last + p.step;
          CONTINUE;
        END IF;
        v := @SCHEMA@.quelmar_shown(p.format, n);
        -- A value already in the pool (made void ahead of the counter by
        -- an older quelmar-cli) is stepped over: never handed out twice.
        INSERT INTO @SCHEMA@.pool_values (pool, value, state, station, port, board_id, reserved_at)
        VALUES (p.name, v, 'reserved', p_station, p_port, p_board, now())
        ON CONFLICT DO NOTHING;
        EXIT WHEN FOUND;
        n := n + p.step;
      END LOOP;
      UPDATE @SCHEMA@.pools SET next_value = n + p.step WHERE name = p.name;
    ELSE
      SELECT q.value INTO v FROM @SCHEMA@.pool_queue q
      JOIN @SCHEMA@.pool_values pv ON pv.pool = q.pool AND pv.value = q.value
      WHERE q.pool = p.name AND pv.state = 'free'
      ORDER BY q.position LIMIT 1 FOR UPDATE SKIP LOCKED;
      IF NOT FOUND THEN
        RAISE EXCEPTION USING ERRCODE = 'QM001', MESSAGE = format('pool ''%s'' is used up', p.name);
      END IF;
      DELETE FROM @SCHEMA@.pool_queue WHERE pool = p.name AND value = v;
      UPDATE @SCHEMA@.pool_values SET state = 'reserved', station = p_station, port = p_port,
        board_id = p_board, reserved_at = now()
      WHERE pool = p.name AND value = v AND state = 'free';
    END IF;
    values_out[i] := v;
    kinds_out[i] := p.kind;
    taken := taken || jsonb_build_object(p_fields[i], v);
  END LOOP;
  k := decode(replace(gen_random_uuid()::text || gen_random_uuid()::text, '-', ''), 'hex');
  INSERT INTO @SCHEMA@.reservations (board_id, station, role, port, fields, seal_key, job,
                                     job_version, counted)
  VALUES (p_board, p_station, session_user, p_port, taken, k, j.name, j.version,
          j.name IS NOT NULL AND coalesce(p_count, true));
  RETURN json_build_object('values', to_json(values_out), 'kinds', to_json(kinds_out),
                           'key', encode(k, 'hex'))::text;
END
$$;

CREATE OR REPLACE FUNCTION @SCHEMA@.quelmar_file(p_station text, p_board uuid, p_result text, p_record text,
                             p_seal text) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  r @SCHEMA@.reservations%ROWTYPE;
  filed @SCHEMA@.boards%ROWTYPE;
  rec jsonb;
  why text;
  field record;
  t_start timestamptz;
  t_end timestamptz;
  j @SCHEMA@.jobs%ROWTYPE;
BEGIN
  PERFORM @SCHEMA@.quelmar_caller_is(p_station);
  IF p_board IS NULL OR p_record IS NULL THEN
    why := 'a filing needs a board id and a record';
  ELSIF octet_length(p_record) > 16777216 THEN
    why := 'the record is larger than 16 MiB';
  END IF;
  IF why IS NULL THEN
    BEGIN
      rec := p_record::jsonb;
    EXCEPTION WHEN others THEN
      why := 'the record is no JSON';
    END;
  END IF;
  IF why IS NULL THEN
    -- The reservation first: a filing of the same board at the same moment
    -- waits here, and then finds the board filed.
    SELECT * INTO r FROM @SCHEMA@.reservations WHERE board_id = p_board FOR UPDATE;
    SELECT * INTO filed FROM @SCHEMA@.boards WHERE id = p_board;
    IF FOUND THEN
      IF filed.station = p_station AND filed.record = rec AND filed.result = p_result THEN
        RETURN 'already';
      END IF;
      why := 'the board was filed before with another record';
    END IF;
  END IF;
  IF why IS NULL THEN
    IF r.board_id IS NULL THEN
      why := 'no board of this id was reserved';
    ELSIF r.station <> p_station OR r.role <> session_user THEN
      why := format('the board was reserved by station %L', r.station);
    ELSIF p_seal IS NULL OR lower(p_seal) <>
          encode(@SCHEMA@.quelmar_hmac(r.seal_key, pg_catalog.convert_to(p_record, 'UTF8'::name)), 'hex') THEN
      why := 'its seal does not match its record (the record was changed after the board)';
    ELSIF p_result IS NULL OR p_result NOT IN ('ok', 'failed', 'stopped') THEN
      why := 'the result must be ok, failed or stopped';
    ELSIF jsonb_typeof(rec) <> 'object' OR rec ->> 'result' IS DISTINCT FROM p_result THEN
      why := 'the record''s result is not the one filed';
    ELSIF rec ->> 'id' IS DISTINCT FROM p_board::text
          OR rec ->> 'station' IS DISTINCT FROM p_station
          OR rec ->> 'port' IS DISTINCT FROM r.port THEN
      why := 'the record''s id, station or port is not its reservation''s';
    ELSIF r.job IS NULL AND rec -> 'job' IS NOT NULL AND jsonb_typeof(rec -> 'job') <> 'null' THEN
      why := 'the record names a job its board was not reserved for';
    ELSIF r.job IS NOT NULL AND (
          jsonb_typeof(rec -> 'job') IS DISTINCT FROM 'object'
          OR rec -> 'job' ->> 'name' IS DISTINCT FROM r.job
          OR rec -> 'job' ->> 'version' IS DISTINCT FROM r.job_version::text
          OR rec -> 'job' ->> 'sha256' IS DISTINCT FROM
             (SELECT sha256 FROM @SCHEMA@.jobs WHERE name = r.job AND version = r.job_version)) THEN
      why := format('the record does not name the job %s@%s its board was reserved for', r.job,
                    r.job_version);
    ELSIF r.job IS NOT NULL AND (
          rec -> 'code' ->> 'sha256' IS DISTINCT FROM
            (SELECT i.sha256 FROM @SCHEMA@.job_images i
             WHERE i.job = r.job AND i.version = r.job_version AND i.kind = 'code')
          OR rec -> 'data' ->> 'sha256' IS DISTINCT FROM
            (SELECT i.sha256 FROM @SCHEMA@.job_images i
             WHERE i.job = r.job AND i.version = r.job_version AND i.kind = 'data')) THEN
      why := format('the record''s images are not the ones of job %s@%s', r.job, r.job_version);
    ELSIF r.job IS NOT NULL AND p_result = 'ok' AND NOT r.counted THEN
      why := 'a board that took no count of its job cannot be OK';
    ELSIF coalesce(rec ->> 'board', '') !~ '^[0-9]{1,9}$' THEN
      why := 'the record''s board is no number';
    ELSIF jsonb_typeof(rec -> 'fields') IS DISTINCT FROM 'object' THEN
      why := 'the record has no fields';
    ELSIF (SELECT count(*) FROM jsonb_object_keys(rec -> 'fields')) <>
          (SELECT count(*) FROM jsonb_object_keys(r.fields)) THEN
      why := 'the record holds fields that were not reserved for it';
    END IF;
    IF why IS NULL THEN
      FOR field IN SELECT key, value FROM jsonb_each_text(r.fields) LOOP
        IF rec -> 'fields' ->> field.key IS DISTINCT FROM field.value THEN
          why := format('field %L holds %s, not the value %s reserved for it', left(field.key, 100),
                        coalesce(left(rec -> 'fields' ->> field.key, 100), 'nothing'), field.value);
          EXIT;
        END IF;
      END LOOP;
    END IF;
    IF why IS NULL THEN
      BEGIN
        t_start := (rec ->> 'time_start')::timestamptz;
        t_end := (rec ->> 'time_end')::timestamptz;
      EXCEPTION WHEN others THEN
        why := 'the record''s times are not times';
      END;
      IF why IS NULL AND (t_start IS NULL OR t_end IS NULL OR NOT isfinite(t_start)
                          OR NOT isfinite(t_end)) THEN
        why := 'the record''s times are not times';
      END IF;
    END IF;
  END IF;
  IF why IS NOT NULL THEN
    -- Kept for the line's page: the newest 1000 of each role, so that a
    -- station sending nothing but refusals fills no disk, nor hides its
    -- latest behind older ones.
    INSERT INTO @SCHEMA@.refused_filings (role, station, board_id, reason)
    VALUES (session_user, left(p_station, 200), p_board, why);
    DELETE FROM @SCHEMA@.refused_filings WHERE role = session_user AND id <= (
      SELECT id FROM @SCHEMA@.refused_filings WHERE role = session_user ORDER BY id DESC OFFSET 1000 LIMIT 1);
    RETURN 'refused: ' || why;
  END IF;
  INSERT INTO @SCHEMA@.boards (id, station, port, board, result, time_start, time_end, record, filed_at,
                              job, job_version)
  VALUES (p_board, p_station, r.port, (rec ->> 'board')::integer, p_result, t_start, t_end, rec,
          now(), r.job, r.job_version);
  -- An OK board keeps its count for good; any other gives it back as its
  -- reservation goes.
  IF r.job IS NOT NULL AND p_result = 'ok' THEN
    UPDATE @SCHEMA@.jobs SET made = made + 1 WHERE name = r.job AND version = r.job_version;
  END IF;
  -- A value made void by hand while its board ran becomes written when the
  -- board ends well: the pool tells what is in the boards.
  UPDATE @SCHEMA@.pool_values SET state = CASE WHEN p_result = 'ok' THEN 'written' ELSE 'void' END,
    done_at = now()
  WHERE board_id = p_board AND (state = 'reserved' OR (state = 'void' AND p_result = 'ok'));
  DELETE FROM @SCHEMA@.reservations WHERE board_id = p_board;
  RETURN 'filed';
END
$$;

CREATE OR REPLACE FUNCTION @SCHEMA@.quelmar_report(p_station text, p_run_id uuid, p_uptime float8, p_state jsonb)
RETURNS TABLE (control text, control_id bigint)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
#variable_conflict use_column
DECLARE
  slot jsonb;
  image jsonb;
BEGIN
  PERFORM @SCHEMA@.quelmar_caller_is(p_station);
  IF p_run_id IS NULL OR p_state IS NULL OR jsonb_typeof(p_state) <> 'object'
     OR octet_length(p_state::text) > 65536 THEN
    RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE = 'a station''s state is an object of at most 64 KiB';
  END IF;
  IF p_uptime IS NULL OR NOT (p_uptime >= 0 AND p_uptime <= 3.2e8) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE = 'the uptime must be 0 to 10 years';
  END IF;
  IF coalesce(p_state ->> 'run', '') NOT IN ('running', 'paused', 'stopping', 'stopped') THEN
    RAISE EXCEPTION USING ERRCODE = 'QM005',
      MESSAGE = 'run must be running, paused, stopping or stopped';
  END IF;
  IF jsonb_typeof(p_state -> 'slots') IS DISTINCT FROM 'array'
     OR jsonb_array_length(p_state -> 'slots') > 64
     OR jsonb_typeof(p_state -> 'images') IS DISTINCT FROM 'array'
     OR jsonb_array_length(p_state -> 'images') > 16 THEN
    RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE = 'at most 64 slots and 16 images';
  END IF;
  FOR slot IN SELECT * FROM jsonb_array_elements(p_state -> 'slots') LOOP
    IF jsonb_typeof(slot) <> 'object' OR jsonb_typeof(slot -> 'port') IS DISTINCT FROM 'string'
       OR octet_length(slot ->> 'port') > 200
       OR coalesce(slot ->> 'state', '') NOT IN
          ('waiting', 'identifying', 'writing', 'ok', 'failed', 'gone')
       OR jsonb_typeof(slot -> 'percent') IS DISTINCT FROM 'number'
       OR (slot ->> 'percent') !~ '^[0-9]{1,3}$' OR (slot ->> 'percent')::int > 100
       OR octet_length(coalesce(slot ->> 'failure', '')) > 500 THEN
      RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE =
        'a slot has a port of at most 200 bytes, a known state, a percent 0 to 100 and a failure of at most 500 bytes';
    END IF;
  END LOOP;
  FOR image IN SELECT * FROM jsonb_array_elements(p_state -> 'images') LOOP
    IF jsonb_typeof(image) <> 'object' OR octet_length(coalesce(image ->> 'file', '')) > 1000
       OR coalesce(image ->> 'sha256', '') !~ '^[0-9a-f]{0,64}$' THEN
      RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE = 'an image is a file of at most 1000 bytes and its SHA-256';
    END IF;
  END LOOP;
  IF octet_length(coalesce(p_state ->> 'host', '')) > 255
     OR octet_length(coalesce(p_state ->> 'version', '')) > 100
     OR coalesce(p_state ->> 'profile_sha256', '') !~ '^[0-9a-f]{0,64}$'
     OR octet_length(coalesce(p_state ->> 'dashboard', '')) > 500
     OR coalesce(p_state ->> 'ok', '') !~ '^[0-9]{1,18}$'
     OR coalesce(p_state ->> 'failed', '') !~ '^[0-9]{1,18}$' THEN
    RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE =
      'host (255 bytes), version (100), profile_sha256, dashboard (500), ok and failed (counts) out of bounds';
  END IF;
  IF p_state -> 'job' IS NOT NULL AND jsonb_typeof(p_state -> 'job') <> 'null' AND (
       jsonb_typeof(p_state -> 'job') <> 'object'
       OR coalesce(p_state -> 'job' ->> 'name', '') !~ '^[A-Za-z0-9_.-]{1,64}$'
       OR coalesce(p_state -> 'job' ->> 'version', '') !~ '^[1-9][0-9]{0,9}$'
       OR coalesce(p_state -> 'job' ->> 'sha256', '') !~ '^[0-9a-f]{64}$'
       OR coalesce(p_state -> 'job' ->> 'state', '') NOT IN ('running', 'made', 'retired')) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE =
      'a job is a name, a version, its SHA-256 and a state: running, made or retired';
  END IF;
  RETURN QUERY
  WITH s AS (
    INSERT INTO @SCHEMA@.stations AS s (name, host, version, profile_sha256, images, dashboard, run_id,
      started_at, last_seen, run, slots, ok, failed, job)
    VALUES (p_station, coalesce(p_state ->> 'host', ''), coalesce(p_state ->> 'version', ''),
      coalesce(p_state ->> 'profile_sha256', ''), p_state -> 'images',
      nullif(p_state ->> 'dashboard', ''), p_run_id,
      now() - make_interval(secs => p_uptime), now(), p_state ->> 'run', p_state -> 'slots',
      (p_state ->> 'ok')::bigint, (p_state ->> 'failed')::bigint,
      CASE WHEN jsonb_typeof(p_state -> 'job') = 'object' THEN jsonb_build_object(
        'name', p_state -> 'job' ->> 'name', 'version', (p_state -> 'job' ->> 'version')::bigint,
        'sha256', p_state -> 'job' ->> 'sha256', 'state', p_state -> 'job' ->> 'state') END)
    ON CONFLICT (name) DO UPDATE SET host = excluded.host, version = excluded.version,
      profile_sha256 = excluded.profile_sha256, images = excluded.images,
      dashboard = excluded.dashboard,
      started_at = CASE WHEN s.run_id = excluded.run_id THEN s.started_at
                        ELSE excluded.started_at END,
      control = CASE WHEN s.run_id = excluded.run_id THEN s.control END,
      run_id = excluded.run_id, last_seen = now(), run = excluded.run,
      slots = excluded.slots, ok = excluded.ok, failed = excluded.failed, job = excluded.job
    RETURNING s.control, s.control_id)
  SELECT s.control, s.control_id FROM s;
  PERFORM pg_notify('quelmar_stations', p_station);
END
$$;

-- Jobs are read through quelmar_job_fetch by stations; supervisors and
-- engineers may read the jobs table (without the images' bytes) too.
REVOKE ALL ON @SCHEMA@.jobs, @SCHEMA@.job_images FROM PUBLIC;
REVOKE ALL ON FUNCTION @SCHEMA@.quelmar_job_manifest(text, integer),
  @SCHEMA@.quelmar_job_release(text, bigint, text, text, text[], text[], text[], bytea[], text),
  @SCHEMA@.quelmar_job_retire(text, integer), @SCHEMA@.quelmar_job_fetch(text, integer),
  @SCHEMA@.quelmar_jobs(), @SCHEMA@.quelmar_may_read_jobs(),
  @SCHEMA@.quelmar_reserve(text, text, uuid, text[], text[], text, integer, boolean) FROM PUBLIC;
GRANT SELECT ON @SCHEMA@.jobs TO quelmar_supervisor, quelmar_engineer;
GRANT SELECT ON @SCHEMA@.job_images TO quelmar_engineer;
GRANT EXECUTE ON FUNCTION @SCHEMA@.quelmar_reserve(text, text, uuid, text[], text[], text, integer, boolean)
  TO quelmar_station, quelmar_engineer;
GRANT EXECUTE ON FUNCTION @SCHEMA@.quelmar_job_fetch(text, integer), @SCHEMA@.quelmar_jobs(),
  @SCHEMA@.quelmar_job_manifest(text, integer) TO quelmar_station, quelmar_supervisor, quelmar_engineer;
GRANT EXECUTE ON FUNCTION @SCHEMA@.quelmar_job_release(text, bigint, text, text, text[], text[], text[], bytea[], text),
  @SCHEMA@.quelmar_job_retire(text, integer) TO quelmar_engineer;
