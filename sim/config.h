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
// Values are strict. A driver keyword takes a number (decimal, or 0x and
// hexadecimal digits, up to 4294967295), stored as a DWORD, or text in double
// quotes, stored as a string (REG_SZ) that NDIS must be able to read as the
// number the driver asks for. "NetworkAddress" is always a string: twelve
// hexadecimal digits, quoted or not. Each key is given at most once in a
// section; a comment starts with '#' or ';' outside quotes.
//
// Values the registry can hold but the driver treats specially (a rate it
// rounds or limits, a flag other than 0 or 1, a line code outside 1..4, ...)
// are passed as they are, and the configuration's notes say what the driver
// will do with them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/config.h"

namespace zr48sim {

// The name a "line" key gives for a card whose far end echoes.
constexpr const char* kLoopbackLine = "loopback";
// Adapters in one simulation: a card in each device slot of the machine's
// PCI bus. The machine carries that many at 2048 kbit/s full duplex with room
// to spare (bench/sim_bench --scale); each adapter costs a card model, a
// miniport instance and under a megabyte under traffic, and no thread or file
// of its own but for its TAP device's (a descriptor and a reader thread).
constexpr size_t kMaxAdapters = host::kPciSlots;
// Characters of an adapter's or a line's name.
constexpr size_t kMaxNameLength = 32;
// Bytes of a firmware image file the simulator reads.
constexpr size_t kMaxFirmwareFile = 64u << 20;

struct LineSettings {
    std::string name;
    int64_t delayNs = 10 * 1000;
    double loss = 0;
    double bitErrors = 0;
    uint64_t seed = 1;
    int definedAt = 0;  // line of its [line] header; 0: not from a file
};

struct AdapterSettings {
    std::string name;
    // Configuration parameters: keyword (in its usual spelling) to value.
    std::map<std::string, uint32_t> integers;
    std::map<std::string, std::string> strings;
    std::string firmwarePath;  // empty: the built-in image
    std::string line;
    std::string tap;           // default "zr48" + name
    bool tapGiven = false;     // by a "tap" key
    int definedAt = 0;         // line of its [adapter] header; 0: not from a file
    std::map<std::string, int> keyLines;  // key (usual spelling) to the line giving it
};

struct SimConfig {
    std::string file;  // the file it was read from; empty: built in
    std::vector<AdapterSettings> adapters;
    std::vector<LineSettings> lines;

    const LineSettings* FindLine(const std::string& name) const;
    // Indexes of the adapters on a line.
    std::vector<size_t> AdaptersOn(const std::string& line) const;
    // "FILE:LINE: " for a line of the file; "" for a built-in setting.
    std::string Where(int line) const;
};

// Two adapters back to back on line "l1" at 2048 kbit/s: "a" central,
// "b" remote.
SimConfig DefaultConfig();

// Parses a configuration; false with a message naming the file (the
// config's `file`, when set), the line, the key and what it takes.
// Relative firmware paths are taken from `baseDirectory`.
bool ParseConfig(const std::string& text, const std::string& baseDirectory, SimConfig* config,
                 std::string* error);
// Reads and parses a file (a regular file of at most 1 MiB).
bool LoadConfig(const std::string& path, SimConfig* config, std::string* error);

struct ValidateOptions {
    bool tap = false;  // the adapters get TAP devices: their names must fit one
};

// Checks that the adapters and lines fit together: unique names, TAP device
// names and addresses, every line joining exactly two adapters (or one on
// "loopback"), firmware images that are readable files. False with a
// message otherwise.
bool ValidateConfig(const SimConfig& config, const ValidateOptions& options, std::string* error);
inline bool ValidateConfig(const SimConfig& config, std::string* error) {
    return ValidateConfig(config, ValidateOptions{}, error);
}

// What the driver will do with the values it treats specially (one note per
// value, naming where it was given). For a valid configuration.
std::vector<std::string> DriverNotes(const SimConfig& config);

// The line rate in kbit/s that the driver configures for an adapter, from
// its "LineRate", "ConfigType", "TerminalType" and "AnnexType" values.
uint32_t ConfiguredRateKbps(const AdapterSettings& adapter);

// The name of the line adapter `index` is on, as the simulator and its
// control socket call it: its "line", except that every card on "loopback"
// has a far end of its own, "loopback" when it is the only such card and
// "loopback:NAME" when there are more.
std::string LineNameOf(const SimConfig& config, size_t index);

// The driver's keywords, in their usual spelling; empty when `keyword` is
// none of them (matched without regard to case, as the registry does).
std::string DriverKeyword(const std::string& keyword);

// A name for an adapter or a line: 1 to 32 letters, digits, '-', '_' or '.'.
bool ValidName(const std::string& name);

// Reads a whole regular file of at most `limit` bytes; false with a message
// (a directory, a device, a file too large, an error while reading).
bool ReadRegularFile(const std::string& path, size_t limit, std::vector<uint8_t>* bytes,
                     std::string* error);

}  // namespace zr48sim
