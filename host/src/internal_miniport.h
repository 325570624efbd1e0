// What the driver, miniport block, upper edge, send records and packet
// modules share.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/miniport.h"
#include "internal_pool.h"

namespace host {
namespace internal {
struct DriverState;
}  // namespace internal
}  // namespace host

// The driver object NDIS hands DriverEntry: on the host, the way back from
// NdisInitializeWrapper to the image being loaded.
struct _DRIVER_OBJECT {
    host::internal::DriverState* host;
};

namespace host {
namespace internal {

// ---------------------------------------------------------------------------
// The protocols' own packets and buffers, in the packet verifier's registry
// (packets.cpp, packet_contents.cpp): the driver may read them with the same
// calls as a pool's, but not free them or chain into them.
// ---------------------------------------------------------------------------
PNDIS_PACKET NewProtocolPacket();  // live, no buffers chained
void DeleteProtocolPacket(PNDIS_PACKET packet);
PNDIS_BUFFER NewProtocolBuffer(void* address, UINT length);  // live
// Points a protocol's buffer kept for reuse at other memory.
void RedescribeProtocolBuffer(PNDIS_BUFFER buffer, void* address, UINT length);
void DeleteProtocolBuffer(PNDIS_BUFFER buffer);
// Whether the driver may use a protocol's packet and its buffers: while the
// protocol keeps them for a later send they count as freed, and stay
// registered. Made live again, the packet is as NewProtocolPacket makes it;
// its buffers are the protocol's to describe and chain anew.
void SetProtocolPacketLive(PNDIS_PACKET packet, const std::vector<PNDIS_BUFFER>& buffers,
                           bool live);
// Caches the counts of a protocol's packet whose chain is complete.
void CountProtocolPacket(PNDIS_PACKET packet);
// A live packet from NdisAllocatePacket.
bool IsPoolPacket(PNDIS_PACKET packet);
// Reads an indicated packet as a protocol does: its counts (which must not
// be stale) and the bytes of its buffer chain. False, after a violation
// naming `function`, when the chain holds a buffer that is not live.
bool ReadIndicatedPacket(PNDIS_PACKET packet, const char* function, std::vector<uint8_t>* bytes);
// Whether some adapter lent `packet` to the protocols (upper_edge_receive.cpp).
bool PacketLentToProtocol(PNDIS_PACKET packet);

// ---------------------------------------------------------------------------
// Drivers (driver.cpp)
// ---------------------------------------------------------------------------
struct DriverState {
    DriverEntryFunction entry = nullptr;
    std::shared_ptr<DriverImage> image;  // when loaded from an image
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    _DRIVER_OBJECT object{};
    int wrapperToken = 0;  // its address is the wrapper handle

    std::mutex mu;  // guards what follows
    bool loaded = false;
    bool wrapperOpen = false;
    bool registered = false;
    NDIS_STATUS registrationStatus = NDIS_STATUS_FAILURE;
    NDIS50_MINIPORT_CHARACTERISTICS characteristics{};
    int liveAdapters = 0;  // initialized and not yet halted
};

// ---------------------------------------------------------------------------
// The protocols' send records and their reuse (send_records.cpp)
// ---------------------------------------------------------------------------
// A packet the upper edge sent: its protocol packet and buffers, and the
// frame twice, once as it was sent and once in the pieces the driver sees
// (one per buffer; in special pool each ends on a page boundary), so that a
// miniport writing into a packet it was given is caught.
struct SendRecord {
    SendId id = 0;
    std::vector<uint8_t> frame;
    std::vector<std::unique_ptr<HostBytes>> pieces;
    PNDIS_PACKET packet = nullptr;
    std::vector<PNDIS_BUFFER> buffers;  // the send's, chained in order
    // Buffers a send of fewer pieces left over, kept unchained and freed
    // (as the driver sees them) for a later send of more; `pieces` may hold
    // more entries than `buffers` too, their storage given back.
    std::vector<PNDIS_BUFFER> spareBuffers;
    size_t namedPieces = 0;  // the count the pieces' names were made for
    ~SendRecord();
    // Whether the pieces differ from the frame, or were written outside.
    bool Written() const;
};

// An adapter's completed sends. The most recent are kept (under the
// adapter's mu), so that a second completion of one is named as such; older
// ones are retired and kept for reuse, so that a send makes no packet, buffer
// or frame storage of its own. The spares are under a lock of their own,
// taken inside the adapter's mu or alone, so that a sender picks some up
// without waiting for mu.
// An array of n items that a call keeps for its own length: in place when
// there are at most N, so that the usual call makes no heap block for it.
template <typename T, size_t N>
class CallArray {
public:
    // Only the n items used are made (value-initialized) and destroyed.
    explicit CallArray(size_t n) : size_(n) {
        if (n > N) {
            heap_.resize(n);
            items_ = heap_.data();
        } else {
            items_ = reinterpret_cast<T*>(inPlace_);
            for (size_t i = 0; i < n; ++i) new (&items_[i]) T();
        }
    }
    ~CallArray() {
        if (size_ <= N) {
            for (size_t i = 0; i < size_; ++i) items_[i].~T();
        }
    }
    CallArray(const CallArray&) = delete;
    CallArray& operator=(const CallArray&) = delete;
    T* data() { return items_; }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return items_[i]; }

private:
    alignas(T) unsigned char inPlace_[N * sizeof(T)];
    std::vector<T> heap_;
    size_t size_;
    T* items_;
};

struct CompletedSends {
    std::deque<std::unique_ptr<SendRecord>> recent;
    std::mutex spareMu;
    std::vector<std::unique_ptr<SendRecord>> spare;
};

// The protocol's packets for `frames`, one buffer per piece of each, made
// from spares where they fit, into records[0 .. frames.size()). Takes
// spareMu only.
void NewSends(CompletedSends& sends, const std::vector<OutgoingFrame>& frames,
              std::unique_ptr<SendRecord>* records);
// Keeps a send just completed; the oldest recent one is retired for reuse.
// The caller holds the adapter's mu.
void KeepCompleted(CompletedSends& sends, std::unique_ptr<SendRecord> record);
// Whether `packet` is one of the recent completed sends (adapter's mu held).
bool CompletedRecently(const CompletedSends& sends, PNDIS_PACKET packet);

// Where a send completion is built for the protocol's callback: storage
// kept per thread, whose frame buffer serves send after send, or, for a
// completion made while another's is in use (from inside its callback),
// storage of its own.
class CompletionSlot {
public:
    CompletionSlot();
    ~CompletionSlot();
    CompletionSlot(const CompletionSlot&) = delete;
    CompletionSlot& operator=(const CompletionSlot&) = delete;
    SendCompletion& completion() { return kept_ ? *kept_ : own_; }

private:
    SendCompletion* kept_;
    SendCompletion own_{};
};

// ---------------------------------------------------------------------------
// Adapters (miniport.cpp, upper_edge_*.cpp)
// ---------------------------------------------------------------------------
// Unbinding: Miniport::Halt has begun. NDIS unbinds the protocols first: no
// new sends, requests, hang checks or resets reach the miniport, the calls
// already in it finish, and the protocols give back every packet they were
// lent. The miniport has not been told yet, so its indications are still
// allowed (no protocol hears them; their packets are given back before halt).
// Halting: MiniportHalt has been called.
enum class Phase { Created, Initializing, Running, Unbinding, Halting, Halted, Failed };

// What a request record holds besides its storage: all of it set anew for
// each request (RequestRecord::Renew).
struct RequestFields {
    uint64_t serial = 0;  // from 1 per adapter, in the order the requests are made
    bool query = true;
    NDIS_OID oid = 0;
    ULONG length = 0;
    // Guard bytes before the information buffer in `buffer`
    // (Miniport::SetInformationBufferOffset).
    size_t offset = 0;
    bool released = false;
    ULONG bytesDone = kUntouched;
    ULONG bytesNeeded = kUntouched;
    bool inHandler = true;
    bool pended = false;
    bool completed = false;
    int completions = 0;  // NdisM*InformationComplete calls
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    bool overrunReported = false;
    Nanoseconds issued = 0;
    int watchdogTicks = 0;      // NDIS's wake-ups that found it outstanding
    bool stuckReported = false; // still pending after the reset made for it
};

struct RequestRecord : RequestFields {
    // The information buffer while the miniport has the request (special
    // pool, or guard bytes after it); once the request has its final status
    // the protocol has it back: its bytes are kept in `final` and the buffer
    // is freed, so that a miniport that touches it after completing faults.
    HostBytes buffer;
    std::vector<uint8_t> final;

    // Made over for another request, once this one is over (its buffer
    // freed): every field as new; the storage of `buffer` (in guard-byte
    // mode) and of `final` serves again.
    void Renew() {
        static_cast<RequestFields&>(*this) = RequestFields{};
        final.clear();
    }
};

struct Callbacks {
    std::function<void(const SendCompletion&)> sendComplete;
    std::function<void(const ReceivedFrame&)> receive;
    std::function<void(const StatusIndication&)> status;
    std::function<void(const RequestResult&)> requestComplete;
    std::function<void(const ResetRecord&)> reset;
};

// What passes between the upper edge and the miniport while it runs. Halt
// waits for all of these to end before it calls MiniportHalt; a reset waits
// for the requests and the hang check (NDIS holds both back while it resets),
// not for sends: a deserialized miniport must cope with a send already under
// way when its reset starts.
enum class Call {
    Send,        // MiniportSendPackets or MiniportSend
    Request,     // MiniportQueryInformation or MiniportSetInformation
    HangCheck,   // MiniportCheckForHang
    Reset,       // Miniport::Reset: MiniportReset, the held-back sends, the addressing
    Indication,  // NdisMIndicateReceivePacket, the protocols' part of it included
    Return,      // MiniportReturnPacket
    Count
};

struct MiniportState {
    // First, so that the adapter handle (this record's address) points to
    // it: a driver built against the Windows headers indicates and completes
    // by calling through it (filled by the constructor).
    NDIS_MINIPORT_BLOCK block;
    MiniportState();
    ~MiniportState();
    MiniportState(const MiniportState&) = delete;
    MiniportState& operator=(const MiniportState&) = delete;

    std::shared_ptr<DriverState> driver;
    NDIS50_MINIPORT_CHARACTERISTICS handlers{};
    ParameterStore* parameters = nullptr;

    // The protocol's own lock (WorldOptions::protocolLocks): held while it
    // hands packets down at DISPATCH_LEVEL, taken in each of its handlers
    // (see EnterProtocol). Taken and released without mu.
    bool protocolLocks = true;
    HostSpinLock protocolLock;

    mutable std::mutex mu;  // guards everything below
    // Changed under mu; read without it where a snapshot is all that is
    // needed (AdapterFor, on every NDIS call).
    std::atomic<Phase> phase{Phase::Created};
    std::vector<NDIS_MEDIUM> media{NdisMedium802_3};
    // Set by NdisMSetAttributesEx under mu; read without it by interrupt
    // delivery (LookupMiniport).
    std::atomic<NDIS_HANDLE> context{nullptr};
    UINT selectedMedium = kUntouched;
    MiniportAttributes attributes;
    ADAPTER_SHUTDOWN_HANDLER shutdownHandler = nullptr;
    PVOID shutdownContext = nullptr;
    // MiniportReset is running: sends wait, requests are refused, the hang
    // check is skipped.
    bool resetting = false;
    bool recording = true;  // keep completions, received frames, statuses
    Callbacks callbacks;

    // Send tracking
    SendId nextSendId = 1;
    std::unordered_map<PNDIS_PACKET, std::unique_ptr<SendRecord>> sending;
    // Nodes of `sending` whose sends completed, kept to hold the next ones.
    std::vector<decltype(sending)::node_type> sendingNodes;
    CompletedSends completedSends;
    std::vector<std::unique_ptr<SendRecord>> deferredSends;  // asked for during a reset
    std::vector<SendCompletion> completions;

    // Receive tracking
    ReturnPolicy returnPolicy;
    std::deque<PNDIS_PACKET> lent;  // in indication order
    std::unordered_map<PNDIS_PACKET, uint64_t> lentBy;  // packet -> its indication
    std::unordered_map<PNDIS_PACKET, NDIS_STATUS> lastIndicatedStatus;
    uint64_t indications = 0;
    std::vector<ReceivedFrame> received;
    std::vector<std::string> warnings;
    ULONG packetFilter = 0;  // as the protocols last set it

    std::vector<StatusIndication> statuses;

    // Resets, and NDIS's wake-up timer (watchdog.cpp)
    std::vector<ResetRecord> resets;
    bool watchdog = true;
    Nanoseconds watchdogInterval = 2 * kSecond;
    WorkId watchdogWork = 0;  // the next wake-up, while one is queued

    // Information requests
    std::unique_ptr<RequestRecord> request;  // the outstanding or last one
    // A record no longer shown, kept for the next request to fill.
    std::unique_ptr<RequestRecord> spareRequest;
    uint64_t requestSerial = 0;  // the serial of the last request made
    size_t requestOffset = 0;  // SetInformationBufferOffset
    std::vector<uint8_t> filterSet, multicastSet;  // replayed after an addressing reset
    bool haveFilterSet = false;
    bool haveMulticastSet = false;

    // Calls under way, by kind (see BeginCall). Raised under mu; lowered
    // without it, so that a send does not take mu once more on its way out.
    std::atomic<int> calls[static_cast<int>(Call::Count)] = {};
    std::atomic<int> callWaiters{0};  // threads in WaitForCalls
    std::condition_variable callEnded;
};

// What may call into an adapter at a given moment.
enum class Use {
    Initialization,  // only while MiniportInitialize runs
    Completion,      // running or halting
    Indication,      // running only
    Call,            // initializing, running or halting
};

// The registry of adapters by handle (miniport_registry.cpp), which
// interrupt delivery reads too (LookupMiniport, internal.h). AdapterFor
// reports a violation naming `function` and returns null when `handle` names
// no adapter, or one that `use` does not allow now.
void RegisterAdapter(const std::shared_ptr<MiniportState>& state);
std::shared_ptr<MiniportState> AdapterFor(NDIS_HANDLE handle, const char* function, Use use);
std::vector<std::shared_ptr<MiniportState>> AllAdapters();

// Calls under way (miniport_calls.cpp). BeginCall is made with s.mu held, in
// the critical section whose check lets the call through, so that halt and
// reset see every call that got past their state change; EndCall when the
// call has returned, without s.mu. The calling thread is noted, so that a
// thread never waits for a call it is itself inside.
void BeginCall(MiniportState& s, Call kind);
void EndCall(MiniportState& s, Call kind);
// What this thread is inside, of the calls on `s` whose kinds are in `kinds`
// (innermost first), named for a message; null when none.
const char* CallOnThisThread(const MiniportState& s, std::initializer_list<Call> kinds);

// Waits, with `lock` on s.mu held, until no call of `kinds` is under way;
// false, after a violation naming `who` and the late call, when one has not
// returned in 30 s. In the deterministic mode there is one thread, and the
// callers make sure it is inside none of these calls: nothing is waited for.
bool WaitForCalls(MiniportState& s, std::unique_lock<std::mutex>& lock,
                  std::initializer_list<Call> kinds, const char* who);
// Runs fn as processor `processor` when the deterministic mode lets the
// caller choose (at PASSIVE_LEVEL); otherwise where the caller is.
void OnChosenProcessor(int processor, FunctionRef<void()> fn);
// The IRQL to call a miniport handler at: `irql`, or the caller's when that
// is higher (NDIS does not lower it to make a call).
inline KIRQL AtLeastCurrent(KIRQL irql) { return irql < CurrentIrql() ? CurrentIrql() : irql; }

// What the miniport block needs of the upper edge (upper_edge_receive.cpp):
// gives up to `count` lent packets back, oldest first; how many.
size_t ReturnLentPackets(const std::shared_ptr<MiniportState>& state, size_t count,
                         int processor);

// The protocol's handler for an indication or completion begins: it takes
// its lock (and lets it go: what it does next under it is its own affair).
// A caller that holds a spin lock here has the lock-order check see it
// taken under that one. Nothing when the protocol takes no lock.
void EnterProtocol(MiniportState& s);

// The calls NDIS makes on its own, shared by the upper edge and NDIS's
// wake-up timer (miniport.cpp, upper_edge_send.cpp, upper_edge_requests.cpp):
// MiniportCheckForHang, skipped (false) when the adapter is not running
// (*refused set) or is being reset.
bool CallCheckForHang(const std::shared_ptr<MiniportState>& state, bool* refused);
// A reset as NDIS makes one: MiniportReset once the requests and hang check
// in the miniport have returned, then the sends held back meanwhile and,
// after an addressing reset, the filter and multicast list. False, with
// nothing done, when the adapter is not running or the caller is inside a
// request handler or hang check of the adapter (*why says which), or when a
// reset is under way (*why empty, *result NDIS_STATUS_RESET_IN_PROGRESS).
// `reason` is kept in the adapter's ResetRecord.
bool ResetAdapter(const std::shared_ptr<MiniportState>& state, bool byWatchdog,
                  const std::string& reason, ResetResult* result, std::string* why);
// `packets` is the array NDIS hands the miniport, the caller's own: it lives
// only for the call.
void CallSendPackets(const std::shared_ptr<MiniportState>& state, PNDIS_PACKET* packets,
                     size_t count, KIRQL irql, NDIS_HANDLE context);
void SendDeferred(const std::shared_ptr<MiniportState>& state);
// The information buffer holds `length` bytes: a copy of `bytes`, or `fill`
// when it is null.
RequestResult IssueRequest(const std::shared_ptr<MiniportState>& state, bool query, NDIS_OID oid,
                           const uint8_t* bytes, size_t length, uint8_t fill);
RequestResult WaitForRequest(const std::shared_ptr<MiniportState>& state, Nanoseconds limit);
void ReplayAddressing(const std::shared_ptr<MiniportState>& state);
// Whether a request has been made and not yet finished (mu held).
bool RequestOutstanding(const MiniportState& s);

// NDIS's wake-up timer (watchdog.cpp): started when an adapter's
// initialization succeeds, stopped when halt begins (mu held).
void StartWatchdog(const std::shared_ptr<MiniportState>& state);
void StopWatchdog(MiniportState& s);

}  // namespace internal
}  // namespace host
