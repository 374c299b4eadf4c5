// The host-visible behaviour of the framework, observed through the probe
// plug-in: selectors, start-up and shut-down, which advanceState calls a
// sequence of line accesses makes, the bytes that reach the host in every
// supported mode, messages, progress and cancel, and module isolation.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "colour.h"
#include "entry.h"
#include "host.h"
#include "probe_script.h"
#include "testing.h"

namespace {

namespace fs = std::filesystem;
const char kProbePath[] = TEST_PLUGIN_DIR "/probe_plugin.so";

// The probe module and its script globals.
struct Probe {
    host::Module module;
    ProbeOp* ops;
    int32_t* count;
    int32_t* returnCode;
    RGB96 (*reads)[16];
    RGB96* pixels;
    FilterRecord* record;
    PrimaryImage* primary;

    explicit Probe(const fs::path& path = kProbePath) : module(path)
    {
        ops = static_cast<ProbeOp*>(module.Symbol("gProbeOps"));
        count = static_cast<int32_t*>(module.Symbol("gProbeCount"));
        returnCode = static_cast<int32_t*>(module.Symbol("gProbeReturn"));
        reads = static_cast<RGB96(*)[16]>(module.Symbol("gProbeReads"));
        pixels = static_cast<RGB96*>(module.Symbol("gProbePixels"));
        record = static_cast<FilterRecord*>(module.Symbol("gProbeRecord"));
        primary = static_cast<PrimaryImage*>(module.Symbol("gPrimaryImage"));
    }
    void Script(const std::vector<ProbeOp>& script, int32_t result = 0)
    {
        std::copy(script.begin(), script.end(), ops);
        *count = static_cast<int32_t>(script.size());
        *returnCode = result;
    }
};

ProbeOp Read(int32_t line)
{
    return {kProbeRead, line, {0, 0, 0}};
}
ProbeOp Fill(int32_t line, float a, float b, float c)
{
    return {kProbeWriteFill, line, {a, b, c}};
}
ProbeOp Fill(int32_t line, float v)
{
    return Fill(line, v, v, v);
}
ProbeOp Held(int32_t line)
{
    return {kProbeWriteHeld, line, {0, 0, 0}};
}
ProbeOp Progress(float f)
{
    return {kProbeProgress, 0, {f, 0, 0}};
}

// A grey 8-bit image whose line y holds the value 100 + y.
host::Image Numbered(int32_t width, int32_t height)
{
    host::Image image = host::Image::Make(width, height, plugInModeGrayScale, 8);
    for (int32_t y = 0; y < height; ++y)
        std::memset(image.Row(y), 100 + y, image.RowBytes());
    return image;
}

std::vector<int32_t> OutTops(const host::test::RunReport& report)
{
    std::vector<int32_t> tops;
    for (const auto& call : report.advanceCalls)
        tops.push_back(call.outRect.top);
    return tops;
}
std::vector<int32_t> InTops(const host::test::RunReport& report)
{
    std::vector<int32_t> tops;
    for (const auto& call : report.advanceCalls)
        tops.push_back(call.inRect.top);
    return tops;
}

bool Empty(const Rect32& r)
{
    return r.top == 0 && r.left == 0 && r.bottom == 0 && r.right == 0;
}

TEST(Selectors, DispatchTable)
{
    Probe probe;
    for (int16_t selector : {int16_t{6}, int16_t{-1}, int16_t{100}}) {
        auto report = host::test::CallSelector(probe.module, selector, 77);
        EXPECT_EQ(report.result, -30100) << selector;
        EXPECT_EQ(report.dataSlot, 0) << selector;
    }
    for (int16_t selector :
         {filterSelectorParameters, filterSelectorContinue, filterSelectorFinish}) {
        auto report = host::test::CallSelector(probe.module, selector, 77);
        EXPECT_EQ(report.result, 0);
        EXPECT_EQ(report.dataSlot, 0);
        EXPECT_TRUE(report.messages.empty());
    }
    auto prepare = host::test::CallSelector(probe.module, filterSelectorPrepare);
    EXPECT_EQ(prepare.record.bufferSpace, 0x240000);
    EXPECT_EQ(host::AboutText(probe.module), "Probe\rTest Filter");
}

TEST(StartUp, RecordIsPreparedForLineZeroAndEmptiedAfterwards)
{
    Probe probe;
    probe.Script({});
    for (bool mask : {false, true}) {
        host::test::RunOptions options;
        options.haveMask = mask;
        auto report = host::test::RunFilter(probe.module, Numbered(7, 3), options);
        EXPECT_EQ(report.result, 0);
        EXPECT_EQ(report.dataSlot, 0);
        const FilterRecord& seen = *probe.record;
        EXPECT_EQ(seen.inRect.top, 0);
        EXPECT_EQ(seen.inRect.bottom, 1);
        EXPECT_EQ(seen.inRect.left, 0);
        EXPECT_EQ(seen.inRect.right, 7);
        EXPECT_EQ(seen.outRect.bottom, 1);
        EXPECT_EQ(seen.maskRect.bottom, mask ? 1 : 0);
        EXPECT_EQ(seen.maskRect.right, mask ? 7 : 0);
        EXPECT_EQ(seen.inLoPlane, 0);
        EXPECT_EQ(seen.inHiPlane, 0);
        EXPECT_EQ(seen.inputRate, 0x10000);
        EXPECT_EQ(seen.maskRate, 0x10000);
        EXPECT_EQ(seen.maskPadding, -1);
        EXPECT_TRUE(Empty(report.inRectAfter));
        EXPECT_TRUE(Empty(report.outRectAfter));
        EXPECT_TRUE(Empty(report.maskRectAfter));
        EXPECT_TRUE(report.advanceCalls.empty());
        EXPECT_EQ(report.output, Numbered(7, 3));
        EXPECT_EQ(probe.primary->stagingLine, nullptr);
    }
}

TEST(StartUp, PlanesFollowTheMode)
{
    Probe probe;
    probe.Script({});
    struct Case {
        int16_t mode, depth, hostPlanes;
        int32_t runMode, planes;
    } cases[] = {
        {plugInModeGrayScale, 8, 1, 1, 1},    {plugInModeGrayScale, 32, 1, 17, 1},
        {plugInModeGrayScale, 16, 1, 1, 1},   {plugInModeRGBColor, 8, 3, 3, 3},
        {plugInModeCMYKColor, 8, 5, 4, 5},    {plugInModeCMYK64, 16, 5, 13, 4},
        {plugInModeMultichannel, 8, 2, 7, 2}, {plugInModeLab48, 16, 3, 12, 3},
    };
    for (const Case& c : cases) {
        host::Image image = host::Image::Make(2, 2, c.mode, c.depth);
        host::test::RunOptions options;
        options.planesField = c.hostPlanes;
        auto report = host::test::RunFilter(probe.module, image, options);
        EXPECT_EQ(probe.primary->imageMode, c.runMode) << c.mode << "/" << c.depth;
        EXPECT_EQ(probe.primary->planes, c.planes) << c.mode << "/" << c.depth;
        EXPECT_EQ(probe.record->inHiPlane, c.planes - 1);
    }
}

TEST(StartUp, BodyResultReachesTheHostUnchanged)
{
    Probe probe;
    for (int32_t code : {0, -128, 7}) {
        probe.Script({}, code);
        EXPECT_EQ(host::test::RunFilter(probe.module, Numbered(2, 2)).result, code);
    }
}

TEST(StartUp, ZeroWidthIsReportedAndTheRunGoesOn)
{
    Probe probe;
    probe.Script({}, 3);
    auto report =
        host::test::RunFilter(probe.module, host::Image::Make(0, 4, plugInModeGrayScale, 8));
    EXPECT_EQ(report.result, 3);
    EXPECT_EQ(report.messages, std::vector<std::string>{
                                   "Attempt to allocate a zero-length pointer. (CreateAPointer)"});
}

TEST(Staging, WritesWithoutReadsAreDeliveredOneAccessLater)
{
    Probe probe;
    probe.Script({Fill(5, 1), Fill(3, 2), Fill(9, 3)});
    auto report = host::test::RunFilter(probe.module, Numbered(4, 12));
    EXPECT_EQ(OutTops(report), (std::vector<int32_t>{0, 5, 3, 9}));
    host::Image expected = Numbered(4, 12);
    std::memset(expected.Row(5), 1, 4);
    std::memset(expected.Row(3), 2, 4);
    std::memset(expected.Row(9), 3, 4);
    EXPECT_EQ(report.output, expected);
    EXPECT_TRUE(report.messages.empty());
}

TEST(Staging, ReadThenWriteCostsOneCallPerLine)
{
    Probe probe;
    probe.Script({{kProbeCopyAll, 0, {0, 0, 0}}});
    auto report = host::test::RunFilter(probe.module, Numbered(3, 5));
    EXPECT_EQ(InTops(report), (std::vector<int32_t>{0, 0, 1, 2, 3, 4, 4}));
    EXPECT_EQ(OutTops(report), (std::vector<int32_t>{0, 0, 0, 1, 2, 3, 4}));
    EXPECT_EQ(report.output, Numbered(3, 5));
}

TEST(Staging, SameLineTwiceIsDeliveredTwiceWithTheSecondData)
{
    Probe probe;
    probe.Script({Fill(4, 10), Fill(4, 20)});
    auto report = host::test::RunFilter(probe.module, Numbered(2, 6));
    EXPECT_EQ(OutTops(report), (std::vector<int32_t>{0, 4, 4}));
    EXPECT_EQ(report.output.U8(0, 4), 20);
}

TEST(Staging, ReadsReturnTheOriginalNotWhatWasWritten)
{
    Probe probe;
    probe.Script({Fill(2, 9), Read(2), Read(0)});
    auto report = host::test::RunFilter(probe.module, Numbered(2, 4));
    EXPECT_EQ(probe.reads[1][0].c[0], 102.0f);
    EXPECT_EQ(probe.reads[2][0].c[1], 100.0f);
    EXPECT_EQ(report.output.U8(1, 2), 9);
}

TEST(Staging, OutOfRangeLinesAreReportedAndNothingIsStaged)
{
    Probe probe;
    probe.Script({Fill(1, 50), Read(-1), Read(4), Fill(4, 60), Fill(-1, 60)});
    for (int op = 1; op <= 2; ++op)
        probe.reads[op][0] = probe.reads[op][1] = RGB96{{99, 99, 99}};
    auto report = host::test::RunFilter(probe.module, Numbered(2, 4));
    EXPECT_EQ(report.messages,
              (std::vector<std::string>{
                  "Attempt to read beyond bounds of original image. (ReadOriginalLine)",
                  "Attempt to read beyond bounds of original image. (ReadOriginalLine)",
                  "Attempt to write beyond bounds of original image. (WriteResultLine)",
                  "Attempt to write beyond bounds of original image. (WriteResultLine)"}));
    EXPECT_EQ(probe.reads[1][0].c[0], 0.0f);
    EXPECT_EQ(probe.reads[2][1].c[2], 0.0f);
    // Only the first access and the shut-down reach the host; line 1 stayed pending.
    EXPECT_EQ(OutTops(report), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(report.output.U8(0, 1), 50);
}

TEST(Staging, HostWithoutAdvanceStateGetsTheMessages)
{
    Probe probe;
    probe.Script({Read(0), Fill(0, 1)});
    host::test::RunOptions options;
    options.withoutAdvanceState = true;
    auto report = host::test::RunFilter(probe.module, Numbered(2, 2), options);
    EXPECT_EQ(report.messages,
              (std::vector<std::string>{
                  "AdvanceState function is not available.  Plug-in cannot run. (ReadOriginalLine)",
                  "AdvanceState function is not available.  firstTime = TRUE. (WriteResultLine)"}));
    EXPECT_EQ(report.output, Numbered(2, 2));
}

TEST(Staging, RowsLongerThanTheStagingLineAreCopiedWhole)
{
    Probe probe;
    probe.Script({Read(1), Fill(1, 7), Fill(0, 8)});
    host::test::RunOptions options;
    options.rowPadding = 200;  // far beyond width x 12
    auto report = host::test::RunFilter(probe.module, Numbered(2, 3), options);
    EXPECT_EQ(report.output.U8(1, 1), 7);
    EXPECT_EQ(report.output.U8(0, 0), 8);
    EXPECT_EQ(report.output.U8(0, 2), 102);
}

// Reading and writing one pixel in each supported mode.
struct ModeCase {
    const char* name;
    int16_t mode, depth;
    std::vector<double> stored;    // host samples of the pixel
    RGB96 read;                    // what the filter body sees
    RGB96 written;                 // what the body writes
    std::vector<double> expected;  // host samples after the write
};

host::Image OnePixel(const ModeCase& c, const std::vector<double>& samples)
{
    host::Image image = host::Image::Make(1, 1, c.mode, c.depth);
    for (size_t p = 0; p < samples.size(); ++p) {
        if (c.depth == 8)
            image.U8(0, 0, static_cast<int>(p)) = static_cast<uint8_t>(samples[p]);
        if (c.depth == 16)
            image.U16(0, 0, static_cast<int>(p)) = static_cast<uint16_t>(samples[p]);
        if (c.depth == 32)
            image.F32(0, 0, static_cast<int>(p)) = static_cast<float>(samples[p]);
    }
    return image;
}

TEST(Conversions, EachSupportedModeReadsAndWritesExactly)
{
    const ModeCase cases[] = {
        {"grey8", 1, 8, {77}, {{77, 77, 77}}, {{10, 20, 31}}, {20}},
        {"grey8 clamp high", 1, 8, {0}, {{0, 0, 0}}, {{300, 300, 300}}, {255}},
        {"grey8 clamp low", 1, 8, {0}, {{0, 0, 0}}, {{-5, 0, 0}}, {0}},
        {"rgb8", 3, 8, {1, 2, 255}, {{1, 2, 255}}, {{12.9f, -1, 256}}, {12, 0, 255}},
        {"grey16", 10, 16, {32768}, {{255, 255, 255}}, {{255, 255, 255}}, {32768}},
        {"grey16 half", 10, 16, {16384}, {{127.5f, 127.5f, 127.5f}}, {{1, 1, 1}}, {128}},
        {"rgb16",
         11,
         16,
         {0, 1, 32768},
         {{0, 0.007781982421875f, 255}},
         {{255, 1, 300}},
         {32768, 128, 32768}},
        {"rgb float",
         16,
         32,
         {0.5, 1.0, 2.0},
         {{127.5f, 255, 510}},
         {{510, -255, 0}},
         {2.0, -1.0, 0.0}},
        {"grey float", 1, 32, {0.25}, {{63.75f, 63.75f, 63.75f}}, {{255, 255, 255}}, {1.0}},
    };
    Probe probe;
    probe.Script({Read(0), {kProbeWritePixels, 0, {0, 0, 0}}});
    for (const ModeCase& c : cases) {
        probe.pixels[0] = c.written;
        auto report = host::test::RunFilter(probe.module, OnePixel(c, c.stored));
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_EQ(probe.reads[0][0].c[ch], c.read.c[ch]) << c.name;
        EXPECT_EQ(report.output, OnePixel(c, c.expected)) << c.name;
        EXPECT_TRUE(report.messages.empty()) << c.name;
    }
}

TEST(Conversions, LabRoundTripIsCloseButNotExact)
{
    Probe probe;
    probe.Script({Read(0), Held(0)});
    for (auto [mode, depth, scale] :
         {std::tuple{int16_t{9}, int16_t{8}, 1.0}, std::tuple{int16_t{12}, int16_t{16}, 128.5}}) {
        host::Image lab = host::Image::Make(3, 1, mode, depth);
        const double samples[3][3] = {{180, 100, 160}, {60, 140, 90}, {200, 127, 128}};
        for (int x = 0; x < 3; ++x) {
            for (int p = 0; p < 3; ++p) {
                if (depth == 8)
                    lab.U8(x, 0, p) = static_cast<uint8_t>(samples[x][p]);
                else
                    lab.U16(x, 0, p) = static_cast<uint16_t>(samples[x][p] * scale);
            }
        }
        auto report = host::test::RunFilter(probe.module, lab);
        EXPECT_NE(report.output, lab);
        for (int x = 0; x < 3; ++x) {
            for (int p = 0; p < 3; ++p) {
                double before = depth == 8 ? lab.U8(x, 0, p) : lab.U16(x, 0, p) / scale;
                double after =
                    depth == 8 ? report.output.U8(x, 0, p) : report.output.U16(x, 0, p) / scale;
                EXPECT_NEAR(after, before, 4.0) << "mode " << mode << " x " << x << " plane " << p;
            }
        }
    }
}

TEST(Conversions, UnsupportedModesAreReportedAtEveryAccess)
{
    Probe probe;
    probe.Script({Read(0), Fill(0, 1), Read(1)});
    const std::string unsupported =
        "Unsupported image mode.  Plug-in cannot run. (ReadOriginalLine)";
    host::Image cmyk = host::Image::Make(2, 2, plugInModeCMYKColor, 8);
    auto report = host::test::RunFilter(probe.module, cmyk);
    EXPECT_EQ(report.messages, std::vector<std::string>(3, unsupported));
    EXPECT_EQ(report.output, cmyk);
}

TEST(Conversions, StartWithModeAbove17DoesNotTouchStaleState)
{
    Probe probe;
    probe.Script({Fill(1, 5)});
    host::test::RunFilter(probe.module, Numbered(2, 3));  // leaves a finished run behind
    probe.Script({Read(0), Fill(1, 9), Read(2)}, 4);
    host::test::RunOptions options;
    options.modeField = 18;
    auto report = host::test::RunFilter(probe.module, Numbered(2, 3), options);
    const std::string unsupported =
        "Unsupported image mode.  Plug-in cannot run. (ReadOriginalLine)";
    EXPECT_EQ(report.result, 4);
    EXPECT_EQ(report.messages, std::vector<std::string>(3, unsupported));
    EXPECT_TRUE(report.advanceCalls.empty());
    EXPECT_EQ(report.output, Numbered(2, 3));
    EXPECT_TRUE(Empty(report.inRectAfter));
    EXPECT_TRUE(probe.primary->firstTime);
    EXPECT_FALSE(probe.primary->linePending);
    EXPECT_EQ(probe.primary->stagingLine, nullptr);
}

// A line written as runs of one colour reaches the host exactly as the same
// pixels written one by one: in every mode (Lab, clamping and NaN
// included), for the host calls and rectangles, and for lines out of range
// or an unsupported mode, with the same messages.
TEST(RunWriting, RunsGiveTheBytesAndCallsOfPixelByPixelWriting)
{
    const std::pair<int16_t, int16_t> modes[] = {
        {plugInModeGrayScale, 8}, {plugInModeRGBColor, 8}, {plugInModeLabColor, 8},
        {plugInModeGray16, 16},   {plugInModeRGB48, 16},   {plugInModeLab48, 16},
        {plugInModeRGB96, 32},    {plugInModeGray32, 32},  {plugInModeCMYKColor, 8},
    };
    const float specials[] = {0.0f, 255.0f, -3.5f, 300.0f, 127.5f, std::nanf(""), 1e30f, 64.25f};
    Probe probe;
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < 3; ++c)
            probe.pixels[i].c[c] = specials[(i * 3 + c * 5 + i / 4) % 8];
    const auto script = [](float runs) {
        return std::vector<ProbeOp>{{kProbeWriteRuns, 0, {runs, 0, 0}},
                                    Read(1),
                                    {kProbeWriteRuns, 2, {runs, 0, 0}},
                                    {kProbeWriteRuns, 5, {runs, 0, 0}},
                                    {kProbeWriteRuns, 1, {runs, 0, 0}}};
    };
    for (const auto& [mode, depth] : modes) {
        for (int32_t width : {1, 2, 7, 37}) {
            const host::Image image = host::Image::Make(width, 3, mode, depth);
            const std::string what = host::ModeName(mode, depth) + " " + std::to_string(width);
            probe.Script(script(0.0f));
            const auto pixels = host::test::RunFilter(probe.module, image);
            probe.Script(script(1.0f));
            const auto runs = host::test::RunFilter(probe.module, image);
            EXPECT_EQ(runs.output, pixels.output) << what;
            EXPECT_EQ(runs.messages, pixels.messages) << what;
            EXPECT_EQ(OutTops(runs), OutTops(pixels)) << what;
            EXPECT_EQ(InTops(runs), InTops(pixels)) << what;
        }
    }
}

// Whole images reuse the memory of released ones of the same size: what a
// new image holds must still be zeros, and a copy all the samples.
TEST(HostImages, NewImagesAreClearInReusedMemoryAndCopiesAreWhole)
{
    for (int round = 0; round < 3; ++round) {
        host::Image used = host::Image::Make(2000, 1100, plugInModeRGBColor, 8);
        std::memset(used.pixels.data(), 0xAB, used.pixels.size());
        host::Image copy = host::CopyOf(used);
        EXPECT_EQ(copy, used);
        copy.pixels.back() = 1;
        EXPECT_EQ(used.pixels.back(), 0xAB);
    }
    const host::Image fresh = host::Image::Make(2000, 1100, plugInModeRGBColor, 8);
    EXPECT_TRUE(
        std::all_of(fresh.pixels.begin(), fresh.pixels.end(), [](uint8_t v) { return v == 0; }));
}

TEST(ProgressAndCancel, PairsAndCancelKeepWhatWasWritten)
{
    Probe probe;
    probe.Script(
        {Progress(0.0f), Fill(0, 7), Progress(0.25f), Fill(1, 7), Progress(0.5f), Fill(2, 7)});
    host::test::RunOptions options;
    options.cancelAtAbortTest = 3;
    auto report = host::test::RunFilter(probe.module, Numbered(2, 4), options);
    EXPECT_EQ(report.result, -128);
    EXPECT_EQ(report.progress,
              (std::vector<std::pair<int32_t, int32_t>>{
                  {0, 1000000000}, {250000000, 1000000000}, {500000000, 1000000000}}));
    host::Image expected = Numbered(2, 4);
    std::memset(expected.Row(0), 7, 2);
    std::memset(expected.Row(1), 7, 2);
    EXPECT_EQ(report.output, expected);
}

TEST(Isolation, TwoModulesShareNoFrameworkState)
{
    fs::path copy =
        fs::temp_directory_path() / ("probe_copy_" + std::to_string(::getpid()) + ".so");
    fs::copy_file(kProbePath, copy, fs::copy_options::overwrite_existing);
    {
        Probe first;
        Probe second(copy);
        EXPECT_NE(first.primary, second.primary);
        EXPECT_NE(first.module.Symbol("gPrimaryImage"), second.module.Symbol("gPrimaryImage"));
        first.Script({Fill(0, 3)}, 5);
        second.Script({}, 0);
        EXPECT_EQ(host::test::RunFilter(first.module, Numbered(2, 2)).result, 5);
        EXPECT_EQ(second.primary->filterRecord, nullptr);
        EXPECT_EQ(host::test::RunFilter(second.module, Numbered(2, 2)).result, 0);
        EXPECT_EQ(first.primary->width, 2);
    }
    fs::remove(copy);
}

}  // namespace

namespace {

// Every module carries and exports the whole framework, also the services
// its own body never calls.
TEST(Isolation, ModulesExportTheWholeFramework)
{
    host::Module probe(kProbePath);
    for (const char* name : {"main",
                             "_KVStartupInitialization",
                             "_KVShutdownCleanup",
                             "GetOriginalDimensions",
                             "_PhotoshopAdvanceState",
                             "CreateAPointerClear",
                             "_DoProgress",
                             "_CommandPeriod",
                             "_RGB96toLAB96",
                             "_MakeNamedImage",
                             "_CStringToFSSpec",
                             "GetRefDimensions",
                             "WriteTempImageColumn",
                             "CreateTextFileToWrite",
                             "_ReadCString",
                             "_RealToString",
                             "_Num2String",
                             "WriteAHeaderTab",
                             "ReadANumber",
                             "gPrimaryImage",
                             "gRefImage",
                             "gOpenImageFileList",
                             "gOpenFileList"}) {
        EXPECT_NE(probe.Symbol(name), nullptr) << name;
    }
}

}  // namespace
