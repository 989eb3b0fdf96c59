#pragma once
#include <CLI/CLI.hpp>
namespace quorix::pelmo::datalogger::ctl {
// Exit statuses of every subcommand.
enum ExitStatus : int { kOk = 0, kFinding = 1, kUsage = 2 };
// Each adds its subcommand to `app`; when it runs, it stores its exit status in `status`.
void addCheckCommand(CLI::App& app, int& status);
void addPollTestCommand(CLI::App& app, int& status);
void addChannelsCommands(CLI::App& app, int& status);   // "channels" and "latest"
void addExportCommand(CLI::App& app, int& status);
void addStatusCommand(CLI::App& app, int& status);
void addBackupCommand(CLI::App& app, int& status);
}  // namespace quorix::pelmo::datalogger::ctl
