// Memory blocks: plain heap allocations owned by the caller. A zero-byte
// request is reported and still allocated; a null release is reported and
// ignored. Sizes are computed in 64 bits and a negative or unrepresentable
// size is refused with null, so no block is ever allocated short.
#include "memory.h"

#include <cstdlib>
#include <cstring>

#include "messages.h"

extern "C" {

void* CreateAPointer(int32_t count, int32_t elementSize)
{
    if (count < 0 || elementSize < 0)
        return nullptr;
    uint64_t size = static_cast<uint64_t>(count) * static_cast<uint64_t>(elementSize);
    if (size == 0)
        ErrorMessage("Attempt to allocate a zero-length pointer. (CreateAPointer)");
    return std::malloc(static_cast<size_t>(size));
}

void* CreateAPointerClear(uint32_t count, uint32_t elementSize)
{
    uint64_t size = static_cast<uint64_t>(count) * static_cast<uint64_t>(elementSize);
    if (size == 0)
        ErrorMessage("Attempt to allocate a zero-length pointer. (CreateAPointer)");
    void* block = std::malloc(static_cast<size_t>(size));
    if (block == nullptr)
        return nullptr;
    std::memset(block, 0, static_cast<size_t>(size));
    return block;
}

void DisposeAPointer(void* block)
{
    if (block == nullptr) {
        ErrorMessage("Attempt to delete NULL pointer");
        return;
    }
    std::free(block);
}

}  // extern "C"
