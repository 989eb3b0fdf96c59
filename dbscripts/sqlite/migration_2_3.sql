-- Version 3: the breakingChange table that numbers archived channels.
BEGIN TRANSACTION;

-- AUTOINCREMENT: an archive number is never handed out twice, even after rows are removed.
CREATE TABLE breakingChange (
    id INTEGER PRIMARY KEY AUTOINCREMENT
);

UPDATE schemaVersion SET version = 3;
INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment)
    VALUES (2, 3, strftime('%s','now'), 'Breaking change table added.');

COMMIT;
