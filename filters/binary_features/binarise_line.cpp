/*
 * Line binarising in vector registers, compiled for every instruction set
 * Highway targets and chosen at run time. A pixel is a feature when its
 * channel sum ((R + G) + B), added in that order in single precision, is
 * <= 382.5 (black side) or >= 382.5 (white side): exactly the test of the
 * mean ((R + G) + B) / 3.0 against 127.5, since division by 3 is correctly
 * rounded and monotonic, 382.5 / 3 is exactly 127.5, and the floats next to
 * 382.5 divide to the floats next to 127.5. NaN fails both tests, as it
 * fails both tests of the mean.
 */
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "binarise_line.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "binary_features.h"

HWY_BEFORE_NAMESPACE();
namespace binary_features {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr float kThresholdSum = 382.5f;

template <bool kWhite>
void BinariseSide(const float* HWY_RESTRICT c, int32_t width, int32_t* HWY_RESTRICT out)
{
    const hn::ScalableTag<float> df;
    const hn::RebindToSigned<decltype(df)> di;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
    const auto threshold = hn::Set(df, kThresholdSum);
    const auto one = hn::Set(di, 1);
    int32_t x = 0;
    for (; x + lanes <= width; x += lanes) {
        hn::Vec<decltype(df)> r, g, b;
        hn::LoadInterleaved3(df, c + 3 * x, r, g, b);
        const auto sum = hn::Add(hn::Add(r, g), b);
        const auto feature = kWhite ? (sum >= threshold) : (sum <= threshold);
        hn::StoreU(hn::IfThenElseZero(hn::RebindMask(di, feature), one), di, out + x);
    }
    for (; x < width; x++) {
        float sum = (c[3 * x] + c[3 * x + 1]) + c[3 * x + 2];
        out[x] = kWhite ? sum >= kThresholdSum : sum <= kThresholdSum;
    }
}

/* Packs a test of each pixel into bit words: bit x % 64 of word x / 64,
 * the words filled whole, the bits past the last pixel 0. vectorTest(x)
 * gives the mask of pixels x ... x + lanes - 1, scalarTest(x) the bit of
 * pixel x. 64 is a multiple of every lane count, so vectors never straddle
 * words. */
template <class D, class VectorTest, class ScalarTest>
void PackBits(D d, int32_t width, uint64_t* HWY_RESTRICT words, const VectorTest& vectorTest,
              const ScalarTest& scalarTest)
{
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    uint64_t word = 0;
    int32_t x = 0;
    for (; x + lanes <= width; x += lanes) {
        uint8_t bits[8] = {};
        hn::StoreMaskBits(d, vectorTest(x), bits);
        uint64_t chunk = 0;
        for (int32_t i = 0; i < (lanes + 7) / 8; i++)
            chunk |= static_cast<uint64_t>(bits[i]) << (8 * i);
        if (lanes < 64)
            chunk &= (uint64_t{1} << lanes) - 1;
        word |= chunk << (x % 64);
        if ((x + lanes) % 64 == 0) {
            words[x / 64] = word;
            word = 0;
        }
    }
    for (; x < width; x++) {
        word |= static_cast<uint64_t>(scalarTest(x)) << (x % 64);
        if ((x + 1) % 64 == 0) {
            words[x / 64] = word;
            word = 0;
        }
    }
    if (width % 64 != 0)
        words[width / 64] = word;
}

/* The same test, one bit a pixel. */
template <bool kWhite>
void BinariseBitsSide(const float* HWY_RESTRICT c, int32_t width, uint64_t* HWY_RESTRICT words)
{
    const hn::ScalableTag<float> df;
    const auto threshold = hn::Set(df, kThresholdSum);
    PackBits(
        df, width, words,
        [&](int32_t x) {
            hn::Vec<decltype(df)> r, g, b;
            hn::LoadInterleaved3(df, c + 3 * x, r, g, b);
            const auto sum = hn::Add(hn::Add(r, g), b);
            return kWhite ? (sum >= threshold) : (sum <= threshold);
        },
        [&](int32_t x) {
            float sum = (c[3 * x] + c[3 * x + 1]) + c[3 * x + 2];
            return kWhite ? sum >= kThresholdSum : sum <= kThresholdSum;
        });
}

/* The bit test on 8-bit grey samples. Such a sample v reads as v in all
 * three channels, whose sum 3v is exact, so the feature test is v <= 127
 * on the black side and v >= 128 on the white side. At most 64 lanes, so
 * vectors never straddle words. */
template <bool kWhite>
void BinariseGreyBytesSide(const uint8_t* HWY_RESTRICT v, int32_t width,
                           uint64_t* HWY_RESTRICT words)
{
    const hn::CappedTag<uint8_t, 64> d;
    const auto edge = hn::Set(d, kWhite ? uint8_t{128} : uint8_t{127});
    PackBits(
        d, width, words,
        [&](int32_t x) {
            const auto sample = hn::LoadU(d, v + x);
            return kWhite ? hn::Eq(hn::Max(sample, edge), sample)
                          : hn::Eq(hn::Min(sample, edge), sample);
        },
        [&](int32_t x) { return kWhite ? v[x] >= 128 : v[x] <= 127; });
}

void BinariseGreyBytes(const uint8_t* HWY_RESTRICT v, int32_t width, int32_t white,
                       uint64_t* HWY_RESTRICT words)
{
    if (white)
        BinariseGreyBytesSide<true>(v, width, words);
    else
        BinariseGreyBytesSide<false>(v, width, words);
}

/* Bit x % 64 of word x / 64 set when line[x] differs from line[x - 1]. */
void LabelChanges(const int32_t* HWY_RESTRICT line, int32_t width, uint64_t* HWY_RESTRICT words)
{
    const hn::ScalableTag<int32_t> d;
    PackBits(
        d, width, words,
        [&](int32_t x) { return hn::Ne(hn::LoadU(d, line + x), hn::LoadU(d, line + x - 1)); },
        [&](int32_t x) { return line[x] != line[x - 1]; });
}

void BinariseBits(const float* HWY_RESTRICT c, int32_t width, int32_t white,
                  uint64_t* HWY_RESTRICT words)
{
    if (white)
        BinariseBitsSide<true>(c, width, words);
    else
        BinariseBitsSide<false>(c, width, words);
}

void BinariseLine(const float* HWY_RESTRICT c, int32_t width, int32_t white,
                  int32_t* HWY_RESTRICT out)
{
    if (white)
        BinariseSide<true>(c, width, out);
    else
        BinariseSide<false>(c, width, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace binary_features
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace binary_features {
HWY_EXPORT(BinariseLine);
HWY_EXPORT(BinariseBits);
HWY_EXPORT(LabelChanges);
HWY_EXPORT(BinariseGreyBytes);
}  // namespace binary_features

extern "C" void BinaryBinariseGreyBytes(const uint8_t* samples, int32_t width,
                                        BinaryFeatureSide side, uint64_t* words)
{
    HWY_DYNAMIC_DISPATCH(binary_features::BinariseGreyBytes)
    (samples, width, side == kBinaryWhiteFeature ? 1 : 0, words);
}

extern "C" void BinaryLabelChanges(const int32_t* line, int32_t width, uint64_t* words)
{
    HWY_DYNAMIC_DISPATCH(binary_features::LabelChanges)(line, width, words);
}

extern "C" void BinaryBinariseLine(const RGB96* pixels, int32_t width, BinaryFeatureSide side,
                                   int32_t* out)
{
    HWY_DYNAMIC_DISPATCH(binary_features::BinariseLine)
    (pixels[0].c, width, side == kBinaryWhiteFeature ? 1 : 0, out);
}
#endif

#if HWY_ONCE
extern "C" void BinaryBinariseBits(const RGB96* pixels, int32_t width, BinaryFeatureSide side,
                                   uint64_t* words)
{
    HWY_DYNAMIC_DISPATCH(binary_features::BinariseBits)
    (pixels[0].c, width, side == kBinaryWhiteFeature ? 1 : 0, words);
}
#endif
