#include "platform/linux/ProcessMemory.hpp"

#include <malloc.h>

void keepFreedMemory()
{
    // Blocks below the threshold come from the heap rather than from mappings of their own,
    // and the heap is not trimmed below the trim threshold while requests come.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
}

void returnFreedMemory()
{
    malloc_trim(0);
}
