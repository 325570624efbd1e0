// zr48stat for Linux, apart from its process: the command line (CLI11) and
// the live view of --watch, so that tests can go through them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/stats_block.h"

namespace zr48stat {

struct Options {
    std::string socket;
    bool json = false;
    bool clear = false;
    int timeoutMs = 10000;
    double watchSeconds = 0;  // 0: read once
    std::vector<std::string> adapters;
};

struct CommandLine {
    bool run = false;     // false: exit with exitCode after printing out and err
    int exitCode = 0;
    std::string out, err;
    Options options;
};

// `args` without the program's name.
CommandLine ParseArguments(const std::vector<std::string>& args);

// One adapter's block read at `seconds` (on a steady clock).
struct Reading {
    std::string adapter;
    Statistics block;
    double seconds = 0;
};

// One frame of --watch: a heading (the period, the adapters, `clock` as the
// wall time) and each block, with what its counters gained since the
// adapter's previous reading (when there is one). `terminal`: the frame
// starts by clearing the screen.
std::string WatchFrame(const std::vector<Reading>& now, const std::map<std::string, Reading>& before,
                       const Options& options, const std::string& clock, bool terminal);

}  // namespace zr48stat
