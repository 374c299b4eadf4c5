// Line kernels of the rank-based sharpening filter, compiled once per
// instruction set and chosen at run time. Each kernel is written once as a
// step over one vector of lanes and runs with full vectors over the body of
// the line and with one-lane vectors over its tail, so the tail does the
// same operations as the body. No fused multiply-adds, no reassociation.
#include "rank_kernels.h"

#include <limits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "rank_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "nan_order-inl.h"

HWY_BEFORE_NAMESPACE();
namespace rank_kernels {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using filterkit::HWY_NAMESPACE::AddInOrder;
using filterkit::HWY_NAMESPACE::MulInOrder;

using DF = hn::ScalableTag<float>;
using D1 = hn::CappedTag<float, 1>;

// Runs step(d, x) over x = begin ... end - 1, a full vector at a time, then
// one lane at a time.
template <class Step> void ForEachLane(int32_t begin, int32_t end, const Step& step)
{
    const DF d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    int32_t x = begin;
    for (; x + lanes <= end; x += lanes)
        step(d, x);
    const D1 d1;
    for (; x < end; ++x)
        step(d1, x);
}

template <bool kMaximum, class V> V Extreme(V a, V b)
{
    if constexpr (kMaximum)
        return hn::Max(a, b);
    else
        return hn::Min(a, b);
}

const float* Channels(const RGB96* pixels, int32_t x)
{
    return pixels[x].c;
}

float* Channels(RGB96* pixels, int32_t x)
{
    return pixels[x].c;
}

bool BrightnessLine(const RGB96* pixels, float* out, int32_t width)
{
    bool negativeZero = false;
    ForEachLane(0, width, [&](auto d, int32_t x) {
        const hn::RebindToUnsigned<decltype(d)> du;
        hn::Vec<decltype(d)> r, g, b;
        hn::LoadInterleaved3(d, Channels(pixels, x), r, g, b);
        const auto mean = hn::Div(AddInOrder(AddInOrder(r, g), b), hn::Set(d, 3.0f));
        hn::StoreU(mean, d, out + x);
        const auto bits = hn::BitCast(du, mean);
        negativeZero = negativeZero || !hn::AllFalse(du, hn::Eq(bits, hn::Set(du, 0x80000000u)));
    });
    return negativeZero;
}

template <bool kMaximum>
void HorizontalRunsFor(const float* source, int32_t width, int32_t widest, float* const runs[4])
{
    const float infinity = std::numeric_limits<float>::infinity();
    const float fill = kMaximum ? -infinity : infinity;
    float* p0 = runs[0];
    ForEachLane(0, width, [&](auto d, int32_t x) {
        const auto v = hn::LoadU(d, source + x);
        hn::StoreU(hn::IfThenElse(hn::IsNaN(v), hn::Set(d, fill), v), d, p0 + kRankPad + x);
    });
    for (int32_t i = 0; i < kRankPad; ++i) {
        p0[i] = p0[kRankPad];
        p0[kRankPad + width + i] = p0[kRankPad + width - 1];
    }
    // Each wider run joins two narrower ones one column to either side.
    const int32_t padded = width + 2 * kRankPad;
    if (widest < 1)
        return;
    ForEachLane(1, padded - 1, [&](auto d, int32_t i) {
        const auto left = hn::LoadU(d, p0 + i - 1);
        const auto mid = hn::LoadU(d, p0 + i);
        const auto right = hn::LoadU(d, p0 + i + 1);
        hn::StoreU(Extreme<kMaximum>(Extreme<kMaximum>(left, mid), right), d, runs[1] + i);
    });
    for (int32_t w = 2; w <= widest; ++w) {
        const float* narrower = runs[w - 1];
        ForEachLane(w, padded - w, [&](auto d, int32_t i) {
            const auto left = hn::LoadU(d, narrower + i - 1);
            const auto right = hn::LoadU(d, narrower + i + 1);
            hn::StoreU(Extreme<kMaximum>(left, right), d, runs[w] + i);
        });
    }
}

void HorizontalRuns(const float* source, int32_t width, bool maximum, int32_t widest,
                    float* const runs[4])
{
    if (maximum)
        HorizontalRunsFor<true>(source, width, widest, runs);
    else
        HorizontalRunsFor<false>(source, width, widest, runs);
}

template <bool kMaximum>
void CombineRunsFor(const float* const* rows, int32_t count, const float* centre, int32_t width,
                    float* out)
{
    ForEachLane(0, width, [&](auto d, int32_t x) {
        auto result = hn::LoadU(d, rows[0] + x);
        for (int32_t r = 1; r < count; ++r)
            result = Extreme<kMaximum>(result, hn::LoadU(d, rows[r] + x));
        const auto c = hn::LoadU(d, centre + x);
        hn::StoreU(hn::IfThenElse(hn::IsNaN(c), c, result), d, out + x);
    });
}

void CombineRuns(const float* const* rows, int32_t count, const float* centre, int32_t width,
                 bool maximum, float* out)
{
    if (maximum)
        CombineRunsFor<true>(rows, count, centre, width, out);
    else
        CombineRunsFor<false>(rows, count, centre, width, out);
}

void DetailLine(const RGB96* pixels, float* a, float* b, float* c, int32_t width)
{
    ForEachLane(0, width, [&](auto d, int32_t x) {
        hn::Vec<decltype(d)> red, green, blue;
        hn::LoadInterleaved3(d, Channels(pixels, x), red, green, blue);
        const auto g = hn::Div(AddInOrder(AddInOrder(red, green), blue), hn::Set(d, 3.0f));
        hn::StoreU(g, d, a + x);
        hn::StoreU(hn::Sub(g, hn::LoadU(d, b + x)), d, b + x);
        hn::StoreU(hn::Sub(g, hn::LoadU(d, c + x)), d, c + x);
    });
}

void SharpenLine(float* a, const float* b, const float* c, int32_t width, int32_t mode,
                 float amount)
{
    ForEachLane(0, width, [&](auto d, int32_t x) {
        const auto g = hn::LoadU(d, a + x);
        const auto bright = hn::LoadU(d, b + x);
        const auto dark = hn::LoadU(d, c + x);
        const auto factor = hn::Set(d, amount);
        hn::Vec<decltype(d)> v;
        // Where g and the scaled detail are both NaN, v is g's NaN, as in
        // the plain filter.
        if (mode == 1) {
            v = AddInOrder(g, MulInOrder(bright, factor));
        } else if (mode == 2) {
            v = AddInOrder(g, MulInOrder(dark, factor));
        } else {
            const auto share = hn::Div(g, hn::Set(d, 127.5f));
            const auto brightV = AddInOrder(
                g, MulInOrder(MulInOrder(bright, hn::Sub(hn::Set(d, 2.0f), share)), factor));
            const auto darkV = AddInOrder(g, MulInOrder(MulInOrder(share, dark), factor));
            v = hn::IfThenElse(hn::Gt(hn::Abs(bright), hn::Abs(dark)), brightV, darkV);
        }
        hn::StoreU(v, d, a + x);
    });
}

void LineExtremes(const float* v, int32_t width, float* minimum, float* maximum)
{
    const DF d;
    auto low = hn::Set(d, *minimum);
    auto high = hn::Set(d, *maximum);
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    int32_t x = 0;
    for (; x + lanes <= width; x += lanes) {
        const auto value = hn::LoadU(d, v + x);
        low = hn::IfThenElse(hn::Lt(value, low), value, low);
        high = hn::IfThenElse(hn::Gt(value, high), value, high);
    }
    HWY_ALIGN float lowLanes[hn::MaxLanes(d)];
    HWY_ALIGN float highLanes[hn::MaxLanes(d)];
    hn::Store(low, d, lowLanes);
    hn::Store(high, d, highLanes);
    float lo = *minimum;
    float hi = *maximum;
    for (int32_t i = 0; i < lanes; ++i) {
        if (lowLanes[i] < lo)
            lo = lowLanes[i];
        if (highLanes[i] > hi)
            hi = highLanes[i];
    }
    for (; x < width; ++x) {
        if (v[x] > hi)
            hi = v[x];
        if (v[x] < lo)
            lo = v[x];
    }
    *minimum = lo;
    *maximum = hi;
}

void HistogramBins(const float* v, int32_t width, float minimum, float range, int32_t* bins)
{
    ForEachLane(0, width, [&](auto d, int32_t x) {
        const hn::RebindToSigned<decltype(d)> di;
        const auto scaled =
            hn::Mul(hn::Div(hn::Sub(hn::LoadU(d, v + x), hn::Set(d, minimum)), hn::Set(d, range)),
                    hn::Set(d, 1000.0f));
        const auto top = hn::Set(d, 999.0f);
        const auto above = hn::IfThenElseZero(hn::Gt(scaled, hn::Zero(d)), scaled);
        const auto bounded = hn::IfThenElse(hn::Gt(scaled, top), top, above);
        hn::StoreU(hn::ConvertTo(di, bounded), di, bins + x);
    });
}

// The new brightness n from v: stretched when asked, then clamped to
// 0 ... 255 (a NaN stays). Clamping a clamped value changes nothing.
template <class D>
hn::Vec<D> NewBrightness(D d, hn::Vec<D> n, bool stretch, float lowValue, float stretchRange)
{
    if (stretch)
        n = hn::Div(hn::Mul(hn::Sub(n, hn::Set(d, lowValue)), hn::Set(d, 255.0f)),
                    hn::Set(d, stretchRange));
    n = hn::IfThenElse(hn::Lt(n, hn::Zero(d)), hn::Zero(d), n);
    return hn::IfThenElse(hn::Gt(n, hn::Set(d, 255.0f)), hn::Set(d, 255.0f), n);
}

void StretchLine(float* v, int32_t width, float lowValue, float stretchRange)
{
    ForEachLane(0, width, [&](auto d, int32_t x) {
        hn::StoreU(NewBrightness(d, hn::LoadU(d, v + x), true, lowValue, stretchRange), d, v + x);
    });
}

void OutputLine(RGB96* pixels, const float* v, int32_t width, bool stretch, float lowValue,
                float stretchRange)
{
    ForEachLane(0, width, [&](auto d, int32_t x) {
        const auto n = NewBrightness(d, hn::LoadU(d, v + x), stretch, lowValue, stretchRange);
        hn::Vec<decltype(d)> red, green, blue;
        float* p = Channels(pixels, x);
        hn::LoadInterleaved3(d, p, red, green, blue);
        const auto half = hn::Set(d, 0.5f);
        const auto three = hn::Set(d, 3.0f);
        const auto c1 = hn::Sub(red, green);
        const auto c2 = hn::Sub(hn::Mul(AddInOrder(red, green), half), blue);
        const auto third = hn::Div(c2, three);
        // Where n and the red difference are both NaN, the red result is
        // the difference's NaN, as in the plain filter.
        const auto newRed = AddInOrder(AddInOrder(hn::Mul(half, c1), n), third);
        const auto newGreen = AddInOrder(hn::Sub(n, hn::Mul(half, c1)), third);
        const auto newBlue = hn::Sub(n, hn::Div(hn::Mul(hn::Set(d, 2.0f), c2), three));
        hn::StoreInterleaved3(newRed, newGreen, newBlue, d, p);
    });
}

}  // namespace HWY_NAMESPACE
}  // namespace rank_kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace rank_kernels {

HWY_EXPORT(BrightnessLine);
HWY_EXPORT(HorizontalRuns);
HWY_EXPORT(CombineRuns);
HWY_EXPORT(DetailLine);
HWY_EXPORT(SharpenLine);
HWY_EXPORT(LineExtremes);
HWY_EXPORT(HistogramBins);
HWY_EXPORT(OutputLine);
HWY_EXPORT(StretchLine);

}  // namespace rank_kernels

bool BrightnessLine(const RGB96* pixels, float* out, int32_t width)
{
    return HWY_DYNAMIC_DISPATCH(rank_kernels::BrightnessLine)(pixels, out, width);
}

void HorizontalRuns(const float* source, int32_t width, bool maximum, int32_t widest,
                    float* const runs[4])
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::HorizontalRuns)(source, width, maximum, widest, runs);
}

void CombineRuns(const float* const* rows, int32_t count, const float* centre, int32_t width,
                 bool maximum, float* out)
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::CombineRuns)(rows, count, centre, width, maximum, out);
}

void DetailLine(const RGB96* pixels, float* a, float* b, float* c, int32_t width)
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::DetailLine)(pixels, a, b, c, width);
}

void SharpenLine(float* a, const float* b, const float* c, int32_t width, int32_t mode,
                 float amount)
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::SharpenLine)(a, b, c, width, mode, amount);
}

void LineExtremes(const float* v, int32_t width, float* minimum, float* maximum)
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::LineExtremes)(v, width, minimum, maximum);
}

void HistogramBins(const float* v, int32_t width, float minimum, float range, int32_t* bins)
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::HistogramBins)(v, width, minimum, range, bins);
}

void StretchLine(float* v, int32_t width, float lowValue, float stretchRange)
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::StretchLine)(v, width, lowValue, stretchRange);
}

void OutputLine(RGB96* pixels, const float* v, int32_t width, bool stretch, float lowValue,
                float stretchRange)
{
    HWY_DYNAMIC_DISPATCH(rank_kernels::OutputLine)
    (pixels, v, width, stretch, lowValue, stretchRange);
}
#endif
