#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "dfrm/DataLoggerDfrmConfigHash.h"
#include "support/TestSupport.h"
#include "tests/unit/dfrm_docs_fakes.h"

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

class ConfigHash : public ::testing::Test {
protected:
    std::unique_ptr<DataLoggerDfrmConfigHash> make() {
        return std::make_unique<DataLoggerDfrmConfigHash>(
            std::make_shared<docs_test::FakeFirmware>(), mTime, mDevices,
            std::shared_ptr<DataLoggerPullDataIfc>(mPull), mCaller);
    }
    void channels(std::initializer_list<uint64_t> hashes) {
        mPull->channels.clear();
        for (uint64_t hash : hashes) {
            mPull->channels.emplace_back(DataLoggerStorageChannelInfo().channelInfo(), hash);
        }
    }
    // The firmware version, the flags byte, then the channel and device sums in decimal.
    static std::string expected(char flags, const std::string& channels,
                                const std::string& devices) {
        char text[9];
        std::snprintf(text, sizeof(text), "%x",
                      referenceCrc32(std::string("3.2.1") + flags + channels + devices));
        return text;
    }

    std::shared_ptr<docs_test::FakePull> mPull = std::make_shared<docs_test::FakePull>();
    std::shared_ptr<docs_test::FakeDevices> mDevices = std::make_shared<docs_test::FakeDevices>();
    std::shared_ptr<docs_test::FakeTime> mTime = std::make_shared<docs_test::FakeTime>();
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
    LogCapture mLog;
};

TEST(ConfigHashReference, TheReferenceCrcHasTheStandardCheckValue) {
    EXPECT_EQ(referenceCrc32("123456789"), 0xCBF43926u);
}

TEST_F(ConfigHash, AnEmptySystemHashesFirmwareZeroByteAndTwoZeros) {
    mPull->channelStatus = DataLoggerStatusCode::NotFound;
    EXPECT_EQ(make()->getConfigHash(), expected('\0', "0", "0"));
    EXPECT_TRUE(mLog.contains(log::Info, "No channels listed."));
}

TEST_F(ConfigHash, ReadsWithoutChangeComputeOnceAndRegistrationsAtTheNextRead) {
    channels({7});
    auto hash = make();
    const std::string first = hash->getConfigHash();
    EXPECT_EQ(hash->getConfigHash(), first);
    EXPECT_EQ(mLog.count("Configuration hash must be updated"), 1u);
    EXPECT_EQ(mPull->channelCalls, 1);

    hash->markChannelsChanged();
    EXPECT_EQ(hash->getConfigHash(), first);  // same channels: same sum, same text
    EXPECT_EQ(mPull->channelCalls, 2);

    channels({7, 5});
    EXPECT_EQ(hash->getConfigHash(), first);  // not marked: not reread
    hash->markChannelsChanged();
    EXPECT_EQ(hash->getConfigHash(), expected('\0', "12", "0"));
    EXPECT_EQ(mLog.count("Configuration hash must be updated"), 3u);
}

TEST_F(ConfigHash, TheChannelSumWrapsAtThirtyTwoBitsAndIsWidenedAsSigned) {
    channels({0x80000000u, 0x100000001ull});  // only the low 32 bits count
    EXPECT_EQ(make()->getConfigHash(), expected('\0', "18446744071562067969", "0"));
}

TEST_F(ConfigHash, AFailedChannelListContributesWhatItReturned) {
    mPull->channelStatus = DataLoggerStatusCode::StorageNotInitialized;
    EXPECT_EQ(make()->getConfigHash(), expected('\0', "0", "0"));
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The datalogger was unable to get the channels from the "
                              "backend. The received status code is "
                              "(StorageNotInitialized)."));
}

TEST_F(ConfigHash, TheClockBecomingValidChangesTheHashByItself) {
    auto hash = make();
    hash->getConfigHash();
    mTime->valid = true;
    EXPECT_EQ(hash->getConfigHash(), expected('\x04', "0", "0"));
    EXPECT_EQ(mPull->channelCalls, 1);
}

TEST_F(ConfigHash, AFailingDeviceContributesItsId) {
    mDevices->devices = {{"slot1", "!"}};
    EXPECT_EQ(make()->getConfigHash(),
              expected('\0', "0", std::to_string('s' + 'l' + 'o' + 't' + '1')));
    EXPECT_TRUE(mLog.contains(log::Warning,
                              "Failed to retrieve deivce ID information from slot "
                              "slot1 as TPX. Use the slot name instead"));
}

TEST_F(ConfigHash, AnUnlistableDeviceSetCountsAsEmpty) {
    mDevices->devices = {{"slot1", "TPX-1"}};
    for (int failure : {1, 2}) {
        mDevices->listFails = failure;
        EXPECT_EQ(make()->getConfigHash(), expected('\0', "0", "0"));
    }
    const std::string text =
        "Failed to retrieve device list, consider empty list for config hash. ";
    EXPECT_TRUE(mLog.contains(log::Error, text + "Excpetion was device service gone"));
    EXPECT_TRUE(mLog.contains(log::Error, text + "GLib error was no service"));
}

TEST_F(ConfigHash, TheDeviceListIsReadAgainEveryFiveMinutes) {
    mDevices->devices = {{"slot1", "A"}};
    auto hash = make();
    EXPECT_EQ(mCaller->periods(), std::vector<double>{300.0});
    const std::string before = hash->getConfigHash();
    mDevices->devices = {{"slot1", "B"}};
    EXPECT_EQ(hash->getConfigHash(), before);
    mCaller->fireAll();
    EXPECT_EQ(hash->getConfigHash(), expected('\0', "0", std::to_string(unsigned('B'))));
    EXPECT_EQ(mDevices->listCalls, 2);
    hash.reset();
    EXPECT_EQ(mCaller->liveCallers(), 0u);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
