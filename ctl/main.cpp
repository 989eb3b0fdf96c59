#include "ctl/CtlCommands.h"
#include "platform/Logger.h"

namespace ctl = quorix::pelmo::datalogger::ctl;

int main(int argc, char** argv) {
    // The daemon's libraries log for the journal; this tool reports in its own words.
    quorix::pelmo::log::LoggerProxy::instance().setSink(
        [](const quorix::pelmo::log::LogRecord&) {});

    CLI::App app{"Checks, tests and reads what the datalogger daemon uses and stores."};
    app.require_subcommand(1);
    int status = ctl::kOk;
    ctl::addCheckCommand(app, status);
    ctl::addPollTestCommand(app, status);
    ctl::addChannelsCommands(app, status);
    ctl::addExportCommand(app, status);
    ctl::addStatusCommand(app, status);
    ctl::addBackupCommand(app, status);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int printed = app.exit(e);
        return printed == 0 ? ctl::kOk : ctl::kUsage;
    }
    return status;
}
