// zr48sim: runs zr48 adapters, each a card model driven by its own instance
// of the driver on the host platform in concurrent mode, joined by simulated
// SHDSL lines; optionally bridged to TAP devices so that the kernel's stack
// sends and receives through the driver. "zr48sim ctl ..." talks to a running
// simulator through its control socket.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "common/control_protocol.h"
#include "host/image.h"
#include "host/verifier.h"
#include "sim/cli.h"
#include "sim/control_server.h"
#include "sim/display.h"
#include "sim/report.h"
#include "sim/simulator.h"
#include "sim/tap.h"

using namespace zr48sim;

namespace {

void Print(FILE* to, const std::string& text) {
    if (text.empty()) return;
    fwrite(text.data(), 1, text.size(), to);
    fflush(to);
}

// ---------------------------------------------------------------------------
// zr48sim ctl
// ---------------------------------------------------------------------------
int Ctl(const CtlArguments& ctl) {
    zr48control::Client client;
    std::string answer, error;
    if (!client.Connect(ctl.control, &error) ||
        !client.Call(ctl.request, &answer, 610 * 1000, &error)) {
        Print(stderr, "zr48sim ctl: " + error + "\n");
        return 1;
    }
    CtlOutput out = CtlAnswer(ctl, answer);
    Print(stdout, out.out);
    Print(stderr, out.err);
    return out.exitCode;
}

// ---------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------
std::atomic<bool> stopAsked{false};

// 100 ns units since 1 January 1601, as NdisGetCurrentSystemTime counts.
int64_t SystemTimeNow() {
    auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
    return sinceUnix / 100 + 116444736000000000LL;
}

// NO_COLOR, when set and not empty, asks for no colour or bold at all.
bool BoldAllowed() {
    const char* no = getenv("NO_COLOR");
    return !no || !*no;
}

// Whether the report can be written where it is asked for, before anything
// runs: its directory exists and takes files, and a file there may be replaced.
bool ReportWritable(const std::string& path, std::string* error) {
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        *error = "--report " + path + ": the directory " + directory + ": " + strerror(errno);
        return false;
    }
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) {
        *error = "--report " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

// "zr48sim: demo.conf, 2026-12-07 11:57 UTC": what ran, and when.
std::string ReportTitle(const std::string& config, time_t startedAt) {
    size_t slash = config.rfind('/');
    std::string what = config.empty() ? "two adapters back to back"
                                      : slash == std::string::npos ? config : config.substr(slash + 1);
    char when[32];
    struct tm utc;
    strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", gmtime_r(&startedAt, &utc));
    return "zr48sim: " + what + ", " + when;
}

struct Run {
    RunArguments args;
    time_t startedAt = time(nullptr);
    Simulator sim;
    Display display;
    ControlServer control;
    std::vector<std::unique_ptr<TapBridge>> taps;
    std::thread starter;
    std::atomic<bool> started{false};
    std::atomic<bool> startFailed{false};
    // A TAP device that could not be set up once its adapter ran: the run
    // goes on (the device may still carry frames), and its exit status says so.
    std::mutex problemsMu;
    std::vector<std::string> tapProblems;

    Run(const RunArguments& a, SimConfig config, SimOptions options)
        : args(a), sim(std::move(config), options),
          display(a.style, "zr48sim", BoldAllowed()),
          control(sim, [] { stopAsked = true; }) {}

    bool Prepare(std::string* error);
    void Start();
    void ShowEvents();
    void ShowState();
    std::vector<std::string> Failures();
    int Stop();
};

bool Run::Prepare(std::string* error) {
    if (!sim.Build(error)) return false;
    for (auto& note : sim.Notes()) Print(stderr, "zr48sim: note: " + note + "\n");
    host::SetViolationHandler([this](const std::string& message) {
        sim.Note("verifier", "VIOLATION: " + message, SimEvent::Kind::Problem);
        fprintf(stderr, "zr48sim: verifier: %s\n", message.c_str());
    });
    if (args.tap) {
        for (size_t i = 0; i < sim.AdapterCount(); ++i) {
            taps.push_back(std::make_unique<TapBridge>(sim, i, sim.Config().adapters[i].tap));
            if (!taps.back()->Open(error)) return false;
        }
    }
    if (args.control != "none" && !control.Start(args.control, !args.controlGiven, error)) {
        return false;
    }
    return true;
}

// Brings the adapters up on a thread of its own, so that the display shows
// the firmware download while it goes on.
void Run::Start() {
    starter = std::thread([this] {
        host::AttachThread(0);
        std::string error;
        startFailed = !sim.StartAdapters(&error);
        for (size_t i = 0; i < taps.size(); ++i) {
            if (!sim.Running(i)) continue;
            if (!taps[i]->Start(&error)) {
                sim.Note(taps[i]->Name(), error, SimEvent::Kind::Problem);
                std::lock_guard<std::mutex> lock(problemsMu);
                tapProblems.push_back("TAP device " + taps[i]->Name() + ": " + error);
            } else {
                sim.Note(taps[i]->Name(), "TAP device up, bridged to the adapter");
            }
        }
        if (args.traffic) sim.StartTraffic(args.traffic, 2 * host::kMillisecond);
        started = true;
    });
}

// Events first, so that every line written is later than the ones before.
void Run::ShowEvents() { Print(stdout, display.Events(sim.TakeEvents())); }

void Run::ShowState() {
    ShowEvents();
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) display.SetSize(size.ws_row, size.ws_col);
    auto adapters = sim.Snapshot();
    Print(stdout, display.State(sim.Seconds(), adapters, sim.RecentEvents(8)));
}

std::vector<std::string> Run::Failures() {
    std::vector<std::string> out;
    for (auto& s : sim.Snapshot()) {
        if (s.phase == AdapterPhase::Failed) {
            out.push_back("adapter " + s.name + " failed to initialize: " + s.failure);
        }
    }
    std::lock_guard<std::mutex> lock(problemsMu);
    out.insert(out.end(), tapProblems.begin(), tapProblems.end());
    return out;
}

int Run::Stop() {
    if (starter.joinable()) starter.join();
    for (auto& tap : taps) tap->Stop();
    sim.HaltAll();
    control.Stop();
    ShowState();
    std::vector<std::string> failures = Failures();
    int status = 0;
    if (!args.report.empty()) {
        std::string error, title = ReportTitle(args.config, startedAt);
        if (WriteReport(args.report, ReportSvg(ReportOf(sim, title)), &error)) {
            Print(stderr, "zr48sim: report written to " + args.report + "\n");
        } else {
            Print(stderr, "zr48sim: the report could not be written: " + error + "\n");
            status = 1;
        }
    }
    ShutdownReport report = sim.Finish();
    Print(stdout, display.Shutdown(report, failures));
    return report.clean && failures.empty() ? status : 1;
}

// Waits for Ctrl-C, a STOP request or the end of the run: writes the events
// as they come and the adapters' state every display period. Signals are
// blocked in every thread and taken here.
void Loop(Run& run, const sigset_t& signals) {
    auto begin = std::chrono::steady_clock::now();
    auto nextShow = begin;
    while (!stopAsked) {
        timespec slice{0, 50 * 1000 * 1000};
        if (sigtimedwait(&signals, nullptr, &slice) > 0) break;
        auto now = std::chrono::steady_clock::now();
        if (run.args.duration > 0 &&
            std::chrono::duration<double>(now - begin).count() >= run.args.duration) {
            break;
        }
        if (now >= nextShow) {
            run.ShowState();
            nextShow = now + std::chrono::milliseconds(run.args.intervalMs);
        } else {
            run.ShowEvents();
        }
    }
}

int RunSimulator(const RunArguments& args) {
    std::string error;
    SimConfig config = DefaultConfig();
    if ((!args.config.empty() && !LoadConfig(args.config, &config, &error)) ||
        !ValidateConfig(config, ValidateOptions{args.tap}, &error) ||
        (!args.report.empty() && !ReportWritable(args.report, &error))) {
        Print(stderr, "zr48sim: " + error + "\n");
        return 2;
    }
    // Blocked before any thread exists, so that every thread inherits it and
    // only the main loop takes Ctrl-C.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SimOptions options;
    options.world.mode = host::Mode::Concurrent;
    options.world.processors = args.processors;
    // The machine boots now, so that times such as the last line-up read as
    // today's date.
    options.world.bootSystemTime = SystemTimeNow();
    options.unlimitedRate = args.unlimited;
    if (!args.driver.empty()) {
        options.driverImage = host::LoadDriverImage(args.driver, &error);
        if (!options.driverImage) {
            Print(stderr, "zr48sim: --driver: " + error + "\n");
            return 2;
        }
    }
    Run run(args, config, options);
    if (!run.Prepare(&error)) {
        Print(stderr, "zr48sim: " + error + "\n");
        run.sim.HaltAll();
        run.sim.Finish();
        return 2;
    }
    run.Start();
    Loop(run, signals);
    return run.Stop();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine line = ParseCommandLine(args, isatty(STDOUT_FILENO));
    switch (line.action) {
    case CommandLine::Action::Exit:
        Print(stdout, line.out);
        Print(stderr, line.err);
        return line.exitCode;
    case CommandLine::Action::Ctl: return Ctl(line.ctl);
    case CommandLine::Action::Run: break;
    }
    return RunSimulator(line.run);
}
