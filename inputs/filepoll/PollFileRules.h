#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace quorix::pelmo::datalogger {

// Which entries of the poll directory count as poll files. The daemon's directory walk and the
// command-line checker both ask these, so that they judge a directory alike.

// True for hidden names and for the copies editors and package managers leave beside a file
// ("magnet.conf~", "magnet.conf.dpkg-old"): polling those as well would store every value twice.
// Only the last component of the path is looked at.
bool isSkippedPollFileName(std::string_view path);

// Poll commands run as root, so whoever can change a poll file can run commands as root. Empty
// when only root can write a file of this owner and mode; otherwise who else can, as text for a
// log line ("owned by uid 1000, group-writable").
std::string nonRootWriters(uid_t owner, mode_t mode);
// The same for the file at `path`; a file whose owner and mode cannot be read counts as
// writable by others.
std::string nonRootWriters(const std::string& path);

}  // namespace quorix::pelmo::datalogger
