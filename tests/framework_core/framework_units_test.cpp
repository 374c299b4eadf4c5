// Framework services tested directly: memory blocks, progress and cancel,
// messages, and the colour transforms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "filter_framework.h"
#include "host.h"

extern "C" int32_t MainUserEntry(void)
{
    return 0;
}
extern "C" const char gAboutText[] = "Framework Units";

namespace {

const std::string kZeroLength = "Attempt to allocate a zero-length pointer. (CreateAPointer)";

TEST(MemoryBlocks, ZeroSizeRequestsAreReportedAndStillAllocated)
{
    for (auto [count, size] : {std::pair{0, 12}, std::pair{640, 0}}) {
        host::MessageCapture capture;
        void* block = CreateAPointer(count, size);
        EXPECT_EQ(capture.Messages(), std::vector<std::string>{kZeroLength});
        if (block != nullptr)
            DisposeAPointer(block);
    }
    host::MessageCapture capture;
    void* block = CreateAPointerClear(0, 7);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{kZeroLength});
    if (block != nullptr)
        DisposeAPointer(block);
}

TEST(MemoryBlocks, ClearedBlocksAreAllZero)
{
    for (auto [count, size] :
         {std::pair{100u, 12u}, std::pair{3u, 1u}, std::pair{9u, 6u}, std::pair{5u, 8u}}) {
        auto* block = static_cast<unsigned char*>(CreateAPointerClear(count, size));
        ASSERT_NE(block, nullptr);
        std::vector<unsigned char> expected(count * size, 0);
        EXPECT_EQ(std::memcmp(block, expected.data(), expected.size()), 0);
        DisposeAPointer(block);
    }
}

TEST(MemoryBlocks, SizesThatDoNotFitAreRefusedNotAllocatedShort)
{
    host::MessageCapture capture;
    EXPECT_EQ(CreateAPointer(-1, 12), nullptr);
    EXPECT_EQ(CreateAPointer(12, -1), nullptr);
    EXPECT_EQ(CreateAPointer(-2, -2), nullptr);
    EXPECT_EQ(CreateAPointerClear(0xFFFFFFFFu, 0xFFFFFFFFu), nullptr);
    EXPECT_TRUE(capture.Messages().empty());
}

TEST(MemoryBlocks, NullReleaseIsReportedEveryTime)
{
    host::MessageCapture capture;
    DisposeAPointer(nullptr);
    DisposeAPointer(nullptr);
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"Attempt to delete NULL pointer",
                                                            "Attempt to delete NULL pointer"}));
}

// A record whose callbacks log into these.
std::vector<std::pair<int32_t, int32_t>> gReports;
int gAbortCalls = 0;
Boolean gAnswerCancel = 0;
void LogProgress(int32_t done, int32_t total)
{
    gReports.emplace_back(done, total);
}
Boolean AnswerAbort()
{
    ++gAbortCalls;
    return gAnswerCancel;
}

struct ProgressFixture : ::testing::Test {
    FilterRecord record{};
    void SetUp() override
    {
        gReports.clear();
        gAbortCalls = 0;
        gAnswerCancel = 0;
        record.progressProc = &LogProgress;
        record.abortProc = &AnswerAbort;
    }
    void TearDown() override { gPrimaryImage.filterRecord = nullptr; }
};

TEST_F(ProgressFixture, NothingReachesAHostBeforeTheFirstRun)
{
    gPrimaryImage.filterRecord = nullptr;
    gAnswerCancel = 1;
    EXPECT_EQ(TestAbortSetProgressBar(0.5f), 0);
    EXPECT_EQ(_CommandPeriod(), 0);
    _DoProgress(1, 2);
    EXPECT_TRUE(gReports.empty());
    EXPECT_EQ(gAbortCalls, 0);
}

TEST_F(ProgressFixture, FractionsAreScaledAndClamped)
{
    gPrimaryImage.filterRecord = &record;
    const std::pair<float, int32_t> cases[] = {
        {0.5f, 500000000}, {-0.1f, 0}, {1.7f, 1000000000}, {0.0f, 0}, {1.0f, 1000000000}};
    for (auto [fraction, done] : cases) {
        gReports.clear();
        EXPECT_EQ(TestAbortSetProgressBar(fraction), 0);
        ASSERT_EQ(gReports.size(), 1u);
        EXPECT_EQ(gReports[0], std::make_pair(done, 1000000000)) << fraction;
    }
    gReports.clear();
    TestAbortSetProgressBar(static_cast<float>(std::nan("")));
    EXPECT_EQ(gReports.at(0).first, 0);
}

TEST_F(ProgressFixture, CancelIsAnsweredAfterTheReport)
{
    gPrimaryImage.filterRecord = &record;
    gAnswerCancel = 1;
    EXPECT_NE(TestAbortSetProgressBar(0.25f), 0);
    EXPECT_EQ(gReports.size(), 1u);
    EXPECT_EQ(gAbortCalls, 1);
    EXPECT_NE(_CommandPeriod(), 0);
    _DoProgress(3, 7);
    EXPECT_EQ(gReports.back(), std::make_pair(3, 7));
}

TEST(Messages, AtSignsBecomeLineBreaksAndLongTextsAreCut)
{
    host::MessageCapture capture;
    ErrorMessage("first@second");
    ErrorMessage(std::string(300, 'x').c_str());
    const unsigned char empty[1] = {0};
    _FakePStringDialog(empty);
    ASSERT_EQ(capture.Messages().size(), 3u);
    EXPECT_EQ(capture.Messages()[0], "first\rsecond");
    EXPECT_EQ(capture.Messages()[1], std::string(255, 'x'));
    EXPECT_EQ(capture.Messages()[2], "");
}

TEST(Colour, KnownValuesOfTheForwardTransform)
{
    RGB96 pixels[4] = {{{0, 0, 0}}, {{255, 255, 255}}, {{100, 100, 100}}, {{255, 0, 0}}};
    _RGB96toLAB96(pixels, 4);
    EXPECT_NEAR(pixels[0].c[0], 1.132f, 0.001f);
    EXPECT_NEAR(pixels[1].c[0], 255.28f, 0.01f);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pixels[i].c[1], 127.5f);
        EXPECT_EQ(pixels[i].c[2], 127.5f);
    }
    EXPECT_NEAR(pixels[3].c[1], 212.5f, 0.001f);
    EXPECT_NEAR(pixels[3].c[2], 233.75f, 0.01f);
}

TEST(Colour, KnownValuesOfTheInverseTransform)
{
    LAB96 pixels[3] = {{{255, 127.5f, 127.5f}}, {{0, 127.5f, 127.5f}}, {{128, 255, 0}}};
    _LAB96toRGB96(pixels, 3);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(pixels[0].c[c], 255.0f);
        EXPECT_NEAR(pixels[1].c[c], 0.459f, 0.001f);
        EXPECT_GE(pixels[2].c[c], 0.0f);
        EXPECT_LE(pixels[2].c[c], 255.0f);
    }
}

TEST(Colour, ChromaInvertsExactlyAndNonPositiveCountsDoNothing)
{
    RGB96 pixel[1] = {{{200, 80, 40}}};
    _RGB96toLAB96(pixel, 1);
    _LAB96toRGB96(pixel, 1);
    EXPECT_NEAR(pixel[0].c[0] - pixel[0].c[1], 120.0f, 0.01f);
    EXPECT_NEAR(pixel[0].c[0], 200.0f, 3.0f);
    RGB96 untouched[1] = {{{1, 2, 3}}};
    _RGB96toLAB96(untouched, 0);
    _LAB96toRGB96(untouched, -5);
    EXPECT_EQ(untouched[0].c[0], 1.0f);
    EXPECT_EQ(untouched[0].c[2], 3.0f);
}

}  // namespace
