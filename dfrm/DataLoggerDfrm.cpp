#include "dfrm/DataLoggerDfrm.h"

#include <fcgiapp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "dfrm/DfrmDispatch.h"

namespace quorix::pelmo::datalogger {

namespace {

constexpr const char* kParseNotice = "The last request to /dfrm could not be parsed.";

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
      mPull(std::move(pull)),
      mSocketPath(std::move(socketPath)),
      mDeviceIdClient(std::move(deviceIdClient)),
      mSystemTimeHandler(std::move(systemTimeHandler)),
      mFirmwareVersion(std::move(firmwareVersion)),
      mConfigHash(mFirmwareVersion, mSystemTimeHandler, mDeviceIdClient, mPull, callerManager),
      mResponder(responder ? std::move(responder) : Responder(dispatch)) {}

DataLoggerDfrm::~DataLoggerDfrm() {
    try {
        stop();
    } catch (...) {
        pelmoDoLog(log::Error, "Failed to stop while in destructor", nullptr);
    }
}

void DataLoggerDfrm::configurationChanged() {
    mConfigHash.markChannelsChanged();
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
    pelmoDoLog(log::Warning, "The process to answer DfRM requests via fcgi has been stopped.",
               nullptr);
}

void DataLoggerDfrm::serve(int socket) {
    // A web server that hung up must cost this thread an EPIPE, not the process a signal.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    FcgiRequest request(socket);
    std::ostringstream output;
    while (mRunning) {
        output.str("");
        output.clear();
        int rc = 0;
        {
            std::lock_guard<std::mutex> lock(mAcceptMutex);
            rc = FCGX_Accept_r(request.get());
        }
        if (rc != 0) {
            // stop() shut the socket down: the failed accept is the way out, not an error.
            if (!mRunning) break;
            reportAcceptError(request.get(), rc);
            continue;
        }
        answer(request.get(), output);
        // Delivered now rather than at the next accept, which may never come.
        FCGX_Finish_r(request.get());
    }
}

void DataLoggerDfrm::answer(FCGX_Request* request, std::ostringstream& output) {
    std::string logged;  // the output with the exception's text made safe for the log
    try {
        DataLoggerRequest parsed(request);
        if (parsed.isValid()) {
            put(request->out, frameResponse(mResponder(*this, parsed)));
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
