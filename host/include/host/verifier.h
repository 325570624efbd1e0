// The host's driver verifier: a ledger of everything the driver holds, fault
// injection for every acquisition, and the contract checks. A broken contract
// is a violation with a message that names the call and what was wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace host {

// Kinds of resource that the ledger tracks and fault injection can fail.
enum class Resource {
    PoolMemory,
    SpinLock,
    Configuration,    // an open configuration handle
    PciConfig,        // a configuration space read (fault injection only)
    IoSpace,          // a mapped device window
    MapRegisters,
    SharedMemory,
    Interrupt,
    Timer,            // an armed timer
    TimerRoutine,     // a timer routine that is running (keyed by its timer)
    File,             // an open file
    FileMapping,      // a mapped file
    ShutdownHandler,
    PacketPool,
    BufferPool,
    Packet,
    Buffer,
    Count
};
const char* ResourceName(Resource kind);

struct LedgerEntry {
    Resource kind;
    const void* key;     // the address or handle the driver holds
    size_t size;         // bytes, where it has one
    uint32_t tag;        // pool tag, where it has one
    const void* owner;   // the miniport the resource belongs to, or null
    std::string what;    // a short description for reports
    uint64_t serial;     // order of acquisition
};

void LedgerAdd(Resource kind, const void* key, size_t size, uint32_t tag, const void* owner,
               std::string what);
// Removes the entry; false when there is none (the caller reports the misuse).
bool LedgerRemove(Resource kind, const void* key);
// Removes the entry and gives it back, in one step.
std::optional<LedgerEntry> LedgerTake(Resource kind, const void* key);
bool LedgerHolds(Resource kind, const void* key);
// A copy of the entry, if there is one (the ledger may change at once after).
std::optional<LedgerEntry> LedgerFind(Resource kind, const void* key);
std::vector<LedgerEntry> LedgerEntries();
// The entries of one kind, in address order.
std::vector<LedgerEntry> LedgerEntriesOf(Resource kind);
// The entry of `kind` whose [key, key + size) holds `address` (an entry of
// no size holds its key alone).
std::optional<LedgerEntry> LedgerFindContaining(Resource kind, const void* address);
size_t LedgerCount(Resource kind);
// The serial number of the latest entry made (0: none since the reset).
uint64_t LedgerLatestSerial();
size_t LedgerSize();
// Entries whose address lies in [begin, begin + length): used to catch memory
// freed while it still holds a live lock, timer or event. Every lookup and
// change of the ledger costs O(log n) in its size; only LedgerEntries,
// LedgerReport and the reports built on them read it whole.
// Entries of the kind `except` are left out (none by default).
std::vector<LedgerEntry> LedgerEntriesWithin(const void* begin, size_t length,
                                             Resource except = Resource::Count);
// Entries made after the one numbered `serial` (LedgerLatestSerial) that
// have no owner are given `owner`; no entry is copied.
void LedgerAdoptSince(uint64_t serial, const void* owner);
// How many entries `owner` holds.
size_t LedgerCountOwnedBy(const void* owner);
// "2 held: pool memory tag 'zr48' (1516 bytes) x2" or "nothing held".
std::string LedgerReport();
// Changes an entry's owner (for resources acquired before the owner was known).
void LedgerSetOwner(Resource kind, const void* key, const void* owner);

// Fault injection. Each acquisition point asks ShouldFail(kind) once per
// attempt; the answer counts the attempt.
void FailNth(Resource kind, unsigned n);   // the nth attempt from now fails (1: the next)
void FailAll(Resource kind, bool on = true);
void ClearFaults();
bool ShouldFail(Resource kind);
uint64_t Attempts(Resource kind);          // attempts since the world was reset

// Violations. The handler sees each message; the default one prints it and
// aborts. Tests install one that fails the test.
using ViolationHandler = std::function<void(const std::string& message)>;
void SetViolationHandler(ViolationHandler handler);
void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A violation after which the machine cannot go on (a deadlock, say).
[[noreturn]] void FatalViolation(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::vector<std::string> Violations();
void ClearViolations();
// Special pool's faults (see WorldOptions::specialPool) are caught in a
// signal handler and reported as violations where it is safe: when the
// driver handler or work item they happened in returns, or now.
void ReportSpecialPoolFaults();

// Every pair of spin locks seen taken one while holding the other, as
// "outer -> inner", each named as the lock-order check names it: the host's
// own by name ("the protocol lock of adapter 0x..."), a driver's by where it
// lies in its pool block.
std::vector<std::string> LockOrderSeen();

// Clears the ledger, faults and violations (ResetWorld calls it).
void ResetVerifier();

}  // namespace host
