#include "sim/display.h"

#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <sstream>

namespace zr48sim {
namespace {

constexpr size_t kShownEvents = 8;
constexpr int kRowsPerAdapter = 6;  // the full view, a blank row after each


unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Bar(size_t done, size_t total, int width) {
    int filled = total ? static_cast<int>(done * static_cast<size_t>(width) / total) : 0;
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + "]";
}

// Short once the image is in: the full view keeps its rows within 80 columns.
std::string FirmwareShort(const AdapterSnapshot& s) {
    if (s.firmwareTotal && s.firmwareSent == s.firmwareTotal) {
        return Format("firmware %zu bytes loaded", s.firmwareTotal);
    }
    return "firmware " + std::to_string(s.firmwareSent) + " of " + std::to_string(s.firmwareTotal) + " bytes";
}

std::string FirmwareText(const AdapterSnapshot& s) {
    size_t percent = s.firmwareTotal ? s.firmwareSent * 100 / s.firmwareTotal : 0;
    return Format("firmware %zu of %zu bytes %s %zu%%", s.firmwareSent, s.firmwareTotal,
                  Bar(s.firmwareSent, s.firmwareTotal, 10).c_str(), percent);
}

std::string LinkText(const AdapterSnapshot& s) {
    if (s.phase != AdapterPhase::Running) return AdapterPhaseName(s.phase);
    return std::string("running, link ") + (s.connected ? "up" : "down");
}

std::string LineText(const AdapterSnapshot& s) {
    return "line " + s.lineName + (s.cut ? " (cut)" : "") + ": " + s.line;
}

std::string RateText(const AdapterSnapshot& s) {
    if (s.rateKbps == 0) return s.phase == AdapterPhase::Running ? "no rate configured yet" : "no rate";
    return Format("%s %u kbit/s", s.trained ? "trained at" : "configured for", s.rateKbps);
}

std::string ThroughputText(const Throughput& t) {
    return Format("throughput tx %.0f, rx %.0f kbit/s", t.txKbps, t.rxKbps);
}

std::string CountersText(const AdapterSnapshot& s) {
    return Format("driver (%s): XmitOk %llu, RcvOk %llu, XmitError %llu, RcvError %llu",
                  s.countersFinal && s.phase == AdapterPhase::Halted ? "at halt"
                  : s.countersFresh                                  ? "now"
                                                                     : "last read",
                  U(s.xmitOk), U(s.rcvOk), U(s.xmitError), U(s.rcvError));
}

std::string CardText(const AdapterSnapshot& s) {
    return Format("CRC errors %llu, dropped %llu, discarded %llu", U(s.crcErrors), U(s.rxDropped),
                  U(s.txDiscarded));
}

std::string FramesText(const AdapterSnapshot& s) {
    return Format("sent %llu frames (%llu failed, %llu in flight), received %llu frames",
                  U(s.completedOk), U(s.completedFailed), U(s.outstanding), U(s.received));
}

std::string LinkHistoryText(const AdapterSnapshot& s) {
    return Plural(s.connects, "connect", "connects") + ", " +
           Plural(s.disconnects, "disconnect", "disconnects") + ", " +
           Plural(s.resets, "reset", "resets");
}

double Round(double v, double unit) { return std::round(v / unit) * unit; }

}  // namespace

std::string JsonText(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string FitColumns(const std::string& text, int columns) {
    if (columns <= 0) return "";
    int shown = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80) continue;  // inside a character
        if (shown == columns) return text.substr(0, i);
        ++shown;
    }
    return text;
}

const char* EventKindName(SimEvent::Kind kind) {
    switch (kind) {
    case SimEvent::Kind::Info: return "info";
    case SimEvent::Kind::Adapter: return "adapter";
    case SimEvent::Kind::Line: return "line";
    case SimEvent::Kind::Link: return "link";
    case SimEvent::Kind::Control: return "control";
    case SimEvent::Kind::Problem: return "problem";
    }
    return "info";
}

namespace {

// Writes JSON text as JsonText would, member by member, with no tree: names
// and plain strings as they are, numbers as nlohmann writes them; a string
// with anything to escape or replace goes through nlohmann's own writer.
class JsonWriter {
public:
    explicit JsonWriter(std::string* out) : out_(out) {}

    void Begin() {
        *out_ += '{';
        first_ = true;
    }
    void End() {
        *out_ += '}';
        first_ = false;
    }
    // `name` is plain ASCII (a literal here).
    void Name(const char* name) {
        if (!first_) *out_ += ',';
        first_ = false;
        *out_ += '"';
        *out_ += name;
        *out_ += "\":";
    }
    void String(const char* name, const std::string& text) {
        Name(name);
        bool plain = true;
        for (char c : text) {
            auto u = static_cast<unsigned char>(c);
            plain = plain && u >= 0x20 && u < 0x7F && c != '"' && c != '\\';
        }
        if (plain) {
            *out_ += '"';
            *out_ += text;
            *out_ += '"';
            return;
        }
        if (!serializer_) {
            serializer_ = std::make_unique<Serializer>(
                nlohmann::detail::output_adapter<char, std::string>(*out_), ' ',
                nlohmann::ordered_json::error_handler_t::replace);
        }
        serializer_->dump(nlohmann::ordered_json(text), false, false, 0);
    }
    void Unsigned(const char* name, uint64_t value) {
        Name(name);
        char text[24];
        int length = snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
        out_->append(text, static_cast<size_t>(length));
    }
    void Bool(const char* name, bool value) {
        Name(name);
        *out_ += value ? "true" : "false";
    }
    // Shortest text that reads back the same, as nlohmann writes a number
    // (null for one that is not finite).
    void Double(const char* name, double value) {
        Name(name);
        if (!std::isfinite(value)) {
            *out_ += "null";
            return;
        }
        std::array<char, 64> text;
        char* end = nlohmann::detail::to_chars(text.data(), text.data() + text.size(), value);
        out_->append(text.data(), static_cast<size_t>(end - text.data()));
    }

private:
    using Serializer = nlohmann::detail::serializer<nlohmann::ordered_json>;
    std::string* out_;
    bool first_ = true;
    std::unique_ptr<Serializer> serializer_;
};

}  // namespace

void AppendAdapterJson(std::string* out, const AdapterSnapshot& s, double seconds) {
    JsonWriter j(out);
    j.Begin();
    j.String("type", "adapter");
    j.Double("time", Round(seconds, 0.001));
    j.String("name", s.name);
    j.String("phase", AdapterPhaseName(s.phase));
    j.Unsigned("initStatus", s.initStatus);
    j.Name("firmware");
    j.Begin();
    j.Unsigned("sent", s.firmwareSent);
    j.Unsigned("total", s.firmwareTotal);
    j.End();
    j.String("transceiver", s.controller);
    j.String("line", s.line);
    j.String("lineName", s.lineName);
    j.Bool("cut", s.cut);
    j.String("link", s.connected ? "up" : "down");
    j.Unsigned("rateKbps", s.rateKbps);
    j.Bool("trained", s.trained);
    j.String("mac", s.mac);
    j.Name("driver");
    j.Begin();
    j.Unsigned("xmitOk", s.xmitOk);
    j.Unsigned("rcvOk", s.rcvOk);
    j.Unsigned("xmitError", s.xmitError);
    j.Unsigned("rcvError", s.rcvError);
    j.Bool("fresh", s.countersFresh);
    j.Bool("final", s.countersFinal);
    j.End();
    j.Name("frames");
    j.Begin();
    j.Unsigned("sent", s.sent);
    j.Unsigned("completedOk", s.completedOk);
    j.Unsigned("completedFailed", s.completedFailed);
    j.Unsigned("received", s.received);
    j.Unsigned("inFlight", s.outstanding);
    j.Unsigned("bytesSent", s.bytesSent);
    j.Unsigned("bytesReceived", s.bytesReceived);
    j.End();
    j.Name("throughputKbps");
    j.Begin();
    j.Double("tx", Round(s.throughput.txKbps, 0.1));
    j.Double("rx", Round(s.throughput.rxKbps, 0.1));
    j.End();
    j.Name("card");
    j.Begin();
    j.Unsigned("crcErrors", s.crcErrors);
    j.Unsigned("rxDropped", s.rxDropped);
    j.Unsigned("txDiscarded", s.txDiscarded);
    j.End();
    j.Unsigned("connects", s.connects);
    j.Unsigned("disconnects", s.disconnects);
    j.Unsigned("resets", s.resets);
    if (!s.failure.empty()) j.String("failure", s.failure);
    j.End();
}

std::string SnapshotJson(const AdapterSnapshot& s, double seconds) {
    std::string text;
    AppendAdapterJson(&text, s, seconds);
    return text;
}

std::string EventJson(const SimEvent& e) {
    return JsonText({{"type", "event"},
                     {"time", Round(e.time, 0.001)},
                     {"source", e.adapter},
                     {"kind", EventKindName(e.kind)},
                     {"text", e.text}});
}

std::string AdapterLine(const AdapterSnapshot& s) {
    std::string head = s.name + ": ";
    if (s.phase == AdapterPhase::Initializing || s.phase == AdapterPhase::Created) {
        return head + "initializing, " + FirmwareText(s) + ", transceiver " + s.controller;
    }
    if (s.phase == AdapterPhase::Failed) return head + "failed to initialize: " + s.failure;
    if (s.phase == AdapterPhase::Halted) {
        return head + "halted, " + LineText(s) + ", " + FramesText(s) + ", " + CountersText(s);
    }
    return head + LinkText(s) + ", " + LineText(s) + ", " + RateText(s) + ", " + FramesText(s) +
           ", " + ThroughputText(s.throughput) +
           Format(", errors: XmitError %llu, RcvError %llu, CRC %llu", U(s.xmitError),
                  U(s.rcvError), U(s.crcErrors));
}

std::string EventLine(const SimEvent& e) {
    return Format("[%8.3f] %-8s ", e.time, e.adapter.c_str()) + e.text;
}

std::string Display::Bold(const std::string& text) const {
    return bold_ ? "\x1b[1m" + text + "\x1b[0m" : text;
}

std::string Display::Events(const std::vector<SimEvent>& events) const {
    std::ostringstream out;
    for (auto& e : events) {
        if (style_ == Style::Log) out << EventLine(e) << "\n";
        if (style_ == Style::Json) out << EventJson(e) << "\n";
    }
    return out.str();
}

std::string Display::State(double seconds, const std::vector<AdapterSnapshot>& adapters,
                           const std::vector<SimEvent>& recent) {
    std::ostringstream out;
    switch (style_) {
    case Style::Terminal: return Terminal(seconds, adapters, recent);
    case Style::Log:
        for (auto& s : adapters) out << Format("[%8.3f] ", seconds) << AdapterLine(s) << "\n";
        break;
    case Style::Json:
        for (auto& s : adapters) out << SnapshotJson(s, seconds) << "\n";
        break;
    }
    return out.str();
}

// The full view gives each adapter five rows; when the terminal has too few
// rows for that, each adapter gets one, and when even that is too many, the
// last row says how many are not shown. Every row is cut to the width.
std::string Display::Terminal(double seconds, const std::vector<AdapterSnapshot>& adapters,
                              const std::vector<SimEvent>& recent) {
    struct Row {
        std::string name;  // shown bold
        std::string text;
    };
    std::vector<Row> rows;
    rows.push_back({title_, Format("   t = %.1f s   (Ctrl-C halts every adapter)", seconds)});
    rows.push_back({"", ""});
    int n = static_cast<int>(adapters.size());
    const int eventsWanted = 1 + 2;  // a heading and at least two events
    bool full = 2 + n * (kRowsPerAdapter + 1) + eventsWanted <= rows_;
    // One row each, and a blank row before the events.
    int fitting = std::max(1, rows_ - 2 - 1 - eventsWanted);
    for (int i = 0; i < n; ++i) {
        const AdapterSnapshot& s = adapters[static_cast<size_t>(i)];
        std::string pad(s.name.size() + 2, ' ');
        if (full) {
            // Each row within 80 columns for the usual figures.
            rows.push_back({s.name, ": " + LinkText(s) + ", " + LineText(s)});
            if (s.phase == AdapterPhase::Failed) {
                rows.push_back({"", pad + "failed to initialize: " + s.failure});
            } else {
                rows.push_back({"", pad + RateText(s) + ", transceiver " + s.controller + ", MAC " +
                                        s.mac});
            }
            bool loading = s.firmwareSent != s.firmwareTotal || s.firmwareTotal == 0;
            rows.push_back({"", pad + (loading ? FirmwareText(s) : FirmwareShort(s)) + "; " +
                                    LinkHistoryText(s)});
            rows.push_back({"", pad + FramesText(s)});
            rows.push_back({"", pad + ThroughputText(s.throughput) + "; " + CardText(s)});
            rows.push_back({"", pad + CountersText(s)});
            rows.push_back({"", ""});
        } else if (n <= fitting || i < fitting - 1) {
            rows.push_back({s.name, ": " + AdapterLine(s).substr(s.name.size() + 2)});
        } else {
            rows.push_back({"", Format("... and %d more adapter%s: a larger terminal shows them, "
                                       "or --log",
                                       n - i, n - i == 1 ? "" : "s")});
            break;
        }
    }
    if (!full) rows.push_back({"", ""});
    rows.push_back({"events", ""});
    int room = rows_ - static_cast<int>(rows.size());
    size_t shown = std::min(kShownEvents, static_cast<size_t>(std::max(room, 0)));
    size_t from = recent.size() > shown ? recent.size() - shown : 0;
    for (size_t i = from; i < recent.size(); ++i) rows.push_back({"", EventLine(recent[i])});

    std::ostringstream out;
    out << (cleared_ ? "\x1b[H" : "\x1b[H\x1b[2J");
    cleared_ = true;
    // The last column is left free: writing it makes some terminals wrap.
    int width = columns_ - 1;
    int written = 0;
    for (auto& r : rows) {
        if (written == rows_) break;
        std::string name = FitColumns(r.name, width);
        std::string text = FitColumns(r.text, width - static_cast<int>(name.size()));
        out << (name.empty() ? "" : Bold(name)) << text << "\x1b[K";
        if (++written < rows_) out << "\n";
    }
    out << "\x1b[J";
    return out.str();
}

std::string Display::Shutdown(const ShutdownReport& report,
                              const std::vector<std::string>& failures) const {
    std::ostringstream out;
    if (style_ == Style::Json) {
        out << JsonText({{"type", "shutdown"},
                         {"clean", report.clean && failures.empty()},
                         {"problems", report.problems},
                         {"failures", failures}})
            << "\n";
        return out.str();
    }
    if (style_ == Style::Terminal) out << "\n";
    if (report.clean) {
        out << "zr48sim: every adapter halted, the verifier's ledger is empty, no violations\n";
    }
    for (auto& p : report.problems) out << "zr48sim: " << p << "\n";
    for (auto& f : failures) out << "zr48sim: " << f << "\n";
    return out.str();
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace zr48sim
