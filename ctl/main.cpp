#include "ctl/CtlCommands.h"

namespace ctl = quorix::pelmo::datalogger::ctl;

int main(int argc, char** argv) {
    CLI::App app("The data logger's tools for the service engineer", "datalogger-ctl");
    app.require_subcommand(1);
    int status = ctl::kOk;
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
