// The storage configuration file: any bytes give a configuration or error lines, nothing else.
#include <cstdlib>

#include "FuzzSupport.h"
#include "storage/DataLoggerStorageConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (datalogger::fuzz::silenceLogging(), true);
    (void)quiet;
    const quorix::pelmo::datalogger::DataLoggerStorageConfigFile file(
        datalogger::fuzz::writeInputFile(data, size));
    // A result is exactly one of the two.
    if (file.isValid() != (file.getConfig() != nullptr) ||
        file.isValid() != file.getErrors().empty()) {
        std::abort();
    }
    return 0;
}
