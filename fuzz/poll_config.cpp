// The poll configuration file: any bytes give sections or error lines, each ending in a newline.
#include <cstdlib>

#include "FuzzSupport.h"
#include "inputs/filepoll/FilePollConfigFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (datalogger::fuzz::silenceLogging(), true);
    (void)quiet;
    const quorix::pelmo::datalogger::FilePollConfigFile file(
        datalogger::fuzz::writeInputFile(data, size));
    const std::string errors = file.getErrors();
    if (!errors.empty() && errors.back() != '\n') std::abort();
    return 0;
}
