// What a person watching the simulator sees: a compact view redrawn in place
// on a terminal, plain log lines, or one JSON object per line.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "common/stats_block.h"

namespace zr48sim {

// Throughput between two snapshots of an adapter, in kbit/s.
struct Throughput {
    double txKbps = 0;
    double rxKbps = 0;
};

class Display {
public:
    enum class Style { Terminal, Log, Json };
    Display(Style style, std::string title) : style_(style), title_(std::move(title)) {}

    // One update: the adapters as they are now and the events since the last
    // update. Returns the text to write (empty when there is nothing).
    std::string Update(double seconds, const std::vector<AdapterSnapshot>& adapters,
                       const std::vector<SimEvent>& events,
                       const std::vector<SimEvent>& recent);
    std::string Shutdown(const ShutdownReport& report) const;

private:
    std::string Terminal(double seconds, const std::vector<AdapterSnapshot>& adapters,
                         const std::vector<SimEvent>& recent);
    std::string Log(double seconds, const std::vector<AdapterSnapshot>& adapters,
                    const std::vector<SimEvent>& events);
    std::string Json(double seconds, const std::vector<AdapterSnapshot>& adapters,
                     const std::vector<SimEvent>& events);
    Throughput Rates(const AdapterSnapshot& s, double seconds);

    Style style_;
    std::string title_;
    bool cleared_ = false;
    double lastSummary_ = -1e9;
    struct Previous {
        double seconds;
        uint64_t bytesSent, bytesReceived;
    };
    std::map<std::string, Previous> previous_;
    std::map<std::string, Throughput> rates_;
};

// Pieces, for the control socket and the tests. Strings are quoted for JSON
// as zr48stat quotes them.
using zr48stat::JsonString;
std::string SnapshotJson(const AdapterSnapshot& s, double seconds, const Throughput& rates);
std::string EventJson(const SimEvent& e);
std::string AdapterLine(const AdapterSnapshot& s, const Throughput& rates);

}  // namespace zr48sim
