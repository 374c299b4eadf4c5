/*
 * One-dimensional complex FFT in single precision: in place, radix 2,
 * decimation in time, for powers of two from 1 to 32768.
 *
 * The twiddle tables hold sin(k*pi/n) and cos(k*pi/n) for the last size
 * filled (half-period spacing); they are filled once per size and kept for
 * as long as the module stays loaded.
 *
 * FFT_CT transforms one line. FFTBatch transforms kFFTBatchLines lines at
 * once, one per SIMD lane, with each line's arithmetic exactly that of
 * FFT_CT: the same butterflies, twiddles and order of operations, so every
 * line comes out bit for bit as FFT_CT would give it.
 */
#ifndef CROSS_CORRELATE_FFT_H
#define CROSS_CORRELATE_FFT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One complex sample: real part first. Lines are n of these, interleaved. */
typedef struct COMPLEX64 {
    float re;
    float im;
} COMPLEX64;

enum { kFFTMaxSize = 32768 };

/* Lines per batch. A batch of n samples is 2 * n * kFFTBatchLines floats:
 * sample p of line l has its real part at [2 * p * kFFTBatchLines + l] and
 * its imaginary part at [(2 * p + 1) * kFFTBatchLines + l]. */
enum { kFFTBatchLines = 16 };

extern float gSinTab[kFFTMaxSize];
extern float gCosTab[kFFTMaxSize];

/* Fills sinTable[k], cosTable[k] for k = 0 .. n-1 and returns n. Only the
 * engine's own tables (or n <= 0) set the engine's table size. */
int32_t PrepareFFT(int32_t n, float* sinTable, float* cosTable);

/* Forward (forward != 0, unscaled) or inverse (forward == 0, scaled by 1/n)
 * transform of n samples in place. Sizes above 32768 or not a power of two
 * leave the data untouched. */
void FFT_CT(uint8_t forward, COMPLEX64* data, int32_t n);

/* FFT_CT on each of the kFFTBatchLines lines of a batch, in place. */
void FFTBatch(uint8_t forward, float* batch, int32_t n);

/* Batches to and from the caller's samples. Runs: `batches` consecutive
 * batches, sample p of their line l at first[p * stride + l] (the columns
 * first .. first + 16 * batches - 1 of an image of width stride). Lines:
 * sample p of line l at first[l * stride + p]. Loading with `reordered`
 * puts the samples in bit-reversed order, as the transform's first step
 * would, for FFTBatchReordered. Stores take batches in natural order. */
void FFTBatchLoadRuns(const COMPLEX64* first, size_t stride, int32_t n, int32_t batches,
                      uint8_t reordered, float* block);
void FFTBatchStoreRuns(const float* block, int32_t n, int32_t batches, COMPLEX64* first,
                       size_t stride);
void FFTBatchLoadLines(const COMPLEX64* first, size_t stride, int32_t n, uint8_t reordered,
                       float* batch);
void FFTBatchStoreLines(const float* batch, int32_t n, COMPLEX64* first, size_t stride);

/* FFTBatch on a batch whose samples are already in bit-reversed order. */
void FFTBatchReordered(uint8_t forward, float* batch, int32_t n);

/* Each sample a + ib of a batch of n samples a line times the complex
 * conjugate of the partner batch's r + is: (a*r + b*s) + i(b*r - a*s), in
 * single precision, the two products of each part added in that order. */
void FFTBatchConjugateProduct(float* batch, const float* partner, int32_t n);

#ifdef __cplusplus
}
#endif

#endif
