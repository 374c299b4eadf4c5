/*
 * Entry and run lifecycle: the module's selector dispatch, the start-up that
 * prepares the run state and the host's rectangles, and the shut-down that
 * delivers the last staged line and releases what the run opened.
 *
 * Invariant: outside a run stagingLine is null, so a second shut-down (the
 * finish selector) does nothing.
 */
#ifndef FRAMEWORK_ENTRY_H
#define FRAMEWORK_ENTRY_H

#include <stdint.h>

#include "plugin_interface/FilterRecord.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PrimaryImage {
    int32_t imageMode;          /* host mode after the greyscale remap */
    FilterRecord* filterRecord; /* the current run's record */
    int32_t width;
    int32_t height;
    int32_t depth;
    int32_t planes;       /* planes requested from the host */
    uint8_t* stagingLine; /* one line in host layout; null outside a run */
    int32_t pendingLine;  /* line number of the staged output line */
    int32_t rowBytes;     /* host row length, recorded at first access */
    Boolean firstTime;    /* true until the first line access */
    Boolean linePending;  /* stagingLine holds an undelivered line */
    int64_t stagingBytes; /* bytes the staging line can hold */
} PrimaryImage;

extern PrimaryImage gPrimaryImage;

/* Supplied by each plug-in: its filter body and its About text. */
int32_t MainUserEntry(void);
extern const char gAboutText[];

/* The selector dispatch behind the module's exported "main". */
void _FilterMain(int16_t selector, FilterRecord* filterRecord, int32_t* data, int16_t* result);

void _KVStartupInitialization(FilterRecord* filterRecord);
void _KVShutdownCleanup(void);
void GetOriginalDimensions(int32_t* width, int32_t* height);
int32_t _PhotoshopAdvanceState(void);

/* Records that data of an auxiliary image or a text file could not be read
 * or written during the run (the first such failure is shown, naming
 * `function`). Filter bodies do not look at these results, so the run's
 * result becomes that error unless the body itself failed: a result built
 * on missing data is never reported as a success. */
void _NoteDataFailure(OSErr error, const char* function);

#ifdef __cplusplus
}
#endif

#endif
