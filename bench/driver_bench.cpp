// Per-frame cost of the driver's data path on the host build, each path
// against a plain copy of the same bytes measured in the same run.
//
//   send/N          a batch of N-byte frames through MiniportSendPackets: the
//                   copy into the transmit slots, the hand-over to the card,
//                   its interrupt, the completions from the deferred routine
//   receive/N       a batch of N-byte frames from the far end: the card's
//                   interrupt, the indication, the protocol returning each
//                   packet from inside the indication, the buffer posted again
//   send_image/N, receive_image/N   the same on the x64 driver image
//   copy/N          memcpy of the same frames into slots laid out as the
//                   driver's shared block
//   *_burst/F/U     interrupts per frame when F frames come at once (U = 1:
//                   card and far end without serialization time; U = 0: at
//                   the trained line rate)
//
// Counters per frame: "frame" (CPU time), "irq/frame" and "dpc/frame"
// (interrupts taken, deferred routine runs), "reads/frame" and "writes/frame"
// (accesses to the card's window: on the card each read is a bus round trip).
// The time of a path includes the host platform (packets, the upper edge's
// records and checks, interrupt delivery, the executor) and the card model
// (DMA, engines, line), which cost far more than the driver; the summary
// printed at the end says so. bench/callgrind.sh counts the instructions of
// the driver alone, collecting only inside SendBatch, ReceiveBatch and
// CopyBatch, whose names it relies on.
//
// --zr48_iterations=N runs every benchmark for exactly N iterations (one run,
// no estimation runs), so that an instruction count divides by a known number
// of frames; the "frames" counter gives that number.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "host/image.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "../host/src/internal_image.h"
#include "testbed/machine.h"
#include "card/registers.h"
#include "host/bus.h"
#include "host/interrupts.h"
#include "host/verifier.h"
#include "host/world.h"

namespace {

// A batch fills the transmit slots of the default configuration (XmtQueueLen
// 8) and stays under the receive low-water mark of the default RcvQueueLen 16
// ((16 + 2) / 3 = 6 buffers), so every received frame is lent to the protocol
// and none is copied by it.
constexpr size_t kBatch = 8;
// Longer than the line's propagation delay: one step carries a batch to the
// far end, or from it through the driver.
constexpr host::Nanoseconds kStep = 20 * host::kMicrosecond;
constexpr int kMaxSteps = 100;
constexpr host::Nanoseconds kBurstLimit = 10 * host::kSecond;

using Frames = std::vector<std::vector<uint8_t>>;

Frames MakeFrames(size_t count, size_t length) {
    Frames frames;
    for (size_t i = 0; i < count; ++i) {
        frames.push_back(testbed::MakeFrame(length, static_cast<uint8_t>(i)));
    }
    return frames;
}

std::vector<host::OutgoingFrame> Outgoing(const Frames& frames) {
    return std::vector<host::OutgoingFrame>(frames.begin(), frames.end());
}

// The x64 driver image (ZR48_BENCH_IMAGE, or the one the build names), for
// the send_image and receive_image paths; null when there is none.
std::shared_ptr<host::DriverImage> gDriverImage;

// A fresh machine with one started adapter on a loopback partner. The
// protocol returns every lent packet from inside the indication.
class Rig {
public:
    explicit Rig(bool unlimitedRate, uint32_t transmitSlots = 8, uint32_t receiveSlots = 16,
                 bool image = false) {
        host::ResetWorld();
        machine_ = std::make_unique<testbed::Machine>(image ? gDriverImage : nullptr);
        testbed::AdapterSetup setup;
        setup.integers["XmtQueueLen"] = transmitSlots;
        setup.integers["RcvQueueLen"] = receiveSlots;
        setup.card.unlimitedRate = unlimitedRate;
        setup.card.accessLog = false;  // it would grow with every register access
        unit_ = &machine_->AddAdapter(setup);
        cardmodel::LoopbackOptions loopback;
        loopback.unlimitedRate = unlimitedRate;
        machine_->Loopback(*unit_, loopback);
        machine_->Start(*unit_);
        Nic().SetReturnPolicy({host::ReturnWhen::InsideIndication});
        Nic().OnReceive([this](const host::ReceivedFrame& f) {
            ++indicated_;
            if (f.status == NDIS_STATUS_RESOURCES) ++copiedByProtocol_;
        });
    }
    ~Rig() { TearDown(); }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Up() { return Nic().Running() && machine_->LinkUp(*unit_); }
    host::Miniport& Nic() { return *unit_->nic; }
    cardmodel::LoopbackPartner& Partner() { return *unit_->loopback; }
    cardmodel::Card& Card() { return unit_->Card(); }
    uint64_t Indicated() const { return indicated_; }
    uint64_t CopiedByProtocol() const { return copiedByProtocol_; }
    host::InterruptCounts Interrupts() const {
        return host::InterruptCountsOf(unit_->slot->Where().interruptLine);
    }

    // Halts and unloads; what the verifier found wrong, or "".
    std::string TearDown() {
        if (!machine_) return "";
        machine_.reset();
        std::string problem;
        if (!host::Violations().empty()) problem = "verifier: " + host::Violations().front();
        if (problem.empty() && host::LedgerSize() != 0) problem = host::LedgerReport();
        host::StopWorld();
        return problem;
    }

private:
    std::unique_ptr<testbed::Machine> machine_;
    testbed::Unit* unit_ = nullptr;
    uint64_t indicated_ = 0;
    uint64_t copiedByProtocol_ = 0;
};

// ---------------------------------------------------------------------------
// The measured batches (not inlined: bench/callgrind.sh collects inside them)
// ---------------------------------------------------------------------------
// One send call with the batch, the machine run until every send completed,
// the records the upper edge and the partner keep emptied. How many frames
// reached the far end.
__attribute__((noinline)) size_t SendBatch(Rig& rig,
                                           const std::vector<host::OutgoingFrame>& batch) {
    host::Miniport& nic = rig.Nic();
    nic.Send(batch);
    for (int i = 0; i < kMaxSteps && nic.SendsOutstanding() != 0; ++i) host::Advance(kStep);
    nic.ClearRecords();
    return rig.Partner().TakeSentFrames().size();
}

// The far end sends the batch; the machine runs until the driver indicated
// all of it (each packet returned and posted again inside the indication).
__attribute__((noinline)) bool ReceiveBatch(Rig& rig, const Frames& batch) {
    uint64_t target = rig.Indicated() + batch.size();
    for (const auto& frame : batch) rig.Partner().InjectFrame(frame);
    for (int i = 0; i < kMaxSteps && rig.Indicated() < target; ++i) host::Advance(kStep);
    rig.Nic().ClearRecords();
    return rig.Indicated() == target;
}

__attribute__((noinline)) void CopyBatch(const Frames& batch, uint8_t* slots) {
    for (size_t i = 0; i < batch.size(); ++i) {
        std::memcpy(slots + i * FRAME_SLOT_SIZE, batch[i].data(), batch[i].size());
    }
    benchmark::ClobberMemory();
}

// ---------------------------------------------------------------------------
// Checks outside the measured loops: the frames really went through
// ---------------------------------------------------------------------------
std::string CheckSent(Rig& rig, const Frames& frames) {
    rig.Nic().Send(Outgoing(frames));
    host::Advance(kStep);
    for (const auto& c : rig.Nic().Completions()) {
        if (c.status != NDIS_STATUS_SUCCESS) return "a send completed with an error";
    }
    if (rig.Partner().TakeSentFrames() != frames) return "the far end got other frames";
    rig.Nic().ClearRecords();
    return "";
}

std::string CheckReceived(Rig& rig, const Frames& frames) {
    for (const auto& frame : frames) rig.Partner().InjectFrame(frame);
    host::Advance(kStep);
    std::vector<host::ReceivedFrame> received = rig.Nic().Received();
    rig.Nic().ClearRecords();
    if (received.size() != frames.size()) return "not every frame was indicated";
    for (size_t i = 0; i < frames.size(); ++i) {
        if (received[i].bytes != frames[i]) return "a frame was indicated with other bytes";
    }
    if (!rig.Nic().HeldPackets().empty()) return "the protocol kept packets";
    return "";
}

// Per-frame counters shared by every benchmark.
void CountFrames(benchmark::State& state, uint64_t frames, size_t length) {
    using benchmark::Counter;
    state.counters["frame"] =
        Counter(static_cast<double>(frames), Counter::kIsRate | Counter::kInvert);
    state.counters["frames"] = static_cast<double>(frames);
    state.SetBytesProcessed(static_cast<int64_t>(frames * length));
}

void CountInterrupts(benchmark::State& state, const host::InterruptCounts& before,
                     const host::InterruptCounts& after, uint64_t frames) {
    if (frames == 0) return;
    state.counters["irq/frame"] = double(after.delivered - before.delivered) / double(frames);
    state.counters["dpc/frame"] = double(after.deferredRuns - before.deferredRuns) / double(frames);
}

// The card's window accesses per frame while `batch` (one checked batch of
// `frames` frames) runs: on the card each read is a round trip over the bus,
// which the host build does not show in time.
std::string CountWindowAccesses(benchmark::State& state, Rig& rig,
                                const std::function<std::string()>& batch, size_t frames) {
    rig.Card().ClearAccessLog();
    rig.Card().SetAccessLogging(true);
    std::string problem = batch();
    rig.Card().SetAccessLogging(false);
    size_t reads = 0, writes = 0;
    for (const cardmodel::Access& a : rig.Card().AccessLog()) (a.write ? writes : reads) += 1;
    rig.Card().ClearAccessLog();
    state.counters["reads/frame"] = double(reads) / double(frames);
    state.counters["writes/frame"] = double(writes) / double(frames);
    return problem;
}

bool Started(benchmark::State& state, Rig& rig) {
    if (rig.Up()) return true;
    state.SkipWithError("the adapter did not start or its line did not come up");
    return false;
}

// Reports the first problem among those given, and the teardown's.
void Finish(benchmark::State& state, Rig& rig, std::string problem) {
    std::string teardown = rig.TearDown();
    if (problem.empty()) problem = teardown;
    if (!problem.empty()) state.SkipWithError(problem.c_str());
}

// ---------------------------------------------------------------------------
// Benchmarks
// ---------------------------------------------------------------------------
void SendPath(benchmark::State& state, bool image) {
    size_t length = static_cast<size_t>(state.range(0));
    Rig rig(true, 8, 16, image);
    if (!Started(state, rig)) return;
    Frames frames = MakeFrames(kBatch, length);
    std::vector<host::OutgoingFrame> batch = Outgoing(frames);
    host::InterruptCounts before = rig.Interrupts();
    uint64_t delivered = 0;
    for (auto _ : state) delivered += SendBatch(rig, batch);
    uint64_t framesSent = state.iterations() * kBatch;
    CountInterrupts(state, before, rig.Interrupts(), framesSent);
    CountFrames(state, framesSent, length);
    std::string problem = CountWindowAccesses(
        state, rig, [&] { return CheckSent(rig, frames); }, frames.size());
    if (delivered != framesSent) problem = "frames did not reach the far end";
    Finish(state, rig, problem);
}

void ReceivePath(benchmark::State& state, bool image) {
    size_t length = static_cast<size_t>(state.range(0));
    Rig rig(true, 8, 16, image);
    if (!Started(state, rig)) return;
    Frames batch = MakeFrames(kBatch, length);
    host::InterruptCounts before = rig.Interrupts();
    bool complete = true;
    for (auto _ : state) complete = ReceiveBatch(rig, batch) && complete;
    uint64_t frames = state.iterations() * kBatch;
    CountInterrupts(state, before, rig.Interrupts(), frames);
    CountFrames(state, frames, length);
    std::string problem;
    if (!complete) problem = "frames were not indicated";
    else if (rig.CopiedByProtocol() != 0) problem = "frames were indicated for copying";
    else problem = CountWindowAccesses(
        state, rig, [&] { return CheckReceived(rig, batch); }, batch.size());
    Finish(state, rig, problem);
}

void BM_Copy(benchmark::State& state) {
    size_t length = static_cast<size_t>(state.range(0));
    Frames batch = MakeFrames(kBatch, length);
    std::vector<uint8_t> slots(kBatch * FRAME_SLOT_SIZE);
    for (auto _ : state) CopyBatch(batch, slots.data());
    CountFrames(state, state.iterations() * kBatch, length);
}

// F full-size frames handed over in one send call (more than the transmit
// slots: the rest wait in the driver), run until all have completed.
void BM_SendBurst(benchmark::State& state) {
    size_t count = static_cast<size_t>(state.range(0));
    Rig rig(state.range(1) != 0, static_cast<uint32_t>(state.range(2)));
    if (!Started(state, rig)) return;
    std::vector<host::OutgoingFrame> burst = Outgoing(MakeFrames(count, MAX_FRAME_SIZE));
    host::InterruptCounts before = rig.Interrupts();
    bool complete = true;
    for (auto _ : state) {
        rig.Nic().Send(burst);
        complete = host::RunUntil([&] { return rig.Nic().SendsOutstanding() == 0; },
                                  kBurstLimit) && complete;
        rig.Nic().ClearRecords();
        rig.Partner().TakeSentFrames();
    }
    uint64_t frames = state.iterations() * count;
    CountInterrupts(state, before, rig.Interrupts(), frames);
    CountFrames(state, frames, MAX_FRAME_SIZE);
    Finish(state, rig, complete ? "" : "sends did not complete");
}

// F full-size frames from the far end back to back: with no serialization
// time they all reach the card at one instant, so F is at most the receive
// buffers posted (the card has no FIFO); the last third of them is indicated
// for copying, below the low-water mark.
void BM_ReceiveBurst(benchmark::State& state) {
    size_t count = static_cast<size_t>(state.range(0));
    Rig rig(state.range(1) != 0, 8, static_cast<uint32_t>(state.range(2)));
    if (!Started(state, rig)) return;
    Frames burst = MakeFrames(count, MAX_FRAME_SIZE);
    host::InterruptCounts before = rig.Interrupts();
    bool complete = true;
    for (auto _ : state) {
        uint64_t target = rig.Indicated() + count;
        for (const auto& frame : burst) rig.Partner().InjectFrame(frame);
        complete = host::RunUntil([&] { return rig.Indicated() >= target; }, kBurstLimit) &&
                   rig.Indicated() == target && complete;
        rig.Nic().ClearRecords();
    }
    uint64_t frames = state.iterations() * count;
    CountInterrupts(state, before, rig.Interrupts(), frames);
    CountFrames(state, frames, MAX_FRAME_SIZE);
    std::string problem;
    if (!complete) problem = "frames were not indicated";
    else if (rig.Card().Counters().rxDroppedNoBuffer != 0) problem = "frames found no buffer";
    Finish(state, rig, problem);
}

// ---------------------------------------------------------------------------
// One register read: through the accessor the driver built from source calls,
// and as the driver image makes it, a plain load from the inaccessible window
// that faults and is emulated (decoded, made on the device, stepped over)
// ---------------------------------------------------------------------------
class RegisterFile final : public host::MmioDevice {
public:
    uint8_t Read8(uint32_t offset) override { return static_cast<uint8_t>(offset); }
    void Write8(uint32_t, uint8_t) override {}
    uint32_t Read32(uint32_t offset) override { return offset; }
    void Write32(uint32_t, uint32_t) override {}
};

constexpr uint64_t kRegisterBase = 0xFEB00000;
NDIS_HANDLE const kBenchMiniport = reinterpret_cast<NDIS_HANDLE>(0x1000);

// A mapped window of a device that answers at once, for the duration.
class Window {
public:
    Window() {
        host::ResetWorld();
        host::AttachMmio(kRegisterBase, 4096, &device_);
        NDIS_PHYSICAL_ADDRESS physical;
        physical.QuadPart = static_cast<LONGLONG>(kRegisterBase);
        PVOID address = nullptr;
        NdisMMapIoSpace(&address, kBenchMiniport, physical, 4096);
        registers_ = static_cast<volatile UCHAR*>(address);
    }
    ~Window() {
        NdisMUnmapIoSpace(kBenchMiniport, const_cast<UCHAR*>(registers_), 4096);
        host::DetachMmio(kRegisterBase);
        host::StopWorld();
    }
    volatile UCHAR* Registers() const { return registers_; }

private:
    RegisterFile device_;
    volatile UCHAR* registers_ = nullptr;
};

void BM_RegisterAccessor(benchmark::State& state) {
    Window window;
    UCHAR value = 0;
    for (auto _ : state) {
        NdisReadRegisterUchar(window.Registers() + 3, &value);
        benchmark::DoNotOptimize(value);
    }
    state.counters["access"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (value != 3) state.SkipWithError("the accessor read another value");
}

void BM_RegisterEmulated(benchmark::State& state) {
    Window window;
    host::internal::EmulateOutsideImages(true);
    uint64_t before = host::internal::EmulatedInstructions();
    UCHAR value = 0;
    for (auto _ : state) {
        value = window.Registers()[3];  // faults: emulated
        benchmark::DoNotOptimize(value);
    }
    uint64_t emulated = host::internal::EmulatedInstructions() - before;
    host::internal::EmulateOutsideImages(false);
    state.counters["access"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (value != 3 || emulated != static_cast<uint64_t>(state.iterations())) {
        state.SkipWithError("the load was not emulated once per read");
    }
}

// ---------------------------------------------------------------------------
// Summary: each path against the plain copy of the same bytes
// ---------------------------------------------------------------------------
struct Targets {
    double sendOverCopy = 1.5;       // send/1514 per frame, in plain copies
    double interruptsPerFrame = 0.1;  // under a saturating burst
};

// Passes everything to the display reporter the flags chose, keeps each
// run's per-frame figures, and prints the comparison when the run ends.
class SummaryReporter : public benchmark::BenchmarkReporter {
public:
    SummaryReporter(benchmark::BenchmarkReporter* display, std::ostream* out)
        : display_(display), out_(out) {}

    bool ReportContext(const Context& context) override {
        return display_->ReportContext(context);
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        display_->ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            // Of repetitions, the quickest: the least disturbed by other work.
            Figures f{Counter(run, "frame") * 1e9, Counter(run, "irq/frame"),
                      Counter(run, "reads/frame"), Counter(run, "writes/frame"),
                      Counter(run, "access") * 1e9};
            auto [it, added] = figures_.emplace(run.run_name.str(), f);
            if (!added && f.nsPerFrame + f.nsPerAccess <
                              it->second.nsPerFrame + it->second.nsPerAccess) {
                it->second = f;
            }
        }
    }
    void Finalize() override {
        display_->Finalize();
        PrintComparison();
    }

private:
    struct Figures {
        double nsPerFrame = 0;  // CPU time
        double interruptsPerFrame = 0;
        double readsPerFrame = 0;  // of the card's window
        double writesPerFrame = 0;
        double nsPerAccess = 0;  // the register benchmarks
    };

    static double Counter(const Run& run, const char* name) {
        auto it = run.counters.find(name);
        return it == run.counters.end() ? 0 : it->second.value;
    }
    const Figures* Find(const std::string& name) const {
        auto it = figures_.find(name);
        return it == figures_.end() ? nullptr : &it->second;
    }

    void PrintComparison() const;
    void PrintBursts() const;

    benchmark::BenchmarkReporter* display_;
    std::ostream* out_;
    std::map<std::string, Figures> figures_;
    Targets targets_;
};

void SummaryReporter::PrintComparison() const {
    std::ostream& out = *out_;
    char line[200];
    out << "\nPer frame, against a plain copy of the same bytes in this run (CPU time,\n"
           "host platform and card model included; window reads/writes per frame):\n";
    for (const char* path : {"send", "receive"}) {
        for (int length : {60, 1514}) {
            std::string name = std::string(path) + "/" + std::to_string(length);
            const Figures* f = Find(name);
            const Figures* copy = Find("copy/" + std::to_string(length));
            if (!f || !copy || copy->nsPerFrame <= 0) continue;
            double ratio = f->nsPerFrame / copy->nsPerFrame;
            std::snprintf(line, sizeof line,
                          "  %-13s %8.1f ns   copy %6.1f ns   x %6.1f   irq %.3f   r/w %.2f/%.2f",
                          name.c_str(), f->nsPerFrame, copy->nsPerFrame, ratio,
                          f->interruptsPerFrame, f->readsPerFrame, f->writesPerFrame);
            out << line;
            if (name == "send/1514") {
                std::snprintf(line, sizeof line, "   (target x <= %.1f: %s)", targets_.sendOverCopy,
                              ratio <= targets_.sendOverCopy ? "met" : "missed");
                out << line;
            }
            out << "\n";
        }
    }
    for (const char* path : {"send", "receive"}) {
        for (int length : {60, 1514}) {
            std::string name = std::string(path) + "/" + std::to_string(length);
            const Figures* linked = Find(name);
            const Figures* image = Find(std::string(path) + "_image/" + std::to_string(length));
            if (!linked || !image || linked->nsPerFrame <= 0) continue;
            std::snprintf(line, sizeof line,
                          "  %-13s driver image %8.1f ns, driver linked in %8.1f ns   x %.1f\n",
                          name.c_str(), image->nsPerFrame, linked->nsPerFrame,
                          image->nsPerFrame / linked->nsPerFrame);
            out << line;
        }
    }
    PrintBursts();
    const Figures* accessor = Find("register/accessor");
    const Figures* emulated = Find("register/emulated");
    if (accessor && emulated && accessor->nsPerAccess > 0) {
        std::snprintf(line, sizeof line,
                      "  one register read: accessor %.1f ns, emulated load (driver image) %.1f ns"
                      "   x %.0f\n",
                      accessor->nsPerAccess, emulated->nsPerAccess,
                      emulated->nsPerAccess / accessor->nsPerAccess);
        out << line;
    }
    out << "Driver instructions per frame, without host and card model: bench/callgrind.sh\n";
}

void SummaryReporter::PrintBursts() const {
    char line[200];
    for (const auto& [name, f] : figures_) {
        if (name.find("_burst/") == std::string::npos) continue;
        // At the line rate every frame is alone on the wire for milliseconds:
        // shown for comparison, the target is for a saturating burst.
        bool saturating = name.find("unlimited:1") != std::string::npos;
        const char* verdict = !saturating ? "line rate, for comparison"
                              : f.interruptsPerFrame <= targets_.interruptsPerFrame ? "met"
                                                                                    : "missed";
        std::snprintf(line, sizeof line, "  %-36s interrupts per frame %.3f (target <= %.1f: %s)\n",
                      name.c_str(), f.interruptsPerFrame, targets_.interruptsPerFrame, verdict);
        *out_ << line;
    }
}

// ---------------------------------------------------------------------------
// Registration and main
// ---------------------------------------------------------------------------
// Takes --zr48_iterations=N out of the arguments; 0 when absent.
int64_t TakeIterationsFlag(int* argc, char** argv) {
    const std::string flag = "--zr48_iterations=";
    int64_t iterations = 0;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = argv[i];
        if (arg.compare(0, flag.size(), flag) == 0) {
            iterations = std::stoll(arg.substr(flag.size()));
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    return iterations;
}

void BM_Send(benchmark::State& state) { SendPath(state, false); }
void BM_SendImage(benchmark::State& state) { SendPath(state, true); }
void BM_Receive(benchmark::State& state) { ReceivePath(state, false); }
void BM_ReceiveImage(benchmark::State& state) { ReceivePath(state, true); }

void Register(int64_t iterations) {
    std::vector<benchmark::internal::Benchmark*> all;
    for (int length : {60, 1514}) {
        all.push_back(benchmark::RegisterBenchmark("copy", BM_Copy)->Arg(length));
        all.push_back(benchmark::RegisterBenchmark("send", BM_Send)->Arg(length));
        all.push_back(benchmark::RegisterBenchmark("receive", BM_Receive)->Arg(length));
        if (gDriverImage) {
            all.push_back(benchmark::RegisterBenchmark("send_image", BM_SendImage)->Arg(length));
            all.push_back(
                benchmark::RegisterBenchmark("receive_image", BM_ReceiveImage)->Arg(length));
        }
    }
    // The default 8 transmit slots bound a burst to one interrupt per 8
    // frames; with 64 slots the ring itself no longer sets the pace.
    all.push_back(benchmark::RegisterBenchmark("send_burst", BM_SendBurst)
                      ->ArgNames({"frames", "unlimited", "slots"})
                      ->Args({120, 1, 8})
                      ->Args({120, 1, 64})
                      ->Args({16, 0, 8}));
    all.push_back(benchmark::RegisterBenchmark("receive_burst", BM_ReceiveBurst)
                      ->ArgNames({"frames", "unlimited", "slots"})
                      ->Args({16, 1, 16})
                      ->Args({64, 1, 64})
                      ->Args({16, 0, 16}));
    all.push_back(benchmark::RegisterBenchmark("register/accessor", BM_RegisterAccessor));
    all.push_back(benchmark::RegisterBenchmark("register/emulated", BM_RegisterEmulated));
    for (auto* b : all) {
        if (iterations > 0) b->Iterations(iterations);
    }
}

bool DisplayIsConsole(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--benchmark_format=", 0) == 0) return arg == "--benchmark_format=console";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int64_t iterations = TakeIterationsFlag(&argc, argv);
    bool console = DisplayIsConsole(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const char* imagePath = getenv("ZR48_BENCH_IMAGE");
    std::string path = imagePath ? imagePath : ZR48_BENCH_DRIVER_IMAGE;
    if (!path.empty() && access(path.c_str(), R_OK) == 0) {
        std::string error;
        gDriverImage = host::LoadDriverImage(path, &error);
        if (!gDriverImage) std::cerr << "driver_bench: " << error << " (no image paths)\n";
    } else {
        std::cerr << "driver_bench: no driver image (make windows; or ZR48_BENCH_IMAGE=PATH): "
                     "no image paths\n";
    }
    Register(iterations);
    std::unique_ptr<benchmark::BenchmarkReporter> display(
        benchmark::CreateDefaultDisplayReporter());
    // The comparison goes where the table goes, unless the table is JSON or CSV.
    SummaryReporter summary(display.get(), console ? &std::cout : &std::cerr);
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::Shutdown();
    return 0;
}
