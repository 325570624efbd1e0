#include "sim/report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace zr48sim {
namespace {

// Geometry, in SVG user units (pixels).
constexpr double kWidth = 1000;
constexpr double kLeft = 72;
constexpr double kRight = 24;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kHeaderHeight = 92;
constexpr double kPanelHeight = 270;
constexpr double kLabelRowsTop = 26;   // event labels, from the panel's top
constexpr double kLabelRowHeight = 13;
constexpr int kLabelRows = 3;
constexpr double kPlotTop = kLabelRowsTop + kLabelRows * kLabelRowHeight + 8;
constexpr double kPlotHeight = 150;
constexpr double kBandGap = 6;
constexpr double kBandHeight = 16;
constexpr double kCharWidth = 6.2;     // of the 11-pixel labels, roughly

const char* const kTxColour = "#1f6fb4";
const char* const kRxColour = "#e8710a";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Text for XML: the five special characters escaped, what is not UTF-8 or
// not allowed in XML 1.0 replaced.
std::string Xml(const std::string& text) {
    std::string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t left = text.size();
    while (left > 0) {
        unsigned char c = *p;
        size_t n = 1;
        if (c >= 0x80) {
            n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
            bool ok = n != 0 && c <= 0xF4 && n <= left;
            for (size_t i = 1; ok && i < n; ++i) ok = (p[i] & 0xC0) == 0x80;
            if (ok && n == 3 && ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0))) ok = false;
            if (ok && n == 4 && ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] >= 0x90))) ok = false;
            if (!ok) {
                out += "\xEF\xBF\xBD";
                n = 1;
            } else {
                out.append(reinterpret_cast<const char*>(p), n);
            }
        } else if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else if (c == '\'') out += "&apos;";
        else if (c < 0x20 && c != '\t' && c != '\n') out += '?';
        else out += static_cast<char>(c);
        p += n;
        left -= n;
    }
    return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts `span` into at most
// `most` pieces.
double NiceStep(double span, int most) {
    if (span <= 0) return 1;
    double raw = span / most;
    double power = std::pow(10, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw) return m * power;
    }
    return 10 * power;
}

std::string Seconds(double t) { return Format("%.1f s", t); }

// An axis tick: whole seconds once the step is a second or more.
std::string Tick(double t, double step) { return Format(step >= 1 ? "%.0f s" : "%.1f s", t); }

struct Marker {
    double time;
    std::string label;   // short, on the plot
    std::string detail;  // the whole event, as a tooltip
    const char* colour;
};

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// The events shown on an adapter's panel: its own, and its line's.
std::vector<Marker> MarkersOf(const ReportAdapter& a, const std::vector<SimEvent>& events) {
    std::vector<Marker> out;
    for (auto& e : events) {
        Marker m{e.time, "", Seconds(e.time) + ": " + e.adapter + ": " + e.text, "#546e7a"};
        if (e.kind == SimEvent::Kind::Link && e.adapter == a.name) {
            bool up = StartsWith(e.text, "link up");
            m.label = up ? "link up" : "link down";
            m.colour = up ? "#2e7d32" : "#c62828";
        } else if (e.kind == SimEvent::Kind::Control && e.adapter == a.line) {
            m.label = e.text;
            m.colour = "#6a1b9a";
        } else if (e.kind == SimEvent::Kind::Adapter && e.adapter == a.name) {
            m.label = StartsWith(e.text, "MiniportInitialize") ? "initialize"
                      : StartsWith(e.text, "MiniportReset")    ? "reset"
                      : StartsWith(e.text, "MiniportHalt")     ? "halt"
                      : StartsWith(e.text, "running")          ? "running"
                                                               : e.text.substr(0, 20);
        } else if (e.kind == SimEvent::Kind::Problem && e.adapter == a.name) {
            m.label = e.text.substr(0, 28);
            m.colour = "#e65100";
        } else {
            continue;
        }
        out.push_back(m);
    }
    return out;
}

// The line's state at the adapter's end, from its "line: ..." events.
struct Segment {
    double from, to;
    std::string state;  // "data mode at 2048 kbit/s", "training", ...
};

std::vector<Segment> LineSegments(const ReportAdapter& a, const std::vector<SimEvent>& events,
                                  double end) {
    std::vector<Segment> out;
    std::string state = "idle";
    double from = 0;
    for (auto& e : events) {
        if (e.adapter != a.name || e.kind != SimEvent::Kind::Line || !StartsWith(e.text, "line: ")) {
            continue;
        }
        if (e.time > from) out.push_back({from, e.time, state});
        state = e.text.substr(6);
        from = e.time;
    }
    if (end > from) out.push_back({from, end, state});
    return out;
}

const char* StateColour(const std::string& state) {
    if (StartsWith(state, "data mode")) return "#66bb6a";
    if (StartsWith(state, "training")) return "#ffca28";
    if (StartsWith(state, "incompatible")) return "#ef5350";
    if (StartsWith(state, "searching")) return "#bdbdbd";
    return "#eeeeee";
}

std::string StateLabel(const Segment& s) {
    double length = s.to - s.from;
    if (StartsWith(s.state, "data mode")) return "up, " + s.state.substr(10);
    if (StartsWith(s.state, "training")) return "training " + Format("%.1f s", length);
    if (StartsWith(s.state, "incompatible")) return s.state;
    if (StartsWith(s.state, "searching")) return "searching";
    return s.state;
}

// The periods a line was cut, from its control events.
std::vector<std::pair<double, double>> CutPeriods(const ReportAdapter& a,
                                                  const std::vector<SimEvent>& events, double end) {
    std::vector<std::pair<double, double>> out;
    double cutAt = -1;
    for (auto& e : events) {
        if (e.kind != SimEvent::Kind::Control || e.adapter != a.line) continue;
        if (e.text == "line cut" && cutAt < 0) cutAt = e.time;
        if (e.text == "line restored" && cutAt >= 0) {
            out.push_back({cutAt, e.time});
            cutAt = -1;
        }
    }
    if (cutAt >= 0) out.push_back({cutAt, end});
    return out;
}

struct Series {
    std::vector<std::pair<double, double>> tx, rx;  // (time, kbit/s) as steps
    double peakTx = 0, peakRx = 0;
};

Series SeriesOf(const std::vector<RateSample>& samples) {
    Series s;
    for (size_t i = 1; i < samples.size(); ++i) {
        const RateSample& p = samples[i - 1];
        const RateSample& q = samples[i];
        double dt = q.time - p.time;
        if (dt <= 0) continue;
        double tx = static_cast<double>(q.txBytes - p.txBytes) * 8 / dt / 1000;
        double rx = static_cast<double>(q.rxBytes - p.rxBytes) * 8 / dt / 1000;
        s.tx.push_back({p.time, tx});
        s.tx.push_back({q.time, tx});
        s.rx.push_back({p.time, rx});
        s.rx.push_back({q.time, rx});
        s.peakTx = std::max(s.peakTx, tx);
        s.peakRx = std::max(s.peakRx, rx);
    }
    return s;
}

class Panel {
public:
    Panel(std::ostringstream& out, double top, double end) : out_(out), top_(top), end_(end) {}
    double X(double t) const { return kLeft + (end_ > 0 ? t / end_ : 0) * kPlotWidth; }
    double Y(double kbps) const { return PlotBottom() - kbps / yMax_ * kPlotHeight; }
    double PlotTop() const { return top_ + kPlotTop; }
    double PlotBottom() const { return PlotTop() + kPlotHeight; }
    double BandTop() const { return PlotBottom() + kBandGap; }

    void Draw(const ReportAdapter& a, const std::vector<SimEvent>& events);

private:
    void Axes();
    void Line(const std::vector<std::pair<double, double>>& points, const char* colour,
              const char* cls, const char* dashes);
    void Band(const ReportAdapter& a, const std::vector<SimEvent>& events);
    void Markers(const std::vector<Marker>& markers);

    std::ostringstream& out_;
    double top_, end_;
    double yMax_ = 1;
};

void Panel::Axes() {
    double step = NiceStep(yMax_, 5);
    for (double v = 0; v <= yMax_ + 1e-9; v += step) {
        out_ << Format("<line class=\"grid\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n",
                       kLeft, Y(v), kLeft + kPlotWidth, Y(v))
             << Format("<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n",
                       kLeft - 6, Y(v) + 4, v);
    }
    out_ << Format("<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">kbit/s</text>\n",
                   kLeft - 6, PlotTop() - 6);
    double tStep = NiceStep(end_, 10);
    double axis = BandTop() + kBandHeight + 14;
    for (double t = 0; t <= end_ + 1e-9; t += tStep) {
        out_ << Format("<line class=\"grid\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n",
                       X(t), PlotTop(), X(t), PlotBottom())
             << Format("<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
                       X(t), axis, Xml(Tick(t, tStep)).c_str());
    }
    out_ << Format("<rect class=\"frame\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
                   kLeft, PlotTop(), kPlotWidth, kPlotHeight);
}

void Panel::Line(const std::vector<std::pair<double, double>>& points, const char* colour,
                 const char* cls, const char* dashes) {
    if (points.empty()) return;
    out_ << "<polyline class=\"" << cls << "\" fill=\"none\" stroke=\"" << colour
         << "\" stroke-width=\"2\" stroke-dasharray=\"" << dashes << "\" points=\"";
    for (size_t i = 0; i < points.size(); ++i) {
        out_ << (i ? " " : "") << Format("%.1f,%.1f", X(points[i].first), Y(points[i].second));
    }
    out_ << "\"/>\n";
}

void Panel::Band(const ReportAdapter& a, const std::vector<SimEvent>& events) {
    for (const Segment& s : LineSegments(a, events, end_)) {
        double x0 = X(s.from), x1 = X(s.to);
        std::string label = StateLabel(s);
        out_ << Format("<rect class=\"state\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                       "fill=\"%s\">",
                       x0, BandTop(), std::max(x1 - x0, 0.5), kBandHeight, StateColour(s.state))
             << "<title>" << Xml(Seconds(s.from) + " to " + Seconds(s.to) + ": line " + s.state)
             << "</title></rect>\n";
        if (x1 - x0 > label.size() * kCharWidth + 6) {
            out_ << Format("<text class=\"band\" x=\"%.1f\" y=\"%.1f\">", x0 + 3,
                           BandTop() + kBandHeight - 4)
                 << Xml(label) << "</text>\n";
        }
    }
    for (auto& [from, to] : CutPeriods(a, events, end_)) {
        out_ << Format("<rect class=\"cut\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                       "fill=\"url(#cut)\">",
                       X(from), PlotTop(), std::max(X(to) - X(from), 0.5),
                       kPlotHeight + kBandGap + kBandHeight)
             << "<title>" << Xml("line " + a.line + " cut from " + Seconds(from) + " to " + Seconds(to))
             << "</title></rect>\n";
    }
    out_ << Format("<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">line</text>\n",
                   kLeft - 6, BandTop() + kBandHeight - 4);
}

// Each marker is a line across the plot; its label goes in the first of the
// label rows where it does not run into the previous label (or nowhere: its
// tooltip still tells).
void Panel::Markers(const std::vector<Marker>& markers) {
    double rowEnd[kLabelRows];
    for (double& e : rowEnd) e = -1e9;
    for (const Marker& m : markers) {
        double x = X(m.time);
        out_ << Format("<line class=\"event\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" "
                       "stroke=\"%s\">",
                       x, top_ + kLabelRowsTop - 2, x, BandTop() + kBandHeight, m.colour)
             << "<title>" << Xml(m.detail) << "</title></line>\n";
        std::string label = m.label + " " + Seconds(m.time);
        double width = static_cast<double>(label.size()) * kCharWidth;
        double start = std::min(x + 2, kWidth - width - 2);
        for (int r = 0; r < kLabelRows; ++r) {
            if (start < rowEnd[r] + 4) continue;
            rowEnd[r] = start + width;
            out_ << Format("<text class=\"label\" x=\"%.1f\" y=\"%.1f\" fill=\"%s\">", start,
                           top_ + kLabelRowsTop + (r + 1) * kLabelRowHeight - 3, m.colour)
                 << Xml(label) << "</text>\n";
            break;
        }
    }
}

void Panel::Draw(const ReportAdapter& a, const std::vector<SimEvent>& events) {
    Series series = SeriesOf(a.samples);
    double top = std::max({static_cast<double>(a.rateKbps), series.peakTx, series.peakRx, 64.0});
    double step = NiceStep(top * 1.1, 5);
    yMax_ = step * std::ceil(top * 1.1 / step);
    out_ << "<g id=\"adapter-" << Xml(a.name) << "\">\n"
         << Format("<text class=\"panel\" x=\"%.1f\" y=\"%.1f\">", kLeft, top_ + 16)
         << Xml("adapter " + a.name + "  -  line " + a.line + "  -  configured " +
                std::to_string(a.rateKbps) + " kbit/s  -  peak sent " +
                Format("%.0f", series.peakTx) + ", received " + Format("%.0f", series.peakRx) +
                " kbit/s")
         << "</text>\n";
    Axes();
    Band(a, events);
    // Received dashed over sent: where both are the same, both show.
    Line(series.tx, kTxColour, "tx", "none");
    Line(series.rx, kRxColour, "rx", "6 4");
    Markers(MarkersOf(a, events));
    out_ << "</g>\n";
}

}  // namespace

ReportInput ReportOf(Simulator& sim, const std::string& title) {
    ReportInput in;
    in.title = title;
    in.endSeconds = sim.Seconds();
    for (size_t i = 0; i < sim.AdapterCount(); ++i) {
        in.adapters.push_back(
            {sim.AdapterName(i), sim.LineOf(i), sim.ConfiguredRate(i), sim.Samples(i)});
    }
    in.events = sim.AllEvents();
    return in;
}

std::string ReportSvg(const ReportInput& in) {
    double height = kHeaderHeight + static_cast<double>(in.adapters.size()) * kPanelHeight + 10;
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                  "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\">\n",
                  kWidth, height, kWidth, height)
        << "<title>" << Xml(in.title) << "</title>\n"
        << "<defs><pattern id=\"cut\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
           "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#6a1b9a\" "
           "fill-opacity=\"0.06\"/><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"8\" stroke=\"#6a1b9a\" "
           "stroke-opacity=\"0.35\" stroke-width=\"2\"/></pattern></defs>\n"
        << "<style>text{fill:#222}.tick{font-size:10px;fill:#555}.label{font-size:11px}"
           ".band{font-size:10px}.panel{font-size:13px;font-weight:bold}"
           ".grid{stroke:#e0e0e0;stroke-width:1}.frame{fill:none;stroke:#9e9e9e}"
           ".event{stroke-width:1.2;stroke-dasharray:4 3}"
           ".state{stroke:#ffffff;stroke-width:0.5}</style>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << Format("<text x=\"%.1f\" y=\"28\" font-size=\"18\" font-weight=\"bold\">", kLeft)
        << Xml(in.title) << "</text>\n"
        << Format("<text x=\"%.1f\" y=\"48\" font-size=\"12\">", kLeft)
        << Xml(Format("%zu adapter%s, %.1f s; throughput each way at the upper edge, sampled every "
                      "250 ms; hover for the events' text",
                      in.adapters.size(), in.adapters.size() == 1 ? "" : "s", in.endSeconds))
        << "</text>\n";
    // The legend
    double x = kLeft, y = 70;
    auto key = [&](const char* colour, const std::string& text, bool box) {
        if (box) {
            out << Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"14\" height=\"10\" fill=\"%s\"/>", x,
                          y - 9, colour);
        } else {
            out << Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                          "stroke-width=\"2\"%s/>",
                          x, y - 4, x + 14, y - 4, colour,
                          colour == kRxColour ? " stroke-dasharray=\"6 4\"" : "");
        }
        out << Format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">", x + 18, y) << Xml(text)
            << "</text>\n";
        x += 18 + static_cast<double>(text.size()) * kCharWidth + 16;
    };
    key(kTxColour, "sent (tx)", false);
    key(kRxColour, "received (rx)", false);
    key("#ffca28", "training", true);
    key("#66bb6a", "data mode", true);
    key("#bdbdbd", "searching", true);
    key("#ef5350", "incompatible", true);
    key("#6a1b9a", "line cut / control", false);
    key("#2e7d32", "link up", false);
    key("#c62828", "link down", false);
    for (size_t i = 0; i < in.adapters.size(); ++i) {
        Panel panel(out, kHeaderHeight + static_cast<double>(i) * kPanelHeight, in.endSeconds);
        panel.Draw(in.adapters[i], in.events);
    }
    out << "</svg>\n";
    return out.str();
}

bool WriteReport(const std::string& path, const std::string& svg, std::string* error) {
    FILE* f = fopen(path.c_str(), "w");
    if (!f) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    bool ok = fwrite(svg.data(), 1, svg.size(), f) == svg.size();
    int saved = errno;
    ok = (fclose(f) == 0) && ok;
    if (!ok) *error = path + ": " + strerror(saved ? saved : errno);
    return ok;
}

}  // namespace zr48sim
