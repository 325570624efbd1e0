// Special pool, as Driver Verifier has it: a block whose last byte is the
// last byte of a page, followed by an inaccessible page (and preceded by one
// a page earlier), so that a read or write one byte past its end faults at
// the access; freed blocks stay
// inaccessible for a while (the quarantine), so that a use after free faults
// too. The fault is caught (SIGSEGV), named as a verifier violation (the
// block, the offset, read or write) and the access is let through, so that
// the run goes on and the test fails with the message.
//
// Pool memory (memory.cpp), information buffers (upper_edge_requests.cpp)
// and the pieces of the packets the protocols send (send_records.cpp) take
// their blocks here when the world's `specialPool` is on (see
// host/world.h); otherwise they keep guard bytes after their end, checked
// when the block is given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host {
namespace internal {

// A block of `length` bytes (0 too: its address is then the guard page's),
// filled with `fill`. Its end is on a page boundary, so its start is aligned
// as its size allows: to the size's lowest set bit, at most 16 (an object's
// size is a multiple of its alignment). `what` names it in a fault report
// ("pool block tag 'zr48' (1516 bytes)"); it is copied. Null when the
// system refuses the memory.
void* GuardedAllocate(size_t length, uint8_t fill, const char* what);
// Moves a block's start within its pages for a new length (its end stays),
// filling it with `fill`, or with a copy of `contents` when given (the
// bytes the caller would copy over the fill at once); null, with the block
// left as it was, when the length does not fit its pages. `what` renames it
// (null: the name stays).
void* GuardedRefit(void* block, size_t length, uint8_t fill, const char* what,
                   const uint8_t* contents = nullptr);
// Whether the bytes between the block's first page start and the block
// itself still hold what GuardedAllocate put there: a write before the
// block's start that stayed in its page.
bool GuardedHeadIntact(const void* block);
// Makes the block inaccessible and keeps it so for a while (the oldest
// quarantined blocks are unmapped when the quarantine is full).
void GuardedFree(void* block);
// Whether `address` lies in a guarded block, live or quarantined.
bool IsGuarded(const void* address);

// Faults the handler has caught and not yet reported: reported now, as
// violations, on the calling thread. The host calls it where a driver
// handler, a work item or a test's capture of violations ends.
void ReportGuardFaults();

// An information buffer or a piece of a packet the host hands the driver:
// in special pool a guarded block; otherwise its bytes and `kGuardBytes`
// guard bytes after them. Its storage is reused from one Assign to the next
// where the new bytes fit.
class HostBytes {
public:
    static constexpr size_t kGuardBytes = 16;
    static constexpr uint8_t kGuardByte = 0xFD;

    HostBytes() = default;
    ~HostBytes();
    HostBytes(const HostBytes&) = delete;
    HostBytes& operator=(const HostBytes&) = delete;

    // `length` bytes: copied from `bytes`, or filled with `fill` when it is
    // null. False when special pool has no memory for them. `what` names the
    // block in a fault report; null keeps the name it has (a block of the
    // same length, refit in place), or names a new one "a host buffer".
    bool Assign(const uint8_t* bytes, size_t length, uint8_t fill, const char* what);
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return length_; }
    std::vector<uint8_t> Copy() const { return {data_, data_ + length_}; }
    // False when something was written past the end (guard-byte mode) or
    // before the start (special pool): a write that did not fault.
    bool Intact() const;
    // Gives the storage back (in special pool: inaccessible, quarantined).
    void Free();

private:
    bool guarded_ = false;
    uint8_t* data_ = nullptr;
    size_t length_ = 0;
    std::vector<uint8_t> plain_;  // guard-byte mode
};

}  // namespace internal
}  // namespace host
