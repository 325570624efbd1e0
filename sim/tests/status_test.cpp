// What the simulator shows is right: events stamped when they happened and
// in order, the final state after the halt, the throughput, the terminal view
// fitted to the terminal, labelled numbers, no escape codes where they do not
// belong, and the report of the run.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <regex>
#include <sstream>

#include "sim/report.h"
#include "sim/tests/sim_fixture.h"

namespace {

using nlohmann::json;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// What a terminal shows of a row: without the escape sequences.
std::string Visible(const std::string& row) {
    return std::regex_replace(row, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
}

// The time of the first event of `source` whose text starts with `start`;
// -1 when none.
double TimeOf(const std::vector<zr48sim::SimEvent>& events, const std::string& source,
              const std::string& start) {
    for (auto& e : events) {
        if (e.adapter == source && e.text.compare(0, start.size(), start) == 0) return e.time;
    }
    return -1;
}

class StatusTest : public SimulatorTest {};

// What STATUS shows of an adapter, as a JSON tree: the text the simulator
// writes member by member must be this tree's text.
double Rounded(double v, double unit) { return std::round(v / unit) * unit; }

nlohmann::ordered_json AdapterJson(const zr48sim::AdapterSnapshot& s, double seconds) {
    nlohmann::ordered_json j = {
        {"type", "adapter"},
        {"time", Rounded(seconds, 0.001)},
        {"name", s.name},
        {"phase", zr48sim::AdapterPhaseName(s.phase)},
        {"initStatus", s.initStatus},
        {"firmware", {{"sent", s.firmwareSent}, {"total", s.firmwareTotal}}},
        {"transceiver", s.controller},
        {"line", s.line},
        {"lineName", s.lineName},
        {"cut", s.cut},
        {"link", s.connected ? "up" : "down"},
        {"rateKbps", s.rateKbps},
        {"trained", s.trained},
        {"mac", s.mac},
        {"driver",
         {{"xmitOk", s.xmitOk},
          {"rcvOk", s.rcvOk},
          {"xmitError", s.xmitError},
          {"rcvError", s.rcvError},
          {"fresh", s.countersFresh},
          {"final", s.countersFinal}}},
        {"frames",
         {{"sent", s.sent},
          {"completedOk", s.completedOk},
          {"completedFailed", s.completedFailed},
          {"received", s.received},
          {"inFlight", s.outstanding},
          {"bytesSent", s.bytesSent},
          {"bytesReceived", s.bytesReceived}}},
        {"throughputKbps",
         {{"tx", Rounded(s.throughput.txKbps, 0.1)}, {"rx", Rounded(s.throughput.rxKbps, 0.1)}}},
        {"card",
         {{"crcErrors", s.crcErrors}, {"rxDropped", s.rxDropped}, {"txDiscarded", s.txDiscarded}}},
        {"connects", s.connects},
        {"disconnects", s.disconnects},
        {"resets", s.resets},
    };
    if (!s.failure.empty()) j["failure"] = s.failure;
    return j;
}

}  // namespace

// The line comes up 500 ms before the driver looks at it and indicates the
// link: the events say so in that order, each with the time it happened,
// although nobody looked at the adapters in between.
TEST_F(StatusTest, EventsAreStampedWhenTheyHappenAndComeInOrder) {
    Build();
    StartAndWaitForLinks();
    host::Advance(100 * host::kMillisecond);
    std::vector<zr48sim::SimEvent> events = sim->TakeEvents();
    for (size_t i = 1; i < events.size(); ++i) {
        EXPECT_LE(events[i - 1].time, events[i].time) << events[i].text;
    }
    for (const char* name : {"a", "b"}) {
        double line = TimeOf(events, name, "line: data mode at 2048 kbit/s");
        double link = TimeOf(events, name, "link up");
        ASSERT_GT(line, 0) << name;
        EXPECT_NEAR(link - line, 0.5, 0.01) << name << ": the driver looks 500 ms after the event";
        EXPECT_LT(TimeOf(events, name, "line: training"), line);
        EXPECT_LT(TimeOf(events, name, "transceiver: running"), TimeOf(events, name, "line: training"));
    }
    // The same order in the JSON lines.
    zr48sim::Display display(zr48sim::Display::Style::Json, "zr48sim");
    double last = 0;
    size_t dataMode = 0, linkUp = 0, n = 0;
    for (auto& line : Lines(display.Events(events))) {
        json e = json::parse(line);
        ++n;
        EXPECT_EQ(e["type"], "event");
        EXPECT_GE(e["time"].get<double>(), last);
        last = e["time"].get<double>();
        if (e["source"] == "a" && e["text"] == "line: data mode at 2048 kbit/s") dataMode = n;
        if (e["source"] == "a" && e["kind"] == "link") linkUp = n;
    }
    EXPECT_GT(dataMode, 0u);
    EXPECT_GT(linkUp, dataMode);
    EXPECT_TRUE(sim->TakeEvents().empty()) << "each event is taken once";
}

// After the halt every output says so: no link, no throughput, and the
// driver's counters as they were just before it.
TEST_F(StatusTest, TheFinalStateIsRightInEveryOutput) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(1000, 2 * host::kMillisecond);
    host::Advance(1500 * host::kMillisecond);
    sim->StopTraffic();
    host::Advance(200 * host::kMillisecond);
    zr48sim::AdapterSnapshot running = View(0);
    sim->HaltAll();
    zr48sim::AdapterSnapshot a = View(0);
    EXPECT_EQ(a.phase, zr48sim::AdapterPhase::Halted);
    EXPECT_FALSE(a.connected);
    EXPECT_EQ(a.throughput.txKbps, 0);
    EXPECT_TRUE(a.countersFinal);
    EXPECT_EQ(a.xmitOk, a.completedOk) << "read just before the halt, not stale";
    EXPECT_EQ(running.phase, zr48sim::AdapterPhase::Running);
    json j = json::parse(zr48sim::SnapshotJson(a, sim->Seconds()));
    EXPECT_EQ(j["phase"], "halted");
    EXPECT_EQ(j["link"], "down");
    EXPECT_EQ(j["driver"]["final"], true);
    EXPECT_EQ(j["driver"]["xmitOk"].get<uint64_t>(), a.completedOk);
    zr48sim::Display log(zr48sim::Display::Style::Log, "zr48sim");
    std::string text = log.State(sim->Seconds(), sim->Snapshot(), {});
    EXPECT_NE(text.find("a: halted, line l1: idle"), std::string::npos) << text;
    EXPECT_NE(text.find("driver (at halt): XmitOk " + std::to_string(a.completedOk)),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("link up"), std::string::npos) << text;
}

// The status the control socket gives carries the throughput, measured over
// the last second, while frames flow.
TEST_F(StatusTest, ThroughputIsMeasuredWhereverTheStatusIsShown) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(1000, 2 * host::kMillisecond);
    host::Advance(3 * host::kSecond);
    std::string answer = control->Answer("STATUS");
    ASSERT_EQ(answer.compare(0, 3, "OK "), 0) << answer;
    json all = json::parse(answer.substr(3));
    ASSERT_EQ(all.size(), 2u);
    for (auto& adapter : all) {
        double tx = adapter["throughputKbps"]["tx"].get<double>();
        double rx = adapter["throughputKbps"]["rx"].get<double>();
        // A 2048 kbit/s line carries 1000-byte frames at just under that.
        EXPECT_GT(tx, 1800) << adapter.dump();
        EXPECT_LE(tx, 2100) << adapter.dump();
        EXPECT_GT(rx, 1800) << adapter.dump();
    }
    sim->StopTraffic();
    host::Advance(2 * host::kSecond);
    EXPECT_EQ(View(0).throughput.txKbps, 0) << "a second after the last frame";
}

// Five adapters in a 24 x 80 terminal: one row each, every row within the
// width; a terminal too small for them all says how many it leaves out.
TEST_F(StatusTest, TheTerminalViewFitsTheTerminal) {
    Build(Config("[adapter a]\nline = l1\nTerminalType = 1\n[adapter b]\nline = l1\n"
                 "[adapter c]\nline = l2\nTerminalType = 1\n[adapter d]\nline = l2\n"
                 "[adapter e]\nline = loopback\nTerminalType = 1\n"));
    StartAndWaitForLinks();
    struct Size {
        int rows, columns;
    } sizes[] = {{24, 80}, {50, 160}, {10, 40}, {8, 30}};
    for (auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size.rows) + " x " + std::to_string(size.columns));
        zr48sim::Display view(zr48sim::Display::Style::Terminal, "zr48sim");
        view.SetSize(size.rows, size.columns);
        std::vector<std::string> rows =
            Lines(view.State(sim->Seconds(), sim->Snapshot(), sim->RecentEvents(8)));
        EXPECT_LE(rows.size(), static_cast<size_t>(size.rows));
        std::string all;
        for (auto& r : rows) {
            EXPECT_LT(Visible(r).size(), static_cast<size_t>(size.columns)) << Visible(r);
            all += Visible(r) + "\n";
        }
        if (size.rows >= 24) {
            for (const char* name : {"a:", "b:", "c:", "d:", "e:"}) {
                EXPECT_NE(all.find(name), std::string::npos) << all;
            }
        } else {
            EXPECT_NE(all.find("more adapters"), std::string::npos) << all;
        }
        if (size.rows == 50) {
            EXPECT_NE(all.find("driver (now): XmitOk"), std::string::npos) << all;
        }
    }
}

// Bold only on a terminal, and not with NO_COLOR; log and JSON lines never
// carry an escape code.
TEST_F(StatusTest, EscapeCodesOnlyWhereTheyBelong) {
    Build();
    StartAndWaitForLinks();
    auto adapters = sim->Snapshot();
    auto events = sim->AllEvents();
    for (auto style : {zr48sim::Display::Style::Log, zr48sim::Display::Style::Json}) {
        zr48sim::Display d(style, "zr48sim");
        EXPECT_EQ((d.Events(events) + d.State(1, adapters, events)).find('\x1b'), std::string::npos);
    }
    zr48sim::Display bold(zr48sim::Display::Style::Terminal, "zr48sim", true);
    zr48sim::Display plain(zr48sim::Display::Style::Terminal, "zr48sim", false);
    std::string first = bold.State(1, adapters, events);
    EXPECT_NE(first.find("\x1b[1m"), std::string::npos);
    EXPECT_EQ(first.compare(0, 7, "\x1b[H\x1b[2J"), 0) << "the first update clears the screen";
    EXPECT_EQ(bold.State(1, adapters, events).compare(0, 4, "\x1b[H\x1b"), 0)
        << "later ones redraw in place";
    EXPECT_EQ(plain.State(1, adapters, events).find("\x1b[1m"), std::string::npos);
}

// Every number a line shows has its label: no "2048 kbit/s, 2048 kbit/s",
// no "1374/34 kbit/s".
TEST_F(StatusTest, EveryNumberIsLabelled) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(500, 2 * host::kMillisecond);
    host::Advance(2 * host::kSecond);
    std::string line = zr48sim::AdapterLine(View(0));
    EXPECT_NE(line.find("a: running, link up, line l1: data mode at 2048 kbit/s, trained at 2048 "
                        "kbit/s, sent "),
              std::string::npos)
        << line;
    EXPECT_NE(line.find(" frames (0 failed, "), std::string::npos) << line;
    EXPECT_NE(line.find("throughput tx "), std::string::npos) << line;
    EXPECT_TRUE(std::regex_search(line, std::regex("throughput tx [0-9]+, rx [0-9]+ kbit/s")))
        << line;
    EXPECT_FALSE(std::regex_search(line, std::regex("[0-9]+/[0-9]+ kbit/s"))) << line;
    EXPECT_FALSE(std::regex_search(line, std::regex("kbit/s, [0-9]+ kbit/s"))) << line;
}

// The picture of a run: written, well-formed (tests/check_report.py parses
// it as XML), and holding the events a person looks for.
TEST_F(StatusTest, TheReportHoldsTheRunAndItsEvents) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(1000, 2 * host::kMillisecond);
    host::Advance(2 * host::kSecond);
    EXPECT_EQ(control->Answer("LINE l1 cut"), "OK");
    host::Advance(2 * host::kSecond);
    EXPECT_EQ(control->Answer("LINE l1 restore"), "OK");
    ASSERT_TRUE(host::RunUntil([&] { return sim->AllLinksUp(); }, 10 * host::kSecond));
    host::Advance(2 * host::kSecond);
    sim->StopTraffic();
    sim->Note("a", "a problem with <markup> & \"quotes\" and \xff bytes",
              zr48sim::SimEvent::Kind::Problem);
    sim->HaltAll();
    zr48sim::ReportInput input = zr48sim::ReportOf(*sim, "zr48sim: <the test>");
    ASSERT_EQ(input.adapters.size(), 2u);
    EXPECT_GT(input.adapters[0].samples.size(), 30u);
    EXPECT_EQ(input.adapters[0].rateKbps, 2048u);
    std::string svg = zr48sim::ReportSvg(input);
    for (const char* part :
         {"<svg xmlns=\"http://www.w3.org/2000/svg\"", "<g id=\"adapter-a\">", "<g id=\"adapter-b\">",
          "<polyline class=\"tx\"", "<polyline class=\"rx\"", ">line cut ", ">line restored ",
          ">link down ", ">link up ", ">training 3.0 s<", "up, at 2048 kbit/s",
          "zr48sim: &lt;the test&gt;", "fill=\"url(#cut)\"", "</svg>"}) {
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(svg.find('\xff'), std::string::npos);
    const char* out = getenv("ZR48_REPORT_OUT");
    std::string path = out ? out : ::testing::TempDir() + "zr48_report_test.svg";
    std::string error;
    ASSERT_TRUE(zr48sim::WriteReport(path, svg, &error)) << error;
    if (!out) std::remove(path.c_str());
    EXPECT_FALSE(zr48sim::WriteReport("/nonexistent/dir/report.svg", svg, &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

// Two adapters, the usual case, show in full in an 80-column terminal:
// nothing of theirs is cut off.
TEST_F(StatusTest, TwoAdaptersShowInFullInEightyColumns) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(800, 2 * host::kMillisecond);
    host::Advance(2 * host::kSecond);
    zr48sim::Display view(zr48sim::Display::Style::Terminal, "zr48sim");
    view.SetSize(24, 80);
    std::string all;
    for (auto& row : Lines(view.State(sim->Seconds(), sim->Snapshot(), sim->RecentEvents(8)))) {
        all += Visible(row) + "\n";
    }
    for (const char* whole : {"a: running, link up, line l1: data mode at 2048 kbit/s\n",
                              "   trained at 2048 kbit/s, transceiver running, MAC 02:48:00:00:00:01\n",
                              "   firmware 8208 bytes loaded; 1 connect, 0 disconnects, 0 resets\n",
                              ", dropped 0, discarded 0\n", ", XmitError 0, RcvError 0\n", "\nevents\n"}) {
        EXPECT_NE(all.find(whole), std::string::npos) << whole << "in\n" << all;
    }
}

// A log line summarises every adapter at every display period (the caller's
// --interval), not on a period of its own.
TEST_F(StatusTest, LogSummariesComeAtEveryPeriod) {
    Build();
    StartAndWaitForLinks();
    zr48sim::Display log(zr48sim::Display::Style::Log, "zr48sim");
    for (double t : {10.0, 10.5, 11.0}) {
        std::vector<std::string> lines = Lines(log.State(t, sim->Snapshot(), {}));
        ASSERT_EQ(lines.size(), 2u) << "at " << t;
        EXPECT_EQ(lines[0].find("a: running, link up"), 11u) << lines[0];
    }
}

// STATUS is written member by member, with no JSON tree: its text is the
// tree's, byte for byte, whatever the strings hold (quotes, control bytes,
// other characters, bytes that are no UTF-8) and whatever the numbers are.
TEST(StatusJsonTest, TheWrittenTextIsTheTreesText) {
    const std::string strings[] = {
        "", "a", "say \"hi\"", "back\\slash", std::string("nul\0in", 6), "tab\tnew\nline\x1f",
        "del\x7f", "caf\xc3\xa9", "broken \xc3", "\xff\xfe", "\xed\xa0\x80 surrogate",
    };
    const double numbers[] = {0, -0.0, 1.0, 0.1, 1.2345678, 123456.0005, 1e-9, 1e22, 6016.04,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity()};
    uint64_t big = std::numeric_limits<uint64_t>::max();
    size_t i = 0;
    for (const std::string& text : strings) {
        for (double number : numbers) {
            zr48sim::AdapterSnapshot s;
            s.name = text;
            s.phase = static_cast<zr48sim::AdapterPhase>(i % 5);
            s.initStatus = i % 2 ? 0xC0010017u : 0;
            s.firmwareSent = i, s.firmwareTotal = i * 3;
            s.failure = i % 3 ? "" : text + " failed";
            s.controller = "running", s.line = text, s.lineName = "l1";
            s.cut = i % 2, s.connected = i % 3, s.trained = i % 5;
            s.rateKbps = 0xFFFFFFFF - static_cast<uint32_t>(i);
            s.mac = "02-00-00-00-00-01";
            s.xmitOk = big, s.rcvOk = i, s.xmitError = big - i, s.rcvError = 0;
            s.countersFresh = i % 2, s.countersFinal = i % 7 == 0;
            s.throughput = {number, number * 3};
            s.sent = i, s.completedOk = big, s.completedFailed = 1, s.received = 2;
            s.outstanding = 3, s.bytesSent = big, s.bytesReceived = 4;
            s.crcErrors = 5, s.rxDropped = 6, s.txDiscarded = big;
            s.connects = 7, s.disconnects = 8, s.resets = 9;
            std::string written = "before ";
            zr48sim::AppendAdapterJson(&written, s, number);
            ASSERT_EQ(written, "before " + zr48sim::JsonText(AdapterJson(s, number)))
                << "string of " << text.size() << " bytes, number " << number;
            ++i;
        }
    }
}

// The control socket's STATUS: the adapters' objects in an array, as the
// tree of them reads (here once halted, when a snapshot reads no counters
// and the two are of the same moment).
TEST_F(StatusTest, TheStatusAnswerIsTheArrayOfTheAdaptersObjects) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(1000, 2 * host::kMillisecond);
    host::Advance(1200 * host::kMillisecond);
    sim->StopTraffic();
    sim->HaltAll();
    std::string answer = control->Answer("STATUS");
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (auto& a : sim->Snapshot()) all.push_back(AdapterJson(a, sim->Seconds()));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(answer, "OK " + zr48sim::JsonText(all));
}
