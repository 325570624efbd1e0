// What a person watching the simulator sees: a view redrawn in place on a
// terminal (fitted to its size), plain log lines, or one JSON object per line.
// Events are written as they come (log and JSON); the adapters' state at
// every display period.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace zr48sim {

class Display {
public:
    enum class Style { Terminal, Log, Json };
    // `bold`: the terminal view may use bold (not with NO_COLOR).
    Display(Style style, std::string title, bool bold = true)
        : style_(style), title_(std::move(title)), bold_(bold) {}

    // The terminal's size, for the terminal view (default 24 x 80).
    void SetSize(int rows, int columns) {
        rows_ = rows > 0 ? rows : 24;
        columns_ = columns > 0 ? columns : 80;
    }

    // Events as they come: a line each (log and JSON); nothing for the
    // terminal view, which shows the latest in its next redraw.
    std::string Events(const std::vector<SimEvent>& events) const;
    // The adapters now: the terminal view redrawn (with the latest events
    // in `recent`), a summary line per adapter, or a JSON object per adapter.
    std::string State(double seconds, const std::vector<AdapterSnapshot>& adapters,
                      const std::vector<SimEvent>& recent);
    std::string Shutdown(const ShutdownReport& report,
                         const std::vector<std::string>& failures) const;

private:
    std::string Terminal(double seconds, const std::vector<AdapterSnapshot>& adapters,
                         const std::vector<SimEvent>& recent);
    std::string Bold(const std::string& text) const;

    Style style_;
    std::string title_;
    bool bold_;
    bool cleared_ = false;
    int rows_ = 24;
    int columns_ = 80;
};

// Pieces, for the control socket, the report and the tests.
// An adapter's object as JSON text (the control socket's STATUS holds an
// array of them), appended to `out` with no tree made: STATUS is asked often.
void AppendAdapterJson(std::string* out, const AdapterSnapshot& s, double seconds);
std::string SnapshotJson(const AdapterSnapshot& s, double seconds);
std::string EventJson(const SimEvent& e);
const char* EventKindName(SimEvent::Kind kind);
// One labelled line: "a: running, link up, line l1: data mode at 2048 kbit/s, ..."
std::string AdapterLine(const AdapterSnapshot& s);
std::string EventLine(const SimEvent& e);
// JSON text that stays valid whatever bytes the strings hold.
std::string JsonText(const nlohmann::ordered_json& value);
// `text` cut to `columns` characters (UTF-8 sequences kept whole).
std::string FitColumns(const std::string& text, int columns);
// printf into a string (up to 511 characters).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zr48sim
