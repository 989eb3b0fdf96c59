#include "core/DataLoggerNames.h"

// Released names never change: they are part of every channel hash, of the poll files and of
// the DfRM documents. Add new values at the end.

namespace quorix::pelmo::utils {

using datalogger::DataLoggerStatusCode;
using datalogger::DataLoggerStorageType;
using datalogger::DataLoggerUnit;

const std::vector<std::pair<std::string, DataLoggerUnit>>& EnumNames<DataLoggerUnit>::entries() {
    static const std::vector<std::pair<std::string, DataLoggerUnit>> names = {
        {"None", DataLoggerUnit::None},
        {"Percent", DataLoggerUnit::Percent},
        {"PartsPerMillion", DataLoggerUnit::PartsPerMillion},
        {"Count", DataLoggerUnit::Count},
        {"Kelvin", DataLoggerUnit::Kelvin},
        {"DegreeCelsius", DataLoggerUnit::DegreeCelsius},
        {"Millikelvin", DataLoggerUnit::Millikelvin},
        {"Pascal", DataLoggerUnit::Pascal},
        {"Kilopascal", DataLoggerUnit::Kilopascal},
        {"Millibar", DataLoggerUnit::Millibar},
        {"Bar", DataLoggerUnit::Bar},
        {"Tesla", DataLoggerUnit::Tesla},
        {"Millitesla", DataLoggerUnit::Millitesla},
        {"Hertz", DataLoggerUnit::Hertz},
        {"Kilohertz", DataLoggerUnit::Kilohertz},
        {"Megahertz", DataLoggerUnit::Megahertz},
        {"Volt", DataLoggerUnit::Volt},
        {"Millivolt", DataLoggerUnit::Millivolt},
        {"Ampere", DataLoggerUnit::Ampere},
        {"Milliampere", DataLoggerUnit::Milliampere},
        {"Ohm", DataLoggerUnit::Ohm},
        {"Watt", DataLoggerUnit::Watt},
        {"LitrePerMinute", DataLoggerUnit::LitrePerMinute},
        {"StandardLitrePerMinute", DataLoggerUnit::StandardLitrePerMinute},
        {"Metre", DataLoggerUnit::Metre},
        {"Millimetre", DataLoggerUnit::Millimetre},
        {"Litre", DataLoggerUnit::Litre},
        {"Second", DataLoggerUnit::Second},
        {"Hour", DataLoggerUnit::Hour},
        {"Byte", DataLoggerUnit::Byte},
        {"RelativeHumidity", DataLoggerUnit::RelativeHumidity},
    };
    return names;
}

const std::vector<std::pair<std::string, DataLoggerStorageType>>&
EnumNames<DataLoggerStorageType>::entries() {
    static const std::vector<std::pair<std::string, DataLoggerStorageType>> names = {
        {"Volatile", DataLoggerStorageType::Volatile},
        {"NonVolatile", DataLoggerStorageType::NonVolatile},
    };
    return names;
}

const std::vector<std::pair<std::string, DataLoggerStatusCode>>&
EnumNames<DataLoggerStatusCode>::entries() {
    static const std::vector<std::pair<std::string, DataLoggerStatusCode>> names = {
        {"NoError", DataLoggerStatusCode::NoError},
        {"NotFound", DataLoggerStatusCode::NotFound},
        {"AlreadyRegistered", DataLoggerStatusCode::AlreadyRegistered},
        {"InvalidArgument", DataLoggerStatusCode::InvalidArgument},
        {"SizeBelowMinimum", DataLoggerStatusCode::SizeBelowMinimum},
        {"SizeAboveMaximum", DataLoggerStatusCode::SizeAboveMaximum},
        {"StorageOpenFailed", DataLoggerStatusCode::StorageOpenFailed},
        {"NoData", DataLoggerStatusCode::NoData},
        {"StorageNoData", DataLoggerStatusCode::StorageNoData},
        {"StorageNotInitialized", DataLoggerStatusCode::StorageNotInitialized},
        {"StorageError", DataLoggerStatusCode::StorageError},
        {"StorageUnknownHash", DataLoggerStatusCode::StorageUnknownHash},
        {"BreakingChange", DataLoggerStatusCode::BreakingChange},
        {"NoAssetFound", DataLoggerStatusCode::NoAssetFound},
        {"NotYetRegistered", DataLoggerStatusCode::NotYetRegistered},
        {"QueueFull", DataLoggerStatusCode::QueueFull},
    };
    return names;
}

}  // namespace quorix::pelmo::utils
