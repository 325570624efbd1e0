// Pieces of the host that its own modules share.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "host/world.h"

namespace host {
namespace internal {

// A moment's pause in a busy wait: lets the other hardware thread of the
// core run, and costs no system call.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Whether an access of `length` bytes at `address` lies inside the region of
// `size` bytes at `base` (a device window, a mapping, a DMA block), with no
// overflow for an address below the base or a length past the end.
inline bool RangeHolds(uint64_t base, uint64_t size, uint64_t address, uint64_t length) {
    uint64_t offset = address - base;
    return offset < size && length <= size - offset;
}

// A reader-writer lock for what every frame looks up and only set-up and
// tear-down change (the packet registry, device windows and mappings, DMA
// blocks, the ledger, the adapters by handle). A reader counts itself in a
// slot of its own thread's, so readers on different processors never write
// the same cache line, as they would with a std::shared_mutex; a writer
// raises its flag and waits until every slot is empty. A thread must not take
// it shared again while it holds it (a waiting writer would never get in).
class ReadMostlyMutex {
public:
    void lock_shared() {
        std::atomic<int>& mine = slots_[SlotOfThisThread()].readers;
        for (;;) {
            mine.fetch_add(1);
            if (!writing_.load()) return;
            mine.fetch_sub(1);
            WaitWhile([&] { return writing_.load(); });
        }
    }
    void unlock_shared() { slots_[SlotOfThisThread()].readers.fetch_sub(1); }
    void lock() {
        writers_.lock();
        writing_.store(true);
        for (auto& slot : slots_) WaitWhile([&] { return slot.readers.load() != 0; });
    }
    void unlock() {
        writing_.store(false);
        writers_.unlock();
    }

private:
    static constexpr unsigned kSlots = 16;
    struct alignas(64) Slot {
        std::atomic<int> readers{0};
    };
    static unsigned SlotOfThisThread() {
        static std::atomic<unsigned> next{0};
        thread_local unsigned slot = next.fetch_add(1) % kSlots;
        return slot;
    }
    template <typename Busy>
    static void WaitWhile(Busy busy) {
        for (unsigned spins = 1; busy(); ++spins) {
            if (spins % 64 == 0) std::this_thread::yield(); else CpuRelax();
        }
    }

    Slot slots_[kSlots];
    alignas(64) std::atomic<bool> writing_{false};
    std::mutex writers_;
};

// At most this many processors: one bit of the world's busy mask each.
constexpr unsigned kMaxProcessors = 64;

void ResetKernel(const WorldOptions& options);
void NoteSpinLockAcquired();
void NoteSpinLockReleased();
// Deterministic mode: runs due work until *signalled is set (true) or the
// timeout passes (false); `forever` waits without a limit.
bool DeterministicWait(const volatile LONG* signalled, Nanoseconds timeout, bool forever);
void AdvanceClockWithoutRunning(Nanoseconds d);
// Queues periodic work of NDIS's own (its wake-up timer), as ScheduleAt
// does; a deterministic NdisWaitEvent without a time-out that finds only
// such work left knows it would wait for ever.
WorkId ScheduleBackgroundAt(Nanoseconds at, WorkFn work, const char* what);
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

// A spin lock of the host's own, such as a protocol's: taken as
// NdisAcquireSpinLock takes one (at DISPATCH_LEVEL, on a processor, in the
// lock-order check, where it is named `name`), but not in the ledger, and
// re-entrant on the thread that holds it (a protocol knows when it is
// called back from below its own call).
struct HostSpinLock {
    NDIS_SPIN_LOCK lock{};
    std::atomic<const void*> owner{nullptr};  // the holding thread's mark
    int depth = 0;                            // changed by the holder only
    KIRQL oldIrql = PASSIVE_LEVEL;
};
void InitHostSpinLock(HostSpinLock* lock, const std::string& name);
void DestroyHostSpinLock(HostSpinLock* lock);
void AcquireHostSpinLock(HostSpinLock* lock);
void ReleaseHostSpinLock(HostSpinLock* lock);

}  // namespace internal
}  // namespace host

namespace host {
namespace internal {

// What interrupt delivery needs to know of a miniport: its adapter context
// and the interrupt handlers the driver registered. Read from the registry
// of miniports (miniport_registry.cpp), where the miniport block registers
// an adapter when it starts initializing it.
struct MiniportHandlers {
    NDIS_HANDLE adapterContext = nullptr;
    W_ISR_HANDLER isr = nullptr;
    W_HANDLE_INTERRUPT_HANDLER handleInterrupt = nullptr;
};

// False when the handle names no miniport that takes interrupts now (from
// the call of its MiniportInitialize until its MiniportHalt has returned).
bool LookupMiniport(NDIS_HANDLE miniportAdapterHandle, MiniportHandlers* handlers);

}  // namespace internal
}  // namespace host
