#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/DataLoggerPullDataIfc.h"
#include "dfrm/DataLoggerRequest.h"
#include "dfrm/DfrmContext.h"
#include "dfrm/DfrmTypes.h"
#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"
#include "platform/UniqueFd.h"
#include "systime/SystemTimeHandlerIfc.h"

namespace quorix::pelmo::datalogger {

// The DfRM server: a FastCGI responder on a Unix socket behind the web server, answering one
// request after another on its own thread.
//
// Ownership: owns the listening socket (mode 0660), the server thread and the routes' context,
// which shares the pull interface, the time handler, the firmware version and the device client
// with the core. The destructor stops the thread. At most one server per process: the FastCGI
// library keeps process-wide state behind every accept.
// Threads: start, stop and the destructor from the owner's thread; configurationChanged from
// any thread; the responder runs on the server thread only.
// Failure: start never throws (a server that could not start logs why and serves nothing);
// a request that cannot be parsed or whose handler throws is answered 500.
class DataLoggerDfrm : public virtual log::Logger {
public:
    // Chooses the answer of one valid request; dispatch() unless a test replaces it.
    using Responder = std::function<DfrmResponse(DfrmContext&, const DataLoggerRequest&)>;

    DataLoggerDfrm(std::shared_ptr<DataLoggerPullDataIfc> pull, std::string socketPath,
                   std::shared_ptr<SystemTimeHandlerIfc> systemTimeHandler,
                   std::shared_ptr<utils::FirmwareVersionIfc> firmwareVersion,
                   std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient,
                   const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager,
                   Responder responder = {});
    ~DataLoggerDfrm() override;
    DataLoggerDfrm(const DataLoggerDfrm&) = delete;
    DataLoggerDfrm& operator=(const DataLoggerDfrm&) = delete;

    void start(bool restart);
    // Throws std::runtime_error when the socket cannot be shut down.
    void stop();
    bool isRunning() const { return mRunning; }

    void configurationChanged();

    // What the routes answer from; the handlers' state, for tests and the responder.
    DfrmContext& context() { return mContext; }

private:
    void startServer();
    void serve(int socket);
    void answer(FCGX_Request* request, std::ostringstream& output);
    void reportAcceptError(FCGX_Request* request, int rc);
    int acceptConnection(int socket, std::chrono::milliseconds& backoff);

    utils::EnumUtils<HttpMethod> mHttpMethods;
    utils::EnumUtils<ContentType> mContentTypes;
    utils::EnumUtils<DfrmMethod> mDfrmMethods;
    std::atomic<bool> mRunning{false};
    std::thread mThread;
    UniqueFd mSocket;
    const std::string mSocketPath;
    const int mListenBacklog = 10;
    std::mutex mAcceptMutex;  // serialises FCGX_Accept_r, whose library state is process-wide
    std::mutex mStopMutex;    // guards mConnection; with mStopped, cuts an accept back-off short
    std::condition_variable mStopped;
    // A duplicate of the connection being served, so that stop() can end a wait on its peer
    // without ever touching a descriptor number that the library may have closed and reused.
    UniqueFd mConnection;
    DfrmContext mContext;
    Responder mResponder;
};

}  // namespace quorix::pelmo::datalogger
