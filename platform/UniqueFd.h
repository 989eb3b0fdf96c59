#pragma once

#include <unistd.h>

#include <utility>

namespace quorix::pelmo::datalogger {

// Sole owner of one file descriptor; closes it on destruction. -1 means none. Move-only. Not
// thread-safe: one owner thread at a time.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : mFd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : mFd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return mFd; }
    bool valid() const noexcept { return mFd >= 0; }
    // The caller owns the descriptor from here on.
    [[nodiscard]] int release() noexcept { return std::exchange(mFd, -1); }
    void reset(int fd = -1) noexcept {
        if (mFd >= 0) ::close(mFd);
        mFd = fd;
    }

private:
    int mFd = -1;
};

}  // namespace quorix::pelmo::datalogger
