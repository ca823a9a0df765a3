-- Version 5: the operator's station. A board's unit (the ID scanned from
-- its own label), the record it reworks, its attempts and its label.

-- The unit a board was scanned as: what binds a record to the board in the
-- operator's hand, and how a board flashed again is recognised.
ALTER TABLE @SCHEMA@.boards ADD COLUMN unit text
  CHECK (unit IS NULL OR (octet_length(unit) BETWEEN 1 AND 200 AND unit !~ '[[:cntrl:]]'));
CREATE INDEX boards_unit ON @SCHEMA@.boards (unit) WHERE unit IS NOT NULL;
