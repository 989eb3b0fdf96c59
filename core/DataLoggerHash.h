#pragma once

#include <cstdint>
#include <string>

#include "core/DataLoggerNames.h"
#include "core/DataLoggerTypes.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// The 64-bit channel hash: the CRC-32 (ISO-HDLC, as zlib) of path + unit name + storage-type
// name in the low 32 bits, the high 32 bits zero. Only the three properties whose change
// breaks stored data enter it. Stateless after construction: safe on any thread.
// compute() throws std::runtime_error when the unit or storage type has no name.
class DataLoggerHash : public virtual log::Logger {
public:
    DataLoggerHash();

    uint64_t compute(const DataLoggerChannelInfo& info) const;

    // The CRC-32 of arbitrary bytes, as used by compute().
    static uint32_t crc32(const std::string& bytes);

private:
    utils::EnumUtils<DataLoggerUnit> mUnits;
    utils::EnumUtils<DataLoggerStorageType> mStorageTypes;
};

}  // namespace quorix::pelmo::datalogger
