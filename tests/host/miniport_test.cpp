// The miniport block and the upper edge, driven through a toy miniport:
// loading and registration, initialize and halt against the ledger, sends and
// their completions, receive indications and the return policies, status
// indications, information requests and reset.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>

#include "host/miniport.h"
#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

// ---------------------------------------------------------------------------
// The toy miniport: one adapter at a time, its record a global so that tests
// can look at it after halt. The deferred routine is played by the tests.
// ---------------------------------------------------------------------------
namespace toy {

constexpr ULONG kTag = 'T' | 'o' << 8 | 'y' << 16 | '!' << 24;
constexpr UINT kReceivePackets = 4;
constexpr UINT kSlotSize = 128;
constexpr NDIS_OID kSlowOid = 0xFF000001;   // answered 5 ms later
constexpr NDIS_OID kStuckOid = 0xFF000002;  // answered by the test, or failed at halt
constexpr NDIS_OID kOverrunOid = 0xFF000003;  // 8 bytes written, whatever the length

struct Knobs {
    void (*tweak)(NDIS50_MINIPORT_CHARACTERISTICS*, UINT* length) = nullptr;
    bool terminateOnFailure = true;
    bool completeSendsAtOnce = true;
    bool abortSendsAtHalt = true;
    bool leakOnFailure = false;     // a failed initialize keeps its scratch memory
    bool failInitialize = false;    // after allocating everything
    bool recalculateCounts = true;
    BOOLEAN addressingReset = FALSE;
    BOOLEAN hung = TRUE;             // what MiniportCheckForHang answers
    ULONG extraAttributes = 0;       // more NdisMSetAttributesEx flags
    UINT hangSeconds = 0;            // CheckForHangTimeInSeconds
    bool resetEndsRequest = false;   // MiniportReset completes a pending request, aborted
    // A spin lock of the toy's own, taken in MiniportSendPackets; with
    // upcallsUnderLock also held across its indications and its deferred
    // routine's send completions.
    bool spinLock = false;
    bool upcallsUnderLock = false;
    bool overreadSent = false;       // reads one byte past each packet's last buffer
    bool writeAfterCompletion = false;  // the slow answer writes its buffer once completed
    // Run as each handler starts, the handler counted as busy.
    std::function<void()> inSend, inQuery, inHangCheck, inReset, inReturn, inHalt;
};

struct Adapter {
    std::mutex mu;  // senders may come from several threads
    NDIS_HANDLE handle = nullptr;
    PVOID scratch = nullptr;
    NDIS_HANDLE packetPool = nullptr, bufferPool = nullptr;
    PNDIS_PACKET rx[kReceivePackets] = {};
    PNDIS_BUFFER rxBuffer[kReceivePackets] = {};
    UCHAR rxData[kReceivePackets][kSlotSize];
    bool shutdownRegistered = false;
    NDIS_SPIN_LOCK lock;
    bool lockAllocated = false;

    std::vector<PNDIS_PACKET> queued;
    std::vector<std::vector<uint8_t>> sent;  // as the toy read them
    std::vector<KIRQL> sendIrqls;
    std::vector<unsigned> sendProcessors;
    int sendCalls = 0;
    int sentDuringReset = 0;
    std::atomic<bool> inReset{false};  // set by a reset, read by sends on other threads

    std::vector<PNDIS_PACKET> returned;
    std::vector<unsigned> returnProcessors;
    bool indicating = false;
    int returnedDuringIndication = 0;
    size_t returnedAtHalt = 0;

    PVOID pendingBuffer = nullptr;
    PULONG pendingWritten = nullptr;
    ULONG filter = 0;
    int sets = 0;
    int shutdowns = 0;

    // Handlers other than halt running now, and what halt and reset found.
    std::atomic<int> busy{0};
    std::atomic<bool> halted{false};
    int busyAtHalt = -1, busyAtReset = -1;
    std::atomic<int> callsAfterHalt{0};
    std::atomic<int> hangChecks{0};
};

Knobs knobs;
Adapter adapter;
PVOID leaked = nullptr;

// A handler at work, for the duration of its call.
struct Busy {
    explicit Busy(const std::function<void()>& hook) {
        if (adapter.halted) ++adapter.callsAfterHalt;
        ++adapter.busy;
        if (hook) hook();
    }
    ~Busy() { --adapter.busy; }
};

std::vector<uint8_t> ReadFrame(PNDIS_PACKET p) {
    UINT count, total;
    PNDIS_BUFFER b;
    NdisQueryPacket(p, nullptr, &count, &b, &total);
    std::vector<uint8_t> frame;
    while (b) {
        PVOID address;
        UINT length;
        NdisQueryBuffer(b, &address, &length);
        frame.insert(frame.end(), static_cast<uint8_t*>(address),
                     static_cast<uint8_t*>(address) + length);
        NdisGetNextBuffer(b, &b);
    }
    EXPECT_EQ(frame.size(), total);
    return frame;
}

NDIS_STATUS AllocateReceivePackets(Adapter& a) {
    NDIS_STATUS s;
    NdisAllocatePacketPool(&s, &a.packetPool, kReceivePackets, 16);
    if (s != NDIS_STATUS_SUCCESS) return s;
    NdisAllocateBufferPool(&s, &a.bufferPool, kReceivePackets);
    for (UINT i = 0; i < kReceivePackets && s == NDIS_STATUS_SUCCESS; ++i) {
        NdisAllocatePacket(&s, &a.rx[i], a.packetPool);
        if (s != NDIS_STATUS_SUCCESS) break;
        NdisAllocateBuffer(&s, &a.rxBuffer[i], a.bufferPool, a.rxData[i], kSlotSize);
        if (s != NDIS_STATUS_SUCCESS) break;
        NdisChainBufferAtFront(a.rx[i], a.rxBuffer[i]);
        NDIS_SET_PACKET_HEADER_SIZE(a.rx[i], 14);
    }
    return s;
}

// One release for a failed initialize and for halt: frees what is held.
void Release(Adapter& a) {
    for (UINT i = 0; i < kReceivePackets; ++i) {
        if (a.rxBuffer[i]) NdisFreeBuffer(a.rxBuffer[i]);
        if (a.rx[i]) NdisFreePacket(a.rx[i]);
        a.rxBuffer[i] = nullptr;
        a.rx[i] = nullptr;
    }
    if (a.bufferPool) NdisFreeBufferPool(a.bufferPool);
    if (a.packetPool) NdisFreePacketPool(a.packetPool);
    if (a.scratch) NdisFreeMemory(a.scratch, 0, 0);
    if (a.lockAllocated) NdisFreeSpinLock(&a.lock);
    a.lockAllocated = false;
    if (a.shutdownRegistered) NdisMDeregisterAdapterShutdownHandler(a.handle);
    a.bufferPool = a.packetPool = a.scratch = nullptr;
    a.shutdownRegistered = false;
}

void NTAPI Shutdown(PVOID context) { ++static_cast<Adapter*>(context)->shutdowns; }

NDIS_STATUS NTAPI Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT count,
                             NDIS_HANDLE handle, NDIS_HANDLE) {
    UINT i = 0;
    while (i < count && media[i] != NdisMedium802_3) ++i;
    if (i == count) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *selected = i;
    Adapter& a = adapter;
    a.handle = handle;
    a.halted = false;
    a.busyAtHalt = a.busyAtReset = -1;
    NdisMSetAttributesEx(handle, &a, knobs.hangSeconds,
                         NDIS_ATTRIBUTE_BUS_MASTER | NDIS_ATTRIBUTE_DESERIALIZE |
                             knobs.extraAttributes,
                         NdisInterfacePci);
    if (knobs.spinLock) {
        NdisAllocateSpinLock(&a.lock);
        a.lockAllocated = true;
    }
    NdisMRegisterAdapterShutdownHandler(handle, &a, Shutdown);
    a.shutdownRegistered = true;
    NDIS_STATUS s = NdisAllocateMemoryWithTag(&a.scratch, 64, kTag);
    if (s == NDIS_STATUS_SUCCESS) s = AllocateReceivePackets(a);
    if (s == NDIS_STATUS_SUCCESS && knobs.failInitialize) s = NDIS_STATUS_ADAPTER_NOT_FOUND;
    if (s != NDIS_STATUS_SUCCESS) {
        if (knobs.leakOnFailure) std::swap(leaked, a.scratch);
        Release(a);
    }
    return s;
}

// The toy's spin lock, when it has one, for as long as `held` lives.
struct ToyLock {
    explicit ToyLock(Adapter& a, bool take) : a_(a), taken_(take && a.lockAllocated) {
        if (taken_) NdisAcquireSpinLock(&a_.lock);
    }
    ~ToyLock() {
        if (taken_) NdisReleaseSpinLock(&a_.lock);
    }
    Adapter& a_;
    bool taken_;
};

void CompleteQueued(Adapter& a, NDIS_STATUS status) {
    std::vector<PNDIS_PACKET> queued;
    {
        std::lock_guard<std::mutex> lock(a.mu);
        queued.swap(a.queued);
    }
    ToyLock held(a, knobs.upcallsUnderLock);
    for (auto* p : queued) NdisMSendComplete(a.handle, p, status);
}

void NTAPI Halt(NDIS_HANDLE context) {
    Adapter& a = *static_cast<Adapter*>(context);
    if (knobs.inHalt) knobs.inHalt();
    a.busyAtHalt = a.busy;
    a.halted = true;
    a.returnedAtHalt = a.returned.size();
    if (knobs.abortSendsAtHalt) CompleteQueued(a, NDIS_STATUS_REQUEST_ABORTED);
    if (a.pendingBuffer) NdisMQueryInformationComplete(a.handle, NDIS_STATUS_FAILURE);
    Release(a);
}

void NTAPI SendPackets(NDIS_HANDLE context, PPNDIS_PACKET packets, UINT count) {
    Adapter& a = *static_cast<Adapter*>(context);
    Busy busy(knobs.inSend);
    ToyLock held(a, true);
    std::unique_lock<std::mutex> lock(a.mu);
    ++a.sendCalls;
    for (UINT i = 0; i < count; ++i) {
        a.sent.push_back(ReadFrame(packets[i]));
        if (knobs.overreadSent) {
            PNDIS_BUFFER b;
            NdisQueryPacket(packets[i], nullptr, nullptr, &b, nullptr);
            while (b && b->Next) b = b->Next;
            PVOID address;
            UINT length;
            NdisQueryBuffer(b, &address, &length);
            volatile UCHAR past = static_cast<volatile UCHAR*>(address)[length];
            (void)past;
        }
        a.sendIrqls.push_back(KeGetCurrentIrql());
        a.sendProcessors.push_back(CurrentProcessor());
        a.sentDuringReset += a.inReset;
        NDIS_SET_PACKET_STATUS(packets[i], NDIS_STATUS_PENDING);
        if (!knobs.completeSendsAtOnce) {
            a.queued.push_back(packets[i]);
            continue;
        }
        lock.unlock();  // a completion may send again, re-entrantly
        NdisMSendComplete(a.handle, packets[i], NDIS_STATUS_SUCCESS);
        lock.lock();
    }
}

void NTAPI ReturnPacket(NDIS_HANDLE context, PNDIS_PACKET packet) {
    Adapter& a = *static_cast<Adapter*>(context);
    Busy busy(knobs.inReturn);
    a.returned.push_back(packet);
    a.returnProcessors.push_back(CurrentProcessor());
    a.returnedDuringIndication += a.indicating;
}

void AnswerSlowly(Adapter& a) {
    RunAtIrql(DISPATCH_LEVEL, "toy deferred routine", [&] {
        auto* buffer = static_cast<volatile UCHAR*>(a.pendingBuffer);
        memset(a.pendingBuffer, 0x42, 4);
        *a.pendingWritten = 4;
        a.pendingBuffer = nullptr;
        NdisMQueryInformationComplete(a.handle, NDIS_STATUS_SUCCESS);
        if (knobs.writeAfterCompletion) buffer[0] = 0x43;
    });
}

PVOID lastQueryBuffer = nullptr;

NDIS_STATUS NTAPI Query(NDIS_HANDLE context, NDIS_OID oid, PVOID buffer, ULONG length,
                        PULONG written, PULONG needed) {
    Adapter& a = *static_cast<Adapter*>(context);
    Busy busy(knobs.inQuery);
    lastQueryBuffer = buffer;
    *needed = 4;
    if (oid == kSlowOid || oid == kStuckOid) {
        a.pendingBuffer = buffer;
        a.pendingWritten = written;
        if (oid == kSlowOid) {
            ScheduleAfter(5 * kMillisecond, [&a] { AnswerSlowly(a); }, "toy answer");
        }
        return NDIS_STATUS_PENDING;
    }
    if (oid == kOverrunOid) {
        memset(buffer, 0x42, 8);
        *written = 8;
        return NDIS_STATUS_SUCCESS;
    }
    if (length < 4) return NDIS_STATUS_INVALID_LENGTH;
    ULONG value = 1234;
    memcpy(buffer, &value, 4);
    *written = 4;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Set(NDIS_HANDLE context, NDIS_OID oid, PVOID buffer, ULONG length,
                      PULONG read, PULONG needed) {
    Adapter& a = *static_cast<Adapter*>(context);
    Busy busy(nullptr);
    *needed = 0;
    if (oid != OID_GEN_CURRENT_PACKET_FILTER || length != 4) return NDIS_STATUS_INVALID_OID;
    memcpy(&a.filter, buffer, 4);
    *read = 4;
    ++a.sets;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Reset(PBOOLEAN addressingReset, NDIS_HANDLE context) {
    Adapter& a = *static_cast<Adapter*>(context);
    a.busyAtReset = a.busy;
    Busy busy(knobs.inReset);
    a.inReset = true;
    CompleteQueued(a, NDIS_STATUS_REQUEST_ABORTED);
    a.inReset = false;
    if (knobs.resetEndsRequest && a.pendingBuffer) {
        a.pendingBuffer = nullptr;
        NdisMQueryInformationComplete(a.handle, NDIS_STATUS_REQUEST_ABORTED);
    }
    *addressingReset = knobs.addressingReset;
    return NDIS_STATUS_SUCCESS;
}

BOOLEAN NTAPI CheckForHang(NDIS_HANDLE) {
    ++adapter.hangChecks;
    Busy busy(knobs.inHangCheck);
    return knobs.hung;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT object, PUNICODE_STRING path) {
    NDIS_HANDLE wrapper;
    NdisInitializeWrapper(&wrapper, object, path, nullptr);
    NDIS50_MINIPORT_CHARACTERISTICS c;
    memset(&c, 0, sizeof c);
    NDIS30_MINIPORT_CHARACTERISTICS& v30 = c.Ndis40Chars.Ndis30Chars;
    v30.MajorNdisVersion = 5;
    v30.MinorNdisVersion = 0;
    v30.InitializeHandler = Initialize;
    v30.HaltHandler = Halt;
    v30.QueryInformationHandler = Query;
    v30.SetInformationHandler = Set;
    v30.ResetHandler = Reset;
    v30.CheckForHangHandler = CheckForHang;
    c.Ndis40Chars.SendPacketsHandler = SendPackets;
    c.Ndis40Chars.ReturnPacketHandler = ReturnPacket;
    UINT length = sizeof c;
    if (knobs.tweak) knobs.tweak(&c, &length);
    NDIS_STATUS status = NdisMRegisterMiniport(wrapper, &c, length);
    if (status != NDIS_STATUS_SUCCESS && knobs.terminateOnFailure) {
        NdisTerminateWrapper(wrapper, nullptr);
    }
    return status;
}

// Plays the adapter's deferred routine: fills receive packets first..,
// one per status, with frames of 60, 61, ... bytes and indicates them in one
// call at `irql`.
void Indicate(std::vector<NDIS_STATUS> statuses, UINT first = 0, KIRQL irql = DISPATCH_LEVEL) {
    Adapter& a = adapter;
    PNDIS_PACKET array[kReceivePackets];
    for (UINT k = 0; k < statuses.size(); ++k) {
        PNDIS_PACKET p = a.rx[first + k];
        UINT length = 60 + k;
        memset(a.rxData[first + k], 0x10 + k, length);
        NdisAdjustBufferLength(a.rxBuffer[first + k], length);
        if (knobs.recalculateCounts) NdisRecalculatePacketCounts(p);
        NDIS_SET_PACKET_STATUS(p, statuses[k]);
        array[k] = p;
    }
    RunAtIrql(irql, "toy deferred routine", [&] {
        ToyLock held(a, knobs.upcallsUnderLock);
        a.indicating = true;
        NdisMIndicateReceivePacket(a.handle, array, static_cast<UINT>(statuses.size()));
        a.indicating = false;
    });
}

}  // namespace toy

// ---------------------------------------------------------------------------
// Fixture: a loaded toy driver and one adapter, not yet started. NDIS's
// watchdog is off: the toy's hang check says TRUE, and these tests make the
// hang checks and resets themselves (WatchdogTest turns it on).
// ---------------------------------------------------------------------------
class MiniportTest : public HostTest {
protected:
    host::WorldOptions WorldOptions() override { return testing_support::WithoutWatchdog(); }

    std::unique_ptr<Driver> driver;
    std::unique_ptr<Miniport> nic;
    toy::Adapter& adapter = toy::adapter;

    void SetUp() override {
        HostTest::SetUp();
        toy::knobs = {};
        toy::adapter.~Adapter();
        new (&toy::adapter) toy::Adapter();
        driver = std::make_unique<Driver>(toy::DriverEntry);
        ASSERT_EQ(driver->Load(), NDIS_STATUS_SUCCESS);
        nic = std::make_unique<Miniport>(*driver);
    }
    void TearDown() override {
        if (nic->Running()) nic->Halt();
        nic.reset();
        driver.reset();
        HostTest::TearDown();
    }
    // Started, with a packet filter set as a bound protocol would.
    void Start() {
        ASSERT_EQ(nic->Initialize(), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(nic->Set(OID_GEN_CURRENT_PACKET_FILTER, UlongBytes(NDIS_PACKET_TYPE_DIRECTED))
                      .status,
                  NDIS_STATUS_SUCCESS);
    }
    static std::vector<uint8_t> Frame(size_t length, uint8_t first = 0) {
        std::vector<uint8_t> f(length);
        for (size_t i = 0; i < length; ++i) f[i] = static_cast<uint8_t>(first + i);
        return f;
    }
};

// ---------------------------------------------------------------------------
// Loading and registration
// ---------------------------------------------------------------------------
TEST_F(MiniportTest, RegistrationRefusesTablesThatAreNotCompleteNdis50) {
    using Tweak = void (*)(NDIS50_MINIPORT_CHARACTERISTICS*, UINT*);
    struct Case {
        Tweak tweak;
        NDIS_STATUS expected;
    } cases[] = {
        {[](NDIS50_MINIPORT_CHARACTERISTICS* c, UINT*) {
             c->Ndis40Chars.Ndis30Chars.MinorNdisVersion = 1;
         },
         NDIS_STATUS_BAD_VERSION},
        {[](NDIS50_MINIPORT_CHARACTERISTICS*, UINT* n) {
             *n = sizeof(NDIS40_MINIPORT_CHARACTERISTICS);
         },
         NDIS_STATUS_BAD_VERSION},
        {[](NDIS50_MINIPORT_CHARACTERISTICS* c, UINT*) {
             c->Ndis40Chars.Ndis30Chars.HaltHandler = nullptr;
         },
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {[](NDIS50_MINIPORT_CHARACTERISTICS* c, UINT*) {
             c->Ndis40Chars.SendPacketsHandler = nullptr;  // and no MiniportSend either
         },
         NDIS_STATUS_BAD_CHARACTERISTICS},
    };
    for (auto& c : cases) {
        toy::knobs.tweak = c.tweak;
        Driver refused(toy::DriverEntry, "refused");
        EXPECT_EQ(refused.Load(), c.expected);
        EXPECT_EQ(refused.RegistrationStatus(), c.expected);
        EXPECT_FALSE(refused.Registered());
        EXPECT_FALSE(refused.Loaded());
    }
    EXPECT_TRUE(driver->Registered());
    EXPECT_EQ(driver->Characteristics().Ndis40Chars.SendPacketsHandler, toy::SendPackets);
}

TEST_F(MiniportTest, FailedDriverEntryMustTerminateItsWrapperAndUnloadWaitsForHalt) {
    toy::knobs.tweak = [](NDIS50_MINIPORT_CHARACTERISTICS* c, UINT*) {
        c->Ndis40Chars.Ndis30Chars.ResetHandler = nullptr;
    };
    toy::knobs.terminateOnFailure = false;
    Driver careless(toy::DriverEntry, "careless");
    auto v = CaptureViolations([&] { careless.Load(); });
    EXPECT_TRUE(AnyContains(v, "DriverEntry failed (0xC0010005) without NdisTerminateWrapper"));

    Start();
    v = CaptureViolations([&] { driver->Unload(); });
    EXPECT_TRUE(AnyContains(v, "1 adapter(s) of the driver have not been halted"));
    nic->Halt();
    driver->Unload();
    EXPECT_FALSE(driver->Loaded());
}

// ---------------------------------------------------------------------------
// Initialize and halt
// ---------------------------------------------------------------------------
TEST_F(MiniportTest, InitializeKeepsWhatTheAdapterToldNdisAndHaltLeavesNothing) {
    nic->SetMedia({NdisMedium802_5, NdisMedium802_3});
    ASSERT_EQ(nic->Initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic->SelectedMediumIndex(), 1u);
    EXPECT_EQ(nic->Context(), &adapter);
    EXPECT_EQ(nic->Attributes().flags, 0x28u);
    EXPECT_EQ(nic->Attributes().interfaceType, NdisInterfacePci);
    EXPECT_TRUE(nic->ShutdownHandlerRegistered());
    // What the adapter acquired during initialization is booked to it.
    for (auto& e : LedgerEntries()) EXPECT_EQ(e.owner, nic->Handle()) << ResourceName(e.kind);
    EXPECT_EQ(LedgerCount(Resource::Packet), toy::kReceivePackets);

    EXPECT_TRUE(nic->Shutdown());
    EXPECT_EQ(adapter.shutdowns, 1);
    EXPECT_TRUE(nic->CheckForHang());
    nic->Halt();
    EXPECT_FALSE(nic->Running());
    EXPECT_EQ(LedgerSize(), 0u) << LedgerReport();
}

TEST_F(MiniportTest, EachFailingAcquisitionFailsInitializeCleanlyAndTheNextOneWorks) {
    Resource kinds[] = {Resource::PoolMemory, Resource::PacketPool, Resource::BufferPool,
                        Resource::Packet, Resource::Buffer};
    for (Resource kind : kinds) {
        FailNth(kind, kind == Resource::Packet || kind == Resource::Buffer ? 3 : 1);
        EXPECT_NE(nic->Initialize(), NDIS_STATUS_SUCCESS) << ResourceName(kind);
        EXPECT_EQ(LedgerSize(), 0u) << LedgerReport();
        EXPECT_FALSE(nic->Running());
    }
    Start();
}

TEST_F(MiniportTest, FailedInitializeThatLeavesMemoryIsFlagged) {
    toy::knobs.failInitialize = true;
    toy::knobs.leakOnFailure = true;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    auto v = CaptureViolations([&] { status = nic->Initialize(); });
    EXPECT_EQ(status, NDIS_STATUS_ADAPTER_NOT_FOUND);
    EXPECT_TRUE(AnyContains(v, "MiniportInitialize failed (0xC0010018) and left 1 held: pool "
                               "memory"));
    NdisFreeMemory(toy::leaked, 0, 0);
}

TEST_F(MiniportTest, HaltWithASendNeverCompletedIsFlagged) {
    toy::knobs.completeSendsAtOnce = false;
    toy::knobs.abortSendsAtHalt = false;
    Start();
    nic->Send({Frame(60)});
    auto v = CaptureViolations([&] { nic->Halt(); });
    EXPECT_TRUE(AnyContains(v, "MiniportHalt returned with 1 send(s) never completed"));
}

TEST_F(MiniportTest, NothingIsIndicatedOrCompletedAfterHalt) {
    toy::knobs.completeSendsAtOnce = false;
    Start();
    nic->Send({Frame(60)});
    PNDIS_PACKET sent = adapter.queued.at(0);
    nic->Halt();  // the toy aborts the send
    NDIS_HANDLE handle = nic->Handle();
    auto v = CaptureViolations([&] {
        RunAtIrql(DISPATCH_LEVEL, "a late deferred routine", [&] {
            NdisMSendComplete(handle, sent, NDIS_STATUS_SUCCESS);
            NdisMIndicateReceivePacket(handle, nullptr, 0);
            NdisMIndicateStatus(handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
            NdisMQueryInformationComplete(handle, NDIS_STATUS_SUCCESS);
        });
    });
    ASSERT_EQ(v.size(), 4u);
    for (auto& m : v) {
        EXPECT_NE(m.find("nothing is indicated or completed after halt"), m.npos) << m;
    }
    EXPECT_EQ(nic->Completions().size(), 1u);
}

TEST_F(MiniportTest, AttributesOutsideInitializeAreFlagged) {
    Start();
    auto v = CaptureViolations([&] {
        NdisMSetAttributesEx(nic->Handle(), &adapter, 0, 0, NdisInterfacePci);
    });
    EXPECT_TRUE(AnyContains(v, "allowed only while MiniportInitialize runs"));
}

// ---------------------------------------------------------------------------
// Send
// ---------------------------------------------------------------------------
TEST_F(MiniportTest, SendsArePacketsOfTheFramesInOneCallAndTheirCompletionsAreRecorded) {
    Start();
    Advance(3 * kMillisecond);
    auto frame = Frame(134);
    auto ids = nic->Send({{frame, {14, 34}}, Frame(42, 7), OutgoingFrame::WithoutBuffer()});
    EXPECT_EQ(ids, (std::vector<SendId>{1, 2, 3}));
    EXPECT_EQ(adapter.sendCalls, 1);
    ASSERT_EQ(adapter.sent.size(), 3u);
    EXPECT_EQ(adapter.sent[0], frame);
    EXPECT_TRUE(adapter.sent[2].empty());
    EXPECT_EQ(adapter.sendIrqls[0], DISPATCH_LEVEL);

    auto completions = nic->Completions();
    ASSERT_EQ(completions.size(), 3u);
    EXPECT_EQ(completions[1].id, 2u);
    EXPECT_EQ(completions[1].frame, Frame(42, 7));
    EXPECT_EQ(completions[1].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(completions[1].time, 3 * kMillisecond);
    EXPECT_EQ(nic->SendsOutstanding(), 0u);

    // More frames in one call than a call keeps in place: one call still,
    // each frame its packet, in order.
    std::vector<OutgoingFrame> many;
    for (int i = 0; i < 20; ++i) many.push_back(Frame(60 + i, static_cast<uint8_t>(i)));
    ids = nic->Send(many);
    ASSERT_EQ(ids.size(), 20u);
    EXPECT_EQ(ids.front(), 4u);
    EXPECT_EQ(ids.back(), 23u);
    EXPECT_EQ(adapter.sendCalls, 2);
    ASSERT_EQ(adapter.sent.size(), 23u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(adapter.sent[3 + i], many[i].bytes) << i;

    nic->Send({Frame(60)}, {PASSIVE_LEVEL, 1});
    EXPECT_EQ(adapter.sendIrqls.back(), PASSIVE_LEVEL);
    EXPECT_EQ(adapter.sendProcessors.back(), 1u);
    auto v = CaptureViolations([&] { EXPECT_TRUE(nic->Send({{Frame(10), {11}}}).empty()); });
    EXPECT_TRUE(AnyContains(v, "cannot be cut at the offsets given"));
}

TEST_F(MiniportTest, ACompletionCanSendAgainOnTheSameProcessor) {
    toy::knobs.completeSendsAtOnce = false;
    Start();
    nic->OnSendComplete([&](const SendCompletion& c) {
        if (c.id == 1) nic->Send({Frame(61)});
    });
    nic->Send({Frame(60)});
    OnProcessor(1, [&] {
        RunAtIrql(DISPATCH_LEVEL, "toy deferred routine",
                  [&] { toy::CompleteQueued(adapter, NDIS_STATUS_SUCCESS); });
    });
    ASSERT_EQ(adapter.sent.size(), 2u);
    EXPECT_EQ(adapter.sendProcessors[1], 1u);
    EXPECT_EQ(adapter.sendIrqls[1], DISPATCH_LEVEL);
    EXPECT_EQ(nic->SendsOutstanding(), 1u);
    toy::CompleteQueued(adapter, NDIS_STATUS_SUCCESS);
}

TEST_F(MiniportTest, ASecondCompletionOrAStrangerIsFlagged) {
    Start();
    nic->Send({Frame(60)});
    PNDIS_PACKET sent = nic->Completions().at(0).packet;
    PNDIS_PACKET own = adapter.rx[0];
    auto v = CaptureViolations([&] {
        NdisMSendComplete(nic->Handle(), sent, NDIS_STATUS_SUCCESS);
        NdisMSendComplete(nic->Handle(), own, NDIS_STATUS_SUCCESS);
        NdisMSendComplete(nic->Handle(), own, NDIS_STATUS_PENDING);
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_NE(v[0].find("the send has been completed already"), std::string::npos);
    EXPECT_NE(v[1].find("not a packet sent to this adapter"), std::string::npos);
    EXPECT_NE(v[2].find("NDIS_STATUS_PENDING is not a completion status"), std::string::npos);
    EXPECT_EQ(nic->Completions().size(), 1u);
}

TEST_F(MiniportTest, ARetiredSendCountsAsFreedAndComesBackAsAFreshPacket) {
    Start();
    nic->Send({Frame(60)});
    PNDIS_PACKET first = nic->Completions().at(0).packet;
    // What a miniport may leave in a packet it was sent.
    NDIS_SET_PACKET_STATUS(first, NDIS_STATUS_RESOURCES);
    NDIS_SET_PACKET_HEADER_SIZE(first, 14);
    // 64 later completions make it the oldest kept: it is retired for reuse.
    for (int i = 0; i < 64; ++i) nic->Send({Frame(60)});
    auto v = CaptureViolations([&] {
        UINT total = 0;
        NdisQueryPacket(first, nullptr, nullptr, nullptr, &total);
        NdisMSendComplete(nic->Handle(), first, NDIS_STATUS_SUCCESS);
    });
    ASSERT_EQ(v.size(), 2u);
    EXPECT_TRUE(AnyContains({v[0]}, "the packet has been freed"));
    EXPECT_TRUE(AnyContains({v[1]}, "not a packet sent to this adapter"));
    // The next send of one piece takes it, as NDIS would hand out a new one.
    nic->Send({Frame(30, 9)});
    ASSERT_EQ(nic->Completions().back().packet, first);
    EXPECT_EQ(adapter.sent.back(), Frame(30, 9));
    UINT count = 0, total = 0;
    NdisQueryPacket(first, nullptr, &count, nullptr, &total);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(total, 30u);
    // Out-of-band data as the toy left it this time, nothing of the last.
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(first), NDIS_STATUS_PENDING);
    EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(first), 0u);
}

// A retired send serves the next send whatever its number of buffers:
// fewer (the buffers it no longer chains count as freed), then more (the
// ones it kept come back, new ones are made), each time with the frame's
// bytes, its counts, and its buffers named by their place and count now.
TEST_F(MiniportTest, ARetiredSendServesAPacketOfMoreOrFewerBuffers) {
    Start();
    auto retireAll = [&] {
        for (int i = 0; i < 64; ++i) nic->Send({Frame(60)});
    };
    nic->Send({{Frame(140, 1), {20, 80}}});
    PNDIS_PACKET first = nic->Completions().back().packet;
    std::vector<PNDIS_BUFFER> chained;
    PNDIS_BUFFER b;
    NdisQueryPacket(first, nullptr, nullptr, &b, nullptr);
    for (; b; b = b->Next) chained.push_back(b);
    ASSERT_EQ(chained.size(), 3u);

    // Fewer: two buffers, the last as long as before but now the last of two.
    retireAll();
    toy::knobs.overreadSent = true;
    auto v = CaptureViolations([&] { nic->Send({{Frame(80, 2), {20}}}); });
    toy::knobs.overreadSent = false;
    ASSERT_EQ(nic->Completions().back().packet, first);
    EXPECT_EQ(adapter.sent.back(), Frame(80, 2));
    EXPECT_TRUE(AnyContains(v, "past the end of buffer 2 of 2 of a packet sent (60 bytes)"))
        << (v.empty() ? "no violation" : v[0]);
    UINT count = 0, total = 0;
    NdisQueryPacket(first, nullptr, &count, nullptr, &total);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(total, 80u);
    v = CaptureViolations([&] {
        PVOID address;
        UINT length;
        NdisQueryBuffer(chained[2], &address, &length);
    });
    EXPECT_TRUE(AnyContains(v, "the buffer has been freed"));

    // More: five, empty ones among them; the third buffer it left comes back.
    retireAll();
    toy::knobs.overreadSent = true;
    std::vector<uint8_t> five = Frame(200, 3);
    v = CaptureViolations([&] { nic->Send({{five, {1, 1, 50, 199}}}); });
    toy::knobs.overreadSent = false;
    ASSERT_EQ(nic->Completions().back().packet, first);
    EXPECT_EQ(adapter.sent.back(), five);
    EXPECT_EQ(nic->Completions().back().frame, five);
    EXPECT_TRUE(AnyContains(v, "past the end of buffer 5 of 5 of a packet sent (1 bytes)"))
        << (v.empty() ? "no violation" : v[0]);
    NdisQueryPacket(first, nullptr, &count, &b, &total);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(total, 200u);
    std::vector<UINT> lengths;
    for (; b; b = b->Next) {
        PVOID address;
        UINT length;
        NdisQueryBuffer(b, &address, &length);
        lengths.push_back(length);
    }
    EXPECT_EQ(lengths, (std::vector<UINT>{1, 0, 49, 149, 1}));

    // And none: a packet without a buffer, then one again.
    retireAll();
    nic->Send({OutgoingFrame::WithoutBuffer()});
    ASSERT_EQ(nic->Completions().back().packet, first);
    NdisQueryPacket(first, nullptr, &count, nullptr, &total);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(adapter.sent.back().empty());
    retireAll();
    nic->Send({Frame(61, 4)});
    ASSERT_EQ(nic->Completions().back().packet, first);
    EXPECT_EQ(adapter.sent.back(), Frame(61, 4));
}

TEST_F(MiniportTest, ACompletionFromInsideAnothersCallbackLeavesThatOneIntact) {
    toy::knobs.completeSendsAtOnce = false;
    Start();
    nic->Send({Frame(60, 1), Frame(61, 2)});
    ASSERT_EQ(adapter.queued.size(), 2u);
    PNDIS_PACKET first = adapter.queued[0], second = adapter.queued[1];
    adapter.queued.clear();
    std::vector<std::vector<uint8_t>> seen;
    nic->OnSendComplete([&](const SendCompletion& c) {
        if (c.packet == first) NdisMSendComplete(nic->Handle(), second, NDIS_STATUS_SUCCESS);
        seen.push_back(c.frame);
    });
    NdisMSendComplete(nic->Handle(), first, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::vector<uint8_t>>{Frame(61, 2), Frame(60, 1)}));
}

// The data of a packet sent ends, buffer by buffer, on a page boundary: a
// miniport reading past a buffer's end faults at the read.
TEST_F(MiniportTest, AReadPastASentBuffersEndFaults) {
    toy::knobs.overreadSent = true;
    Start();
    auto v = CaptureViolations([&] { nic->Send({{Frame(60), {14}}}); });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "special pool: a read at offset 46, past the end of buffer 2 of 2 "
                               "of a packet sent (46 bytes)"))
        << v[0];
    // Its storage, retired after 64 more sends, serves a later packet of
    // two buffers, guarded again.
    PNDIS_PACKET first = nic->Completions().at(0).packet;
    toy::knobs.overreadSent = false;
    for (int i = 0; i < 64; ++i) nic->Send({Frame(60)});
    toy::knobs.overreadSent = true;
    v = CaptureViolations([&] { nic->Send({{Frame(80), {20}}}); });
    ASSERT_EQ(nic->Completions().back().packet, first);
    EXPECT_TRUE(AnyContains(v, "a read at offset 60, past the end of buffer 2 of 2 of a packet "
                               "sent (60 bytes)"));
    // Reused again in the same shape, and then with its last buffer longer:
    // each report names the buffer as it is now.
    for (size_t length : {80, 95}) {
        toy::knobs.overreadSent = false;
        for (int i = 0; i < 64; ++i) nic->Send({Frame(60)});
        toy::knobs.overreadSent = true;
        v = CaptureViolations([&] { nic->Send({{Frame(length), {20}}}); });
        ASSERT_EQ(nic->Completions().back().packet, first);
        std::string last = std::to_string(length - 20);
        EXPECT_TRUE(AnyContains(v, "a read at offset " + last + ", past the end of buffer 2 of 2 "
                                   "of a packet sent (" + last + " bytes)"))
            << (v.empty() ? "no violation" : v[0]);
    }
}

// Send after send over retired records: each completion carries the frame
// that was sent, and a packet's data written by the miniport (inside its
// buffer, or before it in its page) is found at completion, whichever
// record's storage the packet was built in and whatever that storage last
// carried.
TEST_F(MiniportTest, EveryCompletionCarriesItsFrameAndAWriteIntoOneIsFound) {
    toy::knobs.completeSendsAtOnce = false;
    Start();
    std::vector<std::vector<uint8_t>> seen;
    nic->OnSendComplete([&](const SendCompletion& c) { seen.push_back(c.frame); });
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> frame = Frame(60 + i % 3 * 700, static_cast<uint8_t>(i));
        sent.push_back(frame);
        nic->Send({frame});
        ASSERT_EQ(adapter.queued.size(), 1u);
        PNDIS_PACKET packet = adapter.queued.back();
        adapter.queued.clear();
        int stray = i % 100 == 97 ? 1 : i % 100 == 98 ? -1 : 0;  // in the data, before it
        if (stray) {
            PNDIS_BUFFER b;
            NdisQueryPacket(packet, nullptr, nullptr, &b, nullptr);
            PVOID address;
            UINT length;
            NdisQueryBuffer(b, &address, &length);
            ptrdiff_t at = stray > 0 ? static_cast<ptrdiff_t>(length / 2) : -1;
            static_cast<UCHAR*>(address)[at] ^= 0x5A;
        }
        auto v = CaptureViolations(
            [&] { NdisMSendComplete(nic->Handle(), packet, NDIS_STATUS_SUCCESS); });
        if (stray) {
            ASSERT_EQ(v.size(), 1u) << "send " << i;
            EXPECT_TRUE(AnyContains(v, "the miniport wrote into the data of a packet it was sent"));
        } else {
            EXPECT_TRUE(v.empty()) << "send " << i << ": " << (v.empty() ? "" : v[0]);
        }
    }
    EXPECT_EQ(seen, sent);
    EXPECT_EQ(adapter.sent, sent);
    ASSERT_EQ(nic->Completions().size(), sent.size());
    EXPECT_EQ(nic->Completions().back().frame, sent.back());
}

// ---------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------
TEST_F(MiniportTest, PacketsComeBackFromInsideTheIndication) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::InsideIndication});
    toy::Indicate({NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS});
    EXPECT_EQ(adapter.returnedDuringIndication, 2);
    EXPECT_TRUE(nic->HeldPackets().empty());
    auto frames = nic->Received();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].bytes, std::vector<uint8_t>(61, 0x11));
    EXPECT_EQ(frames[1].headerSize, 14u);
    EXPECT_EQ(frames[1].indication, 1u);
    EXPECT_TRUE(nic->Warnings().empty());
}

TEST_F(MiniportTest, PacketsComeBackAfterTheIndicationOnTheChosenProcessor) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::AfterIndication, 1});
    toy::Indicate({NDIS_STATUS_SUCCESS});
    EXPECT_TRUE(adapter.returned.empty());
    EXPECT_EQ(nic->HeldPackets().size(), 1u);
    RunPending();
    ASSERT_EQ(adapter.returned.size(), 1u);
    EXPECT_EQ(adapter.returnProcessors[0], 1u);
    EXPECT_EQ(adapter.returnedDuringIndication, 0);
}

TEST_F(MiniportTest, HeldPacketsComeBackWhenTheTestSaysAndAllBeforeHalt) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::Hold});
    toy::Indicate({NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS});
    EXPECT_EQ(nic->HeldPackets().size(), 3u);
    EXPECT_EQ(nic->ReturnHeld(1, 1), 1u);
    ASSERT_EQ(adapter.returned.size(), 1u);
    EXPECT_EQ(adapter.returned[0], adapter.rx[0]);
    EXPECT_EQ(adapter.returnProcessors[0], 1u);

    auto v = CaptureViolations([&] { toy::Indicate({NDIS_STATUS_SUCCESS}, 1); });
    EXPECT_TRUE(AnyContains(v, "indicated again while the protocol still holds it"));
    nic->Halt();
    EXPECT_EQ(adapter.returnedAtHalt, 3u);
}

// A packet that appears twice in one array is taken once: one frame, the
// second place refused (as lent already, or, marked NDIS_STATUS_RESOURCES and
// so not lent, as a repeat). The frames of one indication carry one moment.
TEST_F(MiniportTest, APacketTwiceInOneArrayIsTakenOnce) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::Hold});
    for (UINT k = 0; k < 2; ++k) {
        memset(adapter.rxData[k], 0x20 + k, 60);
        NdisAdjustBufferLength(adapter.rxBuffer[k], 60);
        NdisRecalculatePacketCounts(adapter.rx[k]);
    }
    NDIS_SET_PACKET_STATUS(adapter.rx[0], NDIS_STATUS_SUCCESS);
    NDIS_SET_PACKET_STATUS(adapter.rx[1], NDIS_STATUS_RESOURCES);
    PNDIS_PACKET array[] = {adapter.rx[0], adapter.rx[1], adapter.rx[0], adapter.rx[1]};
    auto v = CaptureViolations([&] {
        RunAtIrql(DISPATCH_LEVEL, "toy deferred routine",
                  [&] { NdisMIndicateReceivePacket(adapter.handle, array, 4); });
    });
    ASSERT_EQ(v.size(), 2u);
    char text[96];
    snprintf(text, sizeof text, "packet %p: indicated again while the protocol still holds it",
             static_cast<void*>(adapter.rx[0]));
    EXPECT_TRUE(AnyContains({v[0]}, text)) << v[0];
    snprintf(text, sizeof text, "packet %p: appears twice in the array",
             static_cast<void*>(adapter.rx[1]));
    EXPECT_TRUE(AnyContains({v[1]}, text)) << v[1];
    auto frames = nic->Received();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].packet, adapter.rx[0]);
    EXPECT_EQ(frames[1].packet, adapter.rx[1]);
    EXPECT_EQ(frames[1].bytes, std::vector<uint8_t>(60, 0x21));
    EXPECT_EQ(frames[0].time, frames[1].time);
    EXPECT_EQ(nic->HeldPackets(), std::vector<PNDIS_PACKET>{adapter.rx[0]});
}

TEST_F(MiniportTest, AResourcesPacketIsCopiedAndNeverReturned) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::Hold});
    toy::Indicate({NDIS_STATUS_SUCCESS, NDIS_STATUS_RESOURCES});
    auto frames = nic->Received();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(frames[1].bytes.size(), 61u);
    EXPECT_EQ(nic->HeldPackets(), std::vector<PNDIS_PACKET>{adapter.rx[0]});
    auto v = CaptureViolations([&] { nic->ReturnPacket(adapter.rx[1]); });
    EXPECT_TRUE(AnyContains(v, "indicated with NDIS_STATUS_RESOURCES"));
    EXPECT_TRUE(adapter.returned.empty());
    nic->ReturnPacket(adapter.rx[0]);
    v = CaptureViolations([&] { nic->ReturnPacket(adapter.rx[0]); });
    EXPECT_TRUE(AnyContains(v, "has been returned already"));
}

// A deferred routine may still run while MiniportHalt runs on another
// processor, until the interrupt is deregistered. What it indicates then is
// heard by no protocol (they are unbound) and comes back at once.
TEST_F(MiniportTest, AnIndicationWhileMiniportHaltRunsIsHeardByNoneAndComesBackAtOnce) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::Hold});
    size_t heardBefore = 0, returnedInHalt = 0;
    toy::knobs.inHalt = [&] {
        heardBefore = nic->Received().size();
        toy::Indicate({NDIS_STATUS_SUCCESS, NDIS_STATUS_RESOURCES});
        returnedInHalt = adapter.returned.size();
    };
    PNDIS_PACKET lent = adapter.rx[0];  // halt frees the toy's packets
    auto v = CaptureViolations([&] { nic->Halt(); });
    EXPECT_TRUE(v.empty()) << v.front();
    EXPECT_EQ(heardBefore, 0u);
    // The lent packet came back through MiniportReturnPacket inside the
    // indication; the RESOURCES one was the toy's again when it returned.
    ASSERT_EQ(returnedInHalt, 1u);
    EXPECT_EQ(adapter.returned[0], lent);
}

TEST_F(MiniportTest, IndicationContractsAreChecked) {
    ASSERT_EQ(nic->Initialize(), NDIS_STATUS_SUCCESS);
    toy::Indicate({NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS});  // no packet filter: a warning
    EXPECT_TRUE(AnyContains(nic->Warnings(), "2 packet(s) indicated before a packet filter"));
    RunPending();
    toy::knobs.recalculateCounts = false;
    auto v = CaptureViolations([&] { toy::Indicate({NDIS_STATUS_SUCCESS}, 1, PASSIVE_LEVEL); });
    EXPECT_TRUE(AnyContains(v, "NdisMIndicateReceivePacket called at IRQL 0"));
    EXPECT_TRUE(AnyContains(v, "cached counts (61 bytes in 1 buffers) are stale"));
    RunPending();
}

TEST_F(MiniportTest, FreeingAPacketTheProtocolHoldsIsFlagged) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::Hold});
    toy::Indicate({NDIS_STATUS_SUCCESS});
    auto v = CaptureViolations([&] { NdisFreePacket(adapter.rx[0]); });
    EXPECT_TRUE(AnyContains(v, "was indicated and has not been returned"));
}

// ---------------------------------------------------------------------------
// Status and information requests
// ---------------------------------------------------------------------------
TEST_F(MiniportTest, StatusIndicationsAreRecordedInOrder) {
    Start();
    int heard = 0;
    nic->OnStatus([&](const StatusIndication&) { ++heard; });
    Advance(kSecond);
    RunAtIrql(DISPATCH_LEVEL, "toy timer", [&] {
        NdisMIndicateStatus(adapter.handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
        NdisMIndicateStatusComplete(adapter.handle);
    });
    auto s = nic->StatusIndications();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].status, NDIS_STATUS_MEDIA_CONNECT);
    EXPECT_FALSE(s[0].complete);
    EXPECT_TRUE(s[1].complete);
    EXPECT_EQ(s[1].time, kSecond);
    EXPECT_EQ(heard, 2);
}

TEST_F(MiniportTest, ARequestAnsweredAtOnceShowsWhatTheMiniportWrote) {
    Start();
    auto r = nic->Query(OID_GEN_LINK_SPEED, 6);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.bytesDone, 4u);
    EXPECT_EQ(r.buffer, (std::vector<uint8_t>{0xD2, 0x04, 0, 0, kInformationPattern,
                                              kInformationPattern}));
    r = nic->Query(OID_GEN_LINK_SPEED, 3);  // refused: the buffer is left as it was
    EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(r.bytesDone, kUntouched);
    EXPECT_EQ(r.buffer, std::vector<uint8_t>(3, kInformationPattern));
    EXPECT_EQ(adapter.filter, NDIS_PACKET_TYPE_DIRECTED);
}

// A handler that writes past the buffer it was given is caught at the write
// (special pool), whether it answers at once or later; what it wrote within
// the buffer is shown. Once the request is complete the buffer is the
// protocol's again: a miniport that writes into it then faults too.
TEST_F(MiniportTest, AWritePastTheInformationBufferOrAfterCompletionIsReported) {
    Start();
    RequestResult r;
    auto v = CaptureViolations([&] { r = nic->Query(toy::kOverrunOid, 4); });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "special pool: a write at offset 4, past the end of the "
                               "information buffer of a query of OID 0xFF000003 (4 bytes)"))
        << v[0];
    EXPECT_EQ(r.buffer, std::vector<uint8_t>(4, 0x42));

    v = CaptureViolations([&] {
        nic->Query(toy::kSlowOid, 2);
        r = nic->WaitForRequest(kSecond);
    });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "a write at offset 2, past the end of the information buffer of "
                               "a query of OID 0xFF000001 (2 bytes)"));

    v = CaptureViolations([&] { nic->Query(toy::kSlowOid, 4), nic->WaitForRequest(kSecond); });
    EXPECT_TRUE(v.empty());

    toy::knobs.writeAfterCompletion = true;
    v = CaptureViolations([&] { r = nic->Query(toy::kSlowOid, 4), nic->WaitForRequest(kSecond); });
    EXPECT_TRUE(AnyContains(v, "special pool: a write at offset 0 of the information buffer of a "
                               "query of OID 0xFF000001 (4 bytes), which was freed"));
    EXPECT_EQ(nic->LastRequest().buffer, std::vector<uint8_t>(4, 0x42));
}

// Without special pool, guard bytes after the buffer catch the write when the
// request finishes.
class GuardByteMiniportTest : public MiniportTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::WithoutSpecialPool(testing_support::WithoutWatchdog());
    }
};

TEST_F(GuardByteMiniportTest, AWritePastTheInformationBufferIsReportedWhenItFinishes) {
    Start();
    RequestResult r;
    auto v = CaptureViolations([&] { r = nic->Query(toy::kOverrunOid, 4); });
    EXPECT_TRUE(AnyContains(v, "query handler for OID 0xFF000003 wrote past the end of its "
                               "4-byte information buffer"));
    EXPECT_EQ(r.buffer, std::vector<uint8_t>(4, 0x42));
    v = CaptureViolations([&] {
        nic->Query(toy::kSlowOid, 2);
        r = nic->WaitForRequest(kSecond);
    });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "wrote past the end of its 2-byte information buffer"));
}

// The storage of a finished request's buffer serves later ones: each shows
// only its own bytes (the pattern where the miniport wrote nothing), never
// what an earlier, longer one held, and an overrun is reported for the
// request that made it, not for the next one in the same storage.
TEST_F(GuardByteMiniportTest, EachRequestShowsOnlyItsOwnBytesWhateverCameBefore) {
    Start();
    RequestResult r;
    auto v = CaptureViolations([&] { r = nic->Query(toy::kOverrunOid, 6); });
    EXPECT_TRUE(AnyContains(v, "wrote past the end of its 6-byte information buffer"));
    EXPECT_EQ(r.buffer, std::vector<uint8_t>(6, 0x42));
    for (int round = 0; round < 2; ++round) {
        v = CaptureViolations([&] { r = nic->Query(OID_GEN_LINK_SPEED, 3); });  // refused
        EXPECT_TRUE(v.empty()) << v[0];
        EXPECT_EQ(r.buffer, std::vector<uint8_t>(3, kInformationPattern));
        v = CaptureViolations([&] { r = nic->Query(OID_GEN_LINK_SPEED, 5); });
        EXPECT_TRUE(v.empty()) << v[0];
        EXPECT_EQ(r.buffer, (std::vector<uint8_t>{0xD2, 0x04, 0, 0, kInformationPattern}));
        EXPECT_EQ(nic->LastRequest().buffer, r.buffer);
        r = nic->Query(OID_GEN_LINK_SPEED, std::vector<uint8_t>{9, 9, 9, 9, 9, 9, 9});
        EXPECT_EQ(r.buffer, (std::vector<uint8_t>{0xD2, 0x04, 0, 0, 9, 9, 9}));
        r = nic->Query(OID_GEN_LINK_SPEED, 0);
        EXPECT_TRUE(r.buffer.empty());
    }
}

// A miniport that writes into an information buffer it has given back (its
// request has completed) writes into storage kept for a later request and
// closed until then: AddressSanitizer stops it, as special pool's
// inaccessible pages would. The next request's buffer, in that storage, is
// open again and holds only its own bytes.
TEST_F(GuardByteMiniportTest, ABufferGivenBackIsClosedToTheMiniport) {
#if defined(__SANITIZE_ADDRESS__)
#define TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_ASAN 1
#endif
#endif
#if !defined(TEST_ASAN)
    GTEST_SKIP() << "only an AddressSanitizer build closes kept storage";
#else
    Start();
    auto r = nic->Query(OID_GEN_LINK_SPEED, 6);
    ASSERT_TRUE(r.completed);
    auto* stale = static_cast<volatile uint8_t*>(toy::lastQueryBuffer);
    EXPECT_DEATH(stale[0] = 1, "use-after-poison");
    EXPECT_DEATH((void)stale[5], "use-after-poison");
    r = nic->Query(OID_GEN_LINK_SPEED, 6);
    EXPECT_EQ(r.buffer, (std::vector<uint8_t>{0xD2, 0x04, 0, 0, kInformationPattern,
                                              kInformationPattern}));
    r = nic->Query(OID_GEN_LINK_SPEED, 4);
    EXPECT_EQ(r.buffer, (std::vector<uint8_t>{0xD2, 0x04, 0, 0}));
#endif
}

// With guard bytes (special pool off, as the fuzz targets run), information
// buffers can start at any alignment, and stay guarded. In special pool a
// buffer ends on its page's last byte whatever the offset.
TEST_F(GuardByteMiniportTest, AnInformationBufferCanStartAtAnyAlignment) {
    Start();
    for (size_t offset : {1, 3, 7}) {
        nic->SetInformationBufferOffset(offset);
        auto r = nic->Query(OID_GEN_LINK_SPEED, 4);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(toy::lastQueryBuffer) % 8, offset);
        EXPECT_EQ(r.buffer, (std::vector<uint8_t>{0xD2, 0x04, 0, 0}));
        auto v = CaptureViolations([&] { nic->Query(toy::kOverrunOid, 4); });
        EXPECT_TRUE(AnyContains(v, "wrote past the end of its 4-byte information buffer"));
    }
}

TEST_F(MiniportTest, APendingRequestCompletesLaterAndBlocksASecondOne) {
    Start();
    int completions = 0;
    nic->OnRequestComplete([&](const RequestResult&) { ++completions; });
    auto r = nic->Query(toy::kSlowOid, 8);
    EXPECT_TRUE(r.pended);
    EXPECT_EQ(r.status, NDIS_STATUS_PENDING);
    EXPECT_TRUE(nic->RequestPending());
    auto v = CaptureViolations([&] { EXPECT_FALSE(nic->Query(OID_GEN_LINK_SPEED, 4).issued); });
    EXPECT_TRUE(AnyContains(v, "is outstanding; NDIS makes one request at a time"));

    r = nic->WaitForRequest(kSecond);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(Now(), 5 * kMillisecond);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.bytesDone, 4u);  // written by the miniport at completion
    EXPECT_EQ(r.bytesNeeded, 4u);
    EXPECT_EQ(r.buffer[0], 0x42);
    EXPECT_EQ(r.buffer[4], kInformationPattern);
    EXPECT_EQ(completions, 1);
}

TEST_F(MiniportTest, CompletingNoPendingRequestOrOneTwiceIsFlagged) {
    Start();
    nic->Query(OID_GEN_LINK_SPEED, 4);
    auto v = CaptureViolations([&] {
        NdisMQueryInformationComplete(nic->Handle(), NDIS_STATUS_SUCCESS);
    });
    EXPECT_TRUE(AnyContains(v, "no request is pending"));

    nic->Query(toy::kStuckOid, 4);
    v = CaptureViolations([&] { NdisMSetInformationComplete(nic->Handle(), NDIS_STATUS_SUCCESS); });
    EXPECT_TRUE(AnyContains(v, "the pending request is a query"));
    adapter.pendingBuffer = nullptr;
    NdisMQueryInformationComplete(nic->Handle(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(nic->LastRequest().status, NDIS_STATUS_FAILURE);
    v = CaptureViolations([&] {
        NdisMQueryInformationComplete(nic->Handle(), NDIS_STATUS_SUCCESS);
    });
    EXPECT_TRUE(AnyContains(v, "the request has been completed already"));
}

// ---------------------------------------------------------------------------
// Reset
// ---------------------------------------------------------------------------
TEST_F(MiniportTest, SendsDuringAResetWaitForItAndAnAddressingResetSetsTheFilterAgain) {
    toy::knobs.completeSendsAtOnce = false;
    toy::knobs.addressingReset = TRUE;
    Start();
    nic->OnSendComplete([&](const SendCompletion& c) {
        if (c.status == NDIS_STATUS_REQUEST_ABORTED) nic->Send({Frame(60, 0x80)});
    });
    nic->Send({Frame(60), Frame(61)});
    ResetResult result = nic->Reset();
    EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(result.addressingReset);
    EXPECT_EQ(adapter.sentDuringReset, 0);
    EXPECT_EQ(adapter.sent.size(), 4u);  // the two resent after the reset
    EXPECT_EQ(adapter.sets, 2);          // the filter, set again
    EXPECT_EQ(nic->SendsOutstanding(), 2u);
    toy::CompleteQueued(adapter, NDIS_STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// The protocol's lock
// ---------------------------------------------------------------------------
namespace {
std::string Pointer(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

// The toy's deferred routine completes the sends it queued.
void CompleteFromDeferredRoutine(toy::Adapter& a) {
    RunAtIrql(DISPATCH_LEVEL, "toy deferred routine",
              [&] { toy::CompleteQueued(a, NDIS_STATUS_SUCCESS); });
}
}  // namespace

// The protocol holds its lock while it sends and takes it in its receive and
// send-completion handlers. A miniport that takes its own spin lock in
// MiniportSendPackets and indicates a receive, or completes a send, with that
// lock held has the two taken in both orders: on two processors, one
// indicating and one sending, they deadlock. The lock-order check names both.
TEST_F(MiniportTest, AnUpcallUnderTheMiniportsOwnLockMakesACycleWithTheProtocolLock) {
    toy::knobs.spinLock = true;
    toy::knobs.completeSendsAtOnce = false;
    for (bool indicate : {true, false}) {
        SCOPED_TRACE(indicate ? "receive indication" : "send completion");
        toy::knobs.upcallsUnderLock = true;
        Start();
        std::string protocolLock = "(the protocol lock of adapter " + Pointer(nic->Handle()) + ")";
        std::string toyLock = "spin lock " + Pointer(&adapter.lock);
        nic->Send({Frame(60)});  // the protocol's lock, then the toy's: nothing yet
        auto v = CaptureViolations([&] {
            if (indicate) {
                toy::Indicate({NDIS_STATUS_SUCCESS});
            } else {
                CompleteFromDeferredRoutine(adapter);
            }
        });
        ASSERT_EQ(v.size(), 1u);
        EXPECT_TRUE(AnyContains(v, "a lock-order cycle")) << v[0];
        EXPECT_TRUE(AnyContains(v, protocolLock + " taken while holding " + toyLock)) << v[0];
        toy::knobs.upcallsUnderLock = false;  // halt aborts the queued send as it should
        nic->Halt();
    }
}

// The same miniport letting its lock go before it calls up, or under a
// protocol that takes no lock, shows nothing: the cycle is the miniport's
// lock held across the call, met by the protocol's.
TEST_F(MiniportTest, AnUpcallWithTheMiniportsLockReleasedMakesNoCycle) {
    toy::knobs.spinLock = true;
    toy::knobs.completeSendsAtOnce = false;
    Start();
    nic->Send({Frame(60)});
    toy::Indicate({NDIS_STATUS_SUCCESS});
    CompleteFromDeferredRoutine(adapter);
    nic->Send({Frame(61)});
    EXPECT_EQ(nic->Completions().size(), 1u);
}

class CarelessProtocolTest : public MiniportTest {
protected:
    host::WorldOptions WorldOptions() override {
        host::WorldOptions options = testing_support::WithoutWatchdog();
        options.protocolLocks = false;
        return options;
    }
};

TEST_F(CarelessProtocolTest, AProtocolWithoutALockLetsAnUpcallUnderTheMiniportsLockPass) {
    toy::knobs.spinLock = true;
    toy::knobs.upcallsUnderLock = true;
    toy::knobs.completeSendsAtOnce = false;
    Start();
    nic->Send({Frame(60)});
    toy::Indicate({NDIS_STATUS_SUCCESS});
    CompleteFromDeferredRoutine(adapter);
    EXPECT_EQ(nic->Completions().size(), 1u);
}

// ---------------------------------------------------------------------------
// NDIS's watchdog
// ---------------------------------------------------------------------------
class WatchdogTest : public MiniportTest {
protected:
    host::WorldOptions WorldOptions() override { return {}; }
};

// Every two seconds of the adapter's running, the hang check; TRUE, a reset.
TEST_F(WatchdogTest, TheHangCheckComesEveryTwoSecondsAndTrueMakesNdisReset) {
    toy::knobs.hung = FALSE;
    Start();
    Nanoseconds started = Now();
    Advance(2 * kSecond - 1);
    EXPECT_EQ(adapter.hangChecks, 0);
    Advance(1);
    EXPECT_EQ(adapter.hangChecks, 1);
    Advance(2 * kSecond);
    EXPECT_EQ(adapter.hangChecks, 2);
    EXPECT_TRUE(nic->Resets().empty());
    toy::knobs.hung = TRUE;
    Advance(2 * kSecond);
    auto resets = nic->Resets();
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_TRUE(resets[0].byWatchdog);
    EXPECT_EQ(resets[0].reason, "MiniportCheckForHang answered TRUE");
    EXPECT_EQ(resets[0].time, started + 6 * kSecond);
    EXPECT_EQ(resets[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_NE(adapter.busyAtReset, -1);
    // Halt stops it.
    nic->Halt();
    int checks = adapter.hangChecks;
    Advance(10 * kSecond);
    EXPECT_EQ(adapter.hangChecks, checks);
}

// A miniport may ask for a longer interval; NDIS's time-out for a request is
// then twice that.
TEST_F(WatchdogTest, ALongerIntervalTheMiniportAsksForIsKept) {
    toy::knobs.hung = FALSE;
    toy::knobs.hangSeconds = 5;
    Start();
    Advance(4 * kSecond);
    EXPECT_EQ(adapter.hangChecks, 0);
    Advance(kSecond);
    EXPECT_EQ(adapter.hangChecks, 1);
    Advance(5 * kSecond);
    EXPECT_EQ(adapter.hangChecks, 2);
}

// A request still outstanding at two wake-ups in a row makes NDIS reset the
// adapter. One the reset does not end would never end: a violation, said
// once, and no reset after it for that request.
TEST_F(WatchdogTest, ARequestThatDoesNotCompleteIsResetAndOneThatOutlivesTheResetIsReported) {
    toy::knobs.hung = FALSE;
    Start();
    Advance(500 * kMillisecond);
    ASSERT_TRUE(nic->Query(toy::kStuckOid, 4).pended);
    Advance(1500 * kMillisecond);  // first wake-up: outstanding once
    EXPECT_TRUE(nic->Resets().empty());
    std::vector<std::string> v = CaptureViolations([&] { Advance(2 * kSecond); });
    auto resets = nic->Resets();
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].reason,
              "the query of OID 0xFF000002 was still outstanding at two wake-ups in a row");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "request stuck through a reset: the query of OID 0xFF000002, made "
                               "3.500 s ago, is still pending after the MiniportReset"))
        << v[0];
    v = CaptureViolations([&] { Advance(10 * kSecond); });
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(nic->Resets().size(), 1u);
    EXPECT_TRUE(nic->RequestPending());  // halt ends it
}

TEST_F(WatchdogTest, ARequestTheResetEndsIsWhatNdisExpects) {
    toy::knobs.hung = FALSE;
    toy::knobs.resetEndsRequest = true;
    Start();
    ASSERT_TRUE(nic->Query(toy::kStuckOid, 4).pended);
    RequestResult r = nic->WaitForRequest(10 * kSecond);
    EXPECT_EQ(r.status, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_EQ(Now(), 4 * kSecond);  // made at 0: outstanding at 2 s and 4 s
    EXPECT_EQ(nic->Resets().size(), 1u);
    EXPECT_EQ(nic->Query(OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_SUCCESS);
}

TEST_F(WatchdogTest, AMiniportThatAsksNdisNotToTimeItsRequestsOutIsNotReset) {
    toy::knobs.hung = FALSE;
    toy::knobs.extraAttributes = NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT;
    Start();
    ASSERT_TRUE(nic->Query(toy::kStuckOid, 4).pended);
    Advance(20 * kSecond);
    EXPECT_TRUE(nic->Resets().empty());
    EXPECT_EQ(adapter.hangChecks, 10);
}

// A protocol asking for a reset while NDIS resets the adapter is told so, as
// NdisReset tells it; nothing is wrong.
TEST_F(WatchdogTest, AResetAskedForDuringNdissOwnIsRefusedAsInProgress) {
    Start();
    ResetResult asked{NDIS_STATUS_SUCCESS, true};
    std::vector<std::string> v;
    bool once = true;
    toy::knobs.inReset = [&] {
        if (once) v = CaptureViolations([&] { asked = nic->Reset(); });
        once = false;
    };
    Advance(2 * kSecond);  // the toy's hang check says TRUE
    ASSERT_EQ(nic->Resets().size(), 1u);
    EXPECT_EQ(asked.status, NDIS_STATUS_RESET_IN_PROGRESS);
    EXPECT_TRUE(v.empty());
}

// The wake-ups signal nothing a driver waits for: a wait without a time-out
// that only they could end would wait for ever, and is told so.
TEST_F(WatchdogTest, AWaitOnlyTheWakeUpsCouldEndIsADeadlock) {
    EXPECT_DEATH(
        {
            Start();
            NDIS_EVENT never;
            NdisInitializeEvent(&never);
            NdisWaitEvent(&never, 0);
        },
        "would wait for ever");
}

// ---------------------------------------------------------------------------
// Concurrent mode: senders on their own threads
// ---------------------------------------------------------------------------
class ConcurrentMiniportTest : public MiniportTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::WithoutWatchdog(testing_support::ConcurrentWorld(2));
    }
};

TEST_F(ConcurrentMiniportTest, SendersOnSeveralThreadsGetEveryCompletionOnce) {
    Start();
    std::atomic<int> heard{0};
    nic->OnSendComplete([&](const SendCompletion&) { ++heard; });
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < 3; ++t) {
        senders.emplace_back([&, t] {
            AttachThread(t);
            for (int i = 0; i < 200; ++i) nic->Send({Frame(60, static_cast<uint8_t>(t))});
        });
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(heard.load(), 600);
    EXPECT_EQ(nic->Completions().size(), 600u);
    EXPECT_EQ(nic->SendsOutstanding(), 0u);
}

class ConcurrentWatchdogTest : public MiniportTest {
protected:
    host::WorldOptions WorldOptions() override {
        host::WorldOptions options = testing_support::ConcurrentWorld(2);
        options.watchdog = true;
        return options;
    }
};

// NDIS's watchdog on the real clock resets the toy (its hang check says
// TRUE) while two threads send: the sends asked for during each reset wait
// for it and go on after; every send completes once.
TEST_F(ConcurrentWatchdogTest, SendsGoOnThroughTheWatchdogsResets) {
    Start();  // the toy's hang check says TRUE: NDIS resets it at each wake-up
    std::atomic<int> heard{0};
    nic->OnSendComplete([&](const SendCompletion&) { ++heard; });
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < 2; ++t) {
        senders.emplace_back([&, t] {
            AttachThread(t);
            while (!stop) {
                sent += static_cast<int>(nic->Send({Frame(60, static_cast<uint8_t>(t))}).size());
            }
        });
    }
    EXPECT_TRUE(RunUntil([&] { return nic->Resets().size() >= 2 && sent.load() > 100; },
                         30 * kSecond));
    stop = true;
    for (auto& s : senders) s.join();
    EXPECT_TRUE(RunUntil([&] { return heard.load() == sent.load(); }, 30 * kSecond));
    EXPECT_EQ(nic->SendsOutstanding(), 0u);
    for (auto& r : nic->Resets()) EXPECT_TRUE(r.byWatchdog);
}


// ---------------------------------------------------------------------------
// Concurrent mode: halt and reset against calls already in the miniport
// ---------------------------------------------------------------------------
namespace {

// Keeps a toy handler busy until `release`, then a little longer: a halt or
// reset that does not wait for the handler gets in meanwhile.
std::function<void()> HoldUntil(std::atomic<bool>& inside, std::atomic<bool>& release) {
    return [&inside, &release] {
        inside = true;
        while (!release) std::this_thread::yield();
        for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    };
}

}  // namespace

TEST_F(ConcurrentMiniportTest, HaltWaitsForASendARequestOrAHangCheckAlreadyInTheMiniport) {
    toy::knobs.completeSendsAtOnce = false;  // the send stays queued until halt aborts it
    enum Kind { kSend, kQuery, kHangCheck };
    for (Kind kind : {kSend, kQuery, kHangCheck}) {
        SCOPED_TRACE(kind);
        Start();
        std::atomic<bool> inside{false}, release{false};
        toy::knobs.inSend = kind == kSend ? HoldUntil(inside, release) : nullptr;
        toy::knobs.inQuery = kind == kQuery ? HoldUntil(inside, release) : nullptr;
        toy::knobs.inHangCheck = kind == kHangCheck ? HoldUntil(inside, release) : nullptr;
        std::thread caller([&] {
            AttachThread(1);
            switch (kind) {
            case kSend: EXPECT_EQ(nic->Send({Frame(60)}).size(), 1u); break;
            case kQuery: EXPECT_EQ(nic->Query(OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_SUCCESS); break;
            case kHangCheck: EXPECT_TRUE(nic->CheckForHang()); break;
            }
        });
        ASSERT_TRUE(RunUntil([&] { return inside.load(); }, 10 * kSecond));
        std::thread halter([&] {
            AttachThread(0);
            nic->Halt();
        });
        // Halt has begun: a send or request made now is refused, and reaches
        // no handler.
        ASSERT_TRUE(RunUntil([&] { return !nic->Running(); }, 10 * kSecond));
        auto v = CaptureViolations([&] {
            EXPECT_TRUE(nic->Send({Frame(61)}).empty());
            EXPECT_FALSE(nic->Query(OID_GEN_LINK_SPEED, 4).issued);
        });
        release = true;
        caller.join();
        halter.join();
        ASSERT_EQ(v.size(), 2u);
        EXPECT_TRUE(AnyContains(v, "Miniport::Send: the adapter is not running"));
        EXPECT_TRUE(AnyContains(v, "Miniport::Query(OID 0x00010107): the adapter is not running"));
        EXPECT_EQ(adapter.busyAtHalt, 0);
        EXPECT_EQ(adapter.callsAfterHalt, 0);
        if (kind == kSend) {
            auto completions = nic->Completions();  // aborted by halt, not left behind
            ASSERT_EQ(completions.size(), 1u);
            EXPECT_EQ(completions[0].status, NDIS_STATUS_REQUEST_ABORTED);
        }
    }
}

TEST_F(ConcurrentMiniportTest, HaltWaitsForAResetAndTheSendsItHeldBack) {
    toy::knobs.completeSendsAtOnce = false;
    Start();
    // The protocol sends again when the reset aborts its send; NDIS holds
    // that send back until the reset is over.
    nic->OnSendComplete([&](const SendCompletion& c) {
        if (c.status == NDIS_STATUS_REQUEST_ABORTED && adapter.inReset) nic->Send({Frame(62)});
    });
    nic->Send({Frame(60)});
    std::atomic<bool> inside{false}, haltAsked{false};
    toy::knobs.inReset = HoldUntil(inside, haltAsked);
    std::thread resetter([&] {
        AttachThread(1);
        EXPECT_EQ(nic->Reset().status, NDIS_STATUS_SUCCESS);
    });
    ASSERT_TRUE(RunUntil([&] { return inside.load(); }, 10 * kSecond));
    haltAsked = true;
    nic->Halt();
    resetter.join();
    EXPECT_EQ(adapter.busyAtHalt, 0);
    EXPECT_EQ(adapter.callsAfterHalt, 0);
    ASSERT_EQ(adapter.sent.size(), 2u);  // the held-back send went before halt
    EXPECT_EQ(adapter.sent[1], Frame(62));
    auto completions = nic->Completions();
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[1].frame, Frame(62));
    EXPECT_EQ(completions[1].status, NDIS_STATUS_REQUEST_ABORTED);
}

TEST_F(ConcurrentMiniportTest, ResetWaitsForARequestOrAHangCheckInTheMiniportAndHoldsNewOnesBack) {
    Start();
    enum Kind { kQuery, kHangCheck };
    for (Kind kind : {kQuery, kHangCheck}) {
        SCOPED_TRACE(kind);
        std::atomic<bool> inside{false}, resetAsked{false};
        toy::knobs.inQuery = kind == kQuery ? HoldUntil(inside, resetAsked) : nullptr;
        toy::knobs.inHangCheck = kind == kHangCheck ? HoldUntil(inside, resetAsked) : nullptr;
        std::thread caller([&] {
            AttachThread(1);
            if (kind == kQuery) {
                EXPECT_EQ(nic->Query(OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_SUCCESS);
            } else {
                EXPECT_TRUE(nic->CheckForHang());
            }
        });
        ASSERT_TRUE(RunUntil([&] { return inside.load(); }, 10 * kSecond));
        int hangChecks = adapter.hangChecks;
        // While the miniport resets, a request is refused and the hang check
        // skipped.
        toy::knobs.inReset = [&] {
            EXPECT_EQ(nic->Query(OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_RESET_IN_PROGRESS);
            EXPECT_FALSE(nic->CheckForHang());
        };
        resetAsked = true;
        EXPECT_EQ(nic->Reset().status, NDIS_STATUS_SUCCESS);
        caller.join();
        EXPECT_EQ(adapter.busyAtReset, 0);
        EXPECT_EQ(adapter.hangChecks, hangChecks);
        toy::knobs.inReset = nullptr;
    }
}

TEST_F(ConcurrentMiniportTest, PacketsIndicatedWhileHaltWaitsComeBackBeforeMiniportHalt) {
    Start();
    nic->SetReturnPolicy({ReturnWhen::Hold});
    std::atomic<int> heard{0};
    nic->OnReceive([&](const ReceivedFrame&) { ++heard; });
    toy::Indicate({NDIS_STATUS_SUCCESS});
    // The protocol gives the packet back on another processor; the return
    // is still in the miniport when halt begins, and halt waits for it.
    std::atomic<bool> inside{false}, release{false};
    toy::knobs.inReturn = [&, hold = HoldUntil(inside, release)] {
        if (!inside) hold();
    };
    PNDIS_PACKET first = adapter.rx[0], late = adapter.rx[1];
    std::thread returner([&] {
        AttachThread(1);
        nic->ReturnPacket(first);
    });
    ASSERT_TRUE(RunUntil([&] { return inside.load(); }, 10 * kSecond));
    std::thread halter([&] {
        AttachThread(0);
        nic->Halt();
    });
    ASSERT_TRUE(RunUntil([&] { return !nic->Running(); }, 10 * kSecond));
    // The miniport, not told yet, still indicates. The protocols are being
    // unbound: none hears it, and the packet comes back before MiniportHalt.
    toy::Indicate({NDIS_STATUS_SUCCESS}, 1);
    EXPECT_EQ(heard, 1);
    release = true;
    returner.join();
    halter.join();
    EXPECT_EQ(adapter.busyAtHalt, 0);
    EXPECT_EQ(adapter.returnedAtHalt, 2u);
    EXPECT_TRUE(nic->HeldPackets().empty());
    // Nothing goes back to a halted miniport.
    auto v = CaptureViolations([&] { nic->ReturnPacket(late); });
    EXPECT_TRUE(AnyContains(v, "the adapter has been halted: MiniportReturnPacket is not called"));
    EXPECT_EQ(adapter.returned.size(), 2u);
}

// Halt and reset wait for calls under way on other threads; asked for from
// inside such a call on the same thread they would wait for ever, and are
// refused instead.
TEST_F(MiniportTest, HaltOrResetFromInsideACallOnTheSameThreadIsRefused) {
    Start();
    std::vector<std::string> v;
    nic->OnSendComplete([&](const SendCompletion&) {
        auto inner = CaptureViolations([&] { nic->Halt(); });
        v.insert(v.end(), inner.begin(), inner.end());
    });
    nic->Send({Frame(60)}, {PASSIVE_LEVEL});
    EXPECT_TRUE(AnyContains(v, "Miniport::Halt: called from inside MiniportSendPackets on the "
                               "same thread"));
    EXPECT_TRUE(nic->Running());
    toy::knobs.inQuery = [&] {
        auto inner = CaptureViolations([&] { EXPECT_EQ(nic->Reset().status, NDIS_STATUS_FAILURE); });
        v.insert(v.end(), inner.begin(), inner.end());
    };
    EXPECT_EQ(nic->Query(OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(AnyContains(v, "Miniport::Reset: called from inside an information request's "
                               "handler on the same thread"));
    EXPECT_EQ(adapter.busyAtReset, -1);
}
