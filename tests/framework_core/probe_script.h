// The script of the test-only probe plug-in, shared by the plug-in and the
// tests that drive it.
#pragma once

#include <stdint.h>

enum ProbeKind {
    kProbeRead = 1,         // read line; the first pixels land in gProbeReads
    kProbeWriteFill = 2,    // write line with every pixel = value
    kProbeWriteHeld = 3,    // write line from the buffer as it is (last read, converted)
    kProbeWritePixels = 4,  // write line with pixel x = gProbePixels[x % 16]
    kProbeProgress = 5,     // progress value[0]; a cancel returns -128
    kProbeCopyAll = 6,      // read and write back every line, testing for cancel
    // write line as runs: run i has colour gProbePixels[i % 16] and is
    // (i % 3) + 1 pixels long; value[0] = 1 writes it with
    // WriteResultLineRuns, 0 the same pixels with WriteResultLine
    kProbeWriteRuns = 7,
};

struct ProbeOp {
    int32_t kind;
    int32_t line;
    float value[3];
};
