-- Version 1: version bookkeeping and the unit and storage-type tables that channels refer to.
BEGIN TRANSACTION;

CREATE TABLE schemaVersion (
    version INTEGER NOT NULL
);
INSERT INTO schemaVersion (version) VALUES (1);

-- Kept by clear(), so it may already exist when the schema is rebuilt from version 0.
CREATE TABLE IF NOT EXISTS schemaHistory (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    fromVersion INTEGER NOT NULL,
    toVersion INTEGER NOT NULL,
    timestamp INTEGER NOT NULL,
    comment TEXT
);

-- One row per unit and per storage type the daemon knows; ids are the enumeration values.
CREATE TABLE unit (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE
);
INSERT INTO unit (id, name) VALUES
    (0, 'None'),
    (1, 'Percent'),
    (2, 'PartsPerMillion'),
    (3, 'Count'),
    (4, 'Kelvin'),
    (5, 'DegreeCelsius'),
    (6, 'Millikelvin'),
    (7, 'Pascal'),
    (8, 'Kilopascal'),
    (9, 'Millibar'),
    (10, 'Bar'),
    (11, 'Tesla'),
    (12, 'Millitesla'),
    (13, 'Hertz'),
    (14, 'Kilohertz'),
    (15, 'Megahertz'),
    (16, 'Volt'),
    (17, 'Millivolt'),
    (18, 'Ampere'),
    (19, 'Milliampere'),
    (20, 'Ohm'),
    (21, 'Watt'),
    (22, 'LitrePerMinute'),
    (23, 'StandardLitrePerMinute'),
    (24, 'Metre'),
    (25, 'Millimetre'),
    (26, 'Litre'),
    (27, 'Second'),
    (28, 'Hour'),
    (29, 'Byte'),
    (30, 'RelativeHumidity');

CREATE TABLE storageType (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE
);
INSERT INTO storageType (id, name) VALUES
    (1, 'Volatile'),
    (2, 'NonVolatile');

INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment)
    VALUES (0, 1, strftime('%s','now'), 'Version and lookup tables created.');

COMMIT;
