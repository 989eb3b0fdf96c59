#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "core/DataLoggerTypes.h"

namespace quorix::pelmo::datalogger {

// What one column of the channel table holds: SQLite's integer, real or text.
using DataLoggerColumnValue = std::variant<int64_t, double, std::string>;
enum class DataLoggerColumnType { Integer, Real, Text };

// One column of the channel table and the field of DataLoggerChannelInfo it holds.
// kDataLoggerChannelColumns is the one place that pairs fields with columns and orders them:
// the storage builds its channel statements and binds and reads rows by it, the tools read rows
// by it, and DataLoggerChannelInfo compares by it. The table is constant, initialised before
// any code runs: every thread may read it.
struct DataLoggerChannelColumn {
    // The field's name, which the storage's binding failure names.
    const char* name;
    // The column's name, where it is not the field's.
    const char* column;
    // The channel insert calls the parameters of unit and storage type after the fields, not
    // the columns; a failure to prepare shows the statement, so that text stays as it is.
    const char* insertParameter;
    DataLoggerColumnType type;
    // The field in its stored form (of `type`): times in microseconds, the statistics period
    // in microseconds, tags as one text, flags as 0 or 1.
    DataLoggerColumnValue (*store)(const DataLoggerChannelInfo& info);
    // Sets the field from its stored form.
    void (*load)(DataLoggerChannelInfo& info, const DataLoggerColumnValue& value);
    // Whether two infos agree in the field, at its full resolution.
    bool (*same)(const DataLoggerChannelInfo& a, const DataLoggerChannelInfo& b);

    const char* columnName() const { return column ? column : name; }
};

// The 26 columns after the hash (column 0), in table order.
extern const std::array<DataLoggerChannelColumn, 26> kDataLoggerChannelColumns;

// A channel read from a "SELECT * FROM channel" row: `read` gives the value of the column at a
// position (the hash is at 0) as the type asks, the way the caller's statement reads it.
DataLoggerChannelInfo channelInfoFromRow(
    const std::function<DataLoggerColumnValue(int position, DataLoggerColumnType type)>& read);

}  // namespace quorix::pelmo::datalogger
