-- Version 3: the database keeps the line's promises itself. Stations and
-- dashboards hold no write privilege on any table; they change things only
-- through the functions below, which run as the schema's owner, check who
-- calls them (session_user against the station registered for the name)
-- and what they are given. @SCHEMA@ is the schema the tables live in.
-- The functions look in pg_catalog alone (and pg_temp last) and name
-- everything of the line's with its schema: whoever may create objects
-- somewhere cannot have one of theirs taken for PostgreSQL's own.

-- Which login role may report and file as which station.
CREATE TABLE @SCHEMA@.station_roles (
  name text PRIMARY KEY CHECK (octet_length(name) BETWEEN 1 AND 200),
  role name NOT NULL,
  added_by name NOT NULL,
  added_at timestamptz NOT NULL DEFAULT now()
);

-- A board in flight: the values its pools handed out (field -> value as
-- the pool stores it) and the one-time key its record is sealed with.
-- Read by the schema's owner only.
CREATE TABLE @SCHEMA@.reservations (
  board_id uuid PRIMARY KEY,
  station text NOT NULL,
  role name NOT NULL,
  port text NOT NULL,
  fields jsonb NOT NULL,
  seal_key bytea NOT NULL,
  reserved_at timestamptz NOT NULL DEFAULT now()
);

-- A counter's values made void before the counter reached them, as ranges
-- on its step (first and last inclusive, never touching each other): a
-- reservation steps over a whole range at once.
CREATE TABLE @SCHEMA@.pool_skips (
  pool text NOT NULL REFERENCES @SCHEMA@.pools (name),
  first_value numeric(20, 0) NOT NULL,
  last_value numeric(20, 0) NOT NULL,
  made_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (pool, first_value),
  CHECK (last_value >= first_value)
);

-- Filings the database refused: a record that did not match its
-- reservation, its seal or the station that sent it.
CREATE TABLE @SCHEMA@.refused_filings (
  id bigserial PRIMARY KEY,
  at timestamptz NOT NULL DEFAULT now(),
  role name NOT NULL,
  station text,
  board_id uuid,
  reason text NOT NULL
);
CREATE INDEX refused_filings_at ON @SCHEMA@.refused_filings (at);
CREATE INDEX refused_filings_role ON @SCHEMA@.refused_filings (role, id);

-- When the database took each board, on its own clock.
ALTER TABLE @SCHEMA@.boards ADD COLUMN filed_at timestamptz;
UPDATE @SCHEMA@.boards SET filed_at = time_end;
ALTER TABLE @SCHEMA@.boards ALTER COLUMN filed_at SET DEFAULT now(),
  ALTER COLUMN filed_at SET NOT NULL;
CREATE INDEX boards_filed ON @SCHEMA@.boards (filed_at);
CREATE INDEX boards_filed_failed ON @SCHEMA@.boards (filed_at) WHERE result <> 'ok';

-- Controls are numbered by the database; what a row held before is
-- forgotten (a station learns the number at its first write).
CREATE SEQUENCE @SCHEMA@.control_ids AS bigint NO CYCLE;
UPDATE @SCHEMA@.stations SET control = NULL, control_id = 0, control_at = NULL;

-- Whether the caller is an engineer: a member of quelmar_engineer or of
-- the role owning the tables.
CREATE FUNCTION @SCHEMA@.quelmar_is_engineer() RETURNS boolean
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
  SELECT pg_catalog.pg_has_role(session_user, 'quelmar_engineer', 'MEMBER')
      OR pg_catalog.pg_has_role(session_user,
           (SELECT relowner FROM pg_catalog.pg_class
            WHERE oid = '@SCHEMA@.quelmar_schema'::pg_catalog.regclass), 'MEMBER')
$$;

-- The caller may act as p_station: the name is registered for its role.
-- An engineer running a station under a name nobody has registers it for
-- itself.
CREATE FUNCTION @SCHEMA@.quelmar_caller_is(p_station text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  registered name;
BEGIN
  IF p_station IS NULL OR octet_length(p_station) NOT BETWEEN 1 AND 200 THEN
    RAISE EXCEPTION USING ERRCODE = 'QM003', MESSAGE = 'a station name has 1 to 200 bytes';
  END IF;
  SELECT role INTO registered FROM @SCHEMA@.station_roles WHERE name = p_station;
  IF NOT FOUND THEN
    IF @SCHEMA@.quelmar_is_engineer() THEN
      INSERT INTO @SCHEMA@.station_roles (name, role, added_by)
      VALUES (p_station, session_user, session_user) ON CONFLICT DO NOTHING;
      -- Registered for another role meanwhile: that one holds.
      SELECT role INTO registered FROM @SCHEMA@.station_roles WHERE name = p_station;
      IF registered = session_user THEN
        RETURN;
      END IF;
      RAISE EXCEPTION USING ERRCODE = 'QM003', MESSAGE = format(
        'station %L is registered for the role %s, not %s', p_station, registered, session_user);
    END IF;
    RAISE EXCEPTION USING ERRCODE = 'QM003', MESSAGE = format(
      'station %L is not registered on this line: an engineer registers it with ''quelmar-cli line station add %s --role %s''',
      p_station, p_station, session_user);
  END IF;
  IF registered <> session_user THEN
    RAISE EXCEPTION USING ERRCODE = 'QM003', MESSAGE = format(
      'station %L is registered for the role %s, not %s', p_station, registered, session_user);
  END IF;
END
$$;

-- A counter's number as its pool stores it (the way the program shows it).
CREATE FUNCTION @SCHEMA@.quelmar_shown(p_format text, n numeric) RETURNS text
LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  pattern text;
  out text := '';
  i int := 1;
  c text;
  m text[];
  digits text;
  width int;
  hex text;
BEGIN
  IF p_format IN ('u32le', 'u32be', 'u64le') THEN
    RETURN n::text;
  END IF;
  IF p_format = 'mac' THEN
    hex := upper(lpad(to_hex(n::bigint), 12, '0'));
    RETURN substr(hex, 1, 2) || ':' || substr(hex, 3, 2) || ':' || substr(hex, 5, 2) || ':' ||
           substr(hex, 7, 2) || ':' || substr(hex, 9, 2) || ':' || substr(hex, 11, 2);
  END IF;
  IF left(p_format, 5) <> 'text:' THEN
    RAISE EXCEPTION USING ERRCODE = 'QM010', MESSAGE = format('a counter cannot be %s', p_format);
  END IF;
  pattern := substr(p_format, 6);
  WHILE i <= length(pattern) LOOP
    c := substr(pattern, i, 1);
    IF c <> '%' THEN
      out := out || c;
      i := i + 1;
    ELSIF substr(pattern, i + 1, 1) = '%' THEN
      out := out || '%';
      i := i + 2;
    ELSE
      m := regexp_match(substr(pattern, i), '^%(0[0-9]{1,2})?u');
      IF m IS NULL THEN
        RAISE EXCEPTION USING ERRCODE = 'QM010', MESSAGE = format('%s is no pattern', p_format);
      END IF;
      width := coalesce(substr(m[1], 2)::int, 0);
      digits := n::text;
      IF length(digits) < width THEN
        digits := lpad(digits, width, '0');
      END IF;
      out := out || digits;
      i := i + 1 + coalesce(length(m[1]), 0) + 1;
    END IF;
  END LOOP;
  RETURN out;
END
$$;

-- HMAC-SHA256 (RFC 2104) with the server's own sha256().
CREATE FUNCTION @SCHEMA@.quelmar_hmac(p_key bytea, p_message bytea) RETURNS bytea
LANGUAGE plpgsql IMMUTABLE STRICT SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  k bytea := p_key;
  inner_pad bytea;
  outer_pad bytea;
BEGIN
  IF length(k) > 64 THEN
    k := sha256(k);
  END IF;
  k := k || decode(repeat('00', 64 - length(k)), 'hex');
  inner_pad := k;
  outer_pad := k;
  FOR i IN 0..63 LOOP
    inner_pad := set_byte(inner_pad, i, get_byte(k, i) # 54);
    outer_pad := set_byte(outer_pad, i, get_byte(k, i) # 92);
  END LOOP;
  RETURN sha256(outer_pad || sha256(inner_pad || p_message));
END
$$;

-- A station starts: it may act as p_station, and no other station under
-- that name was seen in the last 10 s. Returns the line's identity, which
-- the station's spool keeps with each record: the cluster's system
-- identifier and the database's name.
CREATE FUNCTION @SCHEMA@.quelmar_station_start(p_station text, p_run_id uuid) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  other @SCHEMA@.stations%ROWTYPE;
BEGIN
  PERFORM @SCHEMA@.quelmar_caller_is(p_station);
  SELECT * INTO other FROM @SCHEMA@.stations
  WHERE name = p_station AND run <> 'stopped' AND last_seen > now() - interval '10 seconds'
    AND (p_run_id IS NULL OR run_id <> p_run_id);
  IF FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'QM004', MESSAGE = format(
      'station %L runs already on %s (seen %s s ago): give each station a name of its own ([line] station), or wait 10 s after the other stopped',
      p_station, left(other.host, 200),
      floor(extract(epoch FROM now() - other.last_seen))::bigint);
  END IF;
  RETURN (SELECT system_identifier::text FROM pg_catalog.pg_control_system()) || '/' ||
         current_database();
END
$$;

-- One value of each pool for a board, all or none. p_fields[i] takes a
-- value of p_pools[i]. Pools are taken in the order of their names, so
-- two stations whose profiles list them differently never wait on each
-- other. Returns {"values": [...], "kinds": [...], "key": "<64 hex
-- digits>"}: the values and their pools' kinds in the order of p_fields,
-- and the one-time key that seals the board's record.
CREATE FUNCTION @SCHEMA@.quelmar_reserve(p_station text, p_port text, p_board uuid, p_fields text[],
                                p_pools text[]) RETURNS text
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
  INSERT INTO @SCHEMA@.reservations (board_id, station, role, port, fields, seal_key)
  VALUES (p_board, p_station, session_user, p_port, taken, k);
  RETURN json_build_object('values', to_json(values_out), 'kinds', to_json(kinds_out),
                           'key', encode(k, 'hex'))::text;
END
$$;

-- Files a finished board: the record of a board this station reserved,
-- sealed with its key, holding exactly the values reserved for it. Its
-- values become written (ok) or void. Returns 'filed', 'already' (the
-- same record was filed before) or 'refused: <why>' (kept in
-- refused_filings).
CREATE FUNCTION @SCHEMA@.quelmar_file(p_station text, p_board uuid, p_result text, p_record text,
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
  INSERT INTO @SCHEMA@.boards (id, station, port, board, result, time_start, time_end, record, filed_at)
  VALUES (p_board, p_station, r.port, (rec ->> 'board')::integer, p_result, t_start, t_end, rec,
          now());
  -- A value made void by hand while its board ran becomes written when the
  -- board ends well: the pool tells what is in the boards.
  UPDATE @SCHEMA@.pool_values SET state = CASE WHEN p_result = 'ok' THEN 'written' ELSE 'void' END,
    done_at = now()
  WHERE board_id = p_board AND (state = 'reserved' OR (state = 'void' AND p_result = 'ok'));
  DELETE FROM @SCHEMA@.reservations WHERE board_id = p_board;
  RETURN 'filed';
END
$$;

-- A station's state, checked and bounded, written to its own row with the
-- database's clock, and announced on quelmar_stations. Returns the
-- row's control and its number.
CREATE FUNCTION @SCHEMA@.quelmar_report(p_station text, p_run_id uuid, p_uptime float8, p_state jsonb)
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
  RETURN QUERY
  WITH s AS (
    INSERT INTO @SCHEMA@.stations AS s (name, host, version, profile_sha256, images, dashboard, run_id,
      started_at, last_seen, run, slots, ok, failed)
    VALUES (p_station, coalesce(p_state ->> 'host', ''), coalesce(p_state ->> 'version', ''),
      coalesce(p_state ->> 'profile_sha256', ''), p_state -> 'images',
      nullif(p_state ->> 'dashboard', ''), p_run_id,
      now() - make_interval(secs => p_uptime), now(), p_state ->> 'run', p_state -> 'slots',
      (p_state ->> 'ok')::bigint, (p_state ->> 'failed')::bigint)
    ON CONFLICT (name) DO UPDATE SET host = excluded.host, version = excluded.version,
      profile_sha256 = excluded.profile_sha256, images = excluded.images,
      dashboard = excluded.dashboard,
      started_at = CASE WHEN s.run_id = excluded.run_id THEN s.started_at
                        ELSE excluded.started_at END,
      control = CASE WHEN s.run_id = excluded.run_id THEN s.control END,
      run_id = excluded.run_id, last_seen = now(), run = excluded.run,
      slots = excluded.slots, ok = excluded.ok, failed = excluded.failed
    RETURNING s.control, s.control_id)
  SELECT s.control, s.control_id FROM s;
  PERFORM pg_notify('quelmar_stations', p_station);
END
$$;

-- last_seen moves on for the station's run. No row: the name is not this
-- run's any more (another station took it, or it was removed).
CREATE FUNCTION @SCHEMA@.quelmar_heartbeat(p_station text, p_run_id uuid)
RETURNS TABLE (control text, control_id bigint)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
#variable_conflict use_column
BEGIN
  PERFORM @SCHEMA@.quelmar_caller_is(p_station);
  RETURN QUERY UPDATE @SCHEMA@.stations s SET last_seen = now()
    WHERE s.name = p_station AND s.run_id = p_run_id RETURNING s.control, s.control_id;
END
$$;

-- The control waiting in the station's own row.
CREATE FUNCTION @SCHEMA@.quelmar_take_control(p_station text, p_run_id uuid)
RETURNS TABLE (control text, control_id bigint)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
#variable_conflict use_column
BEGIN
  PERFORM @SCHEMA@.quelmar_caller_is(p_station);
  RETURN QUERY SELECT s.control, s.control_id FROM @SCHEMA@.stations s
    WHERE s.name = p_station AND s.run_id = p_run_id;
END
$$;

-- A supervisor's control for one registered station (or, with NULL, each
-- that has not stopped): numbered by the database, put in the station's
-- row and announced on its own channel. The names it went to.
CREATE FUNCTION @SCHEMA@.quelmar_send_control(p_station text, p_control text) RETURNS SETOF text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  target text;
BEGIN
  IF NOT (pg_catalog.pg_has_role(session_user, 'quelmar_supervisor', 'MEMBER')
          OR @SCHEMA@.quelmar_is_engineer()) THEN
    RAISE EXCEPTION USING ERRCODE = '42501',
      MESSAGE = format('%s may not send controls: it is no member of quelmar_supervisor', session_user);
  END IF;
  IF p_control IS NULL OR p_control NOT IN ('pause', 'resume', 'stop') THEN
    RAISE EXCEPTION USING ERRCODE = 'QM005', MESSAGE = 'a control is pause, resume or stop';
  END IF;
  FOR target IN
    UPDATE @SCHEMA@.stations s
    SET control = CASE WHEN s.control = 'stop' THEN 'stop' ELSE p_control END,
        control_id = nextval('@SCHEMA@.control_ids'), control_at = now()
    WHERE (p_station IS NULL OR s.name = p_station) AND s.run <> 'stopped'
      AND EXISTS (SELECT 1 FROM @SCHEMA@.station_roles r WHERE r.name = s.name)
    RETURNING s.name
  LOOP
    PERFORM pg_notify('quelmar_control_' ||
                      left(encode(sha256(pg_catalog.convert_to(target, 'UTF8'::name)), 'hex'), 32), p_control);
    RETURN NEXT target;
  END LOOP;
END
$$;

-- Nothing but the schema's owner writes a table; the group roles read
-- what they need and call their functions.
REVOKE ALL ON @SCHEMA@.quelmar_schema, @SCHEMA@.pools, @SCHEMA@.pool_values, @SCHEMA@.pool_queue, @SCHEMA@.boards, @SCHEMA@.stations, @SCHEMA@.station_roles,
  @SCHEMA@.reservations, @SCHEMA@.pool_skips, @SCHEMA@.refused_filings FROM PUBLIC;
REVOKE ALL ON FUNCTION @SCHEMA@.quelmar_is_engineer(), @SCHEMA@.quelmar_caller_is(text),
  @SCHEMA@.quelmar_shown(text, numeric), @SCHEMA@.quelmar_hmac(bytea, bytea),
  @SCHEMA@.quelmar_station_start(text, uuid), @SCHEMA@.quelmar_reserve(text, text, uuid, text[], text[]),
  @SCHEMA@.quelmar_file(text, uuid, text, text, text), @SCHEMA@.quelmar_report(text, uuid, float8, jsonb),
  @SCHEMA@.quelmar_heartbeat(text, uuid), @SCHEMA@.quelmar_take_control(text, uuid),
  @SCHEMA@.quelmar_send_control(text, text) FROM PUBLIC;
GRANT USAGE ON SCHEMA @SCHEMA@ TO quelmar_station, quelmar_supervisor, quelmar_engineer;
GRANT SELECT ON @SCHEMA@.quelmar_schema, @SCHEMA@.pools, @SCHEMA@.pool_values, @SCHEMA@.pool_skips, @SCHEMA@.boards, @SCHEMA@.stations, @SCHEMA@.station_roles
  TO quelmar_station;
GRANT SELECT ON @SCHEMA@.quelmar_schema, @SCHEMA@.pools, @SCHEMA@.pool_values, @SCHEMA@.pool_skips, @SCHEMA@.boards, @SCHEMA@.stations, @SCHEMA@.station_roles,
  @SCHEMA@.refused_filings TO quelmar_supervisor;
GRANT SELECT, INSERT, UPDATE, DELETE ON @SCHEMA@.quelmar_schema, @SCHEMA@.pools, @SCHEMA@.pool_values, @SCHEMA@.pool_queue, @SCHEMA@.boards,
  @SCHEMA@.stations, @SCHEMA@.station_roles, @SCHEMA@.reservations, @SCHEMA@.pool_skips, @SCHEMA@.refused_filings TO quelmar_engineer;
GRANT USAGE ON SEQUENCE @SCHEMA@.control_ids, @SCHEMA@.pool_queue_position_seq, @SCHEMA@.refused_filings_id_seq
  TO quelmar_engineer;
GRANT EXECUTE ON FUNCTION @SCHEMA@.quelmar_station_start(text, uuid),
  @SCHEMA@.quelmar_reserve(text, text, uuid, text[], text[]), @SCHEMA@.quelmar_file(text, uuid, text, text, text),
  @SCHEMA@.quelmar_report(text, uuid, float8, jsonb), @SCHEMA@.quelmar_heartbeat(text, uuid),
  @SCHEMA@.quelmar_take_control(text, uuid) TO quelmar_station, quelmar_engineer;
GRANT EXECUTE ON FUNCTION @SCHEMA@.quelmar_send_control(text, text)
  TO quelmar_supervisor, quelmar_engineer;
GRANT EXECUTE ON FUNCTION @SCHEMA@.quelmar_is_engineer() TO quelmar_station, quelmar_supervisor,
  quelmar_engineer;
