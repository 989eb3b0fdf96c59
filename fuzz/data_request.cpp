// The data route with any body, on a context without a server. The context lives across
// inputs, so ids issued by one input can be resumed by another (at most 100 are kept).
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "dfrm/DfrmDataRequestHandler.h"
#include "support/dfrm_fakes.h"

namespace qd = quorix::pelmo::datalogger;
namespace fz = datalogger::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (fz::silenceLogging(), true);
    (void)quiet;
    static ::datalogger::test::DfrmRig rig;
    rig.pull->byPrefix = true;
    rig.pull->calls.clear();
    // Both kinds of time reference, chosen by the input's length.
    rig.time->valid = size % 2 == 1;
    const qd::DfrmResponse response =
        qd::answerDataRequest(rig.context, std::string(reinterpret_cast<const char*>(data), size));
    switch (response.mStatusCode) {
        case 200:
        case 400:
        case 404:
        case 410:
        case 500:
            break;
        default:
            std::abort();
    }
    (void)qd::frameResponse(response);
    return 0;
}
