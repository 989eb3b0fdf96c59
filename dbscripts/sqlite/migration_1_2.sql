-- Version 2: the channel table and the data table.
BEGIN TRANSACTION;

CREATE TABLE channel (
    hash INTEGER NOT NULL UNIQUE,
    path TEXT NOT NULL UNIQUE,
    unitID INTEGER NOT NULL REFERENCES unit(id),
    storageTypeID INTEGER NOT NULL REFERENCES storageType(id),
    description TEXT,
    statisticPeriod INTEGER,
    statisticStorageTypeID INTEGER,
    acqPeriodTypical INTEGER,
    min REAL,
    max REAL,
    expectedMin REAL,
    expectedMax REAL,
    logicalFunctionTags TEXT,
    absolute INTEGER,
    precision REAL,
    offsetError REAL,
    relativeError REAL,
    calibrated INTEGER,
    calibrationLastDate INTEGER,
    calibrationNextDate INTEGER,
    recommendRequestDataDuringTypicalMode INTEGER,
    recommendRequestDataDuringHighAlertMode INTEGER,
    acqPeriodChangeable INTEGER,
    acqPeriodJitter INTEGER,
    acqPeriodMin INTEGER,
    acqPeriodHighAlert INTEGER,
    acqPeriodMax INTEGER
);
CREATE TABLE data (
    channelHash INTEGER NOT NULL REFERENCES channel(hash),
    timestamp INTEGER NOT NULL,
    value REAL
);

UPDATE schemaVersion SET version = 2;
INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment)
    VALUES (1, 2, strftime('%s','now'), 'Channel and data tables created.');

COMMIT;
