// What NDIS does around a miniport driver: it loads the driver (Driver), keeps
// one miniport block per adapter and calls the adapter's handlers at the
// levels NDIS documents (Miniport), and carries the traffic of the protocols
// bound to the adapter: sends and their completions, received frames and
// their return, status indications and information requests (the upper edge,
// also on Miniport). Tests and the simulator drive the driver through these
// alone:
//
//     host::Driver driver(DriverEntry);
//     driver.Load();
//     host::Miniport nic(driver);
//     nic.Parameters().SetInteger("XmtQueueLen", 8);
//     ASSERT_EQ(nic.Initialize(), NDIS_STATUS_SUCCESS);
//     nic.Send({frame});
//     host::Advance(10 * host::kMillisecond);
//     EXPECT_EQ(nic.Completions().at(0).status, NDIS_STATUS_SUCCESS);
//     nic.Halt();
//
// The verifier checks the contracts at every crossing: handler IRQLs, one
// completion per send, one return per lent receive packet, one information
// request at a time, nothing left in the ledger after halt or a failed
// initialize, and nothing indicated or completed after halt.
//
// Everything here is thread-safe: in the concurrent mode a simulator thread
// may send while the adapter's deferred routine completes on another
// processor. Callbacks run on the thread and processor of the indication or
// completion, with no host lock held, so a callback may send or return again.
// As NDIS does, halt waits for every call already in the miniport and reset
// for requests and the hang check, so that MiniportHalt never runs alongside
// a send, request, hang check or reset, nor MiniportReset alongside a request
// or hang check.
//
// The protocol above the adapter takes a lock of its own, as real protocols
// do (WorldOptions::protocolLocks): a spin lock per adapter, named "the
// protocol lock of adapter <handle>" in the lock-order check. It holds it
// while it hands packets to MiniportSendPackets at DISPATCH_LEVEL, and takes
// it at the start of each of its handlers that NDIS calls from below: receive
// (NdisMIndicateReceivePacket), send completion (NdisMSendComplete), request
// completion (NdisM*InformationComplete) and status (NdisMIndicateStatus and
// ...Complete). It lets it go before the test's callback runs, at the
// caller's IRQL: what the lock-order check needs is only that the lock is
// taken there. A miniport that makes one of these calls with a spin lock of
// its own held, and takes that lock in MiniportSendPackets, then shows as a
// lock-order cycle naming both locks: on two processors, one in the
// indication waiting for the protocol lock, the other holding it and
// waiting for the miniport's lock in MiniportSendPackets, deadlock. The lock
// is re-entrant on the thread that holds it: a protocol knows when a
// completion comes back to it from inside its own send.
//
// NDIS's watchdog (WorldOptions::watchdog), as the NDIS 5 documentation of
// MiniportCheckForHang and NdisMSetAttributesEx describes it: while an
// adapter runs, NDIS wakes up every CheckForHangTimeInSeconds seconds (2
// when the miniport gave 0, or 1 or 2), on the virtual clock in the
// deterministic mode. At each wake-up, unless a reset is under way:
// - it calls MiniportCheckForHang; TRUE makes it reset the adapter;
// - a request it finds outstanding at two wake-ups in a row (so after two to
//   four seconds: NDIS's time-out is twice the interval) makes it reset the
//   adapter too, unless the miniport set NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT.
//   A deserialized miniport's sends are its own to time out: NDIS does not
//   time them out, and neither does the host.
// A reset it makes is the same as Reset() (requests refused meanwhile, held
// sends passed on afterwards, the addressing set again when the miniport
// asks), recorded in Resets() with its reason. A request still outstanding
// after the reset made for it is a violation ("request stuck through a
// reset"): nothing else would ever free it. It is reported once, and the
// adapter is not reset again for it. The wake-ups stop when halt begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/world.h"
#include "ndis.h"

namespace host {

class DriverImage;

namespace internal {
struct DriverState;
struct MiniportState;
}  // namespace internal

using DriverEntryFunction = NTSTATUS(NTAPI*)(PDRIVER_OBJECT DriverObject,
                                         PUNICODE_STRING RegistryPath);

// ---------------------------------------------------------------------------
// A loaded driver image
// ---------------------------------------------------------------------------
// Two ways to load the driver: linked in from source (its DriverEntry), or
// the image the Windows build links, loaded as the kernel loads it (see
// host/image.h). The image stays mapped as long as the Driver.
class Driver {
public:
    explicit Driver(DriverEntryFunction entry, const std::string& serviceName = "zr48");
    explicit Driver(std::shared_ptr<DriverImage> image, const std::string& serviceName = "zr48");
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Calls DriverEntry at PASSIVE_LEVEL and returns what it returned.
    NDIS_STATUS Load();
    // Unloads the image; every adapter must have been halted first.
    void Unload();
    bool Loaded() const;
    // Whether NdisMRegisterMiniport accepted a table that is still in force
    // (NdisTerminateWrapper withdraws it).
    bool Registered() const;
    // What the last NdisMRegisterMiniport answered (NDIS_STATUS_FAILURE when
    // the driver never called it).
    NDIS_STATUS RegistrationStatus() const;
    NDIS50_MINIPORT_CHARACTERISTICS Characteristics() const;
    // The loaded image, or null for a driver linked in.
    const DriverImage* Image() const;

private:
    friend class Miniport;
    std::shared_ptr<internal::DriverState> state_;
};

// ---------------------------------------------------------------------------
// The upper edge's records
// ---------------------------------------------------------------------------
// What the host writes where NDIS leaves a value for the miniport to fill,
// so that a test can see whether it was written.
constexpr ULONG kUntouched = 0xA5A5A5A5;
// What a query's information buffer holds before the miniport answers.
constexpr uint8_t kInformationPattern = 0xE7;

// A frame for the upper edge to send. Its packet gets one buffer per piece:
// the bytes are cut at each offset of `splitAt` (ascending, none past the
// end; equal offsets make empty buffers).
struct OutgoingFrame {
    OutgoingFrame(std::vector<uint8_t> frame, std::vector<size_t> splits = {})
        : bytes(std::move(frame)), splitAt(std::move(splits)) {}
    // A packet with no buffer chained at all.
    static OutgoingFrame WithoutBuffer() {
        OutgoingFrame f({});
        f.noBuffer = true;
        return f;
    }
    std::vector<uint8_t> bytes;
    std::vector<size_t> splitAt;
    bool noBuffer = false;
};

using SendId = uint64_t;  // numbered from 1 per adapter, in the order sent

struct SendOptions {
    // MiniportSendPackets runs at DISPATCH_LEVEL, as NDIS calls it, or at
    // PASSIVE_LEVEL; never below the caller's own level.
    KIRQL irql = DISPATCH_LEVEL;
    // Deterministic mode, from a caller at PASSIVE_LEVEL: the processor to
    // send from (-1: the caller's).
    int processor = -1;
};

struct SendCompletion {
    SendId id;
    PNDIS_PACKET packet;
    std::vector<uint8_t> frame;  // the bytes that were sent
    NDIS_STATUS status;
    Nanoseconds time;
    unsigned processor;
};

struct ReceivedFrame {
    std::vector<uint8_t> bytes;  // copied from the buffer chain at indication
    NDIS_STATUS status;          // the packet's status when it was indicated
    UINT headerSize;
    unsigned processor;
    Nanoseconds time;
    PNDIS_PACKET packet;
    uint64_t indication;  // which NdisMIndicateReceivePacket call, from 1
};

// When the protocol gives back a packet it was lent (one not marked
// NDIS_STATUS_RESOURCES).
enum class ReturnWhen {
    InsideIndication,  // from inside NdisMIndicateReceivePacket, same processor
    AfterIndication,   // as work queued for right after the indication
    Hold,              // when the test says so (ReturnHeld, ReturnPacket)
};
struct ReturnPolicy {
    ReturnWhen when = ReturnWhen::AfterIndication;
    // AfterIndication, deterministic mode: the processor the return runs on
    // (-1: processor 0, the executor's).
    int processor = -1;
};

struct StatusIndication {
    bool complete;  // NdisMIndicateStatusComplete rather than NdisMIndicateStatus
    NDIS_STATUS status;
    std::vector<uint8_t> buffer;
    Nanoseconds time;
};

struct RequestResult {
    bool issued = false;     // false: refused before it reached the miniport
    bool pended = false;     // the handler answered NDIS_STATUS_PENDING
    bool completed = false;  // the request has its final status
    // The final status; NDIS_STATUS_PENDING while the request is pending;
    // NDIS_STATUS_RESET_IN_PROGRESS or NDIS_STATUS_FAILURE when refused.
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    // While the request is pending in the concurrent mode these three stay
    // as they are here: the miniport may be writing them on another
    // processor (the deterministic mode shows what it has stored so far).
    ULONG bytesDone = kUntouched;  // BytesWritten of a query, BytesRead of a set
    ULONG bytesNeeded = kUntouched;
    std::vector<uint8_t> buffer;  // the information buffer as the miniport left it
};

struct ResetResult {
    NDIS_STATUS status;
    bool addressingReset;
};

// A reset of the adapter: asked for through Reset(), or made by NDIS's
// watchdog (byWatchdog), with why.
struct ResetRecord {
    Nanoseconds time;
    bool byWatchdog;
    std::string reason;
    NDIS_STATUS status;
    bool addressingReset;
};

struct MiniportAttributes {
    bool set = false;  // NdisMSetAttributesEx was called
    UINT checkForHangSeconds = 0;
    ULONG flags = 0;
    NDIS_INTERFACE_TYPE interfaceType = NdisInterfaceInternal;
};

// A u32 information buffer, little-endian as NDIS passes it.
inline std::vector<uint8_t> UlongBytes(ULONG value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

// ---------------------------------------------------------------------------
// One adapter: its miniport block and the upper edge above it
// ---------------------------------------------------------------------------
class Miniport {
public:
    explicit Miniport(Driver& driver);
    // Forgets callbacks. An adapter still running stays known to NDIS (its
    // interrupt can still be delivered) until the world is reset.
    ~Miniport();
    Miniport(const Miniport&) = delete;
    Miniport& operator=(const Miniport&) = delete;

    // ---- Set up before Initialize -----------------------------------------
    // The adapter's configuration parameters; their address is the
    // WrapperConfigurationContext. They stay across initializations.
    ParameterStore& Parameters();
    // The medium array offered to MiniportInitialize (default {802.3}).
    void SetMedia(std::vector<NDIS_MEDIUM> media);

    // ---- Lifecycle ----------------------------------------------------------
    // Calls MiniportInitialize at PASSIVE_LEVEL. An adapter that failed or was
    // halted can be initialized again: it gets a new handle and fresh records.
    NDIS_STATUS Initialize();
    // Waits for a reset under way to end; from then on sends, requests, hang
    // checks and resets are refused. Waits for the calls already in the
    // miniport (on other threads) to return, gets back every packet the
    // protocols hold, those the miniport indicates meanwhile too (which no
    // protocol hears), then calls MiniportHalt at PASSIVE_LEVEL and checks
    // what the adapter left behind. Refused from inside a call into the
    // adapter on the same thread, which it would wait for.
    void Halt();
    // Calls the registered shutdown handler at `irql`; false when none is.
    bool Shutdown(KIRQL irql = PASSIVE_LEVEL);
    // MiniportCheckForHang at DISPATCH_LEVEL; skipped (false) while
    // MiniportReset runs, as NDIS skips it. NDIS's watchdog calls it too,
    // every two seconds, unless the world has it off.
    bool CheckForHang();
    // MiniportReset at DISPATCH_LEVEL, once a request handler or hang check
    // already in the miniport has returned (a send already in it goes on).
    // During another reset (NDIS's watchdog's, say) it is refused with
    // NDIS_STATUS_RESET_IN_PROGRESS, as NdisReset refuses a protocol.
    // Requests asked for during the reset are refused with
    // NDIS_STATUS_RESET_IN_PROGRESS; sends wait until it is over. After an
    // addressing reset the last packet filter and multicast list set are set
    // again. Refused from inside a request handler or hang check on the same
    // thread.
    ResetResult Reset();
    // Every reset made, by Reset() or NDIS's watchdog, oldest first.
    std::vector<ResetRecord> Resets() const;
    // Called after each reset, on the thread that made it.
    void OnReset(std::function<void(const ResetRecord&)> callback);

    // ---- What NDIS knows of the adapter ----------------------------------
    NDIS_HANDLE Handle() const;  // the MiniportAdapterHandle
    NDIS_HANDLE Context() const;  // as NdisMSetAttributesEx named it
    bool Running() const;         // initialized and not halted
    UINT SelectedMediumIndex() const;  // kUntouched when not written
    MiniportAttributes Attributes() const;
    bool ShutdownHandlerRegistered() const;

    // ---- Send ----------------------------------------------------------------
    // One MiniportSendPackets call with a packet per frame; the ids of the
    // sends, or none when the frames were refused.
    std::vector<SendId> Send(const std::vector<OutgoingFrame>& frames, SendOptions options = {});
    std::vector<SendCompletion> Completions() const;
    size_t SendsOutstanding() const;
    void OnSendComplete(std::function<void(const SendCompletion&)> callback);

    // ---- Receive -------------------------------------------------------------
    void SetReturnPolicy(ReturnPolicy policy);
    std::vector<ReceivedFrame> Received() const;
    // Packets lent to the protocol and not yet returned, in indication order.
    std::vector<PNDIS_PACKET> HeldPackets() const;
    // Returns up to `count` held packets, oldest first, through
    // MiniportReturnPacket at DISPATCH_LEVEL (deterministic mode: on
    // `processor`, -1 the caller's); how many it returned.
    size_t ReturnHeld(size_t count = SIZE_MAX, int processor = -1);
    // Returns one packet; one that is not lent is refused with a violation.
    void ReturnPacket(PNDIS_PACKET packet, int processor = -1);
    void OnReceive(std::function<void(const ReceivedFrame&)> callback);
    // What the NDIS verifier would only warn about (a receive before a
    // packet filter was set).
    std::vector<std::string> Warnings() const;

    // ---- Status ------------------------------------------------------------
    std::vector<StatusIndication> StatusIndications() const;
    void OnStatus(std::function<void(const StatusIndication&)> callback);

    // ---- Information requests: one at a time, at DISPATCH_LEVEL ------------
    RequestResult Query(NDIS_OID oid, ULONG bufferLength);
    // A query whose information buffer holds `contents` when the miniport
    // sees it (requests that read their buffer, such as the private ones).
    RequestResult Query(NDIS_OID oid, const std::vector<uint8_t>& contents);
    RequestResult Set(NDIS_OID oid, const std::vector<uint8_t>& bytes);
    // The information buffers of requests from now on start `offset` bytes
    // (0..7) past an 8-byte aligned address, so that a handler meets every
    // alignment; the bytes before are guarded as those after. In special pool
    // a buffer ends on its page's last byte whatever the offset (its start
    // is then aligned as its length allows).
    void SetInformationBufferOffset(size_t offset);
    bool RequestPending() const;
    // Runs the machine until the pending request completes or `limit` has
    // gone by; the request's result either way.
    RequestResult WaitForRequest(Nanoseconds limit);
    RequestResult LastRequest() const;
    void OnRequestComplete(std::function<void(const RequestResult&)> callback);

    // Forgets completions, received frames, status indications, resets and
    // warnings.
    void ClearRecords();
    // Whether completions, received frames and status indications are kept
    // for Completions(), Received() and StatusIndications() (the default).
    // A long run that only watches through the callbacks turns it off, so
    // that nothing grows without bound; the callbacks are called either way.
    void SetRecording(bool on);

private:
    bool StartInitialize();
    NDIS_STATUS FinishInitialize(NDIS_STATUS status, uint64_t watermark);

    std::shared_ptr<internal::DriverState> driver_;
    std::unique_ptr<ParameterStore> parameters_;
    std::shared_ptr<internal::MiniportState> state_;
};

}  // namespace host
