// The decoder and executor of the instructions a driver image makes on its
// device window, its IRQL and the kernel's shared data: the encodings the
// assembler and compiler give for every width, both directions, each
// addressing form; the flags the arithmetic leaves; what it must refuse.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../../host/src/x86_emulation.h"

namespace {

using host::internal::DecodeX86;
using host::internal::ExecuteX86;
using host::internal::X86Alu;
using host::internal::X86Instruction;
using host::internal::X86Op;
using host::internal::X86State;

constexpr int RAX = 0, RCX = 1, RDX = 2, RBX = 3, RSP = 4, RSI = 6, RDI = 7, R8 = 8, R9 = 9,
              R10 = 10, R11 = 11, R12 = 12, R13 = 13, R14 = 14, R15 = 15, NONE = -1;

struct Encoding {
    const char* text;  // as objdump prints it
    std::vector<uint8_t> bytes;
    X86Op op;
    unsigned width;
    unsigned regWidth;
    int reg;
    bool highByte;
    int base, index;
    unsigned scale;
    int64_t displacement;
    int64_t immediate;
};

// From GNU as (the same encodings GCC emits for the driver: the first group
// is copied from the x64 zr48.sys).
const Encoding kEncodings[] = {
    // text                        bytes                                op                   w  rw reg   hi     base  index sc disp  imm
    {"movzbl 0x1(%rdx),%eax",      {0x0f, 0xb6, 0x42, 0x01},            X86Op::LoadZero,     1, 4, RAX, false, RDX, NONE, 1, 1, 0},
    {"mov %al,0x1(%rdx)",          {0x88, 0x42, 0x01},                  X86Op::Store,        1, 1, RAX, false, RDX, NONE, 1, 1, 0},
    {"movb $0x0,0x7(%rax)",        {0xc6, 0x40, 0x07, 0x00},            X86Op::StoreImmediate, 1, 0, NONE, false, RAX, NONE, 1, 7, 0},
    {"movb $0xcc,0x2(%rax)",       {0xc6, 0x40, 0x02, 0xcc},            X86Op::StoreImmediate, 1, 0, NONE, false, RAX, NONE, 1, 2, -0x34},
    {"mov (%rax),%r9",             {0x4c, 0x8b, 0x08},                  X86Op::Load,         8, 8, R9,  false, RAX, NONE, 1, 0, 0},
    {"mov %cr8,%rax",              {0x44, 0x0f, 0x20, 0xc0},            X86Op::ReadCr8,      8, 8, RAX, false, NONE, NONE, 1, 0, 0},
    // loads, every width
    {"movzbl (%rdx),%eax",         {0x0f, 0xb6, 0x02},                  X86Op::LoadZero,     1, 4, RAX, false, RDX, NONE, 1, 0, 0},
    {"movzwl 0x2(%rcx),%r8d",      {0x44, 0x0f, 0xb7, 0x41, 0x02},      X86Op::LoadZero,     2, 4, R8,  false, RCX, NONE, 1, 2, 0},
    {"movsbl -0x4(%rsi,%rdi,4),%ebx", {0x0f, 0xbe, 0x5c, 0xbe, 0xfc},   X86Op::LoadSigned,   1, 4, RBX, false, RSI, RDI, 4, -4, 0},
    {"movswq 0x10(%rax),%r10",     {0x4c, 0x0f, 0xbf, 0x50, 0x10},      X86Op::LoadSigned,   2, 8, R10, false, RAX, NONE, 1, 16, 0},
    {"movslq (%r11),%rcx",         {0x49, 0x63, 0x0b},                  X86Op::LoadSigned,   4, 8, RCX, false, R11, NONE, 1, 0, 0},
    {"mov (%rax),%al",             {0x8a, 0x00},                        X86Op::Load,         1, 1, RAX, false, RAX, NONE, 1, 0, 0},
    {"mov 0x7(%rbx),%ah",          {0x8a, 0x63, 0x07},                  X86Op::Load,         1, 1, RAX, true,  RBX, NONE, 1, 7, 0},
    {"mov 0x7(%rbx),%sil",         {0x40, 0x8a, 0x73, 0x07},            X86Op::Load,         1, 1, RSI, false, RBX, NONE, 1, 7, 0},
    {"mov 0x2(%rdx),%r9w",         {0x66, 0x44, 0x8b, 0x4a, 0x02},      X86Op::Load,         2, 2, R9,  false, RDX, NONE, 1, 2, 0},
    {"mov 0x100(%rdx),%eax",       {0x8b, 0x82, 0x00, 0x01, 0x00, 0x00}, X86Op::Load,        4, 4, RAX, false, RDX, NONE, 1, 0x100, 0},
    {"mov 0x8(,%rcx,8),%eax",      {0x8b, 0x04, 0xcd, 0x08, 0, 0, 0},   X86Op::Load,         4, 4, RAX, false, NONE, RCX, 8, 8, 0},
    {"mov (%r12),%eax",            {0x41, 0x8b, 0x04, 0x24},            X86Op::Load,         4, 4, RAX, false, R12, NONE, 1, 0, 0},
    {"mov 0x0(%r13),%eax",         {0x41, 0x8b, 0x45, 0x00},            X86Op::Load,         4, 4, RAX, false, R13, NONE, 1, 0, 0},
    {"mov %ds:(%rax),%eax",        {0x3e, 0x8b, 0x00},                  X86Op::Load,         4, 4, RAX, false, RAX, NONE, 1, 0, 0},
    {"movabs 0xfffff78000000320,%eax", {0xa1, 0x20, 0x03, 0, 0, 0x80, 0xf7, 0xff, 0xff}, X86Op::Load, 4, 4, RAX, false, NONE, NONE, 1, -0x87FFFFFFCE0LL, 0},
    {"movabs %al,0x1122334455667788", {0xa2, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}, X86Op::Store, 1, 1, RAX, false, NONE, NONE, 1, 0x1122334455667788LL, 0},
    // stores, every width
    {"mov %bh,(%rcx)",             {0x88, 0x39},                        X86Op::Store,        1, 1, RBX, true,  RCX, NONE, 1, 0, 0},
    {"mov %r8b,0x3(%rax)",         {0x44, 0x88, 0x40, 0x03},            X86Op::Store,        1, 1, R8,  false, RAX, NONE, 1, 3, 0},
    {"mov %dx,0x6(%rdi)",          {0x66, 0x89, 0x57, 0x06},            X86Op::Store,        2, 2, RDX, false, RDI, NONE, 1, 6, 0},
    {"mov %edx,(%rax)",            {0x89, 0x10},                        X86Op::Store,        4, 4, RDX, false, RAX, NONE, 1, 0, 0},
    {"mov %r15d,0x7c(%rbx,%r14,2)", {0x46, 0x89, 0x7c, 0x73, 0x7c},     X86Op::Store,        4, 4, R15, false, RBX, R14, 2, 0x7c, 0},
    {"mov %rcx,0x8(%rsp)",         {0x48, 0x89, 0x4c, 0x24, 0x08},      X86Op::Store,        8, 8, RCX, false, RSP, NONE, 1, 8, 0},
    {"movw $0x1234,0x4(%rax)",     {0x66, 0xc7, 0x40, 0x04, 0x34, 0x12}, X86Op::StoreImmediate, 2, 0, NONE, false, RAX, NONE, 1, 4, 0x1234},
    {"movl $0x80000000,0x20(%r9)", {0x41, 0xc7, 0x41, 0x20, 0, 0, 0, 0x80}, X86Op::StoreImmediate, 4, 0, NONE, false, R9, NONE, 1, 0x20, -0x80000000LL},
    {"movq $-1,(%rax)",            {0x48, 0xc7, 0x00, 0xff, 0xff, 0xff, 0xff}, X86Op::StoreImmediate, 8, 0, NONE, false, RAX, NONE, 1, 0, -1},
    // read-modify-write and compares
    {"orb $0x8,0x1(%rdx)",         {0x80, 0x4a, 0x01, 0x08},            X86Op::Alu,          1, 0, NONE, false, RDX, NONE, 1, 1, 8},
    {"andb $0xf7,0x1(%rdx)",       {0x80, 0x62, 0x01, 0xf7},            X86Op::Alu,          1, 0, NONE, false, RDX, NONE, 1, 1, -9},
    {"testb $0x40,0x3(%rax)",      {0xf6, 0x40, 0x03, 0x40},            X86Op::Alu,          1, 0, NONE, false, RAX, NONE, 1, 3, 0x40},
    {"testl $0x100,(%rax)",        {0xf7, 0x00, 0x00, 0x01, 0x00, 0x00}, X86Op::Alu,         4, 0, NONE, false, RAX, NONE, 1, 0, 0x100},
    {"test %ah,(%rdx)",            {0x84, 0x22},                        X86Op::Alu,          1, 1, RAX, true,  RDX, NONE, 1, 0, 0},
    {"cmpb $0x5,0x4(%rcx)",        {0x80, 0x79, 0x04, 0x05},            X86Op::Alu,          1, 0, NONE, false, RCX, NONE, 1, 4, 5},
    {"cmp (%rdx),%r10d",           {0x44, 0x3b, 0x12},                  X86Op::Alu,          4, 4, R10, false, RDX, NONE, 1, 0, 0},
    {"cmpw $0x1,0x2(%rax)",        {0x66, 0x83, 0x78, 0x02, 0x01},      X86Op::Alu,          2, 0, NONE, false, RAX, NONE, 1, 2, 1},
    {"lock orl $0x1,0xc(%rsp)",    {0xf0, 0x83, 0x4c, 0x24, 0x0c, 0x01}, X86Op::Alu,         4, 0, NONE, false, RSP, NONE, 1, 12, 1},
    {"lock addl $0x1,0x218(%rbx)", {0xf0, 0x83, 0x83, 0x18, 0x02, 0, 0, 0x01}, X86Op::Alu,   4, 0, NONE, false, RBX, NONE, 1, 0x218, 1},
    {"orq $0x10,(%rax)",           {0x48, 0x83, 0x08, 0x10},            X86Op::Alu,          8, 0, NONE, false, RAX, NONE, 1, 0, 0x10},
    {"sbb %dl,(%rax)",             {0x18, 0x10},                        X86Op::Alu,          1, 1, RDX, false, RAX, NONE, 1, 0, 0},
    // cr8, the IRQL
    {"mov %rcx,%cr8",              {0x44, 0x0f, 0x22, 0xc1},            X86Op::WriteCr8,     8, 8, RCX, false, NONE, NONE, 1, 0, 0},
    {"mov %cr8,%r9",               {0x45, 0x0f, 0x20, 0xc1},            X86Op::ReadCr8,      8, 8, R9,  false, NONE, NONE, 1, 0, 0},
};

TEST(X86Decoding, EveryEncodingOfTheTable) {
    for (const Encoding& e : kEncodings) {
        SCOPED_TRACE(e.text);
        X86Instruction insn;
        ASSERT_TRUE(DecodeX86(e.bytes.data(), e.bytes.size(), &insn));
        EXPECT_EQ(insn.length, e.bytes.size());
        EXPECT_EQ(insn.op, e.op);
        EXPECT_EQ(insn.width, e.width);
        if (e.regWidth) {
            EXPECT_EQ(insn.regWidth, e.regWidth);
        }
        EXPECT_EQ(insn.reg, e.reg);
        EXPECT_EQ(insn.highByte, e.highByte);
        if (insn.touchesMemory()) {
            EXPECT_EQ(insn.base, e.base);
            EXPECT_EQ(insn.index, e.index);
            if (e.index != NONE) {
                EXPECT_EQ(insn.scale, e.scale);
            }
            EXPECT_EQ(insn.displacement, e.displacement);
        }
        EXPECT_EQ(insn.immediate, e.immediate);
        // Cut anywhere short, it is not decoded.
        for (size_t n = 0; n < e.bytes.size(); ++n) {
            EXPECT_FALSE(DecodeX86(e.bytes.data(), n, &insn)) << "cut to " << n << " bytes";
        }
    }
}

TEST(X86Decoding, TheAluOperationsByOpcode) {
    struct {
        std::vector<uint8_t> bytes;
        X86Alu alu;
        bool memoryIsDestination;
    } cases[] = {
        {{0x03, 0x08}, X86Alu::Add, false},        // add (%rax),%ecx
        {{0x28, 0x08}, X86Alu::Sub, true},         // sub %cl,(%rax)
        {{0x80, 0x36, 0x55}, X86Alu::Xor, true},   // xorb $0x55,(%rsi)
        {{0x83, 0x10, 0x00}, X86Alu::Adc, true},   // adcl $0x0,(%rax)
        {{0x18, 0x10}, X86Alu::Sbb, true},         // sbb %dl,(%rax)
        {{0x83, 0x20, 0xf7}, X86Alu::And, true},   // andl $0xfffffff7,(%rax)
        {{0x39, 0x02}, X86Alu::Cmp, true},         // cmp %eax,(%rdx)
        {{0x84, 0x02}, X86Alu::Test, true},        // test %al,(%rdx)
        {{0xf0, 0x83, 0x2f, 0x01}, X86Alu::Sub, true},  // lock subl $0x1,(%rdi)
    };
    for (auto& c : cases) {
        X86Instruction insn;
        ASSERT_TRUE(DecodeX86(c.bytes.data(), c.bytes.size(), &insn));
        EXPECT_EQ(insn.alu, c.alu);
        EXPECT_EQ(insn.memoryIsDestination, c.memoryIsDestination);
    }
}

TEST(X86Decoding, RipRelativeAddressesFromTheNextInstruction) {
    const uint8_t bytes[] = {0x8b, 0x15, 0x78, 0x56, 0x34, 0x12};  // mov 0x12345678(%rip),%edx
    X86Instruction insn;
    ASSERT_TRUE(DecodeX86(bytes, sizeof bytes, &insn));
    EXPECT_TRUE(insn.ripRelative);
    X86State state{};
    state.rip = 0x1000;
    EXPECT_EQ(host::internal::EffectiveAddress(insn, state), 0x1000u + 6 + 0x12345678);
}

TEST(X86Decoding, WhatIsNotInTheSubsetIsRefused) {
    const std::vector<std::vector<uint8_t>> refused = {
        {0x64, 0x48, 0x8b, 0x04, 0x25, 0x28, 0, 0, 0},  // mov %fs:0x28,%rax
        {0xf3, 0xa4},                                   // rep movsb
        {0x89, 0xc3},                                   // mov %eax,%ebx: no memory
        {0xf0, 0x4c, 0x0f, 0xb1, 0x09},                 // lock cmpxchg %r9,(%rcx)
        {0x0f, 0x20, 0xc0},                             // mov %cr0,%rax
        {0x67, 0x8b, 0x00},                             // mov (%eax),%eax: 32-bit addressing
        {0xf0, 0x89, 0x10},                             // lock mov: undefined
        {0xf0, 0x39, 0x02},                             // lock cmp: undefined
        {0xc6, 0x48, 0x02, 0xcc},                       // c6 /1: not a mov
        {0xf6, 0x50, 0x03},                             // f6 /2: not
        {0x0f, 0x0b},                                   // ud2
    };
    for (auto& bytes : refused) {
        X86Instruction insn;
        EXPECT_FALSE(DecodeX86(bytes.data(), bytes.size(), &insn)) << std::hex << int(bytes[0]);
    }
}

// A memory of bytes and an IRQL, recording each access.
class FakeMachine : public host::internal::X86Machine {
public:
    std::map<uint64_t, uint8_t> bytes;
    std::vector<std::string> accesses;
    uint64_t cr8 = 0;
    bool refuse = false;

    bool Read(uint64_t address, unsigned width, uint64_t* value) override {
        accesses.push_back("R" + std::to_string(width) + "@" + std::to_string(address));
        if (refuse) return false;
        *value = 0;
        for (unsigned i = 0; i < width; ++i) *value |= uint64_t{bytes[address + i]} << (8 * i);
        return true;
    }
    bool Write(uint64_t address, unsigned width, uint64_t value) override {
        accesses.push_back("W" + std::to_string(width) + "@" + std::to_string(address));
        if (refuse) return false;
        for (unsigned i = 0; i < width; ++i) bytes[address + i] = static_cast<uint8_t>(value >> (8 * i));
        return true;
    }
    uint64_t ReadCr8() override { return cr8; }
    void WriteCr8(uint64_t value) override { cr8 = value; }
};

struct Cpu {
    X86State state{};
    FakeMachine machine;
    bool Execute(const std::vector<uint8_t>& bytes) {
        X86Instruction insn;
        if (!DecodeX86(bytes.data(), bytes.size(), &insn)) return false;
        return ExecuteX86(insn, &state, machine);
    }
};

constexpr uint64_t kCF = 0x1, kPF = 0x4, kZF = 0x40, kSF = 0x80, kOF = 0x800;

TEST(X86Execution, LoadsWidenAndMergeAsTheProcessorDoes) {
    Cpu r;
    r.state.gpr[RDX] = 0x1000;
    r.state.gpr[RAX] = 0xFFFFFFFFFFFFFFFF;
    r.machine.bytes[0x1001] = 0x85;
    r.machine.bytes[0x1002] = 0x80;
    ASSERT_TRUE(r.Execute({0x0f, 0xb6, 0x42, 0x01}));  // movzbl 0x1(%rdx),%eax
    EXPECT_EQ(r.state.gpr[RAX], 0x85u);                // a 32-bit write clears the top
    r.state.gpr[RBX] = 0x1000 - 7;
    r.state.gpr[RAX] = 0x1122334455667788;
    ASSERT_TRUE(r.Execute({0x8a, 0x63, 0x07}));        // mov 0x7(%rbx),%ah
    EXPECT_EQ(r.state.gpr[RAX], 0x1122334455660088u);  // only ah changes (byte at 0x1000 is 0)
    r.state.gpr[RAX] = 0x1000 + 0x10 - 0x10;
    r.machine.bytes[0x1000] = 0xFE;
    r.machine.bytes[0x1001] = 0xFF;
    ASSERT_TRUE(r.Execute({0x4c, 0x0f, 0xbf, 0x50, 0x00}));  // movswq 0x0(%rax),%r10
    EXPECT_EQ(r.state.gpr[R10], 0xFFFFFFFFFFFFFFFEu);
    r.state.gpr[R9] = 0xAAAAAAAAAAAAAAAA;
    r.state.gpr[RDX] = 0x1000 - 1;
    ASSERT_TRUE(r.Execute({0x66, 0x44, 0x8b, 0x4a, 0x02}));  // mov 0x2(%rdx),%r9w
    EXPECT_EQ(r.state.gpr[R9], 0xAAAAAAAAAAAA80FFu);
    EXPECT_EQ(r.machine.accesses.back(), "R2@4097");
}

TEST(X86Execution, StoresWriteExactlyTheirWidth) {
    Cpu r;
    r.state.gpr[RCX] = 0x2000;
    r.state.gpr[RBX] = 0x1234;
    ASSERT_TRUE(r.Execute({0x88, 0x39}));  // mov %bh,(%rcx)
    EXPECT_EQ(r.machine.bytes[0x2000], 0x12);
    EXPECT_EQ(r.machine.accesses, std::vector<std::string>{"W1@8192"});
    r.state.gpr[RAX] = 0x3000;
    ASSERT_TRUE(r.Execute({0x48, 0xc7, 0x00, 0xff, 0xff, 0xff, 0xff}));  // movq $-1,(%rax)
    EXPECT_EQ(r.machine.bytes[0x3007], 0xFF);
    r.state.gpr[R9] = 0x4000 - 0x20;
    ASSERT_TRUE(r.Execute({0x41, 0xc7, 0x41, 0x20, 0, 0, 0, 0x80}));  // movl $0x80000000,0x20(%r9)
    EXPECT_EQ(r.machine.bytes[0x4003], 0x80);
    EXPECT_EQ(r.machine.bytes.count(0x4004), 0u);
    EXPECT_EQ(r.state.rip, 2u + 7 + 8);
}

TEST(X86Execution, ReadModifyWriteReadsOnceThenWritesOnce) {
    Cpu r;
    r.state.gpr[RDX] = 0x100;
    r.machine.bytes[0x101] = 0x21;
    ASSERT_TRUE(r.Execute({0x80, 0x4a, 0x01, 0x08}));  // orb $0x8,0x1(%rdx)
    EXPECT_EQ(r.machine.bytes[0x101], 0x29);
    EXPECT_EQ(r.machine.accesses, (std::vector<std::string>{"R1@257", "W1@257"}));
    r.machine.accesses.clear();
    ASSERT_TRUE(r.Execute({0xf6, 0x42, 0x01, 0x40}));  // testb $0x40,0x1(%rdx)
    EXPECT_EQ(r.machine.accesses, std::vector<std::string>{"R1@257"});  // no write
    EXPECT_TRUE(r.state.rflags & kZF);
    ASSERT_TRUE(r.Execute({0x80, 0x62, 0x01, 0xf7}));  // andb $0xf7,0x1(%rdx)
    EXPECT_EQ(r.machine.bytes[0x101], 0x21);
}

TEST(X86Execution, CompareFlagsAsTheProcessorSetsThem) {
    struct {
        uint8_t memory;
        uint8_t immediate;
        uint64_t flags;
    } cases[] = {
        {5, 5, kZF | kPF},         // equal
        {4, 5, kCF | kSF | kPF},   // below: 0xff
        {0x80, 1, kOF},            // -128 - 1 overflows to 0x7f (7 bits set: odd parity)
        {0x7f, 0xff, kCF | kOF | kSF},  // 127 - (-1) = 128: 0x80, one bit, odd
    };
    for (auto& c : cases) {
        Cpu r;
        r.state.gpr[RCX] = 0x500;
        r.state.rflags = 0x202;  // IF and the reserved bit stay
        r.machine.bytes[0x504] = c.memory;
        ASSERT_TRUE(r.Execute({0x80, 0x79, 0x04, c.immediate}));  // cmpb $imm,0x4(%rcx)
        EXPECT_EQ(r.state.rflags & ~0x10ull, 0x202 | c.flags)
            << int(c.memory) << " cmp " << int(c.immediate);
        EXPECT_EQ(r.machine.bytes[0x504], c.memory);
    }
}

TEST(X86Execution, CarryFlowsThroughAdcAndSbb) {
    Cpu r;
    r.state.gpr[RAX] = 0x600;
    r.machine.bytes[0x600] = 0xFF;
    r.machine.bytes[0x601] = 0xFF;
    r.machine.bytes[0x602] = 0xFF;
    r.machine.bytes[0x603] = 0xFF;
    r.state.rflags = kCF;
    ASSERT_TRUE(r.Execute({0x83, 0x10, 0x00}));  // adcl $0x0,(%rax): 0xffffffff + 0 + 1
    EXPECT_EQ(r.machine.bytes[0x600], 0);
    EXPECT_TRUE(r.state.rflags & kCF);
    EXPECT_TRUE(r.state.rflags & kZF);
    r.state.gpr[RDX] = 1;
    ASSERT_TRUE(r.Execute({0x18, 0x10}));  // sbb %dl,(%rax): 0 - 1 - 1
    EXPECT_EQ(r.machine.bytes[0x600], 0xFE);
    EXPECT_TRUE(r.state.rflags & kCF);
}

TEST(X86Execution, Cr8IsTheIrql) {
    Cpu r;
    r.machine.cr8 = 2;
    r.state.gpr[RAX] = ~0ull;
    ASSERT_TRUE(r.Execute({0x44, 0x0f, 0x20, 0xc0}));  // mov %cr8,%rax
    EXPECT_EQ(r.state.gpr[RAX], 2u);
    r.state.gpr[RCX] = 0;
    ASSERT_TRUE(r.Execute({0x44, 0x0f, 0x22, 0xc1}));  // mov %rcx,%cr8
    EXPECT_EQ(r.machine.cr8, 0u);
    EXPECT_TRUE(r.machine.accesses.empty());
}

TEST(X86Execution, AFailedAccessChangesNothing) {
    Cpu r;
    r.machine.refuse = true;
    r.state.gpr[RDX] = 0x100;
    r.state.gpr[RAX] = 0x77;
    r.state.rip = 0x4000;
    EXPECT_FALSE(r.Execute({0x0f, 0xb6, 0x42, 0x01}));
    EXPECT_EQ(r.state.gpr[RAX], 0x77u);
    EXPECT_EQ(r.state.rip, 0x4000u);
    EXPECT_FALSE(r.Execute({0x80, 0x4a, 0x01, 0x08}));
    EXPECT_EQ(r.state.rflags, 0u);
}

}  // namespace
