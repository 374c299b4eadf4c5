// cross_correlate through the filterhost command line, with the reference
// stored by the store_reference plug-in in an earlier run: the size checks,
// and a real photograph correlated with a cyclically moved copy of itself.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host.h"
#include "image_file.h"
#include "platform.h"
#include "refusal_messages.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string err;
};

class ThroughFilterhost : public ::testing::Test {
protected:
    ThroughFilterhost()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ =
            fs::temp_directory_path() / ("cross_correlate_filterhost_" + std::string(info->name()) +
                                         "_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "prefs");
    }
    ~ThroughFilterhost() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Runs `filterhost run PLUGIN INPUT [-o OUTPUT]` with this test's
    // Preferences folder; stderr is kept for the message lines.
    Outcome Run(const std::string& plugin, const fs::path& input, const fs::path& output = {})
    {
        const fs::path errFile = dir_ / "stderr.txt";
        std::string command = "'" BINARY_DIR "/bin/filterhost' --plugin-dir '" PLUGIN_DIR "' run " +
                              plugin + " '" + input.string() + "' --prefs-dir '" +
                              (dir_ / "prefs").string() + "'";
        if (!output.empty())
            command += " -o '" + output.string() + "'";
        command += " 2>'" + errFile.string() + "' >/dev/null";
        Outcome outcome;
        const int raw = std::system(command.c_str());
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        std::ifstream in(errFile);
        std::stringstream text;
        text << in.rdbuf();
        outcome.err = text.str();
        return outcome;
    }

    fs::path Write(const std::string& name, const host::Image& image)
    {
        const fs::path path = dir_ / name;
        host::WriteImageFile(path, image);
        return path;
    }

    fs::path dir_;
};

host::Image Patterned(int32_t width, int32_t height)
{
    auto image = host::Image::Make(width, height, plugInModeRGBColor, 8);
    for (int32_t y = 0; y < height; y++)
        for (int32_t x = 0; x < width; x++)
            for (int c = 0; c < 3; c++)
                image.U8(x, y, c) = static_cast<uint8_t>((x * 37 + y * 11 + c * 70) % 251);
    return image;
}

struct SizeCase {
    int32_t width, height;
    int32_t refWidth, refHeight;  // 0: no reference stored
    const std::string* message;   // null: accepted
};

TEST_F(ThroughFilterhost, SizeChecksAgainstStoredReference)
{
    const SizeCase cases[] = {
        {32, 32, 32, 32, nullptr},          {64, 64, 64, 64, nullptr},
        {40, 40, 40, 40, &kMessageThird},   {16, 16, 16, 16, &kMessageThird},
        {64, 32, 64, 64, &kMessageFirst},   {64, 64, 64, 32, &kMessageSecond},
        {64, 64, 128, 128, &kMessageThird}, {64, 64, 32, 32, &kMessageThird},
        {64, 64, 0, 0, &kMessageThird},
    };
    const fs::path out = dir_ / "out.png";
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.width) + "x" + std::to_string(k.height) + " ref " +
                     std::to_string(k.refWidth) + "x" + std::to_string(k.refHeight));
        fs::remove(dir_ / "prefs" / "Reference Image.xzy");
        if (k.refWidth > 0) {
            const auto ref = Write("ref.png", Patterned(k.refWidth, k.refHeight));
            const auto stored = Run("store_reference", ref);
            ASSERT_EQ(stored.status, 0) << stored.err;
        }
        fs::remove(out);
        const auto image = Write("image.png", Patterned(k.width, k.height));
        const auto run = Run("cross_correlate", image, out);
        if (k.message == nullptr) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(fs::exists(out));
        } else {
            EXPECT_EQ(run.status, 2);
            EXPECT_NE(run.err.find("message: " + *k.message + "\n"), std::string::npos) << run.err;
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

TEST_F(ThroughFilterhost, PhotographAgainstMovedCopyPeaksAtTheShift)
{
    const auto photo = host::ReadImageFile(SOURCE_DIR "/examples/chelsea.png");
    const int32_t n = 128, left = 200, top = 100, dx = 9, dy = -13;
    auto ref = host::Image::Make(n, n, plugInModeRGBColor, 8);
    auto moved = ref;
    for (int32_t y = 0; y < n; y++)
        for (int32_t x = 0; x < n; x++)
            for (int c = 0; c < 3; c++) {
                ref.U8(x, y, c) = photo.U8(left + x, top + y, c);
                moved.U8(((x + dx) % n + n) % n, ((y + dy) % n + n) % n, c) =
                    photo.U8(left + x, top + y, c);
            }
    ASSERT_EQ(Run("store_reference", Write("ref.png", ref)).status, 0);
    const fs::path out = dir_ / "surface.png";
    const auto run = Run("cross_correlate", Write("moved.png", moved), out);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto surface = host::ReadImageFile(out);
    ASSERT_EQ(surface.width, n);
    for (int c = 0; c < 3; c++) {
        int best = -1, bx = -1, by = -1;
        for (int32_t y = 0; y < n; y++)
            for (int32_t x = 0; x < n; x++)
                if (surface.U8(x, y, c) > best) {
                    best = surface.U8(x, y, c);
                    bx = x;
                    by = y;
                }
        EXPECT_EQ(bx, n / 2 + dx) << "channel " << c;
        EXPECT_EQ(by, n / 2 + dy) << "channel " << c;
    }

    // The same run inside this process, against the reference the plug-in
    // stored, gives the same surface.
    host::ScopedFolder prefs(kPreferencesFolderType, dir_ / "prefs");
    host::Module module(PLUGIN_DIR "/cross_correlate.so");
    const auto report = host::RunFilter(module, moved);
    ASSERT_EQ(report.result, 0);
    EXPECT_EQ(report.output, surface);
}

}  // namespace
