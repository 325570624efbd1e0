// Decoding and performing the x64 instructions of host/src/x86_emulation.h.
#include "x86_emulation.h"

namespace host {
namespace internal {
namespace {

constexpr uint64_t kCarry = 0x001, kParity = 0x004, kAdjust = 0x010, kZero = 0x040,
                   kSign = 0x080, kOverflow = 0x800;
constexpr uint64_t kArithmeticFlags = kCarry | kParity | kAdjust | kZero | kSign | kOverflow;

uint64_t Mask(unsigned width) { return width == 8 ? ~0ULL : (1ULL << (8 * width)) - 1; }
uint64_t SignBit(unsigned width) { return 1ULL << (8 * width - 1); }

int64_t SignExtend(uint64_t value, unsigned width) {
    if (width == 8) return static_cast<int64_t>(value);
    uint64_t sign = SignBit(width);
    value &= Mask(width);
    return static_cast<int64_t>((value ^ sign) - sign);
}

// Reads `width` bytes of little-endian immediate at code[*at].
bool Immediate(const uint8_t* code, size_t available, size_t* at, unsigned width,
               int64_t* value) {
    if (available - *at < width) return false;
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= static_cast<uint64_t>(code[*at + i]) << (8 * i);
    *at += width;
    *value = SignExtend(v, width);
    return true;
}

// Parses ModRM (and SIB and displacement) for a memory operand; false for a
// register operand (mod 3) or bytes cut short. *reg gets the reg field with
// REX.R applied.
bool MemoryOperand(const uint8_t* code, size_t available, size_t* at, uint8_t rex,
                   X86Instruction* out, int* reg) {
    if (*at >= available) return false;
    uint8_t modrm = code[(*at)++];
    unsigned mod = modrm >> 6, rm = modrm & 7;
    *reg = ((modrm >> 3) & 7) | ((rex & 4) << 1);
    if (mod == 3) return false;
    unsigned displacementWidth = mod == 1 ? 1 : mod == 2 ? 4 : 0;
    if (rm == 4) {
        if (*at >= available) return false;
        uint8_t sib = code[(*at)++];
        out->scale = 1u << (sib >> 6);
        int index = ((sib >> 3) & 7) | ((rex & 2) << 2);
        out->index = index == 4 ? -1 : index;  // rsp cannot be an index: none
        if ((sib & 7) == 5 && mod == 0) {
            out->base = -1;
            displacementWidth = 4;
        } else {
            out->base = (sib & 7) | ((rex & 1) << 3);
        }
    } else if (rm == 5 && mod == 0) {
        out->ripRelative = true;
        displacementWidth = 4;
    } else {
        out->base = static_cast<int>(rm | ((rex & 1) << 3));
    }
    if (displacementWidth) {
        return Immediate(code, available, at, displacementWidth, &out->displacement);
    }
    return true;
}

uint64_t ReadRegister(const X86State& s, int reg, unsigned width, bool high) {
    if (high) return (s.gpr[reg] >> 8) & 0xFF;
    return s.gpr[reg] & Mask(width);
}

void WriteRegister(X86State* s, int reg, unsigned width, bool high, uint64_t value) {
    uint64_t& r = s->gpr[reg];
    switch (width) {
    case 1:
        if (high) {
            r = (r & ~0xFF00ULL) | ((value & 0xFF) << 8);
        } else {
            r = (r & ~0xFFULL) | (value & 0xFF);
        }
        break;
    case 2: r = (r & ~0xFFFFULL) | (value & 0xFFFF); break;
    case 4: r = value & 0xFFFFFFFFULL; break;  // a 32-bit result clears the upper half
    default: r = value; break;
    }
}

// The result of `a op b` at `width` and the arithmetic flags it sets.
uint64_t Compute(X86Alu alu, uint64_t a, uint64_t b, bool carryIn, unsigned width,
                 uint64_t* flags) {
    uint64_t mask = Mask(width), sign = SignBit(width);
    a &= mask;
    b &= mask;
    uint64_t carry = 0, result = 0, overflow = 0;
    bool logic = false;
    switch (alu) {
    case X86Alu::Add:
    case X86Alu::Adc: {
        uint64_t c = alu == X86Alu::Adc && carryIn;
        unsigned __int128 wide = static_cast<unsigned __int128>(a) + b + c;
        result = static_cast<uint64_t>(wide) & mask;
        carry = width == 8 ? static_cast<uint64_t>(wide >> 64) : (static_cast<uint64_t>(wide) >> (8 * width)) & 1;
        overflow = (a ^ result) & (b ^ result) & sign;
        break;
    }
    case X86Alu::Sub:
    case X86Alu::Sbb:
    case X86Alu::Cmp: {
        uint64_t c = alu == X86Alu::Sbb && carryIn;
        result = (a - b - c) & mask;
        carry = static_cast<unsigned __int128>(a) < static_cast<unsigned __int128>(b) + c;
        overflow = (a ^ b) & (a ^ result) & sign;
        break;
    }
    case X86Alu::Or: result = a | b; logic = true; break;
    case X86Alu::And:
    case X86Alu::Test: result = a & b; logic = true; break;
    case X86Alu::Xor: result = a ^ b; logic = true; break;
    }
    uint64_t f = 0;
    if (!logic) {
        if (carry) f |= kCarry;
        if (overflow) f |= kOverflow;
        if ((a ^ b ^ result) & 0x10) f |= kAdjust;
    }
    if (!__builtin_parity(static_cast<unsigned>(result & 0xFF))) f |= kParity;
    if (result == 0) f |= kZero;
    if (result & sign) f |= kSign;
    *flags = f;
    return result;
}

}  // namespace

bool DecodeX86(const uint8_t* code, size_t available, X86Instruction* out) {
    X86Instruction insn;
    size_t at = 0;
    bool operandSize = false;
    for (;; ++at) {
        if (at >= available || at > 4) return false;
        uint8_t b = code[at];
        if (b == 0x66) {
            operandSize = true;
        } else if (b == 0xF0) {
            insn.locked = true;
        } else if (b == 0x2E || b == 0x3E || b == 0x26 || b == 0x36) {
            // cs/ds/es/ss overrides: flat in long mode, no effect
        } else {
            break;  // fs/gs, address size, rep: not in the subset (the opcode switch refuses them)
        }
    }
    uint8_t rex = 0;
    if ((code[at] & 0xF0) == 0x40) {
        rex = code[at++];
        if (at >= available) return false;
    }
    unsigned wide = (rex & 8) ? 8 : operandSize ? 2 : 4;  // a non-byte operation's width
    uint8_t opcode = code[at++];
    int reg = -1;
    auto memory = [&] { return MemoryOperand(code, available, &at, rex, &insn, &reg); };
    auto immediate = [&](unsigned width) {
        return Immediate(code, available, &at, width, &insn.immediate);
    };
    if (opcode == 0x0F) {
        if (at >= available) return false;
        uint8_t second = code[at++];
        if (second == 0x20 || second == 0x22) {  // mov reg, crN / mov crN, reg
            if (at >= available) return false;
            uint8_t modrm = code[at++];
            unsigned cr = ((modrm >> 3) & 7) | ((rex & 4) << 1);
            if (modrm >> 6 != 3 || cr != 8) return false;
            insn.op = second == 0x20 ? X86Op::ReadCr8 : X86Op::WriteCr8;
            insn.reg = static_cast<int>((modrm & 7) | ((rex & 1) << 3));
            insn.width = insn.regWidth = 8;
        } else if (second == 0xB6 || second == 0xB7 || second == 0xBE || second == 0xBF) {
            if (!memory()) return false;
            insn.op = second <= 0xB7 ? X86Op::LoadZero : X86Op::LoadSigned;
            insn.width = (second & 1) ? 2 : 1;
            insn.regWidth = wide;
            insn.reg = reg;
        } else {
            return false;
        }
    } else if (opcode == 0x63 && (rex & 8)) {  // movsxd reg64, mem32
        if (!memory()) return false;
        insn.op = X86Op::LoadSigned;
        insn.width = 4;
        insn.regWidth = 8;
        insn.reg = reg;
    } else if (opcode >= 0xA0 && opcode <= 0xA3) {  // movabs: al/ax/eax/rax and moffs64
        if (!Immediate(code, available, &at, 8, &insn.displacement)) return false;
        insn.op = (opcode & 2) ? X86Op::Store : X86Op::Load;
        insn.width = insn.regWidth = (opcode & 1) ? wide : 1;
        insn.reg = 0;
    } else if (opcode >= 0x88 && opcode <= 0x8B) {  // mov
        if (!memory()) return false;
        insn.op = (opcode & 2) ? X86Op::Load : X86Op::Store;
        insn.width = insn.regWidth = (opcode & 1) ? wide : 1;
        insn.reg = reg;
    } else if (opcode == 0xC6 || opcode == 0xC7) {  // mov mem, imm
        if (!memory() || reg != 0) return false;
        reg = -1;
        insn.op = X86Op::StoreImmediate;
        insn.width = opcode == 0xC6 ? 1 : wide;
        if (!immediate(insn.width == 8 ? 4 : insn.width)) return false;
    } else if (opcode < 0x40 && (opcode & 7) <= 3) {  // add/or/adc/sbb/and/sub/xor/cmp
        if (!memory()) return false;
        insn.op = X86Op::Alu;
        insn.alu = static_cast<X86Alu>(opcode >> 3);
        insn.width = insn.regWidth = (opcode & 1) ? wide : 1;
        insn.memoryIsDestination = !(opcode & 2);
        insn.reg = reg;
    } else if (opcode == 0x80 || opcode == 0x81 || opcode == 0x83) {  // group 1, immediate
        if (!memory()) return false;
        insn.op = X86Op::Alu;
        insn.alu = static_cast<X86Alu>(reg & 7);
        insn.width = opcode == 0x80 ? 1 : wide;
        insn.memoryIsDestination = true;
        unsigned immediateWidth = opcode == 0x81 ? (insn.width == 8 ? 4 : insn.width) : 1;
        if (!immediate(immediateWidth)) return false;
        reg = -1;
    } else if (opcode == 0x84 || opcode == 0x85) {  // test mem, reg
        if (!memory()) return false;
        insn.op = X86Op::Alu;
        insn.alu = X86Alu::Test;
        insn.width = insn.regWidth = opcode == 0x84 ? 1 : wide;
        insn.memoryIsDestination = true;
        insn.reg = reg;
    } else if (opcode == 0xF6 || opcode == 0xF7) {  // test mem, imm
        if (!memory() || (reg & 7) > 1) return false;
        insn.op = X86Op::Alu;
        insn.alu = X86Alu::Test;
        insn.width = opcode == 0xF6 ? 1 : wide;
        insn.memoryIsDestination = true;
        if (!immediate(insn.width == 8 ? 4 : insn.width)) return false;
        reg = -1;
    } else {
        return false;
    }
    if (insn.op == X86Op::Alu || insn.op == X86Op::StoreImmediate) insn.reg = reg;
    // An 8-bit register without REX: 4..7 are ah, ch, dh, bh.
    if (insn.reg >= 4 && insn.reg < 8 && insn.regWidth == 1 && !rex) {
        insn.highByte = true;
        insn.reg -= 4;
    }
    // lock only on a read-modify-write of memory; anywhere else it is #UD.
    if (insn.locked && !(insn.op == X86Op::Alu && insn.memoryIsDestination &&
                         insn.alu != X86Alu::Cmp && insn.alu != X86Alu::Test)) {
        return false;
    }
    insn.length = static_cast<unsigned>(at);
    *out = insn;
    return true;
}

uint64_t EffectiveAddress(const X86Instruction& insn, const X86State& state) {
    uint64_t address = static_cast<uint64_t>(insn.displacement);
    if (insn.ripRelative) return address + state.rip + insn.length;
    if (insn.base >= 0) address += state.gpr[insn.base];
    if (insn.index >= 0) address += state.gpr[insn.index] * insn.scale;
    return address;
}

bool ExecuteX86(const X86Instruction& insn, X86State* state, X86Machine& machine) {
    X86State& s = *state;
    uint64_t address = insn.touchesMemory() ? EffectiveAddress(insn, s) : 0;
    uint64_t value = 0;
    switch (insn.op) {
    case X86Op::Load:
    case X86Op::LoadZero:
    case X86Op::LoadSigned:
        if (!machine.Read(address, insn.width, &value)) return false;
        value &= Mask(insn.width);
        if (insn.op == X86Op::LoadSigned) value = static_cast<uint64_t>(SignExtend(value, insn.width));
        WriteRegister(&s, insn.reg, insn.regWidth, insn.highByte, value);
        break;
    case X86Op::Store:
        if (!machine.Write(address, insn.width, ReadRegister(s, insn.reg, insn.width, insn.highByte))) {
            return false;
        }
        break;
    case X86Op::StoreImmediate:
        if (!machine.Write(address, insn.width, static_cast<uint64_t>(insn.immediate) & Mask(insn.width))) {
            return false;
        }
        break;
    case X86Op::Alu: {
        if (!machine.Read(address, insn.width, &value)) return false;
        uint64_t other = insn.reg >= 0 ? ReadRegister(s, insn.reg, insn.width, insn.highByte)
                                       : static_cast<uint64_t>(insn.immediate);
        uint64_t a = insn.memoryIsDestination ? value : other;
        uint64_t b = insn.memoryIsDestination ? other : value;
        uint64_t flags;
        uint64_t result = Compute(insn.alu, a, b, s.rflags & kCarry, insn.width, &flags);
        if (insn.alu != X86Alu::Cmp && insn.alu != X86Alu::Test) {
            if (insn.memoryIsDestination) {
                if (!machine.Write(address, insn.width, result)) return false;
            } else {
                WriteRegister(&s, insn.reg, insn.width, insn.highByte, result);
            }
        }
        s.rflags = (s.rflags & ~kArithmeticFlags) | flags;
        break;
    }
    case X86Op::ReadCr8: WriteRegister(&s, insn.reg, 8, false, machine.ReadCr8()); break;
    case X86Op::WriteCr8: machine.WriteCr8(s.gpr[insn.reg]); break;
    }
    s.rip += insn.length;
    return true;
}

}  // namespace internal
}  // namespace host
