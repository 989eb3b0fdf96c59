#include <glibmm/fileutils.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "dfrm/DataLoggerDfrmConfigHash.h"
#include "support/Fakes.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::LogCapture;

// Bit by bit, independent of the table-driven CRC the code uses.
uint32_t referenceCrc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string hex(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

class FakePull : public DataLoggerPullDataIfc {
  public:
    DataLoggerStatusCode pullAllChannelInfo(
        std::vector<DataLoggerStorageChannelInfo>& infos) override {
        ++mCalls;
        for (uint64_t hash : mHashes) {
            infos.emplace_back(DataLoggerChannelInfo::withDefaults(
                                   "c", DataLoggerUnit::Kelvin,
                                   DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                                   DataLoggerStorageType::Volatile, ""),
                               hash);
        }
        return mStatus;
    }
    DataLoggerStatusCode pullData(std::vector<DataLoggerDataPoint>&, const std::string&, int64_t,
                                  const std::chrono::microseconds&, uint32_t) override {
        return DataLoggerStatusCode::NoData;
    }

    std::vector<uint64_t> mHashes;
    DataLoggerStatusCode mStatus = DataLoggerStatusCode::NotFound;
    int mCalls = 0;
};

class FakeFirmware : public utils::FirmwareVersionIfc {
  public:
    std::string getVersion() const override { return "4.2.1"; }
};

class FakeDevices : public deviceid::DeviceIdClientIfc {
  public:
    std::vector<std::string> listDevices() override {
        ++mListCalls;
        if (mListFailure == 1) throw std::runtime_error("bus gone");
        if (mListFailure == 2) throw Glib::FileError(Glib::FileError::NO_SUCH_ENTITY, "no service");
        std::vector<std::string> ids;
        for (const auto& entry : mInfos) ids.push_back(entry.first);
        return ids;
    }
    std::string getDeviceIdInfo(const std::string& id) override {
        const std::string& info = mInfos.at(id);
        if (info.empty()) throw std::runtime_error("device does not answer");
        return info;
    }

    std::map<std::string, std::string> mInfos;  // an empty text makes the device fail
    int mListFailure = 0;
    int mListCalls = 0;
};

class FakeClock : public SystemTimeHandlerIfc {
  public:
    bool isTimeValid() const override { return mValid; }
    void initialize() override {}
    std::atomic<bool> mValid{false};
};

class ConfigHash : public ::testing::Test {
  protected:
    std::unique_ptr<DataLoggerDfrmConfigHash> make() {
        return std::make_unique<DataLoggerDfrmConfigHash>(
            std::make_shared<FakeFirmware>(), mClock, mDevices,
            std::shared_ptr<DataLoggerPullDataIfc>(mPull), mCaller);
    }
    static std::string expected(char flags, const std::string& channels,
                                const std::string& devices) {
        return hex(referenceCrc32(std::string("4.2.1") + flags + channels + devices));
    }

    std::shared_ptr<FakePull> mPull = std::make_shared<FakePull>();
    std::shared_ptr<FakeDevices> mDevices = std::make_shared<FakeDevices>();
    std::shared_ptr<FakeClock> mClock = std::make_shared<FakeClock>();
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
    LogCapture mLog;
};

TEST(ConfigHashReference, TheReferenceCrcHasTheStandardCheckValue) {
    EXPECT_EQ(referenceCrc32("123456789"), 0xCBF43926u);
}

TEST_F(ConfigHash, AnEmptySystemHashesFirmwareZeroByteAndTwoZeros) {
    auto hash = make();
    EXPECT_EQ(hash->getConfigHash(), hex(referenceCrc32(std::string("4.2.1") + '\0' + "00")));
    EXPECT_TRUE(mLog.contains(log::Info, "No channels listed."));
}

TEST_F(ConfigHash, ReadsWithoutChangeComputeOnceAndRegistrationsAtTheNextRead) {
    mPull->mStatus = DataLoggerStatusCode::NoError;
    mPull->mHashes = {7};
    auto hash = make();
    const std::string first = hash->getConfigHash();
    EXPECT_EQ(hash->getConfigHash(), first);
    EXPECT_EQ(mLog.count("Configuration hash must be updated"), 1u);
    EXPECT_EQ(mPull->mCalls, 1);

    hash->markChannelsChanged();
    EXPECT_EQ(hash->getConfigHash(), first);  // same channels: same sum, same text
    EXPECT_EQ(mPull->mCalls, 2);

    mPull->mHashes.push_back(5);
    EXPECT_EQ(hash->getConfigHash(), first);  // not marked: not reread
    hash->markChannelsChanged();
    EXPECT_EQ(hash->getConfigHash(), expected('\0', "12", "0"));
    EXPECT_EQ(mLog.count("Configuration hash must be updated"), 3u);
}

TEST_F(ConfigHash, TheChannelSumWrapsAtThirtyTwoBitsAndIsWidenedAsSigned) {
    mPull->mStatus = DataLoggerStatusCode::NoError;
    mPull->mHashes = {0x80000000u, 0x100000001ull};  // only the low 32 bits count
    EXPECT_EQ(make()->getConfigHash(), expected('\0', "18446744071562067969", "0"));
}

TEST_F(ConfigHash, AFailedChannelListContributesWhatItReturned) {
    mPull->mStatus = DataLoggerStatusCode::StorageNotInitialized;
    EXPECT_EQ(make()->getConfigHash(), expected('\0', "0", "0"));
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The datalogger was unable to get the channels from the "
                              "backend. The received status code is "
                              "(StorageNotInitialized)."));
}

TEST_F(ConfigHash, TheClockBecomingValidChangesTheHashByItself) {
    auto hash = make();
    const std::string invalid = hash->getConfigHash();
    mClock->mValid = true;
    EXPECT_EQ(hash->getConfigHash(), expected('\x04', "0", "0"));
    EXPECT_NE(hash->getConfigHash(), invalid);
    EXPECT_EQ(mPull->mCalls, 1);
}

TEST_F(ConfigHash, AFailingDeviceContributesItsId) {
    mDevices->mInfos = {{"slot1", ""}};
    auto failing = make();
    const std::string failed = failing->getConfigHash();
    EXPECT_TRUE(mLog.contains(log::Warning,
                              "Failed to retrieve deivce ID information from slot "
                              "slot1 as TPX. Use the slot name instead"));
    const unsigned idSum = 's' + 'l' + 'o' + 't' + '1';
    EXPECT_EQ(failed, expected('\0', "0", std::to_string(idSum)));

    mDevices->mInfos = {{"slot1", "TPX-1"}};
    EXPECT_NE(make()->getConfigHash(), failed);
}

TEST_F(ConfigHash, AnUnlistableDeviceSetCountsAsEmpty) {
    const std::string empty = expected('\0', "0", "0");
    mDevices->mInfos = {{"slot1", "TPX-1"}};
    mDevices->mListFailure = 1;
    EXPECT_EQ(make()->getConfigHash(), empty);
    EXPECT_TRUE(mLog.contains(log::Error,
                              "Failed to retrieve device list, consider empty list for "
                              "config hash. Excpetion was bus gone"));
    mDevices->mListFailure = 2;
    EXPECT_EQ(make()->getConfigHash(), empty);
    EXPECT_TRUE(mLog.contains(log::Error,
                              "Failed to retrieve device list, consider empty list for "
                              "config hash. GLib error was no service"));
}

TEST_F(ConfigHash, TheDeviceListIsReadAgainEveryFiveMinutes) {
    mDevices->mInfos = {{"slot1", "A"}};
    auto hash = make();
    EXPECT_EQ(mCaller->periods(), std::vector<double>{300.0});
    const std::string before = hash->getConfigHash();
    mDevices->mInfos = {{"slot1", "B"}};
    EXPECT_EQ(hash->getConfigHash(), before);
    mCaller->fireAll();
    EXPECT_EQ(hash->getConfigHash(), expected('\0', "0", std::to_string(unsigned('B'))));
    EXPECT_EQ(mDevices->mListCalls, 2);
    hash.reset();
    EXPECT_EQ(mCaller->liveCallers(), 0u);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
