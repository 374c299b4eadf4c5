/*
 * The literal FFT engine, kept unchanged as the oracle of the differential
 * tests.
 *
 * FFT engine: radix-2 decimation-in-time transform, bit-reversal reordering
 * first, then butterfly stages, all in 32-bit floats.
 *
 * Invariant: gFFT_Table_Size is the size n for which gSinTab and gCosTab
 * entries 0 .. n-1 hold sin(k*pi/n) and cos(k*pi/n); entries from n upward
 * keep whatever a larger earlier size left there. A transform of size n
 * reads entries 0 .. n-1 at a stride that halves from stage to stage.
 */
#include "literal_fft.h"

#include <math.h>

#include <utility>

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

extern "C" void FFT_CT(uint8_t forward, COMPLEX64* data, int32_t n)
{
    // Sizes the tables cannot hold, or for which the stages would not give
    // a transform, leave the data alone.
    if (n > 0 && (n > kFFTMaxSize || !IsPowerOfTwo(n)))
        return;

    if (n != gFFT_Table_Size) {
        if (n > 0)
            FillTables(n, gSinTab, gCosTab);
        gFFT_Table_Size = n;
    }
    if (n <= 0)
        return;

        // Samples are numbered from 1 in the loops below: sample p is data[p-1].
#define RE(p) data[(p)-1].re
#define IM(p) data[(p)-1].im

    // Bit-reversal reordering. For n = 1 there is nothing to reorder (and the
    // counter update would never end, m staying 0 while j = 1 > m).
    if (n > 1) {
        int32_t j = 1;
        for (int32_t i = 1; i <= n; i++) {
            if (j > i) {
                std::swap(RE(i), RE(j));
                std::swap(IM(i), IM(j));
            }
            int32_t m = n >> 1;
            while (j > m) {
                j = j - m;
                m = (m + 1) >> 1;
            }
            j = j + m;
        }
    }

    // Butterfly stages: the twiddle of butterfly m in a stage of span mmax
    // has angle pi*(m-1)/mmax, read from the tables at stride n >> stage.
    int32_t mmax = 1;
    int32_t stage = 0;
    while (mmax < n) {
        int32_t step = 2 * mmax;
        int32_t stride = n >> stage;
        for (int32_t m = 1; m <= mmax; m++) {
            int32_t t = (m - 1) * stride;
            float wr = gCosTab[t];
            float wi = forward ? -gSinTab[t] : gSinTab[t];
            for (int32_t i = m; i <= n; i += step) {
                int32_t j = i + mmax;
                float tr = wr * RE(j) - wi * IM(j);
                float ti = IM(j) * wr + RE(j) * wi;
                RE(j) = RE(i) - tr;
                IM(j) = IM(i) - ti;
                RE(i) = RE(i) + tr;
                IM(i) = IM(i) + ti;
            }
        }
        stage = stage + 1;
        mmax = step;
    }
#undef RE
#undef IM

    if (!forward) {
        float scale = (float)n;
        for (int32_t p = 0; p < n; p++) {
            data[p].re = data[p].re / scale;
            data[p].im = data[p].im / scale;
        }
    }
}
