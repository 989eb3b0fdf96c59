#pragma once

#include <string>
#include <vector>

#include "inputs/filepoll/FilePollConfigFile.h"

namespace quorix::pelmo::datalogger::ctl {

// How check and poll-test name a section: "section \"uptime\" (#2)", or "section #2" for an
// array element.
std::string sectionLabel(const FilePollSectionReport& section);

// Why the daemon refused one section, in the engineer's words: the key, its text and what the
// daemon would have taken instead.
std::string refusalText(const FilePollSectionReport& section);

// Why a refused file is not polled at all, one line.
std::string droppedText(const FilePollConfigFile& file);

// Everything said about a refused file: each broken section, or the reader's own words when it
// got no section out of the file, then why the file is dropped.
std::vector<std::string> refusedFileLines(const FilePollConfigFile& file);

}  // namespace quorix::pelmo::datalogger::ctl
