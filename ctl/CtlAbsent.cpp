// Stand-ins for subcommands built elsewhere: each real definition replaces its weak one when
// its file is part of the build, so the tool links with any subset of them.
#include "ctl/CtlCommands.h"

namespace quorix::pelmo::datalogger::ctl {

__attribute__((weak)) void addCheckCommand(CLI::App&, int&) {}
__attribute__((weak)) void addPollTestCommand(CLI::App&, int&) {}
__attribute__((weak)) void addChannelsCommands(CLI::App&, int&) {}
__attribute__((weak)) void addExportCommand(CLI::App&, int&) {}
__attribute__((weak)) void addStatusCommand(CLI::App&, int&) {}
__attribute__((weak)) void addBackupCommand(CLI::App&, int&) {}

}  // namespace quorix::pelmo::datalogger::ctl
