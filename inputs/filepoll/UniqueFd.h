#pragma once

#include <unistd.h>

#include <utility>

namespace quorix::pelmo::datalogger {

// Sole owner of one file descriptor; closes it when it goes. -1 means none.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : mFd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            mFd = std::exchange(other.mFd, -1);
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return mFd; }
    explicit operator bool() const { return mFd >= 0; }
    void reset() {
        if (mFd >= 0) ::close(mFd);
        mFd = -1;
    }

  private:
    int mFd = -1;
};

}  // namespace quorix::pelmo::datalogger
