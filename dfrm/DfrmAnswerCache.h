#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quorix::pelmo::datalogger {

// A document kept between requests while what it was written from stays as it was: the
// configuration hash it carries and the channel generation it was read at (registrations bump
// it). A change that reaches neither, such as a database that lost its channels without a
// registration, shows within kMaxAge.
// Threads: the server thread only.
class DfrmAnswerCache {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kMaxAge{1};

    // The kept body, or nullptr when there is none or it no longer holds.
    const std::string* find(const std::string& hash, uint64_t generation,
                            Clock::time_point now) const {
        if (!mValid || hash != mHash || generation != mGeneration || now - mBuilt >= kMaxAge) {
            return nullptr;
        }
        return &mBody;
    }
    void keep(const std::string& hash, uint64_t generation, Clock::time_point now,
              const std::string& body) {
        mHash = hash;
        mGeneration = generation;
        mBuilt = now;
        mBody = body;
        mValid = true;
    }

private:
    bool mValid = false;
    std::string mHash;
    uint64_t mGeneration = 0;
    Clock::time_point mBuilt;
    std::string mBody;
};

}  // namespace quorix::pelmo::datalogger
