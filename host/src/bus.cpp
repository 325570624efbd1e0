// The machine's bus as devices see it (see host/bus.h): device windows by
// physical address, DMA by bus address, and level-sensitive interrupt lines.
#include "host/bus.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>
#include <shared_mutex>

#include "host/verifier.h"
#include "internal.h"
#include "internal_devices.h"

namespace host {
namespace {

struct Window {
    uint64_t length;
    MmioDevice* device;
};

// Register accesses hold this shared while they call the device, so that a
// device cannot be detached in the middle of one.
host::internal::ReadMostlyMutex windowsMu;
std::map<uint64_t, Window> windows;  // by physical base
// Moves on whenever a window is detached; changed and read under windowsMu.
uint64_t detaches = 1;

// The window a thread's register access went to last, while no window has
// been detached since.
struct LastWindow {
    uint64_t detaches = 0;
    std::pair<const uint64_t, Window>* window = nullptr;
};
thread_local LastWindow lastWindow;

std::mutex linesMu;
// vector -> the sources asserting it, each once (a line has one source or a
// few: a list, which keeps its storage while the line goes up and down)
std::map<unsigned, std::vector<const void*>> lines;

void Forget() {
    {
        std::unique_lock<host::internal::ReadMostlyMutex> lock(windowsMu);
        windows.clear();
        ++detaches;
    }
    std::lock_guard<std::mutex> lock(linesMu);
    lines.clear();
}
const bool registered = (internal::RegisterResetHook(Forget), true);

bool Holds(const std::pair<const uint64_t, Window>& w, uint64_t physical, uint64_t length) {
    return internal::RangeHolds(w.first, w.second.length, physical, length);
}

// The window that holds [physical, physical + length), or null. Caller holds
// windowsMu. The window this thread used last is looked at first.
const std::pair<const uint64_t, Window>* FindWindow(uint64_t physical, uint64_t length) {
    LastWindow& last = lastWindow;
    if (last.detaches == detaches && Holds(*last.window, physical, length)) return last.window;
    auto it = windows.upper_bound(physical);
    if (it == windows.begin()) return nullptr;
    --it;
    if (!Holds(*it, physical, length)) return nullptr;
    last = {detaches, &*it};
    return &*it;
}

}  // namespace

void AttachMmio(uint64_t physicalBase, uint32_t length, MmioDevice* device) {
    std::unique_lock<host::internal::ReadMostlyMutex> lock(windowsMu);
    if (!device || length == 0) {
        FatalViolation("AttachMmio(0x%llx): a window needs a device and a length",
                       static_cast<unsigned long long>(physicalBase));
    }
    auto next = windows.lower_bound(physicalBase);
    bool overlapsNext = next != windows.end() && next->first < physicalBase + length;
    bool overlapsPrevious = next != windows.begin() &&
                            std::prev(next)->first + std::prev(next)->second.length > physicalBase;
    if (overlapsNext || overlapsPrevious) {
        FatalViolation("AttachMmio(0x%llx, %u): overlaps a window already attached",
                       static_cast<unsigned long long>(physicalBase), length);
    }
    windows[physicalBase] = Window{length, device};
}

void DetachMmio(uint64_t physicalBase) {
    std::unique_lock<host::internal::ReadMostlyMutex> lock(windowsMu);
    ++detaches;
    if (windows.erase(physicalBase) == 0) {
        Violation("DetachMmio(0x%llx): no window is attached there",
                  static_cast<unsigned long long>(physicalBase));
    }
}

bool DmaRead(uint64_t busAddress, void* to, size_t length) {
    if (internal::CopySharedMemory(busAddress, to, length, false)) return true;
    Violation("DMA read of %zu bytes at bus address 0x%llx: not inside shared memory the driver "
              "allocated and has not freed",
              length, static_cast<unsigned long long>(busAddress));
    return false;
}

bool DmaWrite(uint64_t busAddress, const void* from, size_t length) {
    if (internal::CopySharedMemory(busAddress, const_cast<void*>(from), length, true)) return true;
    Violation("DMA write of %zu bytes at bus address 0x%llx: not inside shared memory the driver "
              "allocated and has not freed",
              length, static_cast<unsigned long long>(busAddress));
    return false;
}

void SetInterruptLine(unsigned vector, const void* source, bool asserted) {
    bool raised;
    {
        std::lock_guard<std::mutex> lock(linesMu);
        auto& sources = lines[vector];
        auto it = std::find(sources.begin(), sources.end(), source);
        if (asserted && it == sources.end()) sources.push_back(source);
        if (!asserted && it != sources.end()) sources.erase(it);
        raised = !sources.empty();
    }
    // Told outside the lock: delivery asks InterruptLineAsserted under its own.
    if (raised) internal::InterruptLineRaised(vector);
}

bool InterruptLineAsserted(unsigned vector) {
    std::lock_guard<std::mutex> lock(linesMu);
    auto it = lines.find(vector);
    return it != lines.end() && !it->second.empty();
}

namespace internal {

bool MmioWindowCovers(uint64_t physical, uint64_t length) {
    std::shared_lock<host::internal::ReadMostlyMutex> lock(windowsMu);
    return FindWindow(physical, length) != nullptr;
}

bool MmioRead(uint64_t physical, unsigned width, uint32_t* value) {
    std::shared_lock<host::internal::ReadMostlyMutex> lock(windowsMu);
    auto* w = FindWindow(physical, width);
    if (!w) return false;
    auto offset = static_cast<uint32_t>(physical - w->first);
    *value = width == 1 ? w->second.device->Read8(offset) : w->second.device->Read32(offset);
    return true;
}

bool MmioWrite(uint64_t physical, unsigned width, uint32_t value) {
    std::shared_lock<host::internal::ReadMostlyMutex> lock(windowsMu);
    auto* w = FindWindow(physical, width);
    if (!w) return false;
    auto offset = static_cast<uint32_t>(physical - w->first);
    if (width == 1) {
        w->second.device->Write8(offset, static_cast<uint8_t>(value));
    } else {
        w->second.device->Write32(offset, value);
    }
    return true;
}

void ForgetMiniportDevices(NDIS_HANDLE miniport) {
    // Interrupts and timers first: nothing may run into the miniport while
    // its memory and windows go.
    ForgetMiniportInterrupts(miniport);
    ForgetMiniportTimers(miniport);
    ForgetMiniportDma(miniport);
    ForgetMiniportWindows(miniport);
}

}  // namespace internal
}  // namespace host
