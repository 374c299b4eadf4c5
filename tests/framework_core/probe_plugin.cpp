// A test-only plug-in whose filter body follows a script the test puts into
// its exported globals before a run: read, write and progress steps in any
// order, so tests can observe exactly what reaches the host.
#include <algorithm>
#include <cstring>

#include "filter_framework.h"
#include "probe_script.h"

extern "C" {

const char gAboutText[] = "Probe@Test Filter";
ProbeOp gProbeOps[64];
int32_t gProbeCount = 0;
int32_t gProbeReturn = 0;
RGB96 gProbeReads[64][16];
RGB96 gProbePixels[16];
int32_t gProbeSeenWidth = -1;
int32_t gProbeSeenHeight = -1;
FilterRecord gProbeRecord;  // the record as the body found it

int32_t MainUserEntry(void)
{
    int32_t width = 0, height = 0;
    GetOriginalDimensions(&width, &height);
    gProbeSeenWidth = width;
    gProbeSeenHeight = height;
    if (gPrimaryImage.filterRecord != nullptr)
        gProbeRecord = *gPrimaryImage.filterRecord;
    RGB96* line = static_cast<RGB96*>(CreateAPointer(std::max(width, 1), 12));
    std::memset(line, 0, sizeof(RGB96) * static_cast<size_t>(std::max(width, 1)));
    int32_t result = gProbeReturn;
    for (int32_t i = 0; i < gProbeCount && i < 64; ++i) {
        const ProbeOp& op = gProbeOps[i];
        switch (op.kind) {
        case kProbeRead:
            ReadOriginalLine(op.line, line);
            std::memcpy(gProbeReads[i], line,
                        sizeof(RGB96) * static_cast<size_t>(std::min(width, 16)));
            break;
        case kProbeWriteFill:
            for (int32_t x = 0; x < width; ++x) {
                for (int c = 0; c < 3; ++c)
                    line[x].c[c] = op.value[c];
            }
            WriteResultLine(op.line, line);
            break;
        case kProbeWriteHeld:
            WriteResultLine(op.line, line);
            break;
        case kProbeWritePixels:
            for (int32_t x = 0; x < width; ++x)
                line[x] = gProbePixels[x % 16];
            WriteResultLine(op.line, line);
            break;
        case kProbeWriteRuns: {
            HostPixel colours[64];
            int32_t ends[64];
            int32_t count = 0;
            for (int32_t x = 0; x < width && count < 64; ++count) {
                const int32_t end = std::min(width, x + count % 3 + 1);
                ResultPixel(&gProbePixels[count % 16], &colours[count]);
                ends[count] = end;
                for (; x < end; ++x)
                    line[x] = gProbePixels[count % 16];
            }
            if (op.value[0] == 1.0f)
                WriteResultLineRuns(op.line, colours, ends, count);
            else
                WriteResultLine(op.line, line);
            break;
        }
        case kProbeProgress:
            if (TestAbortSetProgressBar(op.value[0])) {
                DisposeAPointer(line);
                return userCanceledErr;
            }
            break;
        case kProbeCopyAll:
            for (int32_t y = 0; y < height; ++y) {
                if (TestAbortSetProgressBar(static_cast<float>(y) / static_cast<float>(height))) {
                    DisposeAPointer(line);
                    return userCanceledErr;
                }
                ReadOriginalLine(y, line);
                WriteResultLine(y, line);
            }
            break;
        default:
            break;
        }
    }
    DisposeAPointer(line);
    return result;
}

}  // extern "C"
