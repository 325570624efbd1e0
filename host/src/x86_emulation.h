// The few x64 instructions a driver image executes that user space cannot:
// loads and stores on a device window (a plain dereference in kernel code,
// a fault here), reads of the kernel's shared data page and moves to and
// from cr8 (the IRQL). The fault handler decodes the faulting instruction,
// performs it on the device (or the emulated processor) and steps past it.
//
// The subset is what the compiler emits for register access: mov, movzx,
// movsx, and add/or/adc/sbb/and/sub/xor/cmp/test against memory, 8, 16, 32
// and 64 bits wide, with any ModRM/SIB/RIP-relative addressing or a 64-bit
// absolute address (movabs, for a constant address such as the shared
// data page's), the operand
// size, lock, REX and segment-override (cs/ds/es/ss) prefixes; and mov to or
// from cr8. Anything else is not decoded, and the fault stays a fault.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {
namespace internal {

enum class X86Op {
    Load,          // mov reg, mem
    LoadZero,      // movzx reg, mem
    LoadSigned,    // movsx / movsxd reg, mem
    Store,         // mov mem, reg
    StoreImmediate,  // mov mem, imm
    Alu,           // op mem, reg / op reg, mem / op mem, imm (see X86Alu)
    ReadCr8,       // mov reg, cr8
    WriteCr8,      // mov cr8, reg
};

enum class X86Alu { Add, Or, Adc, Sbb, And, Sub, Xor, Cmp, Test };

struct X86Instruction {
    unsigned length = 0;
    X86Op op = X86Op::Load;
    X86Alu alu = X86Alu::Add;
    unsigned width = 0;      // bytes of the memory access (or of the register moved for cr8)
    unsigned regWidth = 0;   // bytes of the register operand (movzx/movsx: the destination)
    int reg = -1;            // register operand, 0..15 (rax, rcx, ..., r15); -1 with an immediate
    bool highByte = false;   // reg names ah, ch, dh or bh (8-bit, no REX)
    bool memoryIsDestination = false;  // Alu: op mem, x (true) or op reg, mem (false)
    bool locked = false;
    int64_t immediate = 0;   // sign-extended to 64 bits
    // The memory operand: base + index * scale + displacement, or the next
    // instruction's address + displacement when ripRelative.
    int base = -1;
    int index = -1;
    unsigned scale = 1;
    int64_t displacement = 0;
    bool ripRelative = false;
    bool touchesMemory() const { return op != X86Op::ReadCr8 && op != X86Op::WriteCr8; }
};

// Decodes the instruction at `code`, of which `available` bytes may be read;
// false when it is not one of the subset (or is cut short).
bool DecodeX86(const uint8_t* code, size_t available, X86Instruction* out);

// The processor state an instruction reads and changes.
struct X86State {
    uint64_t gpr[16];  // rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8..r15
    uint64_t rip;      // the instruction's own address
    uint64_t rflags;
};

// Where the instruction's memory operand and cr8 are. Read and Write return
// false when the access cannot be made; the instruction then has no effect.
class X86Machine {
public:
    virtual bool Read(uint64_t address, unsigned width, uint64_t* value) = 0;
    virtual bool Write(uint64_t address, unsigned width, uint64_t value) = 0;
    virtual uint64_t ReadCr8() = 0;
    virtual void WriteCr8(uint64_t value) = 0;

protected:
    ~X86Machine() = default;
};

uint64_t EffectiveAddress(const X86Instruction& insn, const X86State& state);

// Performs the instruction on `state` and `machine` and advances rip past
// it; false (state unchanged) when the memory access failed.
bool ExecuteX86(const X86Instruction& insn, X86State* state, X86Machine& machine);

}  // namespace internal
}  // namespace host
