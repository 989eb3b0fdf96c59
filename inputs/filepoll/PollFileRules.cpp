#include "inputs/filepoll/PollFileRules.h"

#include <sys/stat.h>

namespace quorix::pelmo::datalogger {

namespace {
constexpr std::string_view kLeftoverSuffixes[] = {
    "~",          ".bak",      ".swp",     ".dpkg-old", ".dpkg-new",
    ".dpkg-dist", ".dpkg-tmp", ".ucf-old", ".ucf-new",  ".ucf-dist"};
}  // namespace

bool isSkippedPollFileName(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!name.empty() && name.front() == '.') return true;
    for (const std::string_view suffix : kLeftoverSuffixes) {
        if (name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix) {
            return true;
        }
    }
    return false;
}

std::string nonRootWriters(uid_t owner, mode_t mode) {
    std::string writers;
    const auto add = [&writers](const std::string& who) {
        writers += (writers.empty() ? "" : ", ") + who;
    };
    if (owner != 0) add("owned by uid " + std::to_string(owner));
    if ((mode & S_IWGRP) != 0) add("group-writable");
    if ((mode & S_IWOTH) != 0) add("world-writable");
    return writers;
}

std::string nonRootWriters(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return "its owner and mode cannot be read";
    return nonRootWriters(status.st_uid, status.st_mode);
}

}  // namespace quorix::pelmo::datalogger
