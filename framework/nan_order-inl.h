// Sums and products whose NaN result does not depend on the compiler.
//
// When both operands of an addition or multiplication are NaNs, the
// processor hands back one of them, by operand position; a compiler that
// swaps the operands of a commutative vector operation (as it may for the
// two-operand instruction forms) would change which NaN comes out. These
// helpers give the first operand's NaN, quietened, as the plain
// left-to-right expression in C does on this processor, and the ordinary
// sum or product otherwise.
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
