-- Version 5: the operator's station. A board's unit (the ID scanned from
-- its own label), the record it reworks, its attempts and its label; a
-- job's label template.

-- The unit a board was scanned as: what binds a record to the board in the
-- operator's hand, and how a board flashed again is recognised.
ALTER TABLE @SCHEMA@.boards ADD COLUMN unit text
  CHECK (unit IS NULL OR (octet_length(unit) BETWEEN 1 AND 200 AND unit !~ '[[:cntrl:]]'));
CREATE INDEX boards_unit ON @SCHEMA@.boards (unit) WHERE unit IS NOT NULL;

-- Rework: a board flashed again keeps its identity. A unit written OK is
-- refused on a production station; a rework station (or any station, for
-- a unit whose every board failed) gives it the values of its newest
-- board again, drawing none: their pool_values rows stay written or void,
-- of the board they were first reserved for, and are never another unit's.
ALTER TABLE @SCHEMA@.reservations ADD COLUMN unit text, ADD COLUMN rework_of uuid;
-- One board of a unit in flight at a time, on the whole line.
CREATE UNIQUE INDEX reservations_unit ON @SCHEMA@.reservations (unit) WHERE unit IS NOT NULL;
ALTER TABLE @SCHEMA@.boards ADD COLUMN rework_of uuid;

-- A reservation for a board scanned as p_unit, on a rework station when
-- p_rework. The rest as quelmar_reserve, whose answer it gives with
-- "rework_of": the id of the board whose values it took again, or null.
-- A field whose pool is NULL takes the unit itself (source = "scan"): its
-- value is p_unit, of kind 'scan', drawn from no pool, and its filing must
-- hold that value as any reserved one.
CREATE FUNCTION @SCHEMA@.quelmar_reserve_unit(p_station text, p_port text, p_board uuid,
                                p_fields text[], p_pools text[], p_job text,
                                p_job_version integer, p_count boolean, p_unit text,
                                p_rework boolean) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  n_fields int := coalesce(cardinality(p_fields), 0);
  i int;
  v text;
  busy @SCHEMA@.reservations%ROWTYPE;
  ok_board @SCHEMA@.boards%ROWTYPE;
  last_board @SCHEMA@.boards%ROWTYPE;
  holder record;
  answer jsonb;
  taken jsonb := '{}';
  values_out text[];
  kinds_out text[];
  pooled_fields text[] := ARRAY[]::text[];
  pooled_pools text[] := ARRAY[]::text[];
  scanned jsonb := '{}';
  k int;
BEGIN
  PERFORM @SCHEMA@.quelmar_caller_is(p_station);
  IF p_unit IS NULL OR octet_length(p_unit) NOT BETWEEN 1 AND 200 OR p_unit ~ '[[:cntrl:]]' THEN
    RAISE EXCEPTION USING ERRCODE = 'QM010',
      MESSAGE = 'a unit is 1 to 200 bytes without control characters';
  END IF;
  IF n_fields <> coalesce(cardinality(p_pools), 0) OR n_fields > 64
     OR EXISTS (SELECT 1 FROM unnest(p_fields) f WHERE f IS NULL OR octet_length(f) NOT BETWEEN 1 AND 200)
     OR n_fields <> (SELECT count(DISTINCT f) FROM unnest(p_fields) f) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM010',
      MESSAGE = 'a board takes at most 64 fields, each of a pool of its own';
  END IF;
  FOR i IN 1 .. n_fields LOOP
    IF p_pools[i] IS NULL THEN
      scanned := scanned || jsonb_build_object(p_fields[i], p_unit);
    ELSE
      pooled_fields := pooled_fields || p_fields[i];
      pooled_pools := pooled_pools || p_pools[i];
    END IF;
  END LOOP;
  -- Two stations scanning the same unit at once take turns here.
  PERFORM pg_advisory_xact_lock(hashtextextended('quelmar unit ' || p_unit, 0));
  SELECT * INTO busy FROM @SCHEMA@.reservations WHERE unit = p_unit;
  IF FOUND AND EXISTS (SELECT 1 FROM @SCHEMA@.stations st
                       WHERE st.name = busy.station AND st.started_at > busy.reserved_at) THEN
    -- Its station has started again since: nobody writes that board now.
    RAISE EXCEPTION USING ERRCODE = 'QM011', MESSAGE = format(
      'unit "%s" was left mid-board on %s %s at %s (board %s), and its station has started again since: '
      'close that board with quelmar-cli line void --board %s, then scan the unit again', p_unit,
      busy.station, busy.port, to_char(busy.reserved_at AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'),
      busy.board_id, busy.board_id);
  ELSIF FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'QM011', MESSAGE = format(
      'unit "%s" is being written on %s %s now (since %s): not written twice at once', p_unit,
      busy.station, busy.port, to_char(busy.reserved_at AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'));
  END IF;
  SELECT * INTO ok_board FROM @SCHEMA@.boards WHERE unit = p_unit AND result = 'ok'
  ORDER BY filed_at DESC, time_end DESC LIMIT 1;
  IF FOUND AND NOT coalesce(p_rework, false) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM011', MESSAGE = format(
      'unit "%s" was written OK on %s %s at %s (record %s): not written again on a production station',
      p_unit, ok_board.station, ok_board.port,
      to_char(ok_board.time_end AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'), ok_board.id);
  END IF;
  -- The unit's newest board that had values (one refused before them had none).
  SELECT * INTO last_board FROM @SCHEMA@.boards
  WHERE unit = p_unit AND (result = 'ok' OR record -> 'fields' <> '{}'::jsonb)
  ORDER BY filed_at DESC, time_end DESC LIMIT 1;
  values_out := array_fill(NULL::text, ARRAY[n_fields]);
  kinds_out := values_out;
  IF NOT FOUND THEN
    answer := @SCHEMA@.quelmar_reserve(p_station, p_port, p_board, pooled_fields, pooled_pools,
                                       p_job, p_job_version, p_count)::jsonb;
    -- The pools' values and the unit's, in the fields' order.
    k := 0;
    FOR i IN 1 .. n_fields LOOP
      IF p_pools[i] IS NULL THEN
        values_out[i] := p_unit;
        kinds_out[i] := 'scan';
      ELSE
        values_out[i] := answer -> 'values' ->> k;
        kinds_out[i] := answer -> 'kinds' ->> k;
        k := k + 1;
      END IF;
    END LOOP;
    UPDATE @SCHEMA@.reservations SET unit = p_unit, fields = fields || scanned
    WHERE board_id = p_board;
    RETURN json_build_object('values', to_json(values_out), 'kinds', to_json(kinds_out),
                             'key', answer ->> 'key', 'rework_of', NULL)::text;
  END IF;
  FOR i IN 1 .. n_fields LOOP
    -- A scan field's value is the unit, as it was on the unit's every board.
    IF p_pools[i] IS NULL THEN
      values_out[i] := p_unit;
      kinds_out[i] := 'scan';
      taken := taken || jsonb_build_object(p_fields[i], p_unit);
      CONTINUE;
    END IF;
    v := last_board.record -> 'fields' ->> p_fields[i];
    IF v IS NULL THEN
      RAISE EXCEPTION USING ERRCODE = 'QM011', MESSAGE = format(
        'unit "%s": its record %s holds no value of field ''%s'': not written with new ones',
        p_unit, last_board.id, left(p_fields[i], 100));
    END IF;
    -- The value is still the unit's: its pool's row is of one of the
    -- unit's own boards, written or void, handed to no one since.
    SELECT pv.state, pv.board_id, b.unit AS unit, p.kind INTO holder
    FROM @SCHEMA@.pools p
    LEFT JOIN @SCHEMA@.pool_values pv ON pv.pool = p.name AND pv.value = v
    LEFT JOIN @SCHEMA@.boards b ON b.id = pv.board_id
    WHERE p.name = p_pools[i];
    IF NOT FOUND THEN
      RAISE EXCEPTION USING ERRCODE = 'QM002',
        MESSAGE = format('no pool ''%s'' in the line''s database', left(p_pools[i], 100));
    END IF;
    IF holder.board_id IS NULL OR holder.state NOT IN ('written', 'void')
       OR holder.unit IS DISTINCT FROM p_unit THEN
      RAISE EXCEPTION USING ERRCODE = 'QM011', MESSAGE = format(
        'unit "%s": its value %s of field ''%s'' (record %s) is held by %s now: not written with it again',
        p_unit, left(v, 100), left(p_fields[i], 100), last_board.id,
        CASE WHEN holder.board_id IS NULL THEN format('no board of pool ''%s''', left(p_pools[i], 100))
             WHEN holder.unit IS NULL THEN format('board %s, without a unit', holder.board_id)
             ELSE format('unit "%s" (board %s)', holder.unit, holder.board_id) END);
    END IF;
    values_out[i] := v;
    kinds_out[i] := holder.kind;
    taken := taken || jsonb_build_object(p_fields[i], v);
  END LOOP;
  -- The job's checks, its count and the board's key as for any board: a
  -- reservation of no values, which then holds the unit's own.
  answer := @SCHEMA@.quelmar_reserve(p_station, p_port, p_board, ARRAY[]::text[], ARRAY[]::text[],
                                     p_job, p_job_version, p_count)::jsonb;
  UPDATE @SCHEMA@.reservations SET fields = taken, unit = p_unit, rework_of = last_board.id
  WHERE board_id = p_board;
  RETURN json_build_object('values', to_json(values_out), 'kinds', to_json(kinds_out),
                           'key', answer ->> 'key', 'rework_of', last_board.id)::text;
END
$$;

-- Filing takes the board's unit and the board it reworks from its
-- reservation, and refuses a record that names others.
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
    -- A board that ended before its values (no reservation of a unit) may
    -- name the unit it was scanned as, failed and without values.
    ELSIF rec -> 'unit' IS NOT NULL AND (jsonb_typeof(rec -> 'unit') <> 'string'
          OR octet_length(rec ->> 'unit') NOT BETWEEN 1 AND 200 OR rec ->> 'unit' ~ '[[:cntrl:]]') THEN
      why := 'the record''s unit is no text of 1 to 200 bytes without control characters';
    ELSIF rec ->> 'unit' IS DISTINCT FROM r.unit AND NOT (
          r.unit IS NULL AND p_result <> 'ok' AND r.fields = '{}'::jsonb) THEN
      why := format('the record''s unit is not %s, the one its board was reserved for',
                    coalesce('"' || r.unit || '"', 'none'));
    ELSIF rec ->> 'rework_of' IS DISTINCT FROM r.rework_of::text THEN
      why := 'the record''s rework_of is not the board its values were given again from';
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
                              job, job_version, unit, rework_of)
  VALUES (p_board, p_station, r.port, (rec ->> 'board')::integer, p_result, t_start, t_end, rec,
          now(), r.job, r.job_version, rec ->> 'unit', r.rework_of);
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

REVOKE ALL ON FUNCTION @SCHEMA@.quelmar_reserve_unit(text, text, uuid, text[], text[], text, integer,
  boolean, text, boolean) FROM PUBLIC;
GRANT EXECUTE ON FUNCTION @SCHEMA@.quelmar_reserve_unit(text, text, uuid, text[], text[], text, integer,
  boolean, text, boolean) TO quelmar_station, quelmar_engineer;

-- A job carries its label's ZPL template as one more file, in its bundle
-- hash like its images: kind 'label', format 'zpl'.
ALTER TABLE @SCHEMA@.job_images DROP CONSTRAINT job_images_kind_check,
  ADD CONSTRAINT job_images_kind_check CHECK (kind IN ('code', 'data', 'label')),
  DROP CONSTRAINT job_images_format_check,
  ADD CONSTRAINT job_images_format_check CHECK (format IN ('fcode', 'fdata', 'elf', 'hex', 'srec', 'zpl')),
  ADD CONSTRAINT job_images_label_is_zpl CHECK ((kind = 'label') = (format = 'zpl'));

CREATE OR REPLACE FUNCTION @SCHEMA@.quelmar_job_release(p_name text, p_quantity bigint, p_note text,
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
     OR n <> coalesce(cardinality(p_bytes), 0) OR n > 3
     OR n <> (SELECT count(DISTINCT k) FROM unnest(p_kinds) k WHERE k IN ('code', 'data', 'label'))
     OR EXISTS (SELECT 1 FROM unnest(p_bytes) b WHERE b IS NULL OR octet_length(b) > 16777216) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009', MESSAGE =
      'a job holds at most one code and one data image of at most 16 MiB each, and one label template';
  END IF;
  IF EXISTS (SELECT 1 FROM unnest(p_kinds, p_formats, p_bytes) AS i(kind, format, bytes)
             WHERE (i.kind = 'label') <> (i.format = 'zpl')
                OR (i.kind = 'label' AND octet_length(i.bytes) > 65536)) THEN
    RAISE EXCEPTION USING ERRCODE = 'QM009',
      MESSAGE = 'a job''s label template is ZPL of at most 64 KiB, and no image is ZPL';
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
