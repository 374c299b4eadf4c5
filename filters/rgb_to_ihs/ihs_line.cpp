// The per-pixel conversion to intensity, hue and saturation, compiled once
// per instruction set and chosen at run time. The step over one vector runs
// with full vectors over the body of a line and one-lane vectors over its
// tail. Comparisons and selections follow the scalar order exactly: the
// largest and smallest channel are found by strict comparison from red on,
// and a tie in the hue test goes to red, then green.
#include "ihs_line.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ihs_line.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ihs_line {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// (float)((double)hue * 255.0 / 6.0), lane by lane: doubles hold half as
// many lanes, so a full vector goes through in two halves. In double,
// hue × 255 is exact (24 + 8 significant bits) and so is its sixth, hue ×
// 42.5 (24 + 7 bits): the division rounds nothing, and the one exact
// multiplication by 42.5 gives the same double for every hue, NaN and
// infinities included.
template <class D> hn::Vec<D> ScaleHueLanes(D d, hn::Vec<D> hue)
{
    const hn::Rebind<double, D> dd;
    return hn::DemoteTo(d, hn::Mul(hn::PromoteTo(dd, hue), hn::Set(dd, 42.5)));
}

template <class D> hn::Vec<D> ScaleHue(D d, hn::Vec<D> hue)
{
#if HWY_TARGET == HWY_SCALAR
    return ScaleHueLanes(d, hue);
#else
    if constexpr (hn::MaxLanes(D()) == 1) {
        return ScaleHueLanes(d, hue);
    } else {
        const hn::Half<D> dh;
        return hn::Combine(d, ScaleHueLanes(dh, hn::UpperHalf(dh, hue)),
                           ScaleHueLanes(dh, hn::LowerHalf(dh, hue)));
    }
#endif
}

template <class D> void ConvertPixels(D d, float* channels)
{
    using V = hn::Vec<D>;
    V red, green, blue;
    hn::LoadInterleaved3(d, channels, red, green, blue);
    const V k255 = hn::Set(d, 255.0f);
    const V r = hn::Div(red, k255);
    const V g = hn::Div(green, k255);
    const V b = hn::Div(blue, k255);

    V max = hn::IfThenElse(hn::Gt(g, r), g, r);
    max = hn::IfThenElse(hn::Gt(b, max), b, max);
    V min = hn::IfThenElse(hn::Lt(g, r), g, r);
    min = hn::IfThenElse(hn::Lt(b, min), b, min);
    const V lightness = hn::Mul(hn::Set(d, 0.5f), hn::Add(max, min));

    // Worked out in every lane, kept only where max != min. Each lane
    // divides only by the denominator and numerators its own branch takes:
    // the saturation's by L, the hue's by the channel that is the largest
    // (red, then green, then blue on ties). A base of 0 added to the red
    // branch's quotient changes no value, since that quotient is never -0.
    const V delta = hn::Sub(max, min);
    const V two = hn::Set(d, 2.0f);
    const V darkDenominator = hn::Add(max, min);
    const V lightDenominator = hn::Sub(hn::Sub(two, max), min);
    const V saturation = hn::Div(delta, hn::IfThenElse(hn::Le(lightness, hn::Set(d, 0.5f)),
                                                       darkDenominator, lightDenominator));
    const auto redIsMax = hn::Eq(r, max);
    const auto greenIsMax = hn::Eq(g, max);
    // Red: H = bc - gc; green: H = 2 + rc - bc; blue: H = 4 + gc - rc.
    const V base =
        hn::IfThenElse(redIsMax, hn::Zero(d), hn::IfThenElse(greenIsMax, two, hn::Set(d, 4.0f)));
    const V added = hn::IfThenElse(redIsMax, b, hn::IfThenElse(greenIsMax, r, g));
    const V taken = hn::IfThenElse(redIsMax, g, hn::IfThenElse(greenIsMax, b, r));
    const V addedPart = hn::Div(hn::Sub(max, added), delta);
    const V takenPart = hn::Div(hn::Sub(max, taken), delta);
    V hue = hn::Sub(hn::Add(base, addedPart), takenPart);
    const V six = hn::Set(d, 6.0f);
    hue = hn::IfThenElse(hn::Lt(hue, hn::Zero(d)), hn::Add(hue, six), hue);
    hue = hn::IfThenElse(hn::Ge(hue, six), hn::Sub(hue, six), hue);

    const auto coloured = hn::Ne(max, min);
    const V intensity = hn::Mul(lightness, k255);
    const V saturationOut = hn::Mul(hn::IfThenElseZero(coloured, saturation), k255);
    const V hueOut = ScaleHue(d, hn::IfThenElseZero(coloured, hue));
    const auto keep = hn::Gt(saturationOut, hn::Zero(d));
    hn::StoreInterleaved3(intensity, hn::IfThenElse(keep, hueOut, intensity),
                          hn::IfThenElse(keep, saturationOut, intensity), d, channels);
}

void ConvertLine(RGB96* pixels, int32_t width)
{
    const hn::ScalableTag<float> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    int32_t x = 0;
    for (; x + lanes <= width; x += lanes)
        ConvertPixels(d, pixels[x].c);
    const hn::CappedTag<float, 1> d1;
    for (; x < width; ++x)
        ConvertPixels(d1, pixels[x].c);
}

}  // namespace HWY_NAMESPACE
}  // namespace ihs_line
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ihs_line {
HWY_EXPORT(ConvertLine);
}  // namespace ihs_line

void ConvertLineToIHS(RGB96* pixels, int32_t width)
{
    HWY_DYNAMIC_DISPATCH(ihs_line::ConvertLine)(pixels, width);
}
#endif
