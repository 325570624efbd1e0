// zr48sim: runs zr48 adapters, each a card model driven by its own instance
// of the driver on the host platform in concurrent mode, joined by simulated
// SHDSL lines; optionally bridged to TAP devices so that the kernel's stack
// sends and receives through the driver. "zr48sim ctl ..." talks to a running
// simulator through its control socket.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "common/control_protocol.h"
#include "sim/control_server.h"
#include "sim/display.h"
#include "host/verifier.h"
#include "sim/simulator.h"
#include "sim/tap.h"

using namespace zr48sim;

namespace {

const char kUsage[] =
    "usage: zr48sim [options] [CONFIG]\n"
    "       zr48sim ctl [--control PATH] REQUEST...\n"
    "\n"
    "Runs zr48 adapters on simulated SHDSL lines. Without CONFIG: two adapters\n"
    "back to back (a central, b remote) at 2048 kbit/s on line l1.\n"
    "\n"
    "  --tap              bridge each adapter to a TAP device (its \"tap\" key;\n"
    "                     default zr48<name>); then sim/netns.sh up\n"
    "  --traffic BYTES    generated frames of BYTES (14..1514) both ways\n"
    "  --json             one JSON object per line instead of the terminal view\n"
    "  --log              plain log lines (the default when stdout is no terminal)\n"
    "  --interval MS      display period (default 500)\n"
    "  --duration SEC     halt by itself after SEC seconds\n"
    "  --control PATH     control socket (\"none\" for none); by default\n"
    "                     /run/zr48sim/zr48sim.sock for root, otherwise\n"
    "                     $XDG_RUNTIME_DIR/zr48sim/zr48sim.sock, or without it\n"
    "                     /tmp/zr48sim-UID/zr48sim.sock\n"
    "  --processors N     emulated processors (default 2)\n"
    "  --unlimited        cards serialize frames in no time\n"
    "\n"
    "ctl requests: status | adapters | lines | cut LINE | restore LINE |\n"
    "  flap LINE MS... | loss LINE P | bit-errors LINE P | reset ADAPTER |\n"
    "  wait-link SECONDS | note TEXT... | stop\n"
    "Exit status: 0 when every adapter halted cleanly with the verifier's ledger\n"
    "empty and no violation; 1 otherwise; 2 for a usage or configuration error,\n"
    "or a TAP device or control socket that cannot be set up.\n";

struct Arguments {
    std::string config;
    bool tap = false;
    size_t traffic = 0;
    Display::Style style = isatty(STDOUT_FILENO) ? Display::Style::Terminal : Display::Style::Log;
    int intervalMs = 500;
    double duration = 0;
    std::string control = zr48control::DefaultSocket();
    unsigned processors = 2;
    bool unlimited = false;
};

bool Number(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    *value = strtod(text, &end);
    return *text && !*end && *value >= low && *value <= high;
}

bool ParseArguments(int argc, char** argv, Arguments* a, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        double v = 0;
        auto value = [&](double low, double high) {
            return hasValue && Number(argv[++i], low, high, &v);
        };
        if (arg == "--tap") a->tap = true;
        else if (arg == "--json") a->style = Display::Style::Json;
        else if (arg == "--log") a->style = Display::Style::Log;
        else if (arg == "--unlimited") a->unlimited = true;
        else if (arg == "--traffic" && value(14, 1514)) a->traffic = static_cast<size_t>(v);
        else if (arg == "--interval" && value(50, 60000)) a->intervalMs = static_cast<int>(v);
        else if (arg == "--duration" && value(0.1, 1e6)) a->duration = v;
        else if (arg == "--processors" && value(1, 64)) a->processors = static_cast<unsigned>(v);
        else if (arg == "--control" && hasValue) a->control = argv[++i];
        else if (arg[0] != '-' && a->config.empty()) a->config = arg;
        else {
            *error = "bad argument or value: " + arg;
            return false;
        }
    }
    if (a->tap && a->traffic) {
        *error = "--traffic generates frames only without --tap: with --tap, the kernel sends";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// zr48sim ctl
// ---------------------------------------------------------------------------
std::string CtlLine(const std::vector<std::string>& w, std::string* error) {
    auto need = [&](size_t n) {
        if (w.size() >= n) return true;
        *error = "\"" + w[0] + "\" needs " + std::to_string(n - 1) + " argument(s)";
        return false;
    };
    const std::string& c = w[0];
    std::string rest;
    for (size_t i = 1; i < w.size(); ++i) rest += " " + w[i];
    if (c == "status" || c == "adapters" || c == "lines" || c == "stop") {
        std::string upper = c;
        for (char& ch : upper) ch = static_cast<char>(toupper(ch));
        return upper;
    }
    if ((c == "cut" || c == "restore") && need(2)) return "LINE " + w[1] + " " + c;
    if (c == "flap" && need(3)) return "LINE " + w[1] + " flap" + rest.substr(w[1].size() + 1);
    if (c == "loss" && need(3)) return "LINE " + w[1] + " loss " + w[2];
    if (c == "bit-errors" && need(3)) return "LINE " + w[1] + " bit_errors " + w[2];
    if (c == "reset" && need(2)) return "RESET " + w[1];
    if (c == "wait-link" && need(2)) return "WAITLINK " + w[1];
    if (c == "note" && need(2)) return "NOTE" + rest;
    if (error->empty()) *error = "unknown request \"" + c + "\"";
    return "";
}

int Ctl(int argc, char** argv) {
    std::string path = zr48control::DefaultSocket();
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--control" && i + 1 < argc) path = argv[++i];
        else words.push_back(argv[i]);
    }
    std::string error;
    std::string line = words.empty() ? "" : CtlLine(words, &error);
    if (line.empty()) {
        fprintf(stderr, "zr48sim ctl: %s\n%s", words.empty() ? "no request" : error.c_str(),
                kUsage);
        return 2;
    }
    zr48control::Client client;
    std::string answer;
    if (!client.Connect(path, &error) || !client.Call(line, &answer, 610 * 1000, &error)) {
        fprintf(stderr, "zr48sim ctl: %s\n", error.c_str());
        return 1;
    }
    bool ok = answer.compare(0, 2, "OK") == 0;
    std::string text = answer.size() > 3 ? answer.substr(3) : "";
    if (!text.empty()) fprintf(ok ? stdout : stderr, "%s\n", text.c_str());
    return ok ? 0 : 1;
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

void Write(const std::string& text) {
    if (text.empty()) return;
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

struct Run {
    Arguments args;
    Simulator sim;
    Display display;
    ControlServer control;
    std::vector<std::unique_ptr<TapBridge>> taps;
    std::thread starter;
    std::atomic<bool> started{false};
    bool startFailed = false;

    Run(const Arguments& a, SimConfig config, SimOptions options)
        : args(a), sim(std::move(config), options),
          display(a.style, "zr48sim"), control(sim, [] { stopAsked = true; }) {}

    bool Prepare(std::string* error);
    void Start();
    void Show();
    int Stop();
};

bool Run::Prepare(std::string* error) {
    if (!sim.Build(error)) return false;
    host::SetViolationHandler([this](const std::string& message) {
        sim.Note("verifier", "VIOLATION: " + message);
        fprintf(stderr, "zr48sim: verifier: %s\n", message.c_str());
    });
    if (args.tap) {
        for (size_t i = 0; i < sim.AdapterCount(); ++i) {
            taps.push_back(std::make_unique<TapBridge>(sim, i, sim.Config().adapters[i].tap));
            if (!taps.back()->Open(error)) return false;
        }
    }
    if (args.control != "none" && !control.Start(args.control, error)) return false;
    return true;
}

// Brings the adapters up on a thread of its own, so that the display shows
// the firmware download while it goes on.
void Run::Start() {
    starter = std::thread([this] {
        host::AttachThread(0);
        std::string error;
        startFailed = !sim.StartAdapters(&error);
        if (startFailed) sim.Note("zr48sim", error);
        for (size_t i = 0; i < taps.size(); ++i) {
            if (!sim.Running(i)) continue;
            if (!taps[i]->Start(&error)) sim.Note("zr48sim", error);
            else sim.Note(taps[i]->Name(), "TAP device up, bridged to the adapter");
        }
        if (args.traffic) sim.StartTraffic(args.traffic, 2 * host::kMillisecond);
        started = true;
    });
}

void Run::Show() {
    auto adapters = sim.Snapshot();
    auto events = sim.TakeEvents();
    Write(display.Update(sim.Seconds(), adapters, events, sim.RecentEvents(8)));
}

int Run::Stop() {
    if (starter.joinable()) starter.join();
    for (auto& tap : taps) tap->Stop();
    sim.HaltAll();
    control.Stop();
    Show();
    ShutdownReport report = sim.Finish();
    Write(display.Shutdown(report));
    if (startFailed && report.clean) {
        fprintf(stderr, "zr48sim: an adapter failed to initialize\n");
        return 1;
    }
    return report.clean ? 0 : 1;
}

// Waits for Ctrl-C, a STOP request or the end of the run, redrawing the
// display meanwhile. Signals are blocked in every thread and taken here.
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
            run.Show();
            // Faster while the adapters come up, so that the firmware
            // download can be watched.
            int period = run.started ? run.args.intervalMs : 50;
            nextShow = now + std::chrono::milliseconds(period);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "ctl") return Ctl(argc, argv);
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        printf("%s", kUsage);
        return 0;
    }
    Arguments args;
    std::string error;
    SimConfig config = DefaultConfig();
    if (!ParseArguments(argc, argv, &args, &error) ||
        (!args.config.empty() && !LoadConfig(args.config, &config, &error)) ||
        !ValidateConfig(config, &error)) {
        fprintf(stderr, "zr48sim: %s\n", error.c_str());
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
    Run run(args, config, options);
    if (!run.Prepare(&error)) {
        fprintf(stderr, "zr48sim: %s\n", error.c_str());
        run.sim.HaltAll();
        run.sim.Finish();
        return 2;
    }
    run.Start();
    Loop(run, signals);
    return run.Stop();
}
