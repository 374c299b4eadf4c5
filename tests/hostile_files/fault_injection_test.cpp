// Every plug-in, run whole while one platform operation fails: the N-th file
// operation, or the N-th temporary-memory request, for every N the run
// makes. Whatever fails, the run must not crash or leak, must not report
// success with an output other than the one it gives without the failure,
// and must leave the stored reference image as it was (store_reference:
// the old one or, after success, the new one). Under the sanitizer build
// this also proves every failure path free of memory errors and leaks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "host.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

const std::string kRefName = "Reference Image.xzy";
constexpr int32_t kSide = 32;  // cross_correlate needs a power-of-two square of 32 or more

std::vector<uint8_t> Bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Black blobs with holes on white, in RGB, so every binary filter has
// features, holes and marks to work on.
host::Image Blobs(unsigned seed)
{
    host::Image image = host::Image::Make(kSide, kSide, plugInModeRGBColor, 8);
    std::fill(image.pixels.begin(), image.pixels.end(), 255);
    std::mt19937 random(seed);
    for (int blob = 0; blob < 6; ++blob) {
        const int32_t x0 = static_cast<int32_t>(random() % (kSide - 8));
        const int32_t y0 = static_cast<int32_t>(random() % (kSide - 8));
        for (int32_t y = y0; y < y0 + 7; ++y)
            for (int32_t x = x0; x < x0 + 7; ++x)
                if (!(x == x0 + 3 && y == y0 + 3))
                    for (int p = 0; p < 3; ++p)
                        image.U8(x, y, p) = 0;
    }
    return image;
}

host::Image Noise(unsigned seed)
{
    host::Image image = host::Image::Make(kSide, kSide, plugInModeRGBColor, 8);
    std::mt19937 random(seed);
    for (auto& sample : image.pixels)
        sample = static_cast<uint8_t>(random());
    return image;
}

struct Outcome {
    host::RunReport report;
    std::vector<std::string> files;
    std::vector<uint8_t> reference;
    int64_t fileOperations = 0, memoryRequests = 0;
};

class FaultInjection : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("fault_injection_" + std::to_string(getpid()) + "_" + GetParam());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "prefs");
        fs::create_directories(dir_ / "desk");
        std::ofstream(dir_ / "desk" / "ranksharp.txt", std::ios::binary) << "2.0\r1\r150\r0.01\r";
        prefs_.emplace(kPreferencesFolderType, dir_ / "prefs");
        desk_.emplace(kDesktopFolderType, dir_ / "desk");
        host::Module store(PLUGIN_DIR "/store_reference.so");
        ASSERT_EQ(host::RunFilter(store, Blobs(2)).result, 0);
        storedReference_ = Bytes(dir_ / "prefs" / kRefName);
        const std::string name = GetParam();
        const bool binary =
            name != "cross_correlate" && name != "rgb_to_ihs" && name != "rank_sharpen";
        input_ = binary ? Blobs(1) : Noise(1);
    }
    void TearDown() override
    {
        PlatformSetFaultInjection(0, 0);
        desk_.reset();
        prefs_.reset();
        fs::remove_all(dir_);
    }

    Outcome Run(const host::Module& module, int64_t failFile, int64_t failMemory)
    {
        PlatformSetFaultInjection(failFile, failMemory);
        Outcome outcome;
        outcome.report = host::RunFilter(module, input_);
        outcome.fileOperations = PlatformFileOperationCount();
        outcome.memoryRequests = PlatformMemoryRequestCount();
        PlatformSetFaultInjection(0, 0);
        for (const auto& entry : fs::directory_iterator(dir_ / "prefs"))
            outcome.files.push_back(entry.path().filename());
        outcome.reference = Bytes(dir_ / "prefs" / kRefName);
        return outcome;
    }

    // The checks after one run with a failure injected; `clean` is the run
    // without one.
    void Check(const Outcome& clean, const Outcome& got, const std::string& where)
    {
        SCOPED_TRACE(where);
        EXPECT_EQ(PlatformOpenFileCount(), 0);
        EXPECT_EQ(PlatformTempMemoryInUse(), 0);
        EXPECT_EQ(got.files, std::vector<std::string>{kRefName});
        const bool stores = std::string(GetParam()) == "store_reference";
        if (got.report.result == 0) {
            EXPECT_TRUE(got.report.output == clean.report.output)
                << "wrong output reported as success; messages: "
                << ::testing::PrintToString(got.report.messages)
                << " clean: " << ::testing::PrintToString(clean.report.messages);
            EXPECT_EQ(got.report.messages, clean.report.messages);
            EXPECT_EQ(got.reference, clean.reference);
        } else {
            EXPECT_EQ(got.reference, storedReference_) << "the previous reference is lost";
            if (stores) {
                EXPECT_FALSE(got.report.messages.empty()) << "a failed store says nothing";
            }
        }
        if (stores && got.report.result == 0 && got.reference != clean.reference)
            ADD_FAILURE() << "store reported success without storing";
    }

    // Fails each operation of a run in turn, up to `limit` evenly spread
    // injection points; says how many were tried of how many there are.
    std::string Sweep(const host::Module& module, bool memory, int64_t limit)
    {
        PlatformSetFaultInjection(0, 0);
        const Outcome clean = Run(module, 0, 0);
        EXPECT_EQ(clean.report.result, 0);
        const int64_t total = memory ? clean.memoryRequests : clean.fileOperations;
        const int64_t step = std::max<int64_t>(1, (total + limit - 1) / limit);
        int64_t tried = 0;
        for (int64_t n = 1; n <= total; n += step, ++tried) {
            const Outcome got = memory ? Run(module, 0, n) : Run(module, n, 0);
            Check(clean, got, (memory ? "memory request " : "file operation ") + std::to_string(n));
            if (::testing::Test::HasFailure())
                break;
            RestoreReference();
        }
        return std::to_string(tried) + " of " + std::to_string(total);
    }

    // A successful store changes the reference: put the first one back.
    void RestoreReference()
    {
        if (Bytes(dir_ / "prefs" / kRefName) == storedReference_)
            return;
        std::ofstream out(dir_ / "prefs" / kRefName, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(storedReference_.data()),
                  static_cast<std::streamsize>(storedReference_.size()));
    }

    fs::path dir_;
    std::optional<host::ScopedFolder> prefs_, desk_;
    std::vector<uint8_t> storedReference_;
    host::Image input_;
};

TEST_P(FaultInjection, EveryFailedOperationGivesACleanFailureOrTheRightResult)
{
    host::Module module(std::string(PLUGIN_DIR "/") + GetParam() + ".so");
    const std::string files = Sweep(module, false, 2000);
    const std::string memory = Sweep(module, true, 2000);
    // Working images on files: temporary memory refused throughout. Their
    // column access makes thousands of operations, so a sample of them is
    // swept unless FILTERKIT_FAULT_SWEEP_LIMIT asks for more.
    const char* limit = std::getenv("FILTERKIT_FAULT_SWEEP_LIMIT");
    std::string onFiles;
    {
        host::ScopedMemoryBudget none(0);
        onFiles = Sweep(module, false, limit != nullptr ? std::atoll(limit) : 150);
    }
    std::cout << "[ injection ] " << GetParam() << ": " << files << " file operations, " << memory
              << " memory requests, " << onFiles
              << " file operations with working images on disk\n";
}

INSTANTIATE_TEST_SUITE_P(AllPlugins, FaultInjection,
                         ::testing::Values("rgb_to_ihs", "store_reference", "cross_correlate",
                                           "rank_sharpen", "fill_holes", "label_brightness",
                                           "marker_select", "total_perimeter"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
