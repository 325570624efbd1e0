// What a simulation is made of: adapters (a card, the driver's configuration
// parameters as the registry holds them, a firmware image, a line) and the
// lines between them. Read from a small INI-style file:
//
//     [adapter a]
//     LineRate = 2048            # driver keywords, exactly as in the registry
//     TerminalType = 1
//     NetworkAddress = 024800000001
//     firmware = zr48.bin        # the image file (default: the built-in image)
//     line = l1                  # the line it is on, or "loopback"
//     tap = zr48a                # the TAP device it is bridged to with --tap
//
//     [line l1]
//     delay_us = 10              # propagation delay
//     loss = 0                   # probability that a frame is lost
//     bit_errors = 0             # probability that a bit is damaged
//     seed = 1                   # loss and errors repeat for a seed
//
// A value in double quotes is stored as a string (REG_SZ); an unquoted number
// (decimal or 0x...) as a DWORD; anything else as a string. "NetworkAddress"
// is always a string, as NDIS keeps it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zr48sim {

// The name a "line" key gives for a card whose far end echoes.
constexpr const char* kLoopbackLine = "loopback";

struct LineSettings {
    std::string name;
    int64_t delayNs = 10 * 1000;
    double loss = 0;
    double bitErrors = 0;
    uint64_t seed = 1;
};

struct AdapterSettings {
    std::string name;
    // Configuration parameters: keyword (in its usual spelling) to value.
    std::map<std::string, uint32_t> integers;
    std::map<std::string, std::string> strings;
    std::string firmwarePath;  // empty: the built-in image
    std::string line;
    std::string tap;           // default "zr48" + name
};

struct SimConfig {
    std::vector<AdapterSettings> adapters;
    std::vector<LineSettings> lines;

    const LineSettings* FindLine(const std::string& name) const;
    // Indexes of the adapters on a line.
    std::vector<size_t> AdaptersOn(const std::string& line) const;
};

// Two adapters back to back on line "l1" at 2048 kbit/s: "a" central,
// "b" remote.
SimConfig DefaultConfig();

// Parses a configuration; false with a message naming the line when the text
// is wrong. Relative firmware paths are taken from `baseDirectory`.
bool ParseConfig(const std::string& text, const std::string& baseDirectory, SimConfig* config,
                 std::string* error);
bool LoadConfig(const std::string& path, SimConfig* config, std::string* error);

// Checks that the adapters and lines fit together: unique names, every line
// joining exactly two adapters (or one on "loopback"), firmware files
// readable. False with a message otherwise.
bool ValidateConfig(const SimConfig& config, std::string* error);

// The name of the line adapter `index` is on, as the simulator and its
// control socket call it: its "line", except that every card on "loopback"
// has a far end of its own, "loopback" when it is the only such card and
// "loopback:NAME" when there are more.
std::string LineNameOf(const SimConfig& config, size_t index);

// The driver's keywords, in their usual spelling; empty when `keyword` is
// none of them (matched without regard to case, as the registry does).
std::string DriverKeyword(const std::string& keyword);

}  // namespace zr48sim
