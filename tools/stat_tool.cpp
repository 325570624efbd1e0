#include "tools/stat_tool.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/control_protocol.h"

namespace zr48stat {
namespace {

constexpr long kMaxTimeout = 3600;     // seconds
constexpr double kMaxWatch = 3600;     // seconds between reads
constexpr double kMinWatch = 0.5;

const char kFooter[] =
    "Reads the statistics block of each ADAPTER (every adapter of the simulator\n"
    "when none is named) through the private OID 0xFF020210 and prints it\n"
    "decoded; with --clear, clears it through OID 0xFF020211 instead and says\n"
    "exactly what was cleared. On Linux it reaches a running zr48sim's adapters\n"
    "through its control socket.\n"
    "\n"
    "Exit status: 0 when every adapter answered; 1 when one did not, or no\n"
    "simulator answers; 2 for a mistake in the arguments.";

CLI::Validator WholeSeconds() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            long v = text.empty() || text.find_first_not_of("0123456789") != std::string::npos
                         ? -1
                         : strtol(text.c_str(), &end, 10);
            if (v < 1 || v > kMaxTimeout) {
                return "takes whole seconds, 1 to " + std::to_string(kMaxTimeout) + ", not \"" +
                       text + "\"";
            }
            return "";
        },
        "1..3600");
}

CLI::Validator WatchPeriod() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            bool digits = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
                          text.find('.') == text.rfind('.');
            double v = digits ? strtod(text.c_str(), &end) : -1;
            if (!digits || *end || !std::isfinite(v) || v < kMinWatch || v > kMaxWatch) {
                return "takes seconds between reads, 0.5 to 3600, not \"" + text + "\"";
            }
            return "";
        },
        "0.5..3600");
}

std::string Gain(uint64_t now, uint64_t before, const char* what) {
    long long d = static_cast<long long>(now - before);
    return (d >= 0 ? "+" : "") + std::to_string(d) + " " + what;
}

}  // namespace

CommandLine ParseArguments(const std::vector<std::string>& args) {
    CLI::App app("", "zr48stat");
    app.footer(kFooter);
    CommandLine c;
    Options& o = c.options;
    std::string timeout, watch;
    app.add_option("ADAPTER", o.adapters, "the adapters to read (default: every one)");
    app.add_option("--socket", o.socket,
                   "the simulator's control socket (default, as zr48sim's: "
                   "/run/zr48sim/zr48sim.sock for root, otherwise "
                   "$XDG_RUNTIME_DIR/zr48sim/zr48sim.sock, or without it "
                   "/tmp/zr48sim-UID/zr48sim.sock)")
        ->type_name("PATH");
    app.add_flag("--json", o.json, "one JSON object per adapter");
    auto* clear = app.add_flag("--clear", o.clear, "clear the block instead of reading it");
    app.add_option("--timeout", timeout,
                   "how long to wait for a pending request, in whole seconds up to 3600 "
                   "(default 10)")
        ->type_name("SEC")
        ->check(WholeSeconds());
    app.add_option("--watch", watch,
                   "read again every SECONDS (0.5 to 3600) and show what the counters gained, "
                   "until Ctrl-C: a live view, as watch ip -s link gives")
        ->type_name("SECONDS")
        ->check(WatchPeriod())
        ->excludes(clear);
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        c.out = app.help();
        return c;
    } catch (const CLI::ParseError& e) {
        c.exitCode = 2;
        c.err = std::string("zr48stat: ") + e.what() + "\nRun zr48stat --help for the options.\n";
        return c;
    }
    if (o.socket.empty()) o.socket = zr48control::DefaultSocket();
    if (!timeout.empty()) o.timeoutMs = static_cast<int>(strtol(timeout.c_str(), nullptr, 10) * 1000);
    if (!watch.empty()) o.watchSeconds = strtod(watch.c_str(), nullptr);
    c.run = true;
    return c;
}

std::string WatchFrame(const std::vector<Reading>& now, const std::map<std::string, Reading>& before,
                       const Options& options, const std::string& clock, bool terminal) {
    std::string names;
    for (auto& r : now) names += " " + r.adapter;
    char period[32];
    snprintf(period, sizeof period, "%g", options.watchSeconds);
    std::string out = terminal ? "\x1b[H\x1b[2J" : "";
    out += "Every " + std::string(period) + " s: zr48stat" + names + "    " + clock + "\n\n";
    for (auto& r : now) {
        out += FormatStatistics(r.block, r.adapter);
        auto it = before.find(r.adapter);
        if (it != before.end()) {
            const Statistics& b = it->second.block;
            char span[32];
            snprintf(span, sizeof span, "%.1f s", r.seconds - it->second.seconds);
            out += "  in the last " + std::string(span) + ": " +
                   Gain(r.block.xmitOk, b.xmitOk, "frames sent") + ", " +
                   Gain(r.block.rcvOk, b.rcvOk, "received") + ", " +
                   Gain(r.block.rcvError, b.rcvError, "receive errors") + ", " +
                   Gain(r.block.linkUpCount, b.linkUpCount, "line-ups") + "\n";
        }
        out += "\n";
    }
    return out;
}

}  // namespace zr48stat
