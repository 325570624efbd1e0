// A picture of a run, as an SVG file written without any plotting library:
// for each adapter, the throughput each way over time, a band showing the
// line's state at its end (searching, training, data mode, incompatible),
// and the events marked on the time axis (link up and down as the driver
// indicated them, line cuts and restores, resets, initialization and halt).
// A person sees at a glance how long training took, where the line was cut,
// when it came back and at what rates the frames went.
#pragma once

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace zr48sim {

struct ReportAdapter {
    std::string name;
    std::string line;
    uint32_t rateKbps = 0;  // as its driver configured it
    std::vector<RateSample> samples;
};

struct ReportInput {
    std::string title;
    double endSeconds = 0;
    std::vector<ReportAdapter> adapters;
    std::vector<SimEvent> events;
};

// What the simulator has kept of its run.
ReportInput ReportOf(Simulator& sim, const std::string& title);
// The SVG document.
std::string ReportSvg(const ReportInput& input);
// Writes it to `path` (replacing a file there); false with a message.
bool WriteReport(const std::string& path, const std::string& svg, std::string* error);

}  // namespace zr48sim
