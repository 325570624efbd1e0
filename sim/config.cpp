#include "sim/config.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace zr48sim {
namespace {

// The keywords the driver reads. "SlotNumber" is the simulator's: it puts
// each card in a slot of its own.
const char* const kDriverKeywords[] = {
    "LineRate", "TerminalType", "ConfigType", "AnnexType", "AlwaysConnected",
    "LineCode", "CRC",          "FillByte",   "DataPolarity", "ReadBurst",
    "WriteBurst", "XmtQueueLen", "RcvQueueLen", "NetworkAddress",
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Drops a comment ('#' or ';' outside double quotes).
std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (!quoted && (line[i] == '#' || line[i] == ';')) return line.substr(0, i);
    }
    return line;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > max) return false;
    *value = v;
    return true;
}

bool ParseDouble(const std::string& text, double* value) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || errno || *end) return false;
    *value = v;
    return true;
}

struct Parser {
    const std::string& baseDirectory;
    SimConfig* config;
    std::string* error;
    int lineNumber = 0;
    enum class Section { None, Adapter, Line } section = Section::None;

    bool Fail(const std::string& message) {
        *error = "line " + std::to_string(lineNumber) + ": " + message;
        return false;
    }
    bool Header(const std::string& text);
    bool Assignment(const std::string& key, const std::string& value);
    bool AdapterKey(AdapterSettings& a, const std::string& key, const std::string& value);
    bool LineKey(LineSettings& l, const std::string& key, const std::string& value);
    bool Line(const std::string& raw);
};

bool Parser::Header(const std::string& text) {
    std::istringstream words(text.substr(1, text.size() - 2));
    std::string kind, name, extra;
    words >> kind >> name >> extra;
    kind = Lower(kind);
    if (name.empty() || !extra.empty() || (kind != "adapter" && kind != "line")) {
        return Fail("a section is [adapter NAME] or [line NAME], not " + text);
    }
    if (kind == "adapter") {
        section = Section::Adapter;
        config->adapters.push_back(AdapterSettings{});
        config->adapters.back().name = name;
        config->adapters.back().tap = "zr48" + name;
    } else {
        section = Section::Line;
        config->lines.push_back(LineSettings{});
        config->lines.back().name = name;
    }
    return true;
}

bool Parser::AdapterKey(AdapterSettings& a, const std::string& key, const std::string& value) {
    std::string lower = Lower(key);
    bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    std::string bare = quoted ? value.substr(1, value.size() - 2) : value;
    if (lower == "firmware") {
        a.firmwarePath = bare.empty() || bare[0] == '/' ? bare : baseDirectory + "/" + bare;
    } else if (lower == "line") {
        a.line = bare;
    } else if (lower == "tap") {
        if (bare.empty() || bare.size() > 15) {
            return Fail("a TAP device name has 1 to 15 characters");
        }
        a.tap = bare;
    } else if (lower == "slotnumber") {
        return Fail("\"SlotNumber\" is chosen by the simulator: each card has a slot of its own");
    } else {
        std::string keyword = DriverKeyword(key);
        if (keyword.empty()) {
            return Fail("unknown keyword \"" + key + "\" (the driver reads LineRate, "
                        "TerminalType, ConfigType, AnnexType, AlwaysConnected, LineCode, CRC, "
                        "FillByte, DataPolarity, ReadBurst, WriteBurst, XmtQueueLen, RcvQueueLen "
                        "and NetworkAddress; the simulator reads firmware, line and tap)");
        }
        uint64_t number = 0;
        a.integers.erase(keyword);
        a.strings.erase(keyword);
        if (!quoted && keyword != "NetworkAddress" && ParseUnsigned(bare, 0xFFFFFFFFu, &number)) {
            a.integers[keyword] = static_cast<uint32_t>(number);
        } else {
            a.strings[keyword] = bare;
        }
    }
    return true;
}

bool Parser::LineKey(LineSettings& l, const std::string& key, const std::string& value) {
    std::string lower = Lower(key);
    uint64_t number = 0;
    double probability = 0;
    if (lower == "delay_us") {
        if (!ParseUnsigned(value, 10 * 1000 * 1000, &number)) {
            return Fail("delay_us is a whole number of microseconds up to 10000000");
        }
        l.delayNs = static_cast<int64_t>(number) * 1000;
    } else if (lower == "seed") {
        if (!ParseUnsigned(value, UINT64_MAX, &number)) return Fail("seed is a whole number");
        l.seed = number;
    } else if (lower == "loss" || lower == "bit_errors") {
        if (!ParseDouble(value, &probability) || probability < 0 || probability > 1) {
            return Fail(lower + " is a probability between 0 and 1");
        }
        (lower == "loss" ? l.loss : l.bitErrors) = probability;
    } else {
        return Fail("unknown line keyword \"" + key + "\" (delay_us, loss, bit_errors, seed)");
    }
    return true;
}

bool Parser::Assignment(const std::string& key, const std::string& value) {
    if (section == Section::Adapter) return AdapterKey(config->adapters.back(), key, value);
    if (section == Section::Line) return LineKey(config->lines.back(), key, value);
    return Fail("\"" + key + "\" comes before any [adapter NAME] or [line NAME] section");
}

bool Parser::Line(const std::string& raw) {
    std::string text = Trim(StripComment(raw));
    if (text.empty()) return true;
    if (text.front() == '[') {
        if (text.back() != ']') return Fail("unclosed section header: " + text);
        return Header(text);
    }
    size_t eq = text.find('=');
    if (eq == std::string::npos) return Fail("expected KEY = VALUE, got: " + text);
    std::string key = Trim(text.substr(0, eq));
    if (key.empty()) return Fail("a value with no keyword: " + text);
    return Assignment(key, Trim(text.substr(eq + 1)));
}

// The adapter whose loopback line is called `line`; -1 when none.
int LoopbackNamed(const SimConfig& config, const std::string& line) {
    for (size_t i = 0; i < config.adapters.size(); ++i) {
        if (config.adapters[i].line == kLoopbackLine && LineNameOf(config, i) == line) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool Readable(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return f.good();
}

}  // namespace

std::string DriverKeyword(const std::string& keyword) {
    for (const char* k : kDriverKeywords) {
        if (Lower(k) == Lower(keyword)) return k;
    }
    return "";
}

const LineSettings* SimConfig::FindLine(const std::string& name) const {
    for (auto& l : lines) {
        if (l.name == name) return &l;
    }
    return nullptr;
}

std::vector<size_t> SimConfig::AdaptersOn(const std::string& line) const {
    std::vector<size_t> on;
    for (size_t i = 0; i < adapters.size(); ++i) {
        if (adapters[i].line == line) on.push_back(i);
    }
    return on;
}

SimConfig DefaultConfig() {
    SimConfig config;
    AdapterSettings a;
    a.name = "a";
    a.tap = "zr48a";
    a.line = "l1";
    a.integers = {{"LineRate", 2048}, {"TerminalType", 1}};
    a.strings = {{"NetworkAddress", "024800000001"}};
    AdapterSettings b = a;
    b.name = "b";
    b.tap = "zr48b";
    b.integers["TerminalType"] = 0;
    b.strings["NetworkAddress"] = "024800000002";
    config.adapters = {a, b};
    LineSettings l1;
    l1.name = "l1";
    config.lines = {l1};
    return config;
}

bool ParseConfig(const std::string& text, const std::string& baseDirectory, SimConfig* config,
                 std::string* error) {
    *config = SimConfig{};
    Parser parser{baseDirectory, config, error};
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        ++parser.lineNumber;
        if (!parser.Line(raw)) return false;
    }
    if (config->adapters.empty()) {
        *error = "no [adapter NAME] section: a simulation needs at least one adapter";
        return false;
    }
    return true;
}

bool LoadConfig(const std::string& path, SimConfig* config, std::string* error) {
    std::ifstream f(path);
    if (!f) {
        *error = path + ": cannot be read";
        return false;
    }
    std::stringstream text;
    text << f.rdbuf();
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!ParseConfig(text.str(), base.empty() ? "/" : base, config, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

std::string LineNameOf(const SimConfig& config, size_t index) {
    const AdapterSettings& a = config.adapters.at(index);
    if (a.line != kLoopbackLine || config.AdaptersOn(kLoopbackLine).size() == 1) return a.line;
    return std::string(kLoopbackLine) + ":" + a.name;
}

// Checks one adapter's line and firmware.
static bool ValidateAdapter(const SimConfig& config, const AdapterSettings& a,
                            std::string* error) {
    if (a.line.empty()) {
        *error = "adapter " + a.name + ": no line (line = NAME, or line = loopback)";
        return false;
    }
    size_t sharing = config.AdaptersOn(a.line).size();
    if (a.line == kLoopbackLine) {
        if (config.FindLine(a.line)) {
            *error = "\"loopback\" is reserved for a card whose far end echoes";
            return false;
        }
    } else if (int other = LoopbackNamed(config, a.line); other >= 0) {
        *error = "adapter " + a.name + ": line " + a.line + " is the name of adapter " +
                 config.adapters[static_cast<size_t>(other)].name + "'s loopback line";
        return false;
    } else if (sharing != 2) {
        *error = "line " + a.line + " joins " + std::to_string(sharing) +
                 " adapter(s); a line joins exactly two cards back to back";
        return false;
    }
    if (!a.firmwarePath.empty() && !Readable(a.firmwarePath)) {
        *error = "adapter " + a.name + ": firmware image " + a.firmwarePath + " cannot be read";
        return false;
    }
    return true;
}

bool ValidateConfig(const SimConfig& config, std::string* error) {
    std::set<std::string> names, taps, lines;
    for (auto& a : config.adapters) {
        if (!names.insert(a.name).second || !taps.insert(a.tap).second) {
            *error = "adapter " + a.name + ": its name or TAP device " + a.tap + " is used twice";
            return false;
        }
        // The default "zr48" + name may be longer than a Linux interface
        // name can be (a "tap" key is checked when it is read).
        if (a.tap.empty() || a.tap.size() > 15) {
            *error = "adapter " + a.name + ": its TAP device name " + a.tap +
                     " is longer than 15 characters; name one with tap = ...";
            return false;
        }
        if (!ValidateAdapter(config, a, error)) return false;
    }
    for (auto& l : config.lines) {
        if (!lines.insert(l.name).second) {
            *error = "line " + l.name + " is defined twice";
            return false;
        }
        if (config.AdaptersOn(l.name).empty()) {
            *error = "line " + l.name + " has no adapter on it";
            return false;
        }
    }
    if (config.adapters.size() > 16) {
        *error = "at most 16 adapters";
        return false;
    }
    return true;
}

}  // namespace zr48sim
