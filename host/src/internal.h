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

}  // namespace internal
}  // namespace host
