// The control socket's request lines, whatever their text, answered by a
// simulator kept across inputs (the default pair of adapters on a line,
// running, links up). An input is request lines, one per '\n' as the
// socket's reader splits them.
//
// No crash, no sanitizer report, no exception escaping (libFuzzer reports
// one as a crash), and every answer one line: "OK ..." or "ERR " and a
// message. Besides:
//   - a request line the parser accepts is written back by FormatRequest as
//     one that parses to the same request; an information answer the server
//     gives parses as the client reads it, its buffer as long as the
//     request's; the client's parser reads any line without harm;
//   - after an input that touched the lines, an adapter or its settings (a
//     LINE, RESET or WAIT_LINK request, a SET that reached an adapter, or a
//     QUERY that reached one and failed), the lines restored, every link is
//     up again within a minute of virtual time and each adapter answers a
//     statistics read (NDIS's watchdog, its hang checks and resets, running
//     as in the simulator); a verifier violation
//     is a crash, and the simulator, built anew every so many inputs and
//     after a line flap (whose steps lie far ahead), halts with an empty
//     ledger.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cardmodel/firmware.h"
#include "common/control_protocol.h"
#include "common/stats_block.h"
#include "fuzz/fuzz_rig.h"
#include "host/verifier.h"
#include "public.h"
#include "sim/control_server.h"
#include "sim/simulator.h"

namespace {

using host::kSecond;

constexpr unsigned kInputsPerSimulator = 2000;
constexpr size_t kFirmwareBody = 64;
constexpr host::Nanoseconds kRecoveryLimit = 60 * kSecond;
constexpr host::Nanoseconds kRequestLimit = 30 * kSecond;  // as the control socket waits

std::string Shown(std::string_view text) { return std::string(text.substr(0, 200)); }

class SimRig {
public:
    ~SimRig() { Teardown(); }

    zr48sim::ControlServer& Control() {
        if (!sim_ || inputs_ >= kInputsPerSimulator || rebuild_) {
            Teardown();
            Build();
        }
        ++inputs_;
        return *control_;
    }
    zr48sim::Simulator& Sim() { return *sim_; }
    // The next input runs on a fresh simulator: this one has line events
    // scheduled far ahead (a flap), which would play into inputs to come.
    void RebuildNext() { rebuild_ = true; }

    // A LINE request of this input changed a line (the simulator refuses
    // one it does not carry out): Recover restores the lines.
    void LinesTouched() { linesTouched_ = true; }

    // Lines restored, every link up and every adapter answering a statistics
    // read, within bounded virtual time. Lines no request of the input
    // touched are as the last recovery left them: restored already.
    void Recover() {
        if (linesTouched_) RestoreLines();
        linesTouched_ = false;
        if (!host::RunUntil([&] { return sim_->AllLinksUp(); }, kRecoveryLimit)) {
            fuzz::Fail("the lines restored, a link is still down after %lld s: %s",
                       static_cast<long long>(kRecoveryLimit / kSecond),
                       control_->Answer("STATUS").c_str());
        }
        // Asked of the simulator as the control socket asks it (the same
        // request, the same limit), without the socket's text around it:
        // the read is what tells, and the inputs test the text.
        static const std::vector<uint8_t> kRead = zr48stat::ReadRequestBuffer();
        for (size_t i = 0; i < sim_->AdapterCount(); ++i) {
            zr48sim::RequestOutcome out =
                sim_->Request(i, true, OID_ZR48_GET_STATISTICS, kRead, kRequestLimit);
            if (!out.ok || out.result.status != NDIS_STATUS_SUCCESS) {
                fuzz::Fail("adapter %s does not answer a statistics read: %s",
                           sim_->AdapterName(i).c_str(),
                           out.ok ? "a failure status" : out.error.c_str());
            }
        }
        sim_->TakeEvents();
    }

private:
    void RestoreLines() {
        for (const std::string& line : sim_->LineNames()) {
            std::string error;
            for (auto action : {zr48sim::LineAction::Restore, zr48sim::LineAction::Loss,
                                zr48sim::LineAction::BitErrors}) {
                if (!sim_->LineControl(line, action, 0, {}, &error)) {
                    fuzz::Fail("line %s cannot be restored: %s", line.c_str(), error.c_str());
                }
            }
        }
    }

    void Build() {
        // The default pair, with a small firmware image (written for the
        // build, which reads it, and gone after it): a rebuild costs little.
        zr48sim::SimConfig config = zr48sim::DefaultConfig();
        char path[] = "/tmp/zr48-fuzz-firmware-XXXXXX";
        int fd = mkstemp(path);
        std::vector<uint8_t> image = cardmodel::MakeFirmwareImage(kFirmwareBody);
        if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) {
            fuzz::Fail("cannot write a firmware image to %s", path);
        }
        close(fd);
        for (auto& adapter : config.adapters) adapter.firmwarePath = path;
        // NDIS's watchdog runs as in the simulator; special pool is off, as
        // in the other targets (fuzz::FuzzWorld).
        zr48sim::SimOptions options;
        options.world.specialPool = false;
        sim_ = std::make_unique<zr48sim::Simulator>(config, options);
        std::string error;
        bool built = sim_->Build(&error);
        unlink(path);
        if (!built) fuzz::Fail("the simulator does not build: %s", error.c_str());
        host::SetViolationHandler([](const std::string& message) {
            fuzz::Fail("verifier: %s", message.c_str());
        });
        if (!sim_->StartAdapters(&error)) {
            fuzz::Fail("the adapters do not start: %s", error.c_str());
        }
        if (!host::RunUntil([&] { return sim_->AllLinksUp(); }, kRecoveryLimit)) {
            fuzz::Fail("the links do not come up");
        }
        control_ = std::make_unique<zr48sim::ControlServer>(*sim_, nullptr);
        inputs_ = 0;
        rebuild_ = false;
        linesTouched_ = false;
    }
    void Teardown() {
        if (!sim_) return;
        control_.reset();
        sim_->HaltAll();
        zr48sim::ShutdownReport report = sim_->Finish();
        if (!report.clean) {
            std::string all;
            for (auto& p : report.problems) all += p + "; ";
            fuzz::Fail("the simulator does not halt clean: %s", all.c_str());
        }
        sim_.reset();
    }

    std::unique_ptr<zr48sim::Simulator> sim_;
    std::unique_ptr<zr48sim::ControlServer> control_;
    unsigned inputs_ = 0;
    bool rebuild_ = false;
    bool linesTouched_ = false;
};

SimRig* rig = nullptr;

void CheckAnswerLine(std::string_view request, const std::string& answer) {
    if (answer.find('\n') != std::string::npos) {
        fuzz::Fail("the answer to \"%s\" is more than one line: %s", Shown(request).c_str(),
                   Shown(answer).c_str());
    }
    bool ok = answer == "OK" || answer.compare(0, 3, "OK ") == 0;
    bool refused = answer.size() > 4 && answer.compare(0, 4, "ERR ") == 0 &&
                   answer.find_first_not_of(' ', 4) != std::string::npos;
    if (!ok && !refused) {
        fuzz::Fail("the answer to \"%s\" is neither OK nor ERR with a message: %s",
                   Shown(request).c_str(), Shown(answer).c_str());
    }
}

// What one request's checks need, kept from request to request so that
// its storage (strings, words, buffers) is allocated once, not per line.
struct Scratch {
    std::vector<std::string_view> words;  // views into the request line
    zr48control::InformationRequest request, again;
    std::string written;                   // the request as FormatRequest writes it
    std::vector<std::string_view> writtenWords;
    std::string answer;
    zr48control::InformationAnswer read, any;
    std::string error, ignored;
};
Scratch scratch;

// A request the parser accepts is one FormatRequest writes back the same.
// Whether it parses, and what to, in scratch.request.
bool CheckRoundTrip() {
    Scratch& s = scratch;
    if (!zr48control::ParseRequest(s.words, &s.request, &s.error)) {
        if (s.error.empty()) fuzz::Fail("a request was refused with no message");
        return false;
    }
    s.written = zr48control::FormatRequest(s.request);
    zr48control::SplitWords(s.written, &s.writtenWords);
    if (!zr48control::ParseRequest(s.writtenWords, &s.again, &s.error) ||
        s.again.query != s.request.query || s.again.adapter != s.request.adapter ||
        s.again.oid != s.request.oid || s.again.buffer != s.request.buffer) {
        fuzz::Fail("a request written back as \"%s\" does not parse to itself",
                   Shown(s.written).c_str());
    }
    return true;
}

// Returns whether the request may have left the simulator changed.
bool Request(zr48sim::ControlServer& control, std::string_view line) {
    Scratch& s = scratch;
    zr48control::SplitWords(line, &s.words);
    std::string_view verb = s.words.empty() ? std::string_view() : s.words[0];
    bool information = verb == "QUERY" || verb == "SET";
    // Parsed once: the parsers are pure, so what they make of the request
    // and of the answer serves every check below.
    s.error.clear();
    bool requestParsed = information && CheckRoundTrip();
    control.Answer(line, &s.answer);
    const std::string& answer = s.answer;
    fuzz::Note("%.*s -> %.200s", static_cast<int>(std::min<size_t>(line.size(), 200)),
               line.data(), answer.c_str());
    CheckAnswerLine(line, answer);
    // The client's parser reads any line the socket gives it.
    s.error.clear();
    bool parsed = zr48control::ParseAnswer(answer, &s.read, &s.error);
    if (!parsed && s.error.empty()) fuzz::Fail("an answer was refused with no message");
    zr48control::ParseAnswer(line, &s.any, &s.ignored);
    if (information && answer.compare(0, 3, "OK ") == 0) {
        if (!parsed || !requestParsed) {
            fuzz::Fail("the client cannot read the answer \"%s\": %s", Shown(answer).c_str(),
                       parsed ? "the request does not parse" : s.error.c_str());
        }
        if (s.read.buffer.size() != s.request.buffer.size()) {
            fuzz::Fail("the answer to \"%s\" carries %zu bytes for a %zu-byte buffer",
                       Shown(line).c_str(), s.read.buffer.size(), s.request.buffer.size());
        }
    }
    if (verb == "LINE" && answer.compare(0, 2, "OK") == 0) {
        rig->LinesTouched();
        if (s.words.size() > 2 && s.words[2] == "flap") rig->RebuildNext();
    }
    if (information) {
        // Only a request that reached an adapter can have changed it: a set,
        // or a query that failed there (it may have timed out on a hung
        // adapter). One the parser refused, or naming no adapter, did not.
        if (!requestParsed || rig->Sim().FindAdapter(s.request.adapter) < 0) return false;
        return verb == "SET" || answer.compare(0, 2, "OK") != 0;
    }
    return verb == "LINE" || verb == "RESET" || verb == "WAIT_LINK";
}

void Control(std::string_view text) {
    zr48sim::ControlServer& control = rig->Control();
    bool changed = false;
    size_t from = 0;
    while (from <= text.size()) {
        size_t newline = text.find('\n', from);
        if (newline == std::string::npos) newline = text.size();
        // As the socket's reader: a line too long is refused unread.
        if (newline - from <= zr48control::kMaxLine) {
            changed |= Request(control, text.substr(from, newline - from));
        }
        from = newline + 1;
    }
    if (changed) rig->Recover();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig = new SimRig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Control(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
