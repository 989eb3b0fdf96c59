-- Version 4: indexes for reading the newest rows of one channel and deleting the oldest rows.
BEGIN TRANSACTION;

-- Data requests walk one channel's rows from the newest backwards. The value makes the index
-- covering: once ANALYZE has seen a database with few channels, a search that had to visit
-- the table for every row would look dearer to the planner than scanning the whole table.
CREATE INDEX dataChannelTimestamp ON data (channelHash, timestamp, value);
-- A full database deletes the oldest rows of all channels. An index on the bare column would
-- tempt the planner to walk every channel's rows in time order for a data request of one
-- channel; the expression index serves only statements that order by timestamp+0.
CREATE INDEX dataTimestampOrder ON data (timestamp+0);

UPDATE schemaVersion SET version = 4;
INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment)
    VALUES (3, 4, strftime('%s','now'), 'Indexes for data requests and for removing old data added.');

COMMIT;
