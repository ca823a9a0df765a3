#include "line/schema.h"

#include "line/line_db.h"

namespace quelmar::line {

namespace {

// Version 1. pools, pool_values and boards are read by other programs (a
// factory's MES): their columns are documented in docs/line.md and change
// only by adding. pool_queue is ours: the free values of list pools in the
// list's order, so that the next one is found without walking used ones.
constexpr char kVersion1[] = R"SQL(
CREATE TABLE quelmar_schema (
  version integer NOT NULL
);
INSERT INTO quelmar_schema (version) VALUES (0);

CREATE TABLE pools (
  name text PRIMARY KEY CHECK (name ~ '^[A-Za-z0-9_.-]{1,64}$'),
  kind text NOT NULL CHECK (kind IN ('counter', 'list')),
  format text NOT NULL,
  start_value numeric(20, 0),
  end_value numeric(20, 0),
  step numeric(20, 0),
  next_value numeric(20, 0),
  created_at timestamptz NOT NULL DEFAULT now(),
  CHECK (kind = 'list' OR (start_value >= 0 AND end_value >= start_value AND step >= 1
                           AND next_value >= start_value))
);

CREATE TABLE pool_values (
  pool text NOT NULL REFERENCES pools (name),
  value text NOT NULL,
  state text NOT NULL CHECK (state IN ('free', 'reserved', 'written', 'void')),
  station text,
  port text,
  board_id uuid,
  reserved_at timestamptz,
  done_at timestamptz,
  PRIMARY KEY (pool, value)
);
CREATE INDEX pool_values_board ON pool_values (board_id);
CREATE INDEX pool_values_value ON pool_values (value);
CREATE INDEX pool_values_reserved ON pool_values (reserved_at) WHERE state = 'reserved';

CREATE TABLE pool_queue (
  pool text NOT NULL,
  value text NOT NULL,
  position bigserial NOT NULL,
  PRIMARY KEY (pool, value),
  FOREIGN KEY (pool, value) REFERENCES pool_values (pool, value)
);
CREATE INDEX pool_queue_order ON pool_queue (pool, position);

CREATE TABLE boards (
  id uuid PRIMARY KEY,
  station text NOT NULL,
  port text NOT NULL,
  board integer NOT NULL,
  result text NOT NULL CHECK (result IN ('ok', 'failed', 'stopped')),
  time_start timestamptz NOT NULL,
  time_end timestamptz NOT NULL,
  record jsonb NOT NULL
);
CREATE INDEX boards_time ON boards (time_start);
CREATE INDEX boards_station ON boards (station, time_start);
)SQL";

// Version 2. stations: each station's state as it last reported it, for the
// line's page and whoever else reads it (documented in docs/line.md). The
// control columns are the line page's requests to a station, which the
// station takes when told by NOTIFY or when it next writes its row. Two
// indexes let the page count the day's boards and find the latest failures
// without reading the whole table.
constexpr char kVersion2[] = R"SQL(
CREATE TABLE stations (
  name text PRIMARY KEY CHECK (octet_length(name) BETWEEN 1 AND 200),
  host text NOT NULL,
  version text NOT NULL,
  profile_sha256 text NOT NULL,
  images jsonb NOT NULL,
  dashboard text,
  run_id uuid NOT NULL,
  started_at timestamptz NOT NULL,
  last_seen timestamptz NOT NULL,
  run text NOT NULL CHECK (run IN ('running', 'paused', 'stopping', 'stopped')),
  slots jsonb NOT NULL,
  ok bigint NOT NULL,
  failed bigint NOT NULL,
  control text CHECK (control IN ('pause', 'resume', 'stop')),
  control_id bigint NOT NULL DEFAULT 0,
  control_at timestamptz
);
CREATE INDEX boards_end ON boards (time_end);
CREATE INDEX boards_failed ON boards (time_end) WHERE result <> 'ok';
)SQL";

}  // namespace

// Version 3 onwards: src/line/sql/vN.sql, compiled in.
const char* SchemaV3Sql();
const char* SchemaV4Sql();
const char* SchemaV5Sql();

const std::vector<std::string>& SchemaSteps() {
  static const std::vector<std::string> steps = {kVersion1, kVersion2, SchemaV3Sql(),
                                                 SchemaV4Sql(), SchemaV5Sql()};
  static_assert(kSchemaVersion == 5, "a new schema version needs its step here");
  return steps;
}

}  // namespace quelmar::line
