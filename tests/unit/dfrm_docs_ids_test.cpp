// Data request ids: their hash, the id manager's eviction and expiry, and the tag rule.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "dfrm/DfrmDataRequestIdManager.h"
#include "dfrm/DfrmMurmurHash.h"
#include "dfrm/DfrmTagRule.h"

namespace quorix::pelmo::datalogger {
namespace {

struct HashCase {
    std::string text;
    uint32_t hash;
};

class DfrmDocsMurmur : public ::testing::TestWithParam<HashCase> {};

// 3350977461 for "abc" comes from a 32-bit build; the others, from an independent
// transcription of the same algorithm, cover every tail length and bytes above 0x7f (char is
// signed on one target and unsigned on the other).
TEST_P(DfrmDocsMurmur, MatchesTheStringHashOfA32BitBuild) {
    EXPECT_EQ(murmurHash2(GetParam().text), GetParam().hash);
}

INSTANTIATE_TEST_SUITE_P(
    References, DfrmDocsMurmur,
    ::testing::Values(HashCase{"abc", 3350977461u}, HashCase{"", 3990065800u},
                      HashCase{"a", 2167009006u}, HashCase{"ab", 2805137849u},
                      HashCase{"abcd", 804720481u}, HashCase{"abcde", 730143326u},
                      HashCase{"\xff\xfe\x80", 732479785u},
                      HashCase{"12345quorix/productA/x", 4166376669u}));

class DfrmDocsTagRule : public ::testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(DfrmDocsTagRule, AcceptsExactlyWordsJoinedBySingleSpaces) {
    EXPECT_EQ(isValidLogicalFunctionTag(GetParam().first), GetParam().second)
        << "'" << GetParam().first << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Tags, DfrmDocsTagRule,
    ::testing::Values(std::make_pair("a", true), std::make_pair("helium level", true),
                      std::make_pair("a_b-c9 x\ty\nz\vw\fv\ru", true), std::make_pair("", false),
                      std::make_pair(" a", false), std::make_pair("a ", false),
                      std::make_pair("a  b", false), std::make_pair("Helium", false),
                      std::make_pair("a.b", false), std::make_pair(" ", false),
                      std::make_pair(std::string("a\0b", 3), false),
                      std::make_pair("\xc3\xa4", false)));

TEST(DfrmDocsTagRuleTime, ALongFailingTagIsRejectedAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(isValidLogicalFunctionTag(std::string(1000000, 'a') + "!"));
    EXPECT_TRUE(isValidLogicalFunctionTag(std::string(1000000, 'a')));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

std::vector<DfrmChannelRequest> channels(const std::string& path) {
    DfrmChannelRequest request;
    request.mPath = path;
    request.mLastCounter = 7;
    request.mFetchItemsByTime = 2.5f;
    request.mFetchItemsCountMax = 3;
    return {request};
}

class DfrmDocsIdManager : public ::testing::Test {
  protected:
    // Fills the manager to its limit with ids for the same paths, all different; ids[0] is the
    // least recently used.
    std::vector<uint32_t> fill() {
        std::vector<uint32_t> ids;
        for (int i = 0; i < 100; ++i) ids.push_back(mManager.createDataRequestId(channels("a/b")));
        EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()).size(), 100u);
        return ids;
    }

    DfrmDataRequestIdManager mManager{100, 50};
};

TEST_F(DfrmDocsIdManager, StoresTheConvertedChannelsSharedWithTheCaller) {
    const uint32_t id = mManager.createDataRequestId(channels("a/b"));
    auto stored = mManager.getById(id);
    ASSERT_EQ(stored->size(), 1u);
    EXPECT_EQ((*stored)[0].mPath, "a/b");
    EXPECT_EQ((*stored)[0].mLastCounter, 7);
    EXPECT_EQ((*stored)[0].mDiscardOlderThan.count(), 2500000);
    EXPECT_EQ((*stored)[0].mAmount, 3u);
    (*stored)[0].mLastCounter = 99;
    EXPECT_EQ((*mManager.getById(id))[0].mLastCounter, 99);
}

TEST_F(DfrmDocsIdManager, TheHundredAndFirstEvictsTheLeastRecentlyUsed) {
    const std::vector<uint32_t> ids = fill();
    mManager.getById(ids[0]);  // now ids[1] is the oldest
    mManager.createDataRequestId(channels("c/d"));
    EXPECT_NO_THROW(mManager.getById(ids[0]));
    EXPECT_THROW(mManager.getById(ids[1]), std::out_of_range);
    EXPECT_NO_THROW(mManager.getById(ids[2]));
}

TEST_F(DfrmDocsIdManager, AnExpiredIdIsForgottenAfterFiftyFurtherExpirations) {
    const std::vector<uint32_t> ids = fill();
    mManager.createDataRequestId(channels("c/d"));  // evicts ids[0]
    EXPECT_THROW(mManager.getById(ids[0]), std::out_of_range);
    for (int i = 0; i < 49; ++i) mManager.createDataRequestId(channels("c/d"));
    EXPECT_THROW(mManager.getById(ids[0]), std::out_of_range);
    mManager.createDataRequestId(channels("c/d"));
    EXPECT_THROW(mManager.getById(ids[0]), std::invalid_argument);
    EXPECT_THROW(mManager.getById(ids[1]), std::out_of_range);
}

TEST_F(DfrmDocsIdManager, InvalidatingRetiresTheIdAndFreesItsPlace) {
    const std::vector<uint32_t> ids = fill();
    mManager.invalidate(ids[50]);
    EXPECT_THROW(mManager.getById(ids[50]), std::out_of_range);
    mManager.invalidate(ids[50]);  // not live any more: nothing happens
    mManager.createDataRequestId(channels("c/d"));
    EXPECT_NO_THROW(mManager.getById(ids[0]));  // the freed place was used, nothing evicted
    for (int i = 0; i < 100; ++i) mManager.createDataRequestId(channels("e/f"));
    EXPECT_THROW(mManager.getById(ids[0]), std::out_of_range);
}

TEST_F(DfrmDocsIdManager, RefusesAnEmptyListAndUnknownIds) {
    EXPECT_THROW(mManager.createDataRequestId({}), std::invalid_argument);
    EXPECT_THROW(mManager.getById(12345), std::invalid_argument);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
