// The FFT engine exported by the cross_correlate module, reached through its
// symbols: transforms against a direct DFT in double precision, the table
// bookkeeping across size changes, and the sizes the engine refuses.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "filters/cross_correlate/fft.h"
#include "host.h"

namespace {

using FFTProc = void (*)(uint8_t, COMPLEX64*, int32_t);
using PrepareProc = int32_t (*)(int32_t, float*, float*);

class FFTEngine : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        module_ = new host::Module(PLUGIN_DIR "/cross_correlate.so");
        fft_ = reinterpret_cast<FFTProc>(module_->Symbol("FFT_CT"));
        prepare_ = reinterpret_cast<PrepareProc>(module_->Symbol("PrepareFFT"));
        sinTab_ = static_cast<float*>(module_->Symbol("gSinTab"));
        cosTab_ = static_cast<float*>(module_->Symbol("gCosTab"));
    }
    static void TearDownTestSuite()
    {
        delete module_;
        module_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(fft_, nullptr);
        ASSERT_NE(prepare_, nullptr);
        ASSERT_NE(sinTab_, nullptr);
        ASSERT_NE(cosTab_, nullptr);
    }

    static std::vector<COMPLEX64> Random(int32_t n, uint32_t seed)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<COMPLEX64> v(static_cast<size_t>(n));
        for (auto& s : v)
            s = {u(rng), u(rng)};
        return v;
    }

    static bool SameBits(const std::vector<COMPLEX64>& a, const std::vector<COMPLEX64>& b)
    {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 8) == 0;
    }

    static host::Module* module_;
    static FFTProc fft_;
    static PrepareProc prepare_;
    static float* sinTab_;
    static float* cosTab_;
};

host::Module* FFTEngine::module_ = nullptr;
FFTProc FFTEngine::fft_ = nullptr;
PrepareProc FFTEngine::prepare_ = nullptr;
float* FFTEngine::sinTab_ = nullptr;
float* FFTEngine::cosTab_ = nullptr;

// Direct O(n^2) transform in double precision; sign -1 forward, +1 inverse
// (the inverse also divides by n).
std::vector<std::complex<double>> DirectDFT(const std::vector<COMPLEX64>& x, int sign)
{
    const size_t n = x.size();
    std::vector<std::complex<double>> roots(n);
    for (size_t k = 0; k < n; k++)
        roots[k] = std::polar(1.0, sign * 2.0 * std::numbers::pi * double(k) / double(n));
    std::vector<std::complex<double>> out(n);
    for (size_t k = 0; k < n; k++) {
        std::complex<double> sum = 0;
        for (size_t j = 0; j < n; j++)
            sum += std::complex<double>(x[j].re, x[j].im) * roots[(j * k) % n];
        out[k] = sign > 0 ? sum / double(n) : sum;
    }
    return out;
}

double MaxError(const std::vector<COMPLEX64>& got, const std::vector<std::complex<double>>& want)
{
    double err = 0;
    for (size_t i = 0; i < got.size(); i++)
        err = std::max(err, std::abs(std::complex<double>(got[i].re, got[i].im) - want[i]));
    return err;
}

float TableAngle(int32_t k, int32_t n)
{
    return static_cast<float>(k) * 3.1415927f / static_cast<float>(n);
}

TEST_F(FFTEngine, ForwardAndInverseMatchDirectTransform)
{
    for (int32_t n = 1; n <= 4096; n *= 2) {
        SCOPED_TRACE(n);
        const auto input = Random(n, static_cast<uint32_t>(n));
        // Single-precision error grows with the size of the sums.
        const double fwdTol = 4e-7 * n * (std::log2(double(n)) + 1) + 1e-7;
        const double invTol = fwdTol / n + 1e-7;

        auto forward = input;
        fft_(1, forward.data(), n);
        EXPECT_LE(MaxError(forward, DirectDFT(input, -1)), fwdTol);

        auto inverse = forward;
        fft_(0, inverse.data(), n);
        EXPECT_LE(MaxError(inverse, DirectDFT(forward, +1)), invTol);
        // The round trip gives the input back.
        std::vector<std::complex<double>> original(input.size());
        for (size_t i = 0; i < input.size(); i++)
            original[i] = {input[i].re, input[i].im};
        EXPECT_LE(MaxError(inverse, original), invTol);
    }
}

TEST_F(FFTEngine, ConstantLineTransformsToSingleSpikeAndBack)
{
    const int32_t n = 256;
    const float c = 1.5f;
    std::vector<COMPLEX64> line(n, COMPLEX64{c, 0.0f});
    fft_(1, line.data(), n);
    EXPECT_EQ(line[0].re, n * c);
    EXPECT_EQ(line[0].im, 0.0f);
    for (int32_t k = 1; k < n; k++) {
        EXPECT_EQ(line[k].re, 0.0f) << k;
        EXPECT_EQ(line[k].im, 0.0f) << k;
    }
    fft_(0, line.data(), n);
    for (int32_t k = 0; k < n; k++) {
        EXPECT_EQ(line[k].re, c) << k;
        EXPECT_EQ(line[k].im, 0.0f) << k;
    }
}

// The reordering loop never ended for a single sample.
TEST_F(FFTEngine, SizeOneTerminatesAndLeavesTheSample)
{
    COMPLEX64 one{3.25f, -7.5f};
    fft_(1, &one, 1);
    EXPECT_EQ(one.re, 3.25f);
    EXPECT_EQ(one.im, -7.5f);
    EXPECT_EQ(sinTab_[0], 0.0f);
    EXPECT_EQ(cosTab_[0], 1.0f);
    fft_(0, &one, 1);
    EXPECT_EQ(one.re, 3.25f);
    EXPECT_EQ(one.im, -7.5f);
}

TEST_F(FFTEngine, TablesRefilledOnEverySizeChange)
{
    auto a64 = Random(64, 1), a32 = Random(32, 2);
    auto first64 = a64;
    fft_(1, first64.data(), 64);
    std::vector<float> sin64(sinTab_, sinTab_ + 64), cos64(cosTab_, cosTab_ + 64);
    for (int32_t k = 0; k < 64; k++) {
        EXPECT_EQ(sinTab_[k], sinf(TableAngle(k, 64))) << k;
        EXPECT_EQ(cosTab_[k], cosf(TableAngle(k, 64))) << k;
    }

    auto r32 = a32;
    fft_(1, r32.data(), 32);
    EXPECT_LE(MaxError(r32, DirectDFT(a32, -1)), 1e-4);
    for (int32_t k = 0; k < 32; k++) {
        EXPECT_EQ(sinTab_[k], sinf(TableAngle(k, 32))) << k;
        EXPECT_EQ(cosTab_[k], cosf(TableAngle(k, 32))) << k;
    }
    // Entries beyond the new size keep what the larger size left.
    for (int32_t k = 32; k < 64; k++) {
        EXPECT_EQ(sinTab_[k], sin64[k]) << k;
        EXPECT_EQ(cosTab_[k], cos64[k]) << k;
    }

    auto again64 = a64;
    fft_(1, again64.data(), 64);
    EXPECT_TRUE(SameBits(again64, first64));
}

TEST_F(FFTEngine, NonPositiveSizeTouchesNothingAndForcesRefill)
{
    const auto input = Random(64, 3);
    auto expected = input;
    fft_(1, expected.data(), 64);

    for (int32_t n : {0, -1, -64}) {
        SCOPED_TRACE(n);
        // Spoil the tables: the next size-64 call must notice they are no
        // longer filled for 64 and fill them again.
        std::fill(sinTab_, sinTab_ + 64, 9.0f);
        std::fill(cosTab_, cosTab_ + 64, 9.0f);
        auto untouched = input;
        fft_(1, untouched.data(), n);
        fft_(0, untouched.data(), n);
        EXPECT_TRUE(SameBits(untouched, input));

        auto again = input;
        fft_(1, again.data(), 64);
        EXPECT_TRUE(SameBits(again, expected));
    }
}

TEST_F(FFTEngine, SizesBeyondTablesOrNotPowersOfTwoLeaveDataAlone)
{
    const auto input = Random(64, 4);
    auto expected = input;
    fft_(1, expected.data(), 64);
    std::vector<float> sinBefore(sinTab_, sinTab_ + 32768);

    for (int32_t n : {3, 48, 1000, 65536}) {
        SCOPED_TRACE(n);
        auto data = Random(n, 5);
        const auto copy = data;
        fft_(1, data.data(), n);
        fft_(0, data.data(), n);
        EXPECT_TRUE(SameBits(data, copy));
    }
    EXPECT_TRUE(std::equal(sinBefore.begin(), sinBefore.end(), sinTab_));
    auto again = input;
    fft_(1, again.data(), 64);
    EXPECT_TRUE(SameBits(again, expected));
}

TEST_F(FFTEngine, LargestSizeRoundTrips)
{
    const int32_t n = 32768;
    const auto input = Random(n, 6);
    auto data = input;
    fft_(1, data.data(), n);
    fft_(0, data.data(), n);
    double err = 0;
    for (int32_t i = 0; i < n; i++)
        err = std::max(err, double(std::abs(data[i].re - input[i].re)) +
                                std::abs(data[i].im - input[i].im));
    EXPECT_LE(err, 1e-5);
}

// PrepareFFT on someone else's tables used to record the size as filled, so
// the next transform of that size ran on stale engine tables.
TEST_F(FFTEngine, PrepareFFTWithOtherTablesDoesNotMarkEngineTables)
{
    auto scratch = Random(64, 7);
    fft_(1, scratch.data(), 64);

    std::vector<float> mySin(32, -1.0f), myCos(32, -1.0f);
    EXPECT_EQ(prepare_(32, mySin.data(), myCos.data()), 32);
    for (int32_t k = 0; k < 32; k++) {
        EXPECT_EQ(mySin[k], sinf(TableAngle(k, 32))) << k;
        EXPECT_EQ(myCos[k], cosf(TableAngle(k, 32))) << k;
    }

    const auto input = Random(32, 8);
    auto data = input;
    fft_(1, data.data(), 32);
    EXPECT_EQ(sinTab_[1], sinf(TableAngle(1, 32)));
    EXPECT_LE(MaxError(data, DirectDFT(input, -1)), 1e-4);
}

TEST_F(FFTEngine, PrepareFFTOnEngineTablesFillsAndMarksThem)
{
    EXPECT_EQ(prepare_(128, sinTab_, cosTab_), 128);
    for (int32_t k = 0; k < 128; k++)
        EXPECT_EQ(sinTab_[k], sinf(TableAngle(k, 128))) << k;
    const auto input = Random(128, 9);
    auto data = input;
    fft_(1, data.data(), 128);
    EXPECT_LE(MaxError(data, DirectDFT(input, -1)), 2e-4);

    EXPECT_EQ(prepare_(0, sinTab_, cosTab_), 0);
    EXPECT_EQ(prepare_(-3, sinTab_, cosTab_), -3);
}

}  // namespace
