#include "dfrm/DataLoggerDfrm.h"

#include <fcgiapp.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "dfrm/DfrmDispatch.h"

namespace quorix::pelmo::datalogger {

namespace {

constexpr const char* kParseNotice = "The last request to /dfrm could not be parsed.";

// A peer that sends or reads nothing for this long is dropped, so that it cannot hold the one
// server thread.
constexpr time_t kPeerStallSeconds = 5;
// Accept failures that persist (no descriptors, no memory) are retried at most this often.
constexpr std::chrono::milliseconds kAcceptBackoffMin(10);
constexpr std::chrono::milliseconds kAcceptBackoffMax(1000);

// Sole owner of one FastCGI request record on a listening socket: finishes the request in
// progress and closes its connection on destruction. Move-only; the record lives on the heap
// because the library keeps pointers into it.
class FcgiRequest {
public:
    explicit FcgiRequest(int socket) : mRequest(std::make_unique<FCGX_Request>()) {
        FCGX_InitRequest(mRequest.get(), socket, FCGI_FAIL_ACCEPT_ON_INTR);
    }
    ~FcgiRequest() {
        if (!mRequest) return;
        FCGX_Finish_r(mRequest.get());
        FCGX_Free(mRequest.get(), 1);
    }
    FcgiRequest(FcgiRequest&&) noexcept = default;
    FcgiRequest& operator=(FcgiRequest&&) = delete;
    FcgiRequest(const FcgiRequest&) = delete;
    FcgiRequest& operator=(const FcgiRequest&) = delete;

    FCGX_Request* get() const { return mRequest.get(); }

private:
    std::unique_ptr<FCGX_Request> mRequest;
};

// The whole response in one write; with the length given, a body holding NUL bytes is sent as
// framed.
void put(FCGX_Stream* stream, const std::string& bytes) {
    FCGX_PutStr(bytes.data(), static_cast<int>(bytes.size()), stream);
}

// A listening Unix socket at path. A socket file left behind by a killed process is replaced;
// anything else at the path is left alone and the bind fails. Unlike the library's own
// opener, a failure is returned (-1, errno set) instead of ending the process.
int openListeningSocket(const std::string& path, int backlog) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) ::unlink(path.c_str());
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(socket.get(), backlog) != 0) {
        return -1;
    }
    return socket.release();
}

bool parentAllowsGroupReadWrite(const std::string& socketPath) {
    const std::string parent = std::filesystem::path(socketPath).parent_path().string();
    struct stat status {};
    if (::stat(parent.empty() ? "." : parent.c_str(), &status) != 0) return false;
    const mode_t required = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP;
    return S_ISDIR(status.st_mode) && (status.st_mode & required) == required;
}

}  // namespace

DataLoggerDfrm::DataLoggerDfrm(
    std::shared_ptr<DataLoggerPullDataIfc> pull, std::string socketPath,
    std::shared_ptr<SystemTimeHandlerIfc> systemTimeHandler,
    std::shared_ptr<utils::FirmwareVersionIfc> firmwareVersion,
    std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient,
    const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager, Responder responder)
    : log::Logger("DataLoggerDfrm", "", std::make_shared<log::LoggerImpl>()),
      mSocketPath(std::move(socketPath)),
      mContext(std::move(pull), std::move(systemTimeHandler), std::move(firmwareVersion),
               std::move(deviceIdClient), callerManager),
      mResponder(responder ? std::move(responder)
                           : Responder([](DfrmContext& context, const DataLoggerRequest& request) {
                                 return dispatch(context, request.route(), request.body());
                             })) {}

DataLoggerDfrm::~DataLoggerDfrm() {
    try {
        stop();
    } catch (...) {
        pelmoDoLog(log::Error, "Failed to stop while in destructor", nullptr);
    }
}

void DataLoggerDfrm::configurationChanged() {
    mContext.configurationChanged();
}

void DataLoggerDfrm::start(bool restart) {
    try {
        if (restart) stop();
        bool expected = false;
        if (!mRunning.compare_exchange_strong(expected, true)) {
            pelmoDoLog(log::Warning,
                       "The DFRM process thread is already started, ideally you should only call "
                       "start once.",
                       nullptr);
            return;
        }
        startServer();
    } catch (const std::exception& e) {
        pelmoDoLog(log::Error,
                   "The FCGI socket with the path (%s) could not be opened or created and the "
                   "following exception occurred:\n(%s)\nNo DFRM messages will be processed.",
                   nullptr, mSocketPath.c_str(), e.what());
    } catch (...) {
        pelmoDoLog(log::Error,
                   "The FCGI socket with the path (%s) could not be opened or created and a "
                   "generic exception occurred.No DFRM messages will be processed.",
                   nullptr, mSocketPath.c_str());
    }
}

void DataLoggerDfrm::startServer() {
    if (!parentAllowsGroupReadWrite(mSocketPath)) {
        pelmoDoLog(log::Error,
                   "The FCGI socket with the path (%s) could not be created or opened. Either the "
                   "basic path does not exist or the permissions (rx) are not as expected.",
                   nullptr, std::filesystem::path(mSocketPath).parent_path().c_str());
        mRunning = false;
        return;
    }
    mSocket.reset(openListeningSocket(mSocketPath, mListenBacklog));
    if (!mSocket.valid()) {
        pelmoDoLog(log::Error,
                   "The FCGI socket with the path (%s) could not be created or opened. The fcgi "
                   "socket descriptor  value is (%d). No DFRM messages will be processed.",
                   nullptr, mSocketPath.c_str(), mSocket.get());
        mRunning = false;
        return;
    }
    // The umask would leave the socket closed to the web server's group.
    if (int status = ::chmod(mSocketPath.c_str(), 0660)) {
        pelmoDoLog(log::Error,
                   "The permissions of the socket could not be changed to 0660. The chmod status "
                   "is (%d). No DFRM messages will be processed.",
                   nullptr, status);
        mSocket.reset();
        mRunning = false;
        return;
    }
    if (int status = FCGX_Init()) {
        pelmoDoLog(log::Error,
                   "The fcgi lib could not be initialized successfully. The fcgi init status is "
                   "(%d). No DFRM messages will be processed.",
                   nullptr, status);
        mSocket.reset();
        mRunning = false;
        return;
    }
    mThread = std::thread([this, socket = mSocket.get()] { serve(socket); });
}

void DataLoggerDfrm::stop() {
    if (!mRunning) return;
    mRunning = false;
    {
        std::lock_guard<std::mutex> lock(mStopMutex);
        if (mConnection.valid()) ::shutdown(mConnection.get(), SHUT_RDWR);
    }
    mStopped.notify_all();
    // No FCGX_ShutdownPending(): the library never resets it, so every later accept in this
    // process would fail at once and a restarted server would spin. Shutting the listening
    // socket down is what wakes a blocked accept.
    if (mSocket.valid() && ::shutdown(mSocket.get(), SHUT_RD) != 0) {
        const std::string text =
            std::string("Shutting down fcgi socket was not possible. Reason: ") +
            std::strerror(errno);
        pelmoDoLog(log::Error, "%s", nullptr, text.c_str());
        throw std::runtime_error(text);
    }
    if (mThread.joinable()) mThread.join();
    mSocket.reset();
    mConnection.reset();
    pelmoDoLog(log::Warning, "The process to answer DfRM requests via fcgi has been stopped.",
               nullptr);
}

void DataLoggerDfrm::serve(int socket) {
    // A web server that hung up must cost this thread an EPIPE, not the process a signal.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    // The library is never left to accept on its own: it would block without bound on a peer
    // that stalls. Connections are accepted here, given time limits and handed to the request
    // record, which then reads the request from them as from one it had accepted itself.
    FcgiRequest request(-1);
    std::ostringstream output;
    std::chrono::milliseconds backoff(0);
    while (mRunning) {
        output.str("");
        output.clear();
        FCGX_Request* record = request.get();
        if (record->ipcFd < 0) {
            {
                std::lock_guard<std::mutex> lock(mStopMutex);
                mConnection.reset();
            }
            const int connection = acceptConnection(socket, backoff);
            if (connection < 0) continue;
            {
                std::lock_guard<std::mutex> lock(mStopMutex);
                mConnection.reset(::fcntl(connection, F_DUPFD_CLOEXEC, 0));
                // stop() came between the accept and here: nothing would wake the reads below.
                if (!mRunning) ::shutdown(connection, SHUT_RDWR);
            }
            record->ipcFd = connection;
            // FCGX_Accept_r first finishes the previous request; kept, the new connection
            // survives that. The request's own begin record then decides.
            record->keepConnection = 1;
        }
        int rc = 0;
        {
            std::lock_guard<std::mutex> lock(mAcceptMutex);
            rc = FCGX_Accept_r(record);
        }
        if (rc != 0) {
            // stop() shut the socket down: the failed accept is the way out, not an error.
            if (!mRunning) break;
            // The connection ended before a whole request came (the peer stalled or hung up):
            // the library closed it and found no listening socket of its own.
            if (rc == -EBADF) {
                pelmoDoLog(log::Warning,
                           "A DfRM connection was dropped before its request was complete.",
                           nullptr);
                continue;
            }
            reportAcceptError(record, rc);
            continue;
        }
        answer(record, output);
        // A stalled or vanished peer: finishing must not wait for it again.
        if (FCGX_GetError(record->in) != 0 || FCGX_GetError(record->out) != 0) {
            pelmoDoLog(log::Warning, "A DfRM peer stopped sending or reading; dropped.", nullptr);
            ::shutdown(record->ipcFd, SHUT_RDWR);
        }
        // Delivered now rather than at the next accept, which may never come.
        FCGX_Finish_r(record);
    }
}

int DataLoggerDfrm::acceptConnection(int socket, std::chrono::milliseconds& backoff) {
    // stop() shuts the socket down, which makes it readable; the timeout only re-checks.
    pollfd ready{socket, POLLIN, 0};
    if (::poll(&ready, 1, 1000) <= 0 || !mRunning) return -1;
    const int connection = ::accept4(socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
        const int error = errno;
        if (!mRunning || error == EINTR || error == EAGAIN || error == ECONNABORTED) return -1;
        if (backoff.count() == 0) {
            pelmoDoLog(log::Error, "Accepting a DfRM connection failed: %s. Retrying less often.",
                       nullptr, std::strerror(error));
        }
        backoff = std::clamp(backoff * 2, kAcceptBackoffMin, kAcceptBackoffMax);
        std::unique_lock<std::mutex> lock(mStopMutex);
        mStopped.wait_for(lock, backoff, [this] { return !mRunning; });
        return -1;
    }
    if (backoff.count() != 0) {
        pelmoDoLog(log::Info, "Accepting DfRM connections works again.", nullptr);
        backoff = std::chrono::milliseconds(0);
    }
    const timeval limit{kPeerStallSeconds, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    return connection;
}

void DataLoggerDfrm::answer(FCGX_Request* request, std::ostringstream& output) {
    std::string logged;  // the output with the exception's text made safe for the log
    try {
        DataLoggerRequest parsed(request);
        if (parsed.isValid()) {
            const DfrmResponse response = mResponder(mContext, parsed);
            put(request->out,
                frameHeader(response.mStatusCode, response.mContentType, response.mBody.size()));
            put(request->out, response.mBody);
            return;
        }
    } catch (const std::exception& e) {
        pelmoDoLog(log::Error,
                   "The last FCGI message was not handled properly. Error message:\n(%s)", nullptr,
                   log::untrusted(e.what()).c_str());
        output << e.what() << '\n';
        logged = log::untrusted(e.what()) + '\n';
    } catch (...) {
        pelmoDoLog(log::Error, "The last FCGI message was not handled properly. Generic exception.",
                   nullptr);
    }
    output << kParseNotice;
    const std::string text = output.str();
    logged += kParseNotice;
    pelmoDoLog(log::Warning, "%s", nullptr, logged.c_str());
    put(request->out, frameResponse(sc_500_InternalServerError, ContentType::textHtml, text));
}

void DataLoggerDfrm::reportAcceptError(FCGX_Request* request, int rc) {
    std::ostringstream text;
    text << "FCGI accept error\nFCGI_Accept_r returned " << rc << '\n';
    if (request->in != nullptr) text << "FCGI incoming stream errno " << request->in->FCGI_errno;
    const std::string message = text.str();
    pelmoDoLog(log::Error, "%s", nullptr, message.c_str());
    if (request->out != nullptr) {
        put(request->out,
            frameResponse(sc_500_InternalServerError, ContentType::textHtml, message));
    }
    if (request->err != nullptr) put(request->err, message);
}

}  // namespace quorix::pelmo::datalogger
