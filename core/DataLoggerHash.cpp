#include "core/DataLoggerHash.h"

#include <boost/crc.hpp>

namespace quorix::pelmo::datalogger {

DataLoggerHash::DataLoggerHash()
    : log::Logger("DataLoggerHash", "", std::make_shared<log::LoggerImpl>()) {}

uint32_t DataLoggerHash::crc32(const std::string& bytes) {
    // crc_32_type is table driven; Boost builds its table once per process.
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    return crc.checksum();
}

uint64_t DataLoggerHash::compute(const DataLoggerChannelInfo& info) const {
    const std::string input =
        info.mPath + mUnits.to_string(info.mUnit) + mStorageTypes.to_string(info.mStorageType);
    const uint64_t hash = crc32(input);
    pelmoDoLog(log::Trace, "hash for value (path + unit + storagetype) %s is %llu", nullptr,
               log::untrusted(input).c_str(), static_cast<unsigned long long>(hash));
    return hash;
}

}  // namespace quorix::pelmo::datalogger
