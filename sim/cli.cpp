#include "sim/cli.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <functional>

#include "common/control_protocol.h"
#include "common/oids.h"
#include "common/stats_block.h"
#include "sim/config.h"

namespace zr48sim {
namespace {

// ---------------------------------------------------------------------------
// Strict numbers
// ---------------------------------------------------------------------------
// Decimal digits only (no sign, no base prefix, no blanks), within a range.
bool WholeNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t* value,
                 std::string* why) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        *why = "\"" + text + "\" is not a whole number";
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) {
            v = UINT64_MAX;
            break;
        }
        v = v * 10 + d;
    }
    if (v < low || v > high) {
        *why = text + " is out of range: " + std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    *value = v;
    return true;
}

// A decimal number (digits, a point, an exponent; no sign, nan or inf),
// within a range.
bool Decimal(const std::string& text, double low, double high, double* value, std::string* why) {
    char* end = nullptr;
    double v = text.empty() ? 0 : strtod(text.c_str(), &end);
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos ||
        !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.') || *end ||
        !std::isfinite(v)) {
        *why = "\"" + text + "\" is not a number";
        return false;
    }
    if (v < low || v > high) {
        char range[64];
        snprintf(range, sizeof range, "%g to %g", low, high);
        *why = text + " is out of range: " + range;
        return false;
    }
    *value = v;
    return true;
}

CLI::Validator WholeIn(uint64_t low, uint64_t high, const std::string& unit) {
    return CLI::Validator(
        [=](std::string& text) {
            uint64_t v;
            std::string why;
            return WholeNumber(text, low, high, &v, &why) ? std::string() : why + " " + unit;
        },
        std::to_string(low) + ".." + std::to_string(high));
}

CLI::Validator DecimalIn(double low, double high, const std::string& unit) {
    char range[64];
    snprintf(range, sizeof range, "%g..%g", low, high);
    return CLI::Validator(
        [=](std::string& text) {
            double v;
            std::string why;
            return Decimal(text, low, high, &v, &why) ? std::string() : why + " " + unit;
        },
        range);
}

uint64_t Whole(const std::string& text) { return strtoull(text.c_str(), nullptr, 10); }

// ---------------------------------------------------------------------------
// zr48sim [options] [CONFIG]
// ---------------------------------------------------------------------------
static_assert(kMaxAdapters == 32, "the help below states the limit");
const char kRunFooter[] =
    "Runs zr48 adapters, each a card model driven by its own instance of the\n"
    "driver, on simulated SHDSL lines. Without CONFIG: two adapters back to back\n"
    "(a central, b remote) at 2048 kbit/s on line l1. A configuration holds\n"
    "at most 32 adapters, one in each slot of the machine's PCI bus\n"
    "(sim/zr48sim.conf is a commented sample).\n"
    "\n"
    "  zr48sim ctl REQUEST ...   talks to a running simulator (zr48sim ctl --help)\n"
    "\n"
    "The display is redrawn in place on a terminal; plain log lines otherwise\n"
    "(--log); one JSON object per line with --json. NO_COLOR=1 leaves out bold.\n"
    "\n"
    "Exit status: 0 when every adapter halted cleanly with the verifier's ledger\n"
    "empty and no violation; 1 otherwise (an adapter that failed to initialize\n"
    "included); 2 for a mistake in the arguments or the configuration, or a TAP\n"
    "device, control socket or report that cannot be set up (nothing has run).";

CommandLine Fail(int code, const std::string& message, const std::string& hint) {
    CommandLine c;
    c.action = CommandLine::Action::Exit;
    c.exitCode = code;
    c.err = message + "\n" + hint + "\n";
    return c;
}

CommandLine Help(const std::string& text) {
    CommandLine c;
    c.action = CommandLine::Action::Exit;
    c.exitCode = 0;
    c.out = text;
    return c;
}

// CLI11 wants argv in reverse order when given a vector.
std::vector<std::string> Reversed(std::vector<std::string> args) {
    return std::vector<std::string>(args.rbegin(), args.rend());
}

CommandLine ParseRun(const std::vector<std::string>& args, bool terminal) {
    CLI::App app("", "zr48sim");
    app.footer(kRunFooter);
    CommandLine c;
    RunArguments& r = c.run;
    std::string traffic, interval, duration, processors;
    bool json = false, log = false;
    app.add_option("CONFIG", r.config, "a configuration file");
    app.add_flag("--tap", r.tap,
                 "bridge each adapter to a TAP device (its \"tap\" key, default zr48<name>); "
                 "then sim/netns.sh up");
    app.add_option("--traffic", traffic, "generated frames of BYTES (14..1514) both ways")
        ->type_name("BYTES")
        ->check(WholeIn(14, 1514, "(bytes of a frame)"));
    auto* jsonFlag = app.add_flag("--json", json, "one JSON object per line instead of the view");
    auto* logFlag = app.add_flag("--log", log, "plain log lines (the default when stdout is no terminal)");
    jsonFlag->excludes(logFlag);
    app.add_option("--interval", interval,
                   "display period in milliseconds, 50..60000: the view's redraw, a log summary, "
                   "a JSON snapshot (default 500; 2000 for log lines)")
        ->type_name("MS")
        ->check(WholeIn(50, 60000, "(milliseconds)"));
    app.add_option("--duration", duration, "halt by itself after SEC seconds (0.1..1000000)")
        ->type_name("SEC")
        ->check(DecimalIn(0.1, 1e6, "(seconds)"));
    auto* control =
        app.add_option("--control", r.control,
                       "control socket (\"none\" for none); by default /run/zr48sim/zr48sim.sock "
                       "for root, otherwise $XDG_RUNTIME_DIR/zr48sim/zr48sim.sock, or without it "
                       "/tmp/zr48sim-UID/zr48sim.sock. A PATH given must be in a directory that "
                       "exists")
            ->type_name("PATH");
    app.add_option("--processors", processors, "emulated processors, 1..64 (default 2)")
        ->type_name("N")
        ->check(WholeIn(1, 64, "(processors)"));
    app.add_flag("--unlimited", r.unlimited, "cards serialize frames in no time");
    app.add_option("--driver", r.driver,
                   "run the Windows driver image FILE (the x64 zr48.sys that make windows "
                   "links, build/win-x86_64/zr48.sys) instead of the driver linked in: loaded as "
                   "the kernel loads it, its card window, cr8 and the kernel's shared data "
                   "emulated")
        ->type_name("FILE.sys");
    app.add_option("--report", r.report,
                   "at the end, write an SVG picture of the run to FILE: throughput each way "
                   "over time for each adapter, with the line and link events")
        ->type_name("FILE.svg");
    try {
        app.parse(Reversed(args));
    } catch (const CLI::CallForHelp&) {
        return Help(app.help());
    } catch (const CLI::ParseError& e) {
        return Fail(2, std::string("zr48sim: ") + e.what(), "Run zr48sim --help for the options.");
    }
    r.traffic = traffic.empty() ? 0 : static_cast<size_t>(Whole(traffic));
    r.processors = processors.empty() ? 2 : static_cast<unsigned>(Whole(processors));
    r.duration = duration.empty() ? 0 : strtod(duration.c_str(), nullptr);
    r.style = json ? Display::Style::Json
              : log ? Display::Style::Log
              : terminal ? Display::Style::Terminal
                         : Display::Style::Log;
    r.intervalMs = !interval.empty() ? static_cast<int>(Whole(interval))
                   : r.style == Display::Style::Log ? 2000
                                                    : 500;
    r.controlGiven = control->count() > 0;
    if (!r.controlGiven) r.control = zr48control::DefaultSocket();
    if (r.control.empty()) {
        return Fail(2, "zr48sim: --control: an empty path (\"none\" for no socket)",
                    "Run zr48sim --help for the options.");
    }
    if (r.tap && r.traffic) {
        return Fail(2,
                    "zr48sim: --traffic generates frames only without --tap: with --tap, the "
                    "kernel sends",
                    "Run zr48sim --help for the options.");
    }
    if (!r.report.empty() && (r.report.size() < 5 ||
                              r.report.compare(r.report.size() - 4, 4, ".svg") != 0)) {
        return Fail(2, "zr48sim: --report: " + r.report + " does not end in .svg",
                    "Run zr48sim --help for the options.");
    }
    c.action = CommandLine::Action::Run;
    return c;
}

// ---------------------------------------------------------------------------
// zr48sim ctl
// ---------------------------------------------------------------------------
const char kCtlFooter[] =
    "Each request goes to a running zr48sim through its control socket and is\n"
    "answered when it is done (a pending information request when the driver\n"
    "completes it). Adapter and line names are the simulator's (ctl adapters,\n"
    "ctl lines). OIDs go by name (OID_GEN_LINK_SPEED, or link_speed) or number.\n"
    "\n"
    "Exit status: 0 when the request succeeded; 1 when the simulator or the\n"
    "driver refused it or no simulator answers; 2 for a mistake in the request.";

struct CtlRequest {
    const char* name;
    const char* help;
};

const CtlRequest kCtlRequests[] = {
    {"status", "every adapter's state as a JSON array"},
    {"adapters", "the adapters' names"},
    {"lines", "the lines' names"},
    {"cut", "cut a line"},
    {"restore", "restore a cut line"},
    {"flap", "cut a line for MS, restore it for MS, cut it ... and leave it restored"},
    {"loss", "the probability that a frame on the line is lost"},
    {"bit_errors", "the probability that a bit on the line is damaged"},
    {"reset", "MiniportReset of an adapter from the upper edge"},
    {"wait_link", "wait until every adapter's link is up (at most SECONDS; 0: now)"},
    {"note", "show TEXT among the events"},
    {"query", "an information query: the driver's answer, decoded"},
    {"set", "an information set with the bytes of HEX"},
    {"stop", "halt every adapter and stop the simulator"},
};

CommandLine ParseCtl(const std::vector<std::string>& args) {
    const std::string hint = "Run zr48sim ctl --help for the requests.";
    // A request is one of ours; CLI11 would only say that one is required.
    bool request = false, help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--control") {
            ++i;
            continue;
        }
        help = help || a == "-h" || a == "--help";
        if (a.empty() || a[0] == '-') continue;
        request = true;
        bool known = false;
        for (auto& r : kCtlRequests) known = known || a == r.name;
        if (!known) {
            std::string similar = a == "bit-errors" ? " (bit_errors)" : a == "wait-link" ? " (wait_link)" : "";
            return Fail(2, "zr48sim ctl: unknown request \"" + a + "\"" + similar, hint);
        }
        break;
    }
    if (!request && !help) {
        return Fail(2, "zr48sim ctl: no request (status, adapters, lines, cut, restore, flap, loss, "
                       "bit_errors, reset, wait_link, note, query, set, stop)",
                    hint);
    }
    CLI::App app("", "zr48sim ctl");
    app.footer(kCtlFooter);
    app.require_subcommand(1);
    CommandLine c;
    CtlArguments& t = c.ctl;
    auto* control = app.add_option("--control", t.control,
                                   "the simulator's control socket (default, as zr48sim's)")
                        ->type_name("PATH");
    std::string line, adapter, value, oid, length, hex;
    std::vector<std::string> words;
    std::map<std::string, CLI::App*> sub;
    for (auto& r : kCtlRequests) {
        sub[r.name] = app.add_subcommand(r.name, r.help);
        sub[r.name]->footer("");
        sub[r.name]->fallthrough();
    }
    for (const char* name : {"cut", "restore", "flap", "loss", "bit_errors"}) {
        sub[name]->add_option("LINE", line, "the line's name")->required();
    }
    sub["flap"]
        ->add_option("MS", words, "milliseconds of each step, 1..600000, down first")
        ->required()
        ->check(WholeIn(1, 600000, "(milliseconds)"));
    sub["loss"]->add_option("P", value, "a probability, 0..1")->required()->check(DecimalIn(0, 1, "(a probability)"));
    sub["bit_errors"]
        ->add_option("P", value, "a probability, 0..1")
        ->required()
        ->check(DecimalIn(0, 1, "(a probability)"));
    sub["reset"]->add_option("ADAPTER", adapter, "the adapter's name")->required();
    sub["wait_link"]
        ->add_option("SECONDS", value, "how long to wait at most, 0..600")
        ->required()
        ->check(DecimalIn(0, zr48control::kMaxWaitLink, "(seconds)"));
    sub["note"]->add_option("TEXT", words, "the words of the note")->required();
    for (const char* name : {"query", "set"}) {
        sub[name]->add_option("ADAPTER", adapter, "the adapter's name")->required();
        sub[name]->add_option("OID", oid, "a name (OID_GEN_LINK_SPEED, link_speed) or number")->required();
    }
    sub["query"]
        ->add_option("LENGTH", length,
                     "bytes of the information buffer, 0..4096 (default: the whole answer)")
        ->check(WholeIn(0, zr48control::kMaxBuffer, "(bytes)"));
    sub["set"]->add_option("HEX", hex, "the value's bytes in hexadecimal (- for none)")->required();
    try {
        app.parse(Reversed(args));
    } catch (const CLI::CallForHelp&) {
        return Help(app.help());
    } catch (const CLI::ParseError& e) {
        return Fail(2, std::string("zr48sim ctl: ") + e.what(), hint);
    }
    if (control->count() == 0) t.control = zr48control::DefaultSocket();
    t.command = app.get_subcommands().at(0)->get_name();
    const std::string& k = t.command;
    auto join = [&](const std::string& first) {
        std::string out = first;
        for (auto& w : words) out += " " + w;
        return out;
    };
    if (k == "status" || k == "adapters" || k == "lines" || k == "stop") {
        for (char ch : k) t.request += static_cast<char>(toupper(ch));
    } else if (k == "cut" || k == "restore") {
        t.request = "LINE " + line + " " + k;
    } else if (k == "flap") {
        t.request = join("LINE " + line + " flap");
    } else if (k == "loss" || k == "bit_errors") {
        t.request = "LINE " + line + " " + k + " " + value;
    } else if (k == "reset") {
        t.request = "RESET " + adapter;
    } else if (k == "wait_link") {
        t.request = "WAIT_LINK " + value;
    } else if (k == "note") {
        t.request = join("NOTE");
    } else {
        std::string error;
        t.information = true;
        t.query = k == "query";
        t.adapter = adapter;
        if (!zr48control::ParseOid(oid, &t.oid, &error)) return Fail(2, "zr48sim ctl: " + error, hint);
        if (t.query) {
            std::optional<uint32_t> n;
            if (!length.empty()) n = static_cast<uint32_t>(Whole(length));
            t.buffer = zr48control::QueryBuffer(t.oid, n);
        } else if (!zr48control::HexDecode(hex, &t.buffer)) {
            return Fail(2, "zr48sim ctl: set: HEX \"" + hex +
                               "\" is not an even number of hexadecimal digits (or - for none)",
                        hint);
        } else if (t.buffer.size() > zr48control::kMaxBuffer) {
            return Fail(2, "zr48sim ctl: set: at most " + std::to_string(zr48control::kMaxBuffer) +
                               " bytes", hint);
        }
        t.request = zr48control::FormatRequest({t.query, t.adapter, t.oid, t.buffer});
    }
    c.action = CommandLine::Action::Ctl;
    return c;
}

std::string CountText(const std::optional<uint32_t>& n, const char* what) {
    if (!n) return std::string("bytes ") + what + ": none (the driver left the count unwritten)";
    return std::to_string(*n) + " byte" + (*n == 1 ? "" : "s") + " " + what;
}

CtlOutput InformationAnswer(const CtlArguments& t, const std::string& answerLine) {
    CtlOutput o;
    zr48control::InformationAnswer a;
    std::string error;
    if (!zr48control::ParseAnswer(answerLine, &a, &error)) {
        o.exitCode = 1;
        o.err = "zr48sim ctl: " + error + "\n";
        return o;
    }
    char oidText[16];
    snprintf(oidText, sizeof oidText, "0x%08X", t.oid);
    std::string head = t.adapter + ": " + zr48control::OidName(t.oid);
    if (zr48control::FindOid(t.oid)) head += std::string(" (") + oidText + ")";
    bool ok = a.status == 0;
    std::string value;
    if (t.query && ok) {
        size_t n = a.bytesDone ? *a.bytesDone : 0;
        std::vector<uint8_t> written(a.buffer.begin(),
                                     a.buffer.begin() + static_cast<long>(std::min(n, a.buffer.size())));
        value = zr48control::DescribeValue(t.oid, written);
    } else if (!t.query) {
        value = zr48control::DescribeValue(t.oid, t.buffer);
    }
    if (t.query) {
        o.out = head + ": " + (ok ? value : zr48stat::StatusName(a.status)) + "\n  " +
                (ok ? zr48stat::StatusName(a.status) + ": " : std::string()) +
                CountText(a.bytesDone, "written") + ", " + CountText(a.bytesNeeded, "needed") + "\n";
    } else {
        o.out = head + " set to " + value + ": " + zr48stat::StatusName(a.status) + "\n  " +
                CountText(a.bytesDone, "read") + ", " + CountText(a.bytesNeeded, "needed") + "\n";
    }
    o.exitCode = ok ? 0 : 1;
    return o;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, bool terminal) {
    if (!args.empty() && args[0] == "ctl") {
        return ParseCtl(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    return ParseRun(args, terminal);
}

CtlOutput CtlAnswer(const CtlArguments& ctl, const std::string& answer) {
    if (answer.compare(0, 4, "ERR ") == 0 || answer == "ERR") {
        CtlOutput o;
        o.exitCode = 1;
        o.err = "zr48sim ctl: " + ctl.command + ": " + (answer.size() > 4 ? answer.substr(4) : "refused") + "\n";
        return o;
    }
    if (ctl.information) return InformationAnswer(ctl, answer);
    CtlOutput o;
    if (answer != "OK" && answer.compare(0, 3, "OK ") != 0) {
        o.exitCode = 1;
        o.err = "zr48sim ctl: " + ctl.command + ": unexpected answer: " + answer.substr(0, 200) + "\n";
        return o;
    }
    if (answer.size() > 3) o.out = answer.substr(3) + "\n";
    return o;
}

}  // namespace zr48sim
