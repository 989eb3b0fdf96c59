-- Version 5: points kept in compressed blocks per channel, the newest of each channel in an
-- arrival-ordered tail.
BEGIN TRANSACTION;

-- One row per closed block of one channel, written once: up to 512 points in the layout that
-- docs/block-format.md describes, the first byte of `bytes` being `encoding`. `lastSeq` is the
-- newest tail row the block holds, so a restart knows which tail rows are still open.
CREATE TABLE block (
    id INTEGER PRIMARY KEY,
    channelHash INTEGER NOT NULL REFERENCES channel(hash),
    firstTime INTEGER NOT NULL,
    lastTime INTEGER NOT NULL,
    count INTEGER NOT NULL,
    lastSeq INTEGER NOT NULL,
    encoding INTEGER NOT NULL,
    bytes BLOB NOT NULL
);
-- Reads walk one channel's blocks oldest first or newest first.
CREATE INDEX blockChannelFirst ON block (channelHash, firstTime);
CREATE INDEX blockChannelLast ON block (channelHash, lastTime);

-- Each channel's open block, one row per point in arrival order and without an index, so that
-- a commit of many channels' points touches the last page or two. Rows are deleted from the
-- oldest end once blocks hold them.
CREATE TABLE tail (
    seq INTEGER PRIMARY KEY,
    channelHash INTEGER NOT NULL REFERENCES channel(hash),
    timestamp INTEGER NOT NULL,
    value REAL
);

-- The rows of old become tail rows in the order they arrived; the daemon cuts them into blocks
-- when it next loads the points. Rows of no channel, or without a time, were never readable.
INSERT INTO tail (channelHash, timestamp, value)
    SELECT channelHash, timestamp, value FROM data
    WHERE channelHash IN (SELECT hash FROM channel) AND timestamp IS NOT NULL ORDER BY rowid;
DROP TABLE data;

UPDATE schemaVersion SET version = 5;
INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment)
    VALUES (4, 5, strftime('%s','now'), 'Points moved into compressed blocks and a tail.');

COMMIT;
