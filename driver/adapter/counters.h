// The adapter's 64-bit counters are updated by the interrupt path on one
// processor while an information request reads them on another. On x86 a
// plain 64-bit access is two 32-bit ones, so every update and every read is
// one interlocked operation: a reader sees each counter whole.
#pragma once

#include "platform.h"

inline ULONGLONG CounterRead(volatile ULONGLONG* counter)
{
    return (ULONGLONG)_InterlockedCompareExchange64((volatile LONGLONG*)counter, 0, 0);
}

inline VOID CounterAdd(volatile ULONGLONG* counter, ULONGLONG amount)
{
    // A first guess read plainly (it may be torn on x86); the exchange
    // checks it and hands back the true value when it was wrong.
    LONGLONG seen = *(volatile LONGLONG*)counter;
    for (;;) {
        LONGLONG previous = _InterlockedCompareExchange64((volatile LONGLONG*)counter,
                                                          seen + (LONGLONG)amount, seen);
        if (previous == seen) {
            return;
        }
        seen = previous;
    }
}

inline VOID CounterIncrement(volatile ULONGLONG* counter) { CounterAdd(counter, 1); }

inline VOID CounterWrite(volatile ULONGLONG* counter, ULONGLONG value)
{
    LONGLONG seen = *(volatile LONGLONG*)counter;
    for (;;) {
        LONGLONG previous =
            _InterlockedCompareExchange64((volatile LONGLONG*)counter, (LONGLONG)value, seen);
        if (previous == seen) {
            return;
        }
        seen = previous;
    }
}
