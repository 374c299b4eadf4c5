// The fast cross_correlate module against the literal one kept in
// tests/cross_correlate/literal: the FFT engine on every size, direction
// and SIMD target, and whole filter runs, compared bit for bit on random
// and hostile values (NaN of several payloads, infinities, denormals,
// signed zeros, huge and negative floats).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#ifndef HWY_COMPILE_ALL_ATTAINABLE
#define HWY_COMPILE_ALL_ATTAINABLE
#endif
#include <hwy/targets.h>

#include "filters/cross_correlate/fft.h"
#include "host.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

using FFTProc = void (*)(uint8_t, COMPLEX64*, int32_t);
using BatchProc = void (*)(uint8_t, float*, int32_t);
using LoadRunsProc = void (*)(const COMPLEX64*, size_t, int32_t, int32_t, uint8_t, float*);
using StoreRunsProc = void (*)(const float*, int32_t, int32_t, COMPLEX64*, size_t);
using LoadLinesProc = void (*)(const COMPLEX64*, size_t, int32_t, uint8_t, float*);
using StoreLinesProc = void (*)(const float*, int32_t, COMPLEX64*, size_t);

// Random floats with a share of hostile values.
class Floats {
public:
    explicit Floats(uint32_t seed) : rng_(seed) {}

    float Next()
    {
        switch (rng_() % 16) {
        case 0:
            return FromBits(0x7fc00000u | (Bits() & 0x3fffffu));  // quiet NaN
        case 1:
            return FromBits(0xffc00000u);  // the default NaN
        case 2:
            return FromBits(0x7f800001u | (Bits() & 0x3fffffu));  // signalling
        case 3:
            return rng_() % 2 ? INFINITY : -INFINITY;
        case 4:
            return FromBits(Bits() & 0x807fffffu);  // denormal or zero
        case 5:
            return rng_() % 2 ? 0.0f : -0.0f;
        case 6:
            return std::ldexp(Uniform(), static_cast<int>(rng_() % 250) - 125);
        default:
            return Uniform() * 255.0f;
        }
    }
    // Ordinary values only, on the 0..255 scale or a little beyond.
    float Tame() { return Uniform() * 300.0f; }
    float Uniform() { return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng_); }
    uint32_t Bits() { return static_cast<uint32_t>(rng_()); }
    static float FromBits(uint32_t bits) { return std::bit_cast<float>(bits); }

private:
    std::mt19937 rng_;
};

class Differential : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        fast_ = new host::Module(PLUGIN_DIR "/cross_correlate.so");
        literal_ = new host::Module(TEST_PLUGIN_DIR "/cross_correlate_literal.so");
    }
    static void TearDownTestSuite()
    {
        delete fast_;
        delete literal_;
        fast_ = literal_ = nullptr;
    }
    static FFTProc FastFFT() { return reinterpret_cast<FFTProc>(fast_->Symbol("FFT_CT")); }
    static FFTProc LiteralFFT() { return reinterpret_cast<FFTProc>(literal_->Symbol("FFT_CT")); }
    static BatchProc Batch() { return reinterpret_cast<BatchProc>(fast_->Symbol("FFTBatch")); }
    template <class Proc> static Proc Fast(const char* name)
    {
        return reinterpret_cast<Proc>(fast_->Symbol(name));
    }

    static host::Module* fast_;
    static host::Module* literal_;
};
host::Module* Differential::fast_ = nullptr;
host::Module* Differential::literal_ = nullptr;

std::vector<COMPLEX64> Line(int32_t n, Floats& floats, bool hostile)
{
    std::vector<COMPLEX64> line(static_cast<size_t>(std::max(n, 1)));
    for (auto& s : line)
        s = hostile ? COMPLEX64{floats.Next(), floats.Next()}
                    : COMPLEX64{floats.Tame(), floats.Tame()};
    return line;
}

bool SameBits(const void* a, const void* b, size_t bytes)
{
    return std::memcmp(a, b, bytes) == 0;
}

// Where two NaN meet in one add or multiply, the payload that comes out is
// that of the operand the compiled code happens to put first: the literal
// code's own payloads differ between the optimised and the sanitizer builds
// of the same source. The fast path fixes them as the optimised literal
// build gives them, so there every bit is compared; in sanitizer builds a
// NaN need only meet a NaN.
constexpr bool kExactNaN = FILTERKIT_EXACT_NAN_PAYLOADS;

bool SameFloats(const void* a, const void* b, size_t bytes)
{
    if (SameBits(a, b, bytes))
        return true;
    if (kExactNaN)
        return false;
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        float x, y;
        std::memcpy(&x, static_cast<const char*>(a) + i, 4);
        std::memcpy(&y, static_cast<const char*>(b) + i, 4);
        if (!SameBits(&x, &y, 4) && !(std::isnan(x) && std::isnan(y)))
            return false;
    }
    return true;
}

bool SameImage(const host::Image& a, const host::Image& b)
{
    if (a.width != b.width || a.height != b.height || a.mode != b.mode || a.depth != b.depth ||
        a.pixels.size() != b.pixels.size())
        return false;
    if (a.depth != 32)
        return a.pixels == b.pixels;
    return SameFloats(a.pixels.data(), b.pixels.data(), a.pixels.size());
}

// Lines packed into a batch and back.
std::vector<float> Pack(const std::vector<std::vector<COMPLEX64>>& lines, int32_t n)
{
    std::vector<float> batch(static_cast<size_t>(2 * n) * kFFTBatchLines);
    for (int32_t l = 0; l < kFFTBatchLines; l++)
        for (int32_t p = 0; p < n; p++) {
            batch[(2 * p) * kFFTBatchLines + l] = lines[l][p].re;
            batch[(2 * p + 1) * kFFTBatchLines + l] = lines[l][p].im;
        }
    return batch;
}

COMPLEX64 Unpacked(const std::vector<float>& batch, int32_t l, int32_t p)
{
    return {batch[(2 * p) * kFFTBatchLines + l], batch[(2 * p + 1) * kFFTBatchLines + l]};
}

TEST_F(Differential, SingleLineTransformMatchesLiteralOnEverySize)
{
    Floats floats(1);
    for (int32_t n = 1; n <= kFFTMaxSize; n *= 2) {
        const int rounds = n <= 1024 ? 40 : 3;
        for (int round = 0; round < rounds; round++) {
            for (uint8_t forward : {uint8_t{1}, uint8_t{0}, uint8_t{0x80}}) {
                SCOPED_TRACE(::testing::Message()
                             << "n " << n << " forward " << int(forward) << " round " << round);
                const auto input = Line(n, floats, round % 2 == 1);
                auto fast = input, literal = input;
                FastFFT()(forward, fast.data(), n);
                LiteralFFT()(forward, literal.data(), n);
                ASSERT_TRUE(SameFloats(fast.data(), literal.data(), input.size() * 8));
            }
        }
    }
}

// Every SIMD target compiled into the module (the plain one included) and
// supported here gives each lane exactly the literal single-line result.
TEST_F(Differential, BatchMatchesLiteralLineByLineOnEveryTarget)
{
    const auto targets = hwy::SupportedAndGeneratedTargets();
    ASSERT_FALSE(targets.empty());
    EXPECT_NE(std::find(targets.begin(), targets.end(), HWY_SCALAR), targets.end());
    Floats floats(2);
    for (int64_t target : targets) {
        hwy::SetSupportedTargetsForTest(target);
        for (int32_t n = 1; n <= kFFTMaxSize; n *= 2) {
            const int rounds = n <= 256 ? 6 : 1;
            for (int round = 0; round < rounds; round++) {
                for (uint8_t forward : {uint8_t{1}, uint8_t{0}}) {
                    SCOPED_TRACE(::testing::Message()
                                 << hwy::TargetName(target) << " n " << n << " forward "
                                 << int(forward) << " round " << round);
                    std::vector<std::vector<COMPLEX64>> lines;
                    for (int32_t l = 0; l < kFFTBatchLines; l++)
                        lines.push_back(Line(n, floats, (round + l) % 3 == 0));
                    auto batch = Pack(lines, n);
                    const auto in = lines;
                    Batch()(forward, batch.data(), n);
                    for (int32_t l = 0; l < kFFTBatchLines; l++) {
                        LiteralFFT()(forward, lines[l].data(), n);
                        for (int32_t p = 0; p < n; p++) {
                            const COMPLEX64 got = Unpacked(batch, l, p);
                            ASSERT_TRUE(SameFloats(&got, &lines[l][p], 8))
                                << "line " << l << " sample " << p << std::hex << " got "
                                << std::bit_cast<uint32_t>(got.re) << " "
                                << std::bit_cast<uint32_t>(got.im) << " want "
                                << std::bit_cast<uint32_t>(lines[l][p].re) << " "
                                << std::bit_cast<uint32_t>(lines[l][p].im) << " in "
                                << std::bit_cast<uint32_t>(in[l][0].re) << " "
                                << std::bit_cast<uint32_t>(in[l][0].im) << " "
                                << std::bit_cast<uint32_t>(in[l][1].re) << " "
                                << std::bit_cast<uint32_t>(in[l][1].im);
                        }
                    }
                }
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

// The loads and stores the filter uses: columns of an image (runs of
// neighbouring samples, several batches at once) and its lines, loaded in
// bit-reversed order, transformed and stored back, equal the literal
// transform of each column or line, and leave every other sample alone.
TEST_F(Differential, LoadedColumnsAndLinesMatchLiteralOnEveryTarget)
{
    const auto loadRuns = Fast<LoadRunsProc>("FFTBatchLoadRuns");
    const auto storeRuns = Fast<StoreRunsProc>("FFTBatchStoreRuns");
    const auto loadLines = Fast<LoadLinesProc>("FFTBatchLoadLines");
    const auto storeLines = Fast<StoreLinesProc>("FFTBatchStoreLines");
    const auto reordered = Fast<BatchProc>("FFTBatchReordered");
    const int32_t batches = 2, lanes = kFFTBatchLines;
    Floats floats(4);
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        for (int32_t n = 1; n <= 1024; n *= 2) {
            SCOPED_TRACE(::testing::Message() << hwy::TargetName(target) << " n " << n);
            const int32_t width = std::max(n, 3 * lanes) + 5;
            const uint8_t forward = n % 3 == 1;
            // At least 16 lines of `width`; columns 3 .. 3 + 2 * lanes - 1 of the
            // first n lines are transformed.
            std::vector<COMPLEX64> image(static_cast<size_t>(std::max(n, lanes)) * width);
            for (auto& s : image)
                s = {floats.Next(), floats.Next()};
            std::vector<float> block(static_cast<size_t>(2 * n) * lanes * batches);
            auto columns = image;
            loadRuns(columns.data() + 3, width, n, batches, 1, block.data());
            for (int32_t b = 0; b < batches; b++)
                reordered(forward, block.data() + static_cast<size_t>(2 * n) * lanes * b, n);
            storeRuns(block.data(), n, batches, columns.data() + 3, width);
            for (int32_t x = 0; x < width; x++) {
                std::vector<COMPLEX64> column(static_cast<size_t>(n)), got(column);
                for (int32_t y = 0; y < n; y++) {
                    column[y] = image[static_cast<size_t>(y) * width + x];
                    got[y] = columns[static_cast<size_t>(y) * width + x];
                }
                if (x >= 3 && x < 3 + batches * lanes)
                    LiteralFFT()(forward, column.data(), n);
                ASSERT_TRUE(SameFloats(got.data(), column.data(), column.size() * 8))
                    << "column " << x;
            }

            // Lines: 16 of them, `width` apart, natural order round trip first.
            auto lines = image;
            loadLines(lines.data(), width, n, 0, block.data());
            storeLines(block.data(), n, lines.data(), width);
            ASSERT_TRUE(SameBits(lines.data(), image.data(), image.size() * 8));
            if (n < lanes)
                continue;
            loadLines(lines.data(), width, n, 1, block.data());
            reordered(forward, block.data(), n);
            storeLines(block.data(), n, lines.data(), width);
            for (int32_t y = 0; y < n; y++) {
                std::vector<COMPLEX64> line(image.begin() + static_cast<size_t>(y) * width,
                                            image.begin() + static_cast<size_t>(y) * width + n);
                if (y < lanes)
                    LiteralFFT()(forward, line.data(), n);
                ASSERT_TRUE(SameFloats(lines.data() + static_cast<size_t>(y) * width, line.data(),
                                       line.size() * 8))
                    << "line " << y;
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

TEST_F(Differential, TablesAndRefusedSizesMatchLiteral)
{
    auto* fastSin = static_cast<float*>(fast_->Symbol("gSinTab"));
    auto* fastCos = static_cast<float*>(fast_->Symbol("gCosTab"));
    auto* literalSin = static_cast<float*>(literal_->Symbol("gSinTab"));
    auto* literalCos = static_cast<float*>(literal_->Symbol("gCosTab"));
    Floats floats(3);
    // Sizes up and down, refused ones in between: the tables keep the same
    // entries, and refused sizes leave the data alone.
    for (int32_t n : {64, 32, 0, 64, -5, 3, 48, 65536, 4096, 16, 1, 32768, 128}) {
        SCOPED_TRACE(n);
        const auto input = Line(std::max(n, 1), floats, false);
        auto fast = input, literal = input;
        FastFFT()(1, fast.data(), n);
        LiteralFFT()(1, literal.data(), n);
        ASSERT_TRUE(SameBits(fast.data(), literal.data(), input.size() * 8));
        ASSERT_TRUE(SameBits(fastSin, literalSin, kFFTMaxSize * 4));
        ASSERT_TRUE(SameBits(fastCos, literalCos, kFFTMaxSize * 4));
        if (n <= 0 || (n & (n - 1)) != 0 || n > kFFTMaxSize) {
            std::vector<float> batch(static_cast<size_t>(2 * 64) * kFFTBatchLines);
            for (auto& f : batch)
                f = floats.Next();
            const auto before = batch;
            Batch()(1, batch.data(), n);
            Batch()(0, batch.data(), n);
            EXPECT_TRUE(SameBits(batch.data(), before.data(), batch.size() * 4));
        }
    }
}

// ---- Whole runs ------------------------------------------------------------

class DifferentialRuns : public Differential {
protected:
    DifferentialRuns() : dir_(MakeDir()), prefs_(kPreferencesFolderType, dir_) {}
    ~DifferentialRuns() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static fs::path MakeDir()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        fs::path dir =
            fs::temp_directory_path() / (std::string("cross_correlate_diff_") + info->name() + "_" +
                                         std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        return dir;
    }

    // The stored reference: a 6-byte header, then RGB96 floats as given.
    void WriteReference(int32_t width, int32_t height, const std::vector<float>& samples) const
    {
        std::ofstream out(dir_ / "Reference Image.xzy", std::ios::binary);
        const uint16_t header[3] = {static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                                    12};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        out.write(reinterpret_cast<const char*>(samples.data()),
                  static_cast<std::streamsize>(samples.size() * 4));
    }

    void ExpectSameRun(const host::Image& image, const host::RunOptions& options = {})
    {
        const auto fast = host::RunFilter(*fast_, image, options);
        const auto literal = host::RunFilter(*literal_, image, options);
        EXPECT_EQ(fast.result, literal.result);
        EXPECT_EQ(fast.messages, literal.messages);
        EXPECT_EQ(fast.progress, literal.progress);
        EXPECT_EQ(fast.abortTests, literal.abortTests);
        EXPECT_EQ(fast.cancelled, literal.cancelled);
        EXPECT_TRUE(SameImage(fast.output, literal.output));
        for (const auto& entry : fs::directory_iterator(dir_))
            EXPECT_EQ(entry.path().filename(), "Reference Image.xzy");
    }

    fs::path dir_;
    host::ScopedFolder prefs_;
};

host::Image RandomImage(int32_t width, int32_t height, int16_t mode, int16_t depth, Floats& floats,
                        bool hostile)
{
    auto image = host::Image::Make(width, height, mode, depth);
    if (depth == 32) {
        for (size_t i = 0; i + 4 <= image.pixels.size(); i += 4) {
            const float v = hostile ? floats.Next() / 255.0f : floats.Tame() / 300.0f;
            std::memcpy(&image.pixels[i], &v, 4);
        }
    } else {
        for (auto& byte : image.pixels)
            byte = static_cast<uint8_t>(floats.Bits());
        if (depth == 16) {
            // 16-bit samples run from 0 to 32768.
            for (size_t i = 0; i + 2 <= image.pixels.size(); i += 2) {
                const uint16_t v = static_cast<uint16_t>(floats.Bits() % 32769);
                std::memcpy(&image.pixels[i], &v, 2);
            }
        }
    }
    return image;
}

std::vector<float> RandomReference(int32_t width, int32_t height, Floats& floats, bool hostile)
{
    std::vector<float> samples(static_cast<size_t>(width) * height * 3);
    for (auto& s : samples)
        s = hostile ? floats.Next() : floats.Tame();
    return samples;
}

struct ModeCase {
    int16_t mode, depth;
};
constexpr ModeCase kModes[] = {
    {plugInModeRGBColor, 8},  {plugInModeRGB48, 16},   {plugInModeRGB96, 32},
    {plugInModeGrayScale, 8}, {plugInModeLabColor, 8}, {plugInModeGray32, 32},
};

TEST_F(DifferentialRuns, EveryModeAndSizeGivesTheLiteralBytes)
{
    Floats floats(11);
    for (int32_t n : {32, 64, 128, 256}) {
        for (const auto& mode : kModes) {
            for (bool hostile : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " mode " << mode.mode << "/"
                                                  << mode.depth << " hostile " << hostile);
                WriteReference(n, n, RandomReference(n, n, floats, hostile && n == 64));
                ExpectSameRun(RandomImage(n, n, mode.mode, mode.depth, floats, hostile));
            }
        }
    }
}

// Signed zeros and ties: an image and a reference that give many equal
// extremes, so which one of them is kept shows in the output's zeros.
TEST_F(DifferentialRuns, EqualExtremesKeepTheFirstOne)
{
    Floats floats(12);
    const int32_t n = 64;
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE(round);
        auto image = host::Image::Make(n, n, plugInModeRGB96, 32);
        std::vector<float> ref(static_cast<size_t>(n) * n * 3, 0.0f);
        for (size_t i = 0; i < ref.size(); i += 1 + floats.Bits() % 97)
            ref[i] = floats.Bits() % 2 ? -0.0f : 1.0f;
        for (size_t i = 0; i + 4 <= image.pixels.size(); i += 4 * (1 + floats.Bits() % 89)) {
            const float v = round % 2 ? -0.0f : 1.0f / 255.0f;
            std::memcpy(&image.pixels[i], &v, 4);
        }
        WriteReference(n, n, ref);
        ExpectSameRun(image);
    }
}

TEST_F(DifferentialRuns, RefusedSizesGiveTheLiteralMessages)
{
    Floats floats(13);
    const std::pair<int32_t, int32_t> sizes[] = {{1, 64},  {64, 1},  {1, 1},  {32, 64},
                                                 {40, 40}, {16, 16}, {1, 32}, {32, 1}};
    for (const auto& [w, h] : sizes) {
        for (int ref : {0, 1, 2}) {
            SCOPED_TRACE(::testing::Message() << w << "x" << h << " ref " << ref);
            fs::remove(dir_ / "Reference Image.xzy");
            if (ref == 1)
                WriteReference(w, h, RandomReference(w, h, floats, false));
            if (ref == 2)
                WriteReference(h, w, RandomReference(h, w, floats, false));
            ExpectSameRun(RandomImage(w, h, plugInModeRGBColor, 8, floats, false));
        }
    }
}

// Temporary images in files (no memory at all) or some in memory and some
// in files: the same bytes as the literal filter in memory.
TEST_F(DifferentialRuns, ImagesInFilesGiveTheSameBytes)
{
    Floats floats(14);
    const int32_t n = 64;
    const int64_t imageBytes = int64_t{n} * n * 8;
    for (int64_t budget : {int64_t{0}, 2 * imageBytes + imageBytes / 2, 4 * imageBytes}) {
        SCOPED_TRACE(budget);
        WriteReference(n, n, RandomReference(n, n, floats, false));
        const auto image = RandomImage(n, n, plugInModeRGB96, 32, floats, true);
        const auto inMemory = host::RunFilter(*literal_, image);
        host::ScopedMemoryBudget limit(budget);
        const auto fast = host::RunFilter(*fast_, image);
        EXPECT_EQ(fast.result, 0);
        EXPECT_TRUE(SameImage(fast.output, inMemory.output));
        ExpectSameRun(image);
    }
}

TEST_F(DifferentialRuns, CancelAtEveryStageGivesTheLiteralOutcome)
{
    Floats floats(15);
    const int32_t n = 32;
    WriteReference(n, n, RandomReference(n, n, floats, false));
    const auto image = RandomImage(n, n, plugInModeRGBColor, 8, floats, false);
    for (int64_t at : {1, 2, 17, 32, 33, 34, 50, 64}) {
        SCOPED_TRACE(at);
        host::RunOptions options;
        options.cancelAtAbortTest = at;
        ExpectSameRun(image, options);
    }
}

}  // namespace
