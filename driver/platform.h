// The driver's one view of its platform: the real NDIS when built for the
// Windows kernel, the host's user-space NDIS when built for this machine.
// No other file of the driver asks which platform it is built for.
#pragma once

#if defined(ZR48_HOST)
#include "ndis.h"
#else
#include "ndis_prelude.h"
#endif

// A contract the code relies on (a lock held or not held, an IRQL): the
// kernel's ASSERT, live in a checked Windows build, and on the host a
// verifier violation that names the expression.
#define ZR48_ASSERT(expression) ASSERT(expression)

// A counted UTF-16 string constant for NDIS, from a plain string literal:
// its length excludes the terminating zero, its maximum length includes it.
#define ZR48_NDIS_STRING(text) \
    { sizeof(u"" text) - sizeof(char16_t), sizeof(u"" text), (PWSTR)(u"" text) }
