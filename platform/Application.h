#pragma once

#include <glibmm/main.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/Logger.h"

namespace quorix::pelmo::utils {

// Base of the daemon's main object: parses the common options (--help, --log-level), runs the
// derived class's hooks and, when asked to, a Glib main loop on the default context until
// SIGINT or SIGTERM arrives or quit() is called.
//
// Ownership: the object owns its main loop and the signal sources it adds for the duration of
// run(); it does not own the default main context.
// Threads: construct, run() and destroy on the main thread; quit() may be called from any
// thread, also before run() has entered the loop.
// Failure: bad command lines make run() return 2 with a message on stderr; a non-zero preInit()
// result is returned unchanged.
//
// Derived classes must initialise the virtual Logger base themselves.
class QuorixApplication : public virtual quorix::pelmo::log::Logger {
public:
    // argv is copied; the caller may change it afterwards.
    QuorixApplication(int& argc, char** argv, bool runMainLoop);
    QuorixApplication(const QuorixApplication&) = delete;
    QuorixApplication& operator=(const QuorixApplication&) = delete;

    virtual ~QuorixApplication();

    // Receives the program name followed by every argument the base did not consume. The
    // default hands the arguments (without the program name) to the vector overload.
    virtual bool parseCustomOptions(int argc, char** argv);
    // The default accepts only an empty list.
    virtual bool parseCustomOptions(const std::vector<std::string>& args);
    // Lines that --help prints for the options parseCustomOptions takes, each ending in "\n".
    virtual std::string customOptionsUsage() const { return ""; }
    // Runs after option parsing; a non-zero result ends run() with that status.
    virtual int preInit();
    // Runs after the main loop (or singleRun()) has finished.
    virtual void postRun();
    // Replaces the main loop when the object was built with runMainLoop == false.
    virtual void singleRun();

    // Returns the process exit status.
    int run();
    void quit();

private:
    // Returns -1 when run() should continue, otherwise the exit status.
    int parseBaseOptions();
    void runMainLoop();

    std::vector<std::string> mArgs;  // argv[0] first
    bool mRunMainLoop;
    Glib::RefPtr<Glib::MainLoop> mLoop;
    // Set by quit(); checked once the loop is running so a quit() that races with run()
    // is not lost.
    std::atomic<bool> mQuitRequested{false};
};

}  // namespace quorix::pelmo::utils
