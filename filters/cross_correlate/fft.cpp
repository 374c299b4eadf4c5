/*
 * FFT engine: radix-2 decimation-in-time transform, bit-reversal reordering
 * first, then butterfly stages, all in 32-bit floats.
 *
 * Invariant: gFFT_Table_Size is the size n for which gSinTab and gCosTab
 * entries 0 .. n-1 hold sin(k*pi/n) and cos(k*pi/n); entries from n upward
 * keep whatever a larger earlier size left there. A transform of size n
 * reads entries 0 .. n-1 at a stride that halves from stage to stage.
 *
 * The batched transform runs the very same steps on kFFTBatchLines lines at
 * once, a line per SIMD lane, compiled for every instruction set the
 * library knows and chosen when first called. Its butterflies are FFT_CT's
 * operation for operation (multiplies, then one add or subtract each,
 * never fused, the same twiddles, stage after stage), so each lane's bits
 * equal FFT_CT's; where two NaN can meet, the operand whose payload wins is
 * fixed explicitly (see FirstNaN). Stages are taken two at a time, each
 * group of four samples through its four butterflies in registers, which
 * changes the order between independent butterflies only.
 */
#include "fft.h"

#include <math.h>
#include <string.h>

#include <utility>

// The plain target is compiled too, so it can be compared with the others.
#ifndef HWY_COMPILE_ALL_ATTAINABLE
#define HWY_COMPILE_ALL_ATTAINABLE
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fft.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace fft_engine {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr int32_t kLanes = kFFTBatchLines;

// The x86 rule for two NaN operands: the first one's payload (quietened)
// is the result. The transforms have always produced NaN payloads by that
// rule with their operands in a fixed order, which the compiler may
// exchange in a plain vector add or multiply; these keep the order.
template <class D, class V> HWY_INLINE V FirstNaN(D d, V a, V result)
{
    const hn::RebindToUnsigned<D> du;
    const auto quietA = hn::BitCast(d, hn::Or(hn::BitCast(du, a), hn::Set(du, 0x00400000u)));
    return hn::IfThenElse(hn::IsNaN(a), quietA, result);
}

template <class D, class V> HWY_INLINE V AddInOrder(D d, V a, V b)
{
    return FirstNaN(d, a, hn::Add(a, b));
}

template <class D, class V> HWY_INLINE V MulInOrder(D d, V a, V b)
{
    return FirstNaN(d, a, hn::Mul(a, b));
}

// One butterfly on a vector of lanes: (i, j) becomes (i + t, i - t) with
// t = w * j. With `inOrder` every add keeps its operands' order under NaN;
// without, the adds are plain, which is the same whenever no NaN can meet
// another. The twiddles are never NaN, so only sums of two data terms need
// their order kept; ti's terms go in as re*wi + im*wr.
template <bool inOrder, class D, class V>
HWY_INLINE void Butterfly(D d, V wr, V wi, V& ri, V& ii, V& rj, V& ij)
{
    const V tr = hn::Sub(hn::Mul(wr, rj), hn::Mul(wi, ij));
    const V ti = inOrder ? AddInOrder(d, hn::Mul(rj, wi), hn::Mul(ij, wr))
                         : hn::Add(hn::Mul(rj, wi), hn::Mul(ij, wr));
    rj = hn::Sub(ri, tr);
    ij = hn::Sub(ii, ti);
    ri = inOrder ? AddInOrder(d, ri, tr) : hn::Add(ri, tr);
    ii = inOrder ? AddInOrder(d, ii, ti) : hn::Add(ii, ti);
}

// The real part of sample p of a batch; its imaginary part follows kLanes on.
HWY_INLINE float* Sample(float* batch, int32_t p)
{
    return batch + static_cast<size_t>(2 * p) * kLanes;
}

template <class D>
HWY_INLINE hn::Vec<D> Twiddle(D d, uint8_t forward, const float* sinTable, int32_t t)
{
    return hn::Set(d, forward ? -sinTable[t] : sinTable[t]);
}

// One butterfly stage of the batch: span mmax, twiddles read at `stride`.
template <bool inOrder>
void Stage(uint8_t forward, float* batch, int32_t n, int32_t mmax, int32_t stride,
           const float* sinTable, const float* cosTable)
{
    const hn::CappedTag<float, kLanes> d;
    const int32_t vectorLanes = static_cast<int32_t>(hn::Lanes(d));
    for (int32_t m = 0; m < mmax; m++) {
        const auto wr = hn::Set(d, cosTable[m * stride]);
        const auto wi = Twiddle(d, forward, sinTable, m * stride);
        for (int32_t i = m; i < n; i += 2 * mmax) {
            float* pi = Sample(batch, i);
            float* pj = Sample(batch, i + mmax);
            for (int32_t k = 0; k < kLanes; k += vectorLanes) {
                auto ri = hn::LoadU(d, pi + k), ii = hn::LoadU(d, pi + kLanes + k);
                auto rj = hn::LoadU(d, pj + k), ij = hn::LoadU(d, pj + kLanes + k);
                Butterfly<inOrder>(d, wr, wi, ri, ii, rj, ij);
                hn::StoreU(rj, d, pj + k);
                hn::StoreU(ij, d, pj + kLanes + k);
                hn::StoreU(ri, d, pi + k);
                hn::StoreU(ii, d, pi + kLanes + k);
            }
        }
    }
}

// Two stages in one pass, spans h and 2h: samples i, i+h, i+2h, i+3h meet
// only one another in them, so each such group goes through its two
// butterflies of the first stage and then its two of the second while in
// registers. Every butterfly is the one Stage would do, with its twiddle.
template <bool inOrder>
void StagePair(uint8_t forward, float* batch, int32_t n, int32_t h, int32_t stride,
               const float* sinTable, const float* cosTable)
{
    const hn::CappedTag<float, kLanes> d;
    const int32_t vectorLanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t half = stride / 2;
    for (int32_t m = 0; m < h; m++) {
        const auto w1r = hn::Set(d, cosTable[m * stride]);
        const auto w1i = Twiddle(d, forward, sinTable, m * stride);
        const auto w2r = hn::Set(d, cosTable[m * half]);
        const auto w2i = Twiddle(d, forward, sinTable, m * half);
        const auto w3r = hn::Set(d, cosTable[(m + h) * half]);
        const auto w3i = Twiddle(d, forward, sinTable, (m + h) * half);
        for (int32_t i = m; i < n; i += 4 * h) {
            float* pa = Sample(batch, i);
            float* pb = Sample(batch, i + h);
            float* pc = Sample(batch, i + 2 * h);
            float* pd = Sample(batch, i + 3 * h);
            for (int32_t k = 0; k < kLanes; k += vectorLanes) {
                auto ra = hn::LoadU(d, pa + k), ia = hn::LoadU(d, pa + kLanes + k);
                auto rb = hn::LoadU(d, pb + k), ib = hn::LoadU(d, pb + kLanes + k);
                auto rc = hn::LoadU(d, pc + k), ic = hn::LoadU(d, pc + kLanes + k);
                auto rd = hn::LoadU(d, pd + k), id = hn::LoadU(d, pd + kLanes + k);
                Butterfly<inOrder>(d, w1r, w1i, ra, ia, rb, ib);
                Butterfly<inOrder>(d, w1r, w1i, rc, ic, rd, id);
                Butterfly<inOrder>(d, w2r, w2i, ra, ia, rc, ic);
                Butterfly<inOrder>(d, w3r, w3i, rb, ib, rd, id);
                hn::StoreU(ra, d, pa + k);
                hn::StoreU(ia, d, pa + kLanes + k);
                hn::StoreU(rb, d, pb + k);
                hn::StoreU(ib, d, pb + kLanes + k);
                hn::StoreU(rc, d, pc + k);
                hn::StoreU(ic, d, pc + kLanes + k);
                hn::StoreU(rd, d, pd + k);
                hn::StoreU(id, d, pd + kLanes + k);
            }
        }
    }
}

// True when some value of the batch is NaN, infinite or so large that the
// stages could overflow: each stage at most triples the largest part, and
// 15 stages stay far below the float range from 2^100.
bool MayMeetNaN(const float* batch, int32_t n)
{
    const hn::CappedTag<float, kLanes> d;
    const size_t vectorLanes = hn::Lanes(d);
    const auto limit = hn::Set(d, 1.2676506e30f);  // 2^100
    auto tame = hn::Lt(hn::Abs(hn::LoadU(d, batch)), limit);
    const size_t count = static_cast<size_t>(2 * n) * kLanes;
    for (size_t k = vectorLanes; k < count; k += vectorLanes)
        tame = hn::And(tame, hn::Lt(hn::Abs(hn::LoadU(d, batch + k)), limit));
    return !hn::AllTrue(d, tame);
}

void BatchStages(uint8_t forward, float* batch, int32_t n, const float* sinTable,
                 const float* cosTable)
{
    const bool inOrder = MayMeetNaN(batch, n);
    int32_t mmax = 1, stage = 0;
    for (; 2 * mmax < n; mmax *= 4, stage += 2) {
        if (inOrder)
            StagePair<true>(forward, batch, n, mmax, n >> stage, sinTable, cosTable);
        else
            StagePair<false>(forward, batch, n, mmax, n >> stage, sinTable, cosTable);
    }
    if (mmax < n) {
        if (inOrder)
            Stage<true>(forward, batch, n, mmax, n >> stage, sinTable, cosTable);
        else
            Stage<false>(forward, batch, n, mmax, n >> stage, sinTable, cosTable);
    }
}

// Each sample a + ib of the batch times the conjugate of the partner's
// r + is: (a*r + b*s) + i(b*r - a*s), the terms taken as s*b + r*a and
// r*b - s*a so that NaN payloads come out as they always have.
void ConjugateProduct(float* batch, const float* partner, int32_t n)
{
    const hn::CappedTag<float, kLanes> d;
    const size_t vectorLanes = hn::Lanes(d);
    for (int32_t p = 0; p < n; p++) {
        float* re = batch + static_cast<size_t>(2 * p) * kLanes;
        float* im = re + kLanes;
        const float* pr = partner + static_cast<size_t>(2 * p) * kLanes;
        const float* pi = pr + kLanes;
        for (size_t k = 0; k < kLanes; k += vectorLanes) {
            const auto a = hn::LoadU(d, re + k);
            const auto b = hn::LoadU(d, im + k);
            const auto r = hn::LoadU(d, pr + k);
            const auto s = hn::LoadU(d, pi + k);
            hn::StoreU(AddInOrder(d, MulInOrder(d, s, b), MulInOrder(d, r, a)), d, re + k);
            hn::StoreU(hn::Sub(MulInOrder(d, r, b), MulInOrder(d, s, a)), d, im + k);
        }
    }
}

// Divides every float of the batch by n.
void BatchScale(float* batch, int32_t n)
{
    const hn::CappedTag<float, kLanes> d;
    const size_t vectorLanes = hn::Lanes(d);
    const auto scale = hn::Set(d, static_cast<float>(n));
    const size_t count = static_cast<size_t>(2 * n) * kLanes;
    for (size_t k = 0; k < count; k += vectorLanes)
        hn::StoreU(hn::Div(hn::LoadU(d, batch + k), scale), d, batch + k);
}

// Runs of batches * kLanes neighbouring samples, run p at first + p *
// stride (in floats), into consecutive batches: run p becomes sample
// order[p] (p when there is no order) of each.
void LoadRuns(const float* first, size_t stride, int32_t n, int32_t batches, const int32_t* order,
              float* block)
{
    const hn::CappedTag<float, kLanes> d;
    const size_t vectorLanes = hn::Lanes(d);
    const size_t batchFloats = static_cast<size_t>(2 * n) * kLanes;
    for (int32_t p = 0; p < n; p++) {
        const float* source = first + p * stride;
        float* target = block + static_cast<size_t>(2 * (order ? order[p] : p)) * kLanes;
        for (int32_t b = 0; b < batches; b++, target += batchFloats) {
            for (size_t k = 0; k < kLanes; k += vectorLanes, source += 2 * vectorLanes) {
                hn::Vec<decltype(d)> re, im;
                hn::LoadInterleaved2(d, source, re, im);
                hn::StoreU(re, d, target + k);
                hn::StoreU(im, d, target + kLanes + k);
            }
        }
    }
}

void StoreRuns(const float* block, int32_t n, int32_t batches, float* first, size_t stride)
{
    const hn::CappedTag<float, kLanes> d;
    const size_t vectorLanes = hn::Lanes(d);
    const size_t batchFloats = static_cast<size_t>(2 * n) * kLanes;
    for (int32_t p = 0; p < n; p++) {
        float* target = first + p * stride;
        const float* source = block + static_cast<size_t>(2 * p) * kLanes;
        for (int32_t b = 0; b < batches; b++, source += batchFloats) {
            for (size_t k = 0; k < kLanes; k += vectorLanes, target += 2 * vectorLanes)
                hn::StoreInterleaved2(hn::LoadU(d, source + k), hn::LoadU(d, source + kLanes + k),
                                      d, target);
        }
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace fft_engine
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace fft_engine {
HWY_EXPORT(BatchStages);
HWY_EXPORT(BatchScale);
HWY_EXPORT(ConjugateProduct);
HWY_EXPORT(LoadRuns);
HWY_EXPORT(StoreRuns);
}  // namespace fft_engine

extern "C" {
float gSinTab[kFFTMaxSize];
float gCosTab[kFFTMaxSize];
}

static int32_t gFFT_Table_Size = 0;

static const float kPi = 3.1415927f;

static void FillTables(int32_t n, float* sinTable, float* cosTable)
{
    for (int32_t k = 0; k < n; k++) {
        // The angle in single precision, as the tables have always held it.
        float angle = (float)k * kPi / (float)n;
        sinTable[k] = sinf(angle);
        cosTable[k] = cosf(angle);
    }
}

static bool IsPowerOfTwo(int32_t n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

extern "C" int32_t PrepareFFT(int32_t n, float* sinTable, float* cosTable)
{
    bool engineTables = sinTable == gSinTab && cosTable == gCosTab;
    // The engine's tables hold kFFTMaxSize entries; a larger size would run
    // past them, so it is refused and the recorded size stays as it was.
    if (engineTables && n > kFFTMaxSize)
        return n;
    if (n > 0)
        FillTables(n, sinTable, cosTable);
    // Other tables leave the engine's untouched, so they must not be marked
    // as filled for n.
    if (engineTables || n <= 0)
        gFFT_Table_Size = n;
    return n;
}

// Sizes the tables cannot hold, or for which the stages would not give a
// transform, are refused before anything (tables included) changes.
static bool Refused(int32_t n)
{
    return n > 0 && (n > kFFTMaxSize || !IsPowerOfTwo(n));
}

// Fills the tables for n unless they hold it already; any n <= 0 is
// recorded without filling.
static void UseTablesFor(int32_t n)
{
    if (n == gFFT_Table_Size)
        return;
    if (n > 0)
        FillTables(n, gSinTab, gCosTab);
    gFFT_Table_Size = n;
}

// The index after j in bit-reversed counting over log2(n) bits: the top
// bit is added, carrying downwards. Stays 0 for n = 1.
static int32_t NextReversed(int32_t j, int32_t n)
{
    int32_t bit = n >> 1;
    while (bit > 0 && (j & bit) != 0) {
        j ^= bit;
        bit >>= 1;
    }
    return j | bit;
}

// Puts sample p where the reversal of p's log2(n) bits says.
static void ReorderLine(COMPLEX64* data, int32_t n)
{
    for (int32_t i = 0, j = 0; i < n; i++, j = NextReversed(j, n)) {
        if (j > i)
            std::swap(data[i], data[j]);
    }
}

static void ReorderBatch(float* batch, int32_t n)
{
    const size_t sampleBytes = 2 * kFFTBatchLines * sizeof(float);
    float held[2 * kFFTBatchLines];
    for (int32_t i = 0, j = 0; i < n; i++, j = NextReversed(j, n)) {
        if (j <= i)
            continue;
        float* a = batch + static_cast<size_t>(i) * 2 * kFFTBatchLines;
        float* b = batch + static_cast<size_t>(j) * 2 * kFFTBatchLines;
        memcpy(held, a, sampleBytes);
        memcpy(a, b, sampleBytes);
        memcpy(b, held, sampleBytes);
    }
}

// Butterfly stages of one line: butterfly m of a stage of span mmax turns
// by pi*m/mmax, read from the tables at stride n >> stage.
static void LineStages(uint8_t forward, COMPLEX64* data, int32_t n)
{
    for (int32_t mmax = 1, stage = 0; mmax < n; mmax *= 2, stage++) {
        const int32_t step = 2 * mmax;
        const int32_t stride = n >> stage;
        for (int32_t m = 0; m < mmax; m++) {
            const int32_t t = m * stride;
            const float wr = gCosTab[t];
            const float wi = forward ? -gSinTab[t] : gSinTab[t];
            for (int32_t i = m; i < n; i += step) {
                COMPLEX64& a = data[i];
                COMPLEX64& b = data[i + mmax];
                const float tr = wr * b.re - wi * b.im;
                const float ti = b.im * wr + b.re * wi;
                b.re = a.re - tr;
                b.im = a.im - ti;
                a.re = a.re + tr;
                a.im = a.im + ti;
            }
        }
    }
}

extern "C" void FFT_CT(uint8_t forward, COMPLEX64* data, int32_t n)
{
    if (Refused(n))
        return;
    UseTablesFor(n);
    if (n <= 0)
        return;
    ReorderLine(data, n);
    LineStages(forward, data, n);
    if (!forward) {
        const float scale = (float)n;
        for (int32_t p = 0; p < n; p++) {
            data[p].re = data[p].re / scale;
            data[p].im = data[p].im / scale;
        }
    }
}

// Where each sample goes in the bit-reversal reordering of the last size
// asked for: gReversed[p] for p = 0 .. gReversedSize - 1.
static int32_t gReversed[kFFTMaxSize];
static int32_t gReversedSize = 0;

static const int32_t* ReversalFor(int32_t n)
{
    if (n != gReversedSize) {
        for (int32_t p = 0, j = 0; p < n; p++, j = NextReversed(j, n))
            gReversed[p] = j;
        gReversedSize = n;
    }
    return gReversed;
}

static void Stages(uint8_t forward, float* batch, int32_t n)
{
    HWY_DYNAMIC_DISPATCH(fft_engine::BatchStages)(forward, batch, n, gSinTab, gCosTab);
    if (!forward)
        HWY_DYNAMIC_DISPATCH(fft_engine::BatchScale)(batch, n);
}

extern "C" void FFTBatchLoadRuns(const COMPLEX64* first, size_t stride, int32_t n, int32_t batches,
                                 uint8_t reordered, float* block)
{
    if (n <= 0 || n > kFFTMaxSize)
        return;
    const float* source = reinterpret_cast<const float*>(first);
    const int32_t* order = reordered ? ReversalFor(n) : nullptr;
    HWY_DYNAMIC_DISPATCH(fft_engine::LoadRuns)(source, 2 * stride, n, batches, order, block);
}

extern "C" void FFTBatchStoreRuns(const float* block, int32_t n, int32_t batches, COMPLEX64* first,
                                  size_t stride)
{
    if (n <= 0)
        return;
    float* target = reinterpret_cast<float*>(first);
    HWY_DYNAMIC_DISPATCH(fft_engine::StoreRuns)(block, n, batches, target, 2 * stride);
}

// A transpose, in tiles of kFFTBatchLines samples that stay in the cache,
// then the reordering: writing each sample straight to its reversed place
// would send a tile's samples to places n/16 apart, all in one cache set.
extern "C" void FFTBatchLoadLines(const COMPLEX64* first, size_t stride, int32_t n,
                                  uint8_t reordered, float* batch)
{
    if (n <= 0 || n > kFFTMaxSize)
        return;
    const int32_t tile = n < kFFTBatchLines ? n : kFFTBatchLines;
    for (int32_t p0 = 0; p0 < n; p0 += tile) {
        for (int32_t l = 0; l < kFFTBatchLines; l++) {
            const COMPLEX64* source = first + l * stride + p0;
            float* target = batch + static_cast<size_t>(2 * p0) * kFFTBatchLines + l;
            for (int32_t p = 0; p < tile; p++) {
                target[2 * p * kFFTBatchLines] = source[p].re;
                target[(2 * p + 1) * kFFTBatchLines] = source[p].im;
            }
        }
    }
    if (reordered)
        ReorderBatch(batch, n);
}

extern "C" void FFTBatchStoreLines(const float* batch, int32_t n, COMPLEX64* first, size_t stride)
{
    const int32_t tile = n < kFFTBatchLines ? n : kFFTBatchLines;
    for (int32_t p0 = 0; p0 < n; p0 += tile) {
        for (int32_t l = 0; l < kFFTBatchLines; l++) {
            COMPLEX64* target = first + l * stride + p0;
            const float* source = batch + static_cast<size_t>(2 * p0) * kFFTBatchLines + l;
            for (int32_t p = 0; p < tile; p++) {
                target[p].re = source[2 * p * kFFTBatchLines];
                target[p].im = source[(2 * p + 1) * kFFTBatchLines];
            }
        }
    }
}

extern "C" void FFTBatchReordered(uint8_t forward, float* batch, int32_t n)
{
    if (Refused(n))
        return;
    UseTablesFor(n);
    if (n > 0)
        Stages(forward, batch, n);
}

extern "C" void FFTBatch(uint8_t forward, float* batch, int32_t n)
{
    if (Refused(n))
        return;
    UseTablesFor(n);
    if (n <= 0)
        return;
    ReorderBatch(batch, n);
    Stages(forward, batch, n);
}

extern "C" void FFTBatchConjugateProduct(float* batch, const float* partner, int32_t n)
{
    if (n > 0)
        HWY_DYNAMIC_DISPATCH(fft_engine::ConjugateProduct)(batch, partner, n);
}

#endif  // HWY_ONCE
