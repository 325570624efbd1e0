// What a driver image does that only kernel code may, emulated where it
// faults (see x86_emulation.h):
// - loads and stores on a device window: the window is reserved with no
//   access (iospace.cpp), so the access faults; the instruction is decoded,
//   performed on the device through the bus as the register accessors do,
//   and stepped over;
// - reads of the kernel's shared data page at 0xFFFFF78000000000 (the
//   system, interrupt and tick times that KeQuerySystemTime and friends read
//   inline), answered from the host's clock;
// - mov to and from cr8, the IRQL: a privileged instruction, so a general
//   protection fault; answered from and applied to the emulated processor.
// Every case is handled on the faulting thread, synchronously, in the state
// the instruction saw: deterministic under the virtual clock and as correct
// as the accessor calls of the driver built from source in the concurrent
// mode (each thread has its own processor and IRQL).
//
// A fault of image code that is none of these nor special pool's (a bad
// pointer, a privileged instruction other than cr8) is a fatal verifier
// violation that names the image offset and the function it is in. The
// SIGSEGV handler that asks for all this is faults.cpp's.
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "host/image.h"
#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_devices.h"
#include "internal_faults.h"
#include "internal_image.h"
#include "x86_emulation.h"

namespace host {
namespace internal {
namespace {

// The kernel's shared data page (KUSER_SHARED_DATA) on x64, and the times
// in it: KSYSTEM_TIME records (LowPart, High1Time, High2Time) in 100 ns.
constexpr uint64_t kSharedData = 0xFFFFF78000000000ULL;
constexpr uint64_t kSharedDataSize = 0x1000;
constexpr uint32_t kTickCountMultiplierAt = 0x004;
constexpr uint32_t kInterruptTimeAt = 0x008;
constexpr uint32_t kSystemTimeAt = 0x014;
constexpr uint32_t kTickCountAt = 0x320;
// 15.625 ms clock ticks, as the multiplier Windows keeps: ticks * multiplier
// >> 24 gives milliseconds.
constexpr int64_t kTickNs = 15625000;
constexpr uint32_t kTickCountMultiplier = 0x0FA00000;

std::atomic<uint64_t> emulated{0};
std::atomic<bool> outsideImages{false};

void PutSystemTime(uint8_t* page, uint32_t at, uint64_t value) {
    uint32_t low = static_cast<uint32_t>(value), high = static_cast<uint32_t>(value >> 32);
    memcpy(page + at, &low, 4);
    memcpy(page + at + 4, &high, 4);  // High1Time
    memcpy(page + at + 8, &high, 4);  // High2Time: equal, so a reader sees a whole value
}

// The bytes [offset, offset + width) of the shared data page now.
uint64_t SharedDataBytes(uint64_t offset, unsigned width) {
    uint8_t page[kSharedDataSize] = {};
    Nanoseconds now = Now();
    uint32_t multiplier = kTickCountMultiplier;
    memcpy(page + kTickCountMultiplierAt, &multiplier, 4);
    PutSystemTime(page, kInterruptTimeAt, static_cast<uint64_t>(now / 100));
    PutSystemTime(page, kSystemTimeAt, static_cast<uint64_t>(Options().bootSystemTime + now / 100));
    PutSystemTime(page, kTickCountAt, static_cast<uint64_t>(now / kTickNs));
    uint64_t value = 0;
    memcpy(&value, page + offset, width);
    return value;
}

// The machine an image's faulting instruction runs on: device windows, the
// shared data page, the IRQL.
class KernelMachine final : public X86Machine {
public:
    explicit KernelMachine(uintptr_t rip) : rip_(rip) {}

    bool Read(uint64_t address, unsigned width, uint64_t* value) override {
        if (address - kSharedData < kSharedDataSize &&
            width <= kSharedDataSize - (address - kSharedData)) {
            *value = SharedDataBytes(address - kSharedData, width);
            return true;
        }
        uint64_t physical;
        if (!WindowPhysicalAddress(address, width, &physical)) return false;
        uint32_t data = width == 1 ? 0xFF : 0xFFFFFFFF;  // a bus read nobody answers
        if (DeviceWidth(address, width, "read") && !MmioRead(physical, width, &data)) {
            Violation("%s: read of %u bytes at %p: no device answers at physical address 0x%llx "
                      "(detached?)",
                      Where().c_str(), width, reinterpret_cast<void*>(address),
                      static_cast<unsigned long long>(physical));
        }
        *value = data;
        return true;
    }

    bool Write(uint64_t address, unsigned width, uint64_t value) override {
        if (address - kSharedData < kSharedDataSize) {
            Violation("%s: write to the kernel's shared data page at %p, which is read-only",
                      Where().c_str(), reinterpret_cast<void*>(address));
            return true;  // dropped, as nothing else could be done with it
        }
        uint64_t physical;
        if (!WindowPhysicalAddress(address, width, &physical)) return false;
        if (DeviceWidth(address, width, "write") &&
            !MmioWrite(physical, width, static_cast<uint32_t>(value))) {
            Violation("%s: write of %u bytes at %p: no device answers at physical address "
                      "0x%llx (detached?)",
                      Where().c_str(), width, reinterpret_cast<void*>(address),
                      static_cast<unsigned long long>(physical));
        }
        return true;
    }

    uint64_t ReadCr8() override { return CurrentIrql(); }

    void WriteCr8(uint64_t value) override {
        if (value > 15) {
            Violation("%s: cr8 set to %llu; IRQLs run from 0 to 15", Where().c_str(),
                      static_cast<unsigned long long>(value));
            return;
        }
        auto irql = static_cast<KIRQL>(value);
        if (irql >= CurrentIrql()) {
            KfRaiseIrql(irql);
        } else {
            KfLowerIrql(irql);
        }
    }

private:
    // Device registers are 8 or 32 bits wide, the 32-bit ones aligned; an
    // access of another shape reaches no register (a read gives all ones).
    bool DeviceWidth(uint64_t address, unsigned width, const char* what) {
        if (width == 1 || (width == 4 && address % 4 == 0)) return true;
        Violation("%s: %u-byte %s at %p in a device window: the registers take 8-bit and "
                  "aligned 32-bit accesses only",
                  Where().c_str(), width, what, reinterpret_cast<void*>(address));
        return false;
    }

    std::string Where() const {
        std::string where = DescribeImageAddress(rip_);
        return where.empty() ? "code outside a driver image" : where;
    }

    uintptr_t rip_;
};

// ucontext's general registers in the processor's numbering (rax, rcx, rdx,
// rbx, rsp, rbp, rsi, rdi, r8..r15).
constexpr int kRegisterSlots[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                    REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                    REG_R12, REG_R13, REG_R14, REG_R15};

// Performs the faulting instruction when it is one the kernel may make and
// the host emulates; false when it is not.
bool Emulate(ucontext_t* context, uintptr_t rip, size_t available) {
    X86Instruction insn;
    if (!DecodeX86(reinterpret_cast<const uint8_t*>(rip), available, &insn)) return false;
    greg_t* gregs = context->uc_mcontext.gregs;
    X86State state;
    for (int r = 0; r < 16; ++r) state.gpr[r] = static_cast<uint64_t>(gregs[kRegisterSlots[r]]);
    state.rip = rip;
    state.rflags = static_cast<uint64_t>(gregs[REG_EFL]);
    KernelMachine machine(rip);
    if (!ExecuteX86(insn, &state, machine)) return false;
    for (int r = 0; r < 16; ++r) gregs[kRegisterSlots[r]] = static_cast<greg_t>(state.gpr[r]);
    gregs[REG_RIP] = static_cast<greg_t>(state.rip);
    gregs[REG_EFL] = static_cast<greg_t>(state.rflags);
    emulated.fetch_add(1, std::memory_order_relaxed);
    return true;
}

}  // namespace

bool TakeEmulatedFault(void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    auto rip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    size_t available = ImageCodeAvailable(rip);
    if (available) return Emulate(uc, rip, available);
    return outsideImages.load() && Emulate(uc, rip, 15);
}

void ReportImageFault(const siginfo_t* info, const void* context) {
    auto* uc = static_cast<const ucontext_t*>(context);
    auto rip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    if (!ImageCodeAvailable(rip)) return;
    FatalViolation("the driver image faulted at %s: %s at %p, which is neither a device "
                   "window, the kernel's shared data, a special pool block nor anything else "
                   "the host emulates",
                   DescribeImageAddress(rip).c_str(),
                   info->si_code == SI_KERNEL ? "a privileged instruction or an access"
                                              : "an access",
                   info->si_addr);
}

void InstallImageFaultHandler() { InstallFaultHandler(); }

void EmulateOutsideImages(bool on) {
    InstallImageFaultHandler();
    outsideImages.store(on);
}

uint64_t EmulatedInstructions() { return emulated.load(std::memory_order_relaxed); }

}  // namespace internal
}  // namespace host
