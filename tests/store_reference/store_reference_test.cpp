// store_reference end to end: the reference file it leaves, a later run of
// another module reading it back, replacing, cancelling and refusing images
// too large for the file's 16-bit header.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "host.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

const char kRefName[] = "Reference Image.xzy";

std::vector<uint8_t> ReadFileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The reference file an 8-bit RGB image should leave: native header, then
// each sample as a float on the 0 to 255 scale.
std::vector<uint8_t> ExpectedFile(const host::Image& image)
{
    std::vector<uint8_t> bytes(6);
    const uint16_t header[3] = {static_cast<uint16_t>(image.width),
                                static_cast<uint16_t>(image.height), 12};
    std::memcpy(bytes.data(), header, 6);
    for (uint8_t sample : image.pixels) {
        float value = sample;
        const auto* p = reinterpret_cast<const uint8_t*>(&value);
        bytes.insert(bytes.end(), p, p + 4);
    }
    return bytes;
}

host::Image RandomRGB(int32_t width, int32_t height, unsigned seed)
{
    host::Image image = host::Image::Make(width, height, plugInModeRGBColor, 8);
    std::mt19937 random(seed);
    for (auto& b : image.pixels)
        b = static_cast<uint8_t>(random());
    return image;
}

class StoreReferenceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        dir_ = fs::temp_directory_path() /
               ("store_reference_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        prefs_.emplace(kPreferencesFolderType, dir_);
    }
    void TearDown() override
    {
        prefs_.reset();
        fs::remove_all(dir_);
    }
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
    std::optional<host::ScopedFolder> prefs_;
    host::Module store_{PLUGIN_DIR "/store_reference.so"};
    host::Module reader_{TEST_PLUGIN_DIR "/test_ref_reader.so"};
};

TEST_F(StoreReferenceTest, AboutText)
{
    EXPECT_EQ(host::AboutText(store_), "Store Current Image as Reference");
}

TEST_F(StoreReferenceTest, StoresTheImageAsRGB96AndLeavesTheHostImageAlone)
{
    const host::Image input = RandomRGB(6, 4, 1);
    host::RunReport report = host::RunFilter(store_, input);
    EXPECT_EQ(report.result, 0);
    EXPECT_TRUE(report.messages.empty());
    EXPECT_EQ(report.output, input);
    EXPECT_EQ(Files(), std::vector<std::string>{kRefName});
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), ExpectedFile(input));
    // Progress before each line: y / height in single precision.
    std::vector<std::pair<int32_t, int32_t>> progress;
    for (int32_t y = 0; y < 4; y++)
        progress.emplace_back(static_cast<int32_t>(static_cast<float>(y) / 4.0f * 1.0e9f),
                              1000000000);
    EXPECT_EQ(report.progress, progress);
}

TEST_F(StoreReferenceTest, AnotherModuleReadsTheReferenceBackInALaterRun)
{
    const host::Image input = RandomRGB(5, 3, 2);
    ASSERT_EQ(host::RunFilter(store_, input).result, 0);

    host::ScopedMemoryBudget noTempMemory(0);  // the reader's scratch image goes to a file
    host::RunReport read = host::RunFilter(reader_, host::Image::Make(5, 3, plugInModeRGBColor, 8));
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.messages, std::vector<std::string>{"reference 5 x 3 (0)"});
    EXPECT_EQ(read.output, input);
    // The shut-down closed the reference (kept) and tossed the scratch image.
    EXPECT_EQ(Files(), std::vector<std::string>{kRefName});
    EXPECT_EQ(PlatformOpenFileCount(), 0);
    EXPECT_EQ(PlatformTempMemoryInUse(), 0);
}

TEST_F(StoreReferenceTest, RunningAgainReplacesTheReferenceAlsoWithASmallerImage)
{
    ASSERT_EQ(host::RunFilter(store_, RandomRGB(9, 7, 3)).result, 0);
    const host::Image smaller = RandomRGB(3, 2, 4);
    ASSERT_EQ(host::RunFilter(store_, smaller).result, 0);
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), ExpectedFile(smaller));
    host::RunReport read = host::RunFilter(reader_, host::Image::Make(3, 2, plugInModeRGBColor, 8));
    EXPECT_EQ(read.messages, std::vector<std::string>{"reference 3 x 2 (0)"});
    EXPECT_EQ(read.output, smaller);
}

TEST_F(StoreReferenceTest, CancelMidwayKeepsTheStoredLinesAndZerosAfterThem)
{
    const host::Image input = RandomRGB(4, 5, 5);
    host::RunOptions options;
    options.cancelAtAbortTest = 3;  // before line 2
    host::RunReport report = host::RunFilter(store_, input, options);
    EXPECT_EQ(report.result, -128);
    std::vector<uint8_t> expected = ExpectedFile(input);
    std::fill(expected.begin() + 6 + 2 * 4 * 12, expected.end(), 0);
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), expected);
}

TEST_F(StoreReferenceTest, ImageTooLargeForTheHeaderIsRefusedAndTheOldReferenceKept)
{
    const host::Image small = RandomRGB(2, 2, 6);
    ASSERT_EQ(host::RunFilter(store_, small).result, 0);
    for (auto [w, h] : {std::pair{65536, 1}, std::pair{1, 65536}}) {
        host::RunReport report =
            host::RunFilter(store_, host::Image::Make(w, h, plugInModeGrayScale, 8));
        EXPECT_EQ(report.result, -128) << w << " x " << h;
        EXPECT_EQ(report.messages,
                  std::vector<std::string>{
                      "This image is too large to store as the reference image.  Its width and "
                      "height must not exceed 65535 pixels. (MainUserEntry)"});
        EXPECT_EQ(ReadFileBytes(dir_ / kRefName), ExpectedFile(small));
    }
}

TEST_F(StoreReferenceTest, WithoutAReferenceTheReaderIsToldSo)
{
    host::RunReport read = host::RunFilter(reader_, host::Image::Make(2, 2, plugInModeRGBColor, 8));
    EXPECT_EQ(read.messages, std::vector<std::string>{"reference 0 x 0 (-43)"});
    EXPECT_TRUE(Files().empty());
}

TEST_F(StoreReferenceTest, FailedCreationIsReportedOnceAndNotAsSuccess)
{
    prefs_.reset();
    host::ScopedFolder absent(kPreferencesFolderType, dir_ / "absent");
    host::RunReport report = host::RunFilter(store_, RandomRGB(2, 3, 7));
    EXPECT_EQ(report.result, fnfErr);
    EXPECT_EQ(
        report.messages,
        std::vector<std::string>{"The reference image could not be created. (InitializeRefImage)"});
    EXPECT_TRUE(report.progress.empty());
}

}  // namespace
