// Pieces of the host that its own modules share.
#pragma once

#include "host/world.h"

namespace host {
namespace internal {

void ResetKernel(const WorldOptions& options);
void NoteSpinLockAcquired();
void NoteSpinLockReleased();
// Deterministic mode: runs due work until *signalled is set (true) or the
// timeout passes (false); `forever` waits without a limit.
bool DeterministicWait(const volatile LONG* signalled, Nanoseconds timeout, bool forever);
void AdvanceClockWithoutRunning(Nanoseconds d);
// Modules with state of their own register a function that ResetWorld calls
// (after the executor has stopped) to forget it.
void RegisterResetHook(void (*hook)());
// Concurrent mode: waits up to `limit` for the timer routines whose timers
// lie in [begin, begin + length) (or that `owner` holds, when length is 0)
// to return. A routine whose last act wakes the thread that frees its timer
// still has a few instructions to go; only one still running after that is
// one the driver did not wait for.
void AwaitReturningTimerRoutines(const void* begin, size_t length, const void* owner);
void RunResetHooks();

}  // namespace internal
}  // namespace host

namespace host {
namespace internal {

// What the host's modules need to know of a miniport: its adapter context
// and the handlers the driver registered. The miniport block registers these
// when it starts an adapter; interrupt delivery and the verifier look them up.
struct MiniportHandlers {
    NDIS_HANDLE adapterContext = nullptr;
    W_ISR_HANDLER isr = nullptr;
    W_HANDLE_INTERRUPT_HANDLER handleInterrupt = nullptr;
};

void RegisterMiniport(NDIS_HANDLE miniportAdapterHandle, const MiniportHandlers& handlers);
void UpdateMiniportContext(NDIS_HANDLE miniportAdapterHandle, NDIS_HANDLE adapterContext);
void UnregisterMiniport(NDIS_HANDLE miniportAdapterHandle);
// False when the handle names no registered miniport.
bool LookupMiniport(NDIS_HANDLE miniportAdapterHandle, MiniportHandlers* handlers);

}  // namespace internal
}  // namespace host
