#include "engine/LogExportFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace quorix::pelmo::datalogger {

namespace {

std::runtime_error refusal(const std::string& path, const std::string& reason) {
    return std::runtime_error("refused '" + path + "': " + reason);
}

std::string errorText(int error) {
    return std::generic_category().message(error);
}

// What a copy of the database can take: the main file and the write-ahead log it still holds.
uint64_t databaseBytes(const std::string& file, dev_t& device) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return 0;
    device = info.st_dev;
    uint64_t bytes = static_cast<uint64_t>(info.st_size);
    struct stat wal {};
    if (::stat((file + "-wal").c_str(), &wal) == 0) bytes += static_cast<uint64_t>(wal.st_size);
    return bytes;
}

// O_NOFOLLOW looks at the last component only: "link/", "link/." and "link/.." would each
// resolve through the link.
std::string plainFolderPath(const std::string& path) {
    std::string plain = path;
    while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
    for (const auto& component : std::filesystem::path(plain)) {
        if (component == "." || component == "..") {
            throw refusal(path, "it holds a '.' or '..' component");
        }
    }
    return plain;
}

}  // namespace

LogExportFolder::LogExportFolder(const std::string& path,
                                 const std::vector<std::string>& liveDatabases)
    : mPath(path),
      mFd(::open(plainFolderPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
    if (!mFd.valid()) {
        const int error = errno;
        struct stat link {};
        if (error == ELOOP || (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) {
            throw refusal(path, "it is a symbolic link");
        }
        throw refusal(path, errorText(error));
    }
    struct stat folder {};
    struct statvfs space {};
    if (::fstat(mFd.get(), &folder) != 0 || ::fstatvfs(mFd.get(), &space) != 0) {
        throw refusal(path, errorText(errno));
    }
    uint64_t copies = 0;
    uint64_t reserve = 0;
    for (const auto& file : liveDatabases) {
        dev_t device = 0;
        const uint64_t bytes = databaseBytes(file, device);
        copies += bytes;
        if (bytes != 0 && device == folder.st_dev) reserve += 2 * bytes;
    }
    const uint64_t available = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    if (reserve != 0 && available < copies + reserve) {
        throw refusal(path, "its file system holds a live database and has " +
                                std::to_string(available) + " bytes free, less than the " +
                                std::to_string(copies) + " bytes of copies and twice the " +
                                std::to_string(reserve / 2) + " bytes of the live database");
    }
}

bool LogExportFolder::makeSubFolder(const std::string& name) const {
    if (::mkdirat(mFd.get(), name.c_str(), 0755) == 0) return true;
    if (errno == EEXIST) return false;
    throw std::runtime_error("could not create '" + name + "' in '" + mPath +
                             "': " + errorText(errno));
}

}  // namespace quorix::pelmo::datalogger
