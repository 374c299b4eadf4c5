// Sums and products whose NaN result does not depend on the compiler.
//
// When both operands of an addition or multiplication are NaNs, the
// processor hands back one of them, by operand position, and the language
// leaves open which; a compiler that swaps the operands of a commutative
// operation (as it may for the two-operand instruction forms) changes which
// NaN comes out. These helpers fix it: the result is the first argument's
// NaN, quietened, when that is a NaN, and the ordinary sum or product
// otherwise. The kernels pass first the operand whose NaN the plain
// per-pixel filters give, so every instruction set gives the same bytes.
//
// Included once per instruction set by the line kernels (Highway's
// per-target include guard).
#if defined(FRAMEWORK_NAN_ORDER_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef FRAMEWORK_NAN_ORDER_INL_H_
#undef FRAMEWORK_NAN_ORDER_INL_H_
#else
#define FRAMEWORK_NAN_ORDER_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace filterkit {
namespace HWY_NAMESPACE {

// a + b, or a's NaN when a is a NaN.
template <class V> HWY_INLINE V AddInOrder(V a, V b)
{
    namespace hn = hwy::HWY_NAMESPACE;
    return hn::IfThenElse(hn::IsNaN(a), hn::Add(a, a), hn::Add(a, b));
}

// a × b, or a's NaN when a is a NaN.
template <class V> HWY_INLINE V MulInOrder(V a, V b)
{
    namespace hn = hwy::HWY_NAMESPACE;
    return hn::IfThenElse(hn::IsNaN(a), hn::Add(a, a), hn::Mul(a, b));
}

}  // namespace HWY_NAMESPACE
}  // namespace filterkit
HWY_AFTER_NAMESPACE();

#endif
