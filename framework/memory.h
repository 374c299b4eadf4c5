/*
 * Memory blocks: heap allocations owned by whoever asked for them, with the
 * framework's two misuse reports (a zero-byte request, a null release).
 * Sizes are checked for overflow: a product that does not fit is refused.
 */
#ifndef FRAMEWORK_MEMORY_H
#define FRAMEWORK_MEMORY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void* CreateAPointer(int32_t count, int32_t elementSize);
void* CreateAPointerClear(uint32_t count, uint32_t elementSize);
void DisposeAPointer(void* block);

#ifdef __cplusplus
}
#endif

#endif
