// The driver's one way to allocate memory of its own: non-paged pool with the
// tag "zr48". The memory is not zeroed.
#pragma once

#include "platform.h"

// 'z' 'r' '4' '8', lowest byte first, so the tag reads "zr48" in memory.
#define ZR48_POOL_TAG ((ULONG)('z' | ('r' << 8) | ('4' << 16) | ('8' << 24)))

PVOID AllocatePoolMemory(ULONG size);
VOID FreePoolMemory(PVOID pointer);
