-- Version 4: indexes for reading the newest rows of one channel and deleting the oldest rows.
BEGIN TRANSACTION;

-- Data requests walk one channel's rows from the newest backwards.
CREATE INDEX dataChannelTimestamp ON data (channelHash, timestamp);
-- A full database deletes the oldest rows of all channels.
CREATE INDEX dataTimestamp ON data (timestamp);

UPDATE schemaVersion SET version = 4;
INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment)
    VALUES (3, 4, strftime('%s','now'), 'Indexes for data requests and for removing old data added.');

COMMIT;
