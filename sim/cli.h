// zr48sim's command line: the run's options, and "zr48sim ctl" with its
// requests. Parsed with CLI11; every number strictly (digits only, within
// its range), every request with exactly its arguments. What to do comes
// back as a record, so that the tests can go through every case without a
// process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/display.h"

namespace zr48sim {

struct RunArguments {
    std::string config;
    bool tap = false;
    size_t traffic = 0;
    Display::Style style = Display::Style::Log;
    int intervalMs = 500;
    double duration = 0;
    std::string control;           // "none" for none
    bool controlGiven = false;     // by --control (its directory must exist then)
    unsigned processors = 2;
    bool unlimited = false;
    std::string report;            // the SVG report's path; empty: none
    std::string driver;            // a Windows driver image to run; empty: the one linked in
};

struct CtlArguments {
    std::string control;
    std::string command;   // the request as typed: "cut", "query", ...
    std::string request;   // the control protocol's line
    // query and set
    bool information = false;
    bool query = true;
    std::string adapter;
    uint32_t oid = 0;
    std::vector<uint8_t> buffer;
};

struct CommandLine {
    enum class Action { Run, Ctl, Exit } action = Action::Exit;
    int exitCode = 0;      // Exit: 0 after --help, 2 after a mistake
    std::string out;       // Exit: for stdout (help)
    std::string err;       // Exit: for stderr (the mistake, and where to look)
    RunArguments run;
    CtlArguments ctl;
};

// `args` without the program's name. `terminal`: stdout is a terminal (the
// default display is then the terminal view, else log lines).
CommandLine ParseCommandLine(const std::vector<std::string>& args, bool terminal);

// What "zr48sim ctl" prints for the answer to its request, and its exit
// status: 0 when the request succeeded, 1 when the simulator or the driver
// refused it.
struct CtlOutput {
    int exitCode = 0;
    std::string out;
    std::string err;
};
CtlOutput CtlAnswer(const CtlArguments& ctl, const std::string& answer);

}  // namespace zr48sim
