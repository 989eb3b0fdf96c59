// The data route with any body, against a server that is never started. The server lives
// across inputs, so ids issued by one input can be resumed by another (at most 100 are kept).
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "dfrm/DataLoggerDfrm.h"
#include "dfrm/DfrmDataRequestHandler.h"

namespace qd = quorix::pelmo::datalogger;
namespace fz = datalogger::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (fz::silenceLogging(), true);
    (void)quiet;
    static auto time = std::make_shared<fz::FakeTime>();
    static qd::DataLoggerDfrm server(std::make_shared<fz::FakePull>(), "/nonexistent/dfrm.socket",
                                     time, std::make_shared<fz::FakeFirmware>(),
                                     std::make_shared<fz::FakeDevices>(),
                                     std::make_shared<fz::FakeCallers>());
    // Both kinds of time reference, chosen by the input's length.
    time->valid = size % 2 == 1;
    const qd::DfrmResponse response =
        qd::answerDataRequest(server, std::string(reinterpret_cast<const char*>(data), size));
    switch (response.mStatusCode) {
        case 200: case 400: case 404: case 410: case 500:
            break;
        default:
            std::abort();
    }
    (void)qd::frameResponse(response);
    return 0;
}
