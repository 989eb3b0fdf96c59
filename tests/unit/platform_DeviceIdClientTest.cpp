#include <gtest/gtest.h>

#include <filesystem>

#include "platform/DeviceIdClient.h"
#include "support/TestSupport.h"

namespace {

using datalogger::test::writeFile;
using quorix::pelmo::deviceid::DeviceIdClient;

class PlatformDeviceIdClient : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(mDir.file("meter-2"), "second");
        writeFile(mDir.file("meter-10"), kBinary);
        writeFile(mDir.file("at-limit"), std::string(64 * 1024, 'x'));
        writeFile(mDir.file("over-limit"), std::string(64 * 1024 + 1, 'x'));
        std::filesystem::create_directory(mDir.file("not-a-device"));
    }

    const std::string kBinary{"binary\0\n\xff text\n", 15};
    datalogger::test::TempDir mDir;
    std::shared_ptr<quorix::pelmo::deviceid::DeviceIdClientIfc> mClient =
        DeviceIdClient::make_client(mDir.path());
};

TEST_F(PlatformDeviceIdClient, ListsRegularFilesSortedAndPassesContentOnUnchanged) {
    EXPECT_EQ(mClient->listDevices(),
              (std::vector<std::string>{"at-limit", "meter-10", "meter-2", "over-limit"}));
    EXPECT_EQ(mClient->getDeviceIdInfo("meter-10"), kBinary);
    EXPECT_EQ(mClient->getDeviceIdInfo("at-limit").size(), 64u * 1024);
}

TEST_F(PlatformDeviceIdClient, RefusesWhatIsNotADeviceInThisDirectory) {
    writeFile(mDir.path() + "-outside", "secret");  // reachable only by escaping the directory
    const std::string escape =
        "../" + std::filesystem::path(mDir.path()).filename().string() + "-outside";
    for (const std::string& id : {std::string("unknown"), std::string("not-a-device"),
                                  std::string("over-limit"), std::string(""), std::string("."),
                                  std::string(".."), escape, std::string("meter-2\0x", 9)}) {
        EXPECT_THROW(mClient->getDeviceIdInfo(id), std::runtime_error) << id;
    }
    std::filesystem::remove(mDir.path() + "-outside");
}

TEST(PlatformDeviceIdClientDirectory, UnreadableDirectoryThrows) {
    datalogger::test::TempDir dir;
    EXPECT_THROW(DeviceIdClient::make_client(dir.file("absent"))->listDevices(),
                 std::runtime_error);
}

}  // namespace
