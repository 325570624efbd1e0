#include "sim/display.h"

#include <cstdarg>
#include <cstdio>
#include <sstream>

namespace zr48sim {
namespace {

constexpr double kLogSummaryPeriod = 2.0;  // seconds between log summaries
constexpr size_t kShownEvents = 8;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Bar(size_t done, size_t total, int width) {
    int filled = total ? static_cast<int>(done * width / total) : 0;
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
}

std::string FirmwareText(const AdapterSnapshot& s) {
    size_t percent = s.firmwareTotal ? s.firmwareSent * 100 / s.firmwareTotal : 0;
    return Format("firmware %zu/%zu bytes %s %3zu%%", s.firmwareSent, s.firmwareTotal,
                  Bar(s.firmwareSent, s.firmwareTotal, 20).c_str(), percent);
}

std::string LinkText(const AdapterSnapshot& s) {
    if (s.phase != AdapterPhase::Running) return AdapterPhaseName(s.phase);
    return s.connected ? "link UP" : "link down";
}

std::string EventLine(const SimEvent& e) {
    return Format("[%8.3f] %-8s %s", e.time, e.adapter.c_str(), e.text.c_str());
}

// Wide enough for the figures; "\x1b[K" clears what an earlier, longer
// line left.
void Row(std::ostringstream& out, const std::string& text) { out << text << "\x1b[K\n"; }

}  // namespace

std::string SnapshotJson(const AdapterSnapshot& s, double seconds, const Throughput& rates) {
    std::ostringstream o;
    o << "{\"type\":\"adapter\",\"time\":" << Format("%.3f", seconds)
      << ",\"name\":" << JsonString(s.name)
      << ",\"phase\":" << JsonString(AdapterPhaseName(s.phase))
      << ",\"initStatus\":" << s.initStatus << ",\"firmware\":{\"sent\":" << s.firmwareSent
      << ",\"total\":" << s.firmwareTotal << "},\"transceiver\":" << JsonString(s.controller)
      << ",\"line\":" << JsonString(s.line) << ",\"cut\":" << (s.cut ? "true" : "false")
      << ",\"link\":" << JsonString(s.connected ? "up" : "down") << ",\"rateKbps\":" << s.rateKbps
      << ",\"mac\":" << JsonString(s.mac) << ",\"driver\":{\"xmitOk\":" << s.xmitOk
      << ",\"rcvOk\":" << s.rcvOk << ",\"xmitError\":" << s.xmitError
      << ",\"rcvError\":" << s.rcvError << ",\"fresh\":" << (s.countersFresh ? "true" : "false")
      << "},\"frames\":{\"sent\":" << s.sent << ",\"completedOk\":" << s.completedOk
      << ",\"completedFailed\":" << s.completedFailed << ",\"received\":" << s.received
      << ",\"inFlight\":" << s.outstanding << ",\"bytesSent\":" << s.bytesSent
      << ",\"bytesReceived\":" << s.bytesReceived << "},\"throughputKbps\":{\"tx\":"
      << Format("%.1f", rates.txKbps) << ",\"rx\":" << Format("%.1f", rates.rxKbps)
      << "},\"card\":{\"crcErrors\":" << s.crcErrors << ",\"rxDropped\":" << s.rxDropped
      << ",\"txDiscarded\":" << s.txDiscarded << "},\"connects\":" << s.connects
      << ",\"disconnects\":" << s.disconnects << ",\"resets\":" << s.resets << "}";
    return o.str();
}

std::string EventJson(const SimEvent& e) {
    return "{\"type\":\"event\",\"time\":" + Format("%.3f", e.time) +
           ",\"source\":" + JsonString(e.adapter) + ",\"text\":" + JsonString(e.text) + "}";
}

std::string AdapterLine(const AdapterSnapshot& s, const Throughput& rates) {
    return Format("%s: %s, line %s%s, %u kbit/s, tx %llu (%llu failed) rx %llu frames, "
                  "%.0f/%.0f kbit/s, errors tx %llu rx %llu crc %llu",
                  s.name.c_str(), LinkText(s).c_str(), s.line.c_str(), s.cut ? " (cut)" : "",
                  s.rateKbps, static_cast<unsigned long long>(s.completedOk),
                  static_cast<unsigned long long>(s.completedFailed),
                  static_cast<unsigned long long>(s.received), rates.txKbps, rates.rxKbps,
                  static_cast<unsigned long long>(s.xmitError),
                  static_cast<unsigned long long>(s.rcvError),
                  static_cast<unsigned long long>(s.crcErrors));
}

Throughput Display::Rates(const AdapterSnapshot& s, double seconds) {
    auto it = previous_.find(s.name);
    if (it != previous_.end() && seconds - it->second.seconds >= 0.2) {
        double dt = seconds - it->second.seconds;
        Throughput t;
        t.txKbps = static_cast<double>(s.bytesSent - it->second.bytesSent) * 8 / dt / 1000;
        t.rxKbps = static_cast<double>(s.bytesReceived - it->second.bytesReceived) * 8 / dt / 1000;
        rates_[s.name] = t;
    }
    if (it == previous_.end() || seconds - it->second.seconds >= 0.2) {
        previous_[s.name] = {seconds, s.bytesSent, s.bytesReceived};
    }
    return rates_[s.name];
}

std::string Display::Update(double seconds, const std::vector<AdapterSnapshot>& adapters,
                            const std::vector<SimEvent>& events,
                            const std::vector<SimEvent>& recent) {
    switch (style_) {
    case Style::Terminal: return Terminal(seconds, adapters, recent);
    case Style::Log: return Log(seconds, adapters, events);
    case Style::Json: return Json(seconds, adapters, events);
    }
    return "";
}

std::string Display::Terminal(double seconds, const std::vector<AdapterSnapshot>& adapters,
                              const std::vector<SimEvent>& recent) {
    std::ostringstream out;
    out << (cleared_ ? "\x1b[H" : "\x1b[H\x1b[2J");
    cleared_ = true;
    Row(out, Format("\x1b[1m%s\x1b[0m   t = %.1f s   (Ctrl-C halts every adapter)",
                    title_.c_str(), seconds));
    Row(out, "");
    for (auto& s : adapters) {
        Throughput r = Rates(s, seconds);
        Row(out, Format("\x1b[1m%-6s\x1b[0m %-10s %-10s line: %s%s   %u kbit/s   %s",
                        s.name.c_str(), AdapterPhaseName(s.phase), LinkText(s).c_str(),
                        s.line.c_str(), s.cut ? " (CUT)" : "", s.rateKbps, s.mac.c_str()));
        Row(out, "       " + FirmwareText(s) + "   transceiver " + s.controller);
        Row(out, Format("       tx %llu frames (%llu failed, %llu in flight) %.0f kbit/s   "
                        "rx %llu frames %.0f kbit/s",
                        static_cast<unsigned long long>(s.completedOk),
                        static_cast<unsigned long long>(s.completedFailed),
                        static_cast<unsigned long long>(s.outstanding), r.txKbps,
                        static_cast<unsigned long long>(s.received), r.rxKbps));
        Row(out, Format("       driver: XmitOk %llu RcvOk %llu XmitError %llu RcvError %llu   "
                        "card: crc %llu dropped %llu   connects %llu disconnects %llu resets %llu",
                        static_cast<unsigned long long>(s.xmitOk),
                        static_cast<unsigned long long>(s.rcvOk),
                        static_cast<unsigned long long>(s.xmitError),
                        static_cast<unsigned long long>(s.rcvError),
                        static_cast<unsigned long long>(s.crcErrors),
                        static_cast<unsigned long long>(s.rxDropped),
                        static_cast<unsigned long long>(s.connects),
                        static_cast<unsigned long long>(s.disconnects),
                        static_cast<unsigned long long>(s.resets)));
        Row(out, "");
    }
    Row(out, "\x1b[1mevents\x1b[0m");
    size_t from = recent.size() > kShownEvents ? recent.size() - kShownEvents : 0;
    for (size_t i = from; i < recent.size(); ++i) Row(out, EventLine(recent[i]));
    out << "\x1b[J";
    return out.str();
}

std::string Display::Log(double seconds, const std::vector<AdapterSnapshot>& adapters,
                         const std::vector<SimEvent>& events) {
    std::ostringstream out;
    for (auto& e : events) out << EventLine(e) << "\n";
    std::vector<Throughput> rates;
    for (auto& s : adapters) rates.push_back(Rates(s, seconds));
    if (seconds - lastSummary_ >= kLogSummaryPeriod) {
        lastSummary_ = seconds;
        for (size_t i = 0; i < adapters.size(); ++i) {
            if (adapters[i].phase == AdapterPhase::Initializing) {
                out << Format("[%8.3f] %-8s ", seconds, adapters[i].name.c_str())
                    << FirmwareText(adapters[i]) << "\n";
                continue;
            }
            out << Format("[%8.3f] ", seconds) << AdapterLine(adapters[i], rates[i]) << "\n";
        }
    }
    return out.str();
}

std::string Display::Json(double seconds, const std::vector<AdapterSnapshot>& adapters,
                          const std::vector<SimEvent>& events) {
    std::ostringstream out;
    for (auto& e : events) out << EventJson(e) << "\n";
    for (auto& s : adapters) out << SnapshotJson(s, seconds, Rates(s, seconds)) << "\n";
    return out.str();
}

std::string Display::Shutdown(const ShutdownReport& report) const {
    std::ostringstream out;
    if (style_ == Style::Json) {
        out << "{\"type\":\"shutdown\",\"clean\":" << (report.clean ? "true" : "false")
            << ",\"problems\":[";
        for (size_t i = 0; i < report.problems.size(); ++i) {
            out << (i ? "," : "") << JsonString(report.problems[i]);
        }
        out << "]}\n";
        return out.str();
    }
    if (report.clean) {
        out << "zr48sim: every adapter halted, the verifier's ledger is empty, no violations\n";
    }
    for (auto& p : report.problems) out << "zr48sim: " << p << "\n";
    return out.str();
}

}  // namespace zr48sim
