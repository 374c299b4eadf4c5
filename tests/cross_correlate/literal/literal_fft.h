/*
 * The literal FFT engine, kept as the oracle for the fast one: the same
 * exported names, built into a test plug-in of its own.
 *
 * One-dimensional complex FFT in single precision: in place, radix 2,
 * decimation in time, for powers of two from 1 to 32768.
 *
 * The twiddle tables hold sin(k*pi/n) and cos(k*pi/n) for the last size
 * filled (half-period spacing); they are filled once per size and kept for
 * as long as the module stays loaded.
 */
#ifndef LITERAL_FFT_H
#define LITERAL_FFT_H

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

extern float gSinTab[kFFTMaxSize];
extern float gCosTab[kFFTMaxSize];

/* Fills sinTable[k], cosTable[k] for k = 0 .. n-1 and returns n. Only the
 * engine's own tables (or n <= 0) set the engine's table size. */
int32_t PrepareFFT(int32_t n, float* sinTable, float* cosTable);

/* Forward (forward != 0, unscaled) or inverse (forward == 0, scaled by 1/n)
 * transform of n samples in place. Sizes above 32768 or not a power of two
 * leave the data untouched. */
void FFT_CT(uint8_t forward, COMPLEX64* data, int32_t n);

#ifdef __cplusplus
}
#endif

#endif
