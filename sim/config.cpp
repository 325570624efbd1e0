#include "sim/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

namespace zr48sim {
namespace {

constexpr size_t kMaxConfigFile = 1u << 20;
constexpr uint64_t kMaxDword = 0xFFFFFFFFull;
constexpr uint32_t kFrameSlotBytes = 1516;  // a frame buffer in the driver's shared block

// How the driver reads and uses one of its keywords.
enum class KeywordKind { Rate, Flag, LineCode, Annex, QueueLength, Address };

struct Keyword {
    const char* name;
    KeywordKind kind;
    uint32_t fallback;  // the driver's default when the keyword is absent
    const char* takes;  // what it takes, for messages
};

// The keywords the driver reads, in the order it reads them. "SlotNumber" is
// the simulator's: it puts each card in a slot of its own.
const Keyword kKeywords[] = {
    {"LineRate", KeywordKind::Rate, 2048,
     "a line rate in kbit/s (the Advanced page offers 64 to 6016 in steps of 32)"},
    {"TerminalType", KeywordKind::Flag, 0, "0 (remote end, STU-R) or 1 (central end, STU-C)"},
    {"ConfigType", KeywordKind::Flag, 0, "0 (fixed rate) or 1 (rate-adaptive)"},
    {"AnnexType", KeywordKind::Annex, 1, "0 (annex A), 1 (annex B) or 3 (annex F/G)"},
    {"AlwaysConnected", KeywordKind::Flag, 0, "0 (no) or 1 (yes)"},
    {"LineCode", KeywordKind::LineCode, 0,
     "0 (chosen from the line rate) or one of the codes 1 to 4"},
    {"CRC", KeywordKind::Flag, 0, "0 (no) or 1 (yes)"},
    {"FillByte", KeywordKind::Flag, 0, "0 (no) or 1 (yes)"},
    {"DataPolarity", KeywordKind::Flag, 0, "0 (normal) or 1 (inverted)"},
    {"ReadBurst", KeywordKind::Flag, 1, "0 (no) or 1 (yes)"},
    {"WriteBurst", KeywordKind::Flag, 1, "0 (no) or 1 (yes)"},
    {"XmtQueueLen", KeywordKind::QueueLength, 8, "a number of transmit buffers, 1 to 127"},
    {"RcvQueueLen", KeywordKind::QueueLength, 16, "a number of receive buffers, 1 to 127"},
    {"NetworkAddress", KeywordKind::Address, 0,
     "twelve hexadecimal digits, the adapter's own (unicast) address"},
};

const Keyword* FindKeyword(const std::string& name);

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s, const char* blanks = " \t\r") {
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(blanks);
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

bool AllOf(const std::string& s, int (*test)(int)) {
    for (unsigned char c : s) {
        if (!test(c)) return false;
    }
    return !s.empty();
}

// Digits in `base` only, without sign or blanks, up to `max`.
bool Digits(const std::string& text, int base, uint64_t max, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

// A whole number: decimal digits, or 0x and hexadecimal digits. Why not,
// when it is not one.
bool WholeNumber(const std::string& text, uint64_t max, uint64_t* value, std::string* why) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (Digits(hex ? text.substr(2) : text, hex ? 16 : 10, max, value)) return true;
    if (text.empty()) *why = "no value";
    else if (text[0] == '-') *why = "a negative number";
    else if (AllOf(hex ? text.substr(2) : text, hex ? isxdigit : isdigit))
        *why = "too large (at most " + std::to_string(max) + ")";
    else *why = "not a whole number";
    return false;
}

// A probability: a decimal number (digits, a point, an exponent) from 0 to 1.
bool Probability(const std::string& text, double* value) {
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos ||
        (!isdigit(static_cast<unsigned char>(text[0])) && text[0] != '.')) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno || *end || !std::isfinite(v) || v < 0 || v > 1) return false;
    *value = v;
    return true;
}

// What NDIS makes of a string when the driver asks for an integer: decimal
// digits between spaces, up to 32 bits.
bool NdisReadsAsInteger(const std::string& text, uint32_t* value) {
    uint64_t v = 0;
    if (!Digits(Trim(text, " "), 10, kMaxDword, &v)) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool ParseAddress(const std::string& text, uint8_t address[6]) {
    if (text.size() != 12 || !AllOf(text, isxdigit)) return false;
    for (int i = 0; i < 6; ++i) {
        address[i] = static_cast<uint8_t>(strtoul(text.substr(2 * i, 2).c_str(), nullptr, 16));
    }
    return true;
}

std::string AddressText(const uint8_t a[6]) {
    char text[24];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4],
             a[5]);
    return text;
}

struct Parser {
    const std::string& baseDirectory;
    SimConfig* config;
    std::string* error;
    int lineNumber = 0;
    enum class Section { None, Adapter, Line } section = Section::None;
    std::string sectionName = "";          // "adapter a", "line l1"
    std::map<std::string, int> keysSeen = {};  // lower-case key to its line, in this section

    bool Fail(const std::string& message) {
        *error = config->Where(lineNumber) + message;
        return false;
    }
    // A mistake in a key's value: where, whose, the key and value, why, and
    // what the key takes.
    bool Bad(const std::string& key, const std::string& value, const std::string& why,
             const std::string& takes) {
        return Fail(sectionName + ": " + key + " = " + value + ": " + why + "; " + key +
                    " takes " + takes);
    }
    bool Header(const std::string& text);
    bool Assignment(const std::string& key, const std::string& value);
    bool AdapterKey(AdapterSettings& a, const std::string& key, const std::string& value);
    bool DriverValue(AdapterSettings& a, const Keyword& k, const std::string& key,
                     const std::string& value);
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
    if (!ValidName(name)) {
        return Fail("[" + kind + " " + name + "]: a name has 1 to " +
                    std::to_string(kMaxNameLength) + " letters, digits, '-', '_' or '.'");
    }
    keysSeen.clear();
    sectionName = kind + " " + name;
    if (kind == "adapter") {
        for (auto& a : config->adapters) {
            if (a.name == name) {
                return Fail("[adapter " + name + "] again: its first section is on line " +
                            std::to_string(a.definedAt));
            }
        }
        if (config->adapters.size() == kMaxAdapters) {
            return Fail("[adapter " + name + "]: at most " + std::to_string(kMaxAdapters) +
                        " adapters in one simulation");
        }
        section = Section::Adapter;
        config->adapters.push_back(AdapterSettings{});
        AdapterSettings& a = config->adapters.back();
        a.name = name;
        a.tap = "zr48" + name;
        a.definedAt = lineNumber;
    } else {
        for (auto& l : config->lines) {
            if (l.name == name) {
                return Fail("[line " + name + "] again: its first section is on line " +
                            std::to_string(l.definedAt));
            }
        }
        section = Section::Line;
        config->lines.push_back(LineSettings{});
        config->lines.back().name = name;
        config->lines.back().definedAt = lineNumber;
    }
    return true;
}

bool Parser::DriverValue(AdapterSettings& a, const Keyword& k, const std::string& key,
                         const std::string& value) {
    bool quoted = value.front() == '"';
    std::string bare = quoted ? value.substr(1, value.size() - 2) : value;
    if (k.kind == KeywordKind::Address) {
        uint8_t address[6];
        if (!ParseAddress(bare, address)) {
            return Bad(key, value,
                       "not twelve hexadecimal digits (the driver would ignore it and make an "
                       "address of its own)",
                       k.takes);
        }
        if (address[0] & 1) {
            bool broadcast = bare.find_first_not_of("fF") == std::string::npos;
            return Bad(key, value,
                       std::string(broadcast ? "the broadcast address" : "a multicast address") +
                           " (the first byte's low bit is set) cannot be an adapter's own",
                       k.takes);
        }
        a.strings[k.name] = bare;
        return true;
    }
    if (quoted) {
        uint32_t number = 0;
        if (!NdisReadsAsInteger(bare, &number)) {
            return Bad(key, value,
                       "a string NDIS cannot read as a number, so the driver would keep its "
                       "default (" + std::to_string(k.fallback) + ")",
                       k.takes);
        }
        a.strings[k.name] = bare;
        return true;
    }
    uint64_t number = 0;
    std::string why;
    if (!WholeNumber(bare, kMaxDword, &number, &why)) {
        if (why.compare(0, 9, "too large") == 0 || why == "a negative number") {
            why += ": a DWORD holds 0 to 4294967295";
        } else if (why == "not a whole number") {
            why += " (text for the registry goes in double quotes)";
        }
        return Bad(key, value, why, k.takes);
    }
    a.integers[k.name] = static_cast<uint32_t>(number);
    return true;
}

bool Parser::AdapterKey(AdapterSettings& a, const std::string& key, const std::string& value) {
    std::string lower = Lower(key);
    bool quoted = value.front() == '"';
    std::string bare = quoted ? value.substr(1, value.size() - 2) : value;
    if (lower == "firmware") {
        if (bare.empty()) {
            return Bad(key, value, "no file named", "the path of a firmware image file");
        }
        a.firmwarePath = bare[0] == '/' ? bare : baseDirectory + "/" + bare;
        a.keyLines["firmware"] = lineNumber;
    } else if (lower == "line") {
        if (!ValidName(bare)) {
            return Bad(key, value, "not a line's name",
                       "the name of a [line] (1 to " + std::to_string(kMaxNameLength) +
                           " letters, digits, '-', '_' or '.') or loopback");
        }
        a.line = bare;
        a.keyLines["line"] = lineNumber;
    } else if (lower == "tap") {
        if (bare.empty() || bare.size() > 15 || bare.find_first_of("/: \t") != std::string::npos ||
            bare == "." || bare == "..") {
            return Bad(key, value, "not a Linux interface name",
                       "a TAP device name of 1 to 15 characters, without '/', ':' or blanks");
        }
        a.tap = bare;
        a.tapGiven = true;
        a.keyLines["tap"] = lineNumber;
    } else if (lower == "slotnumber") {
        return Fail(sectionName +
                    ": \"SlotNumber\" is chosen by the simulator: each card has a slot of its own");
    } else {
        const Keyword* k = FindKeyword(key);
        if (!k) {
            return Fail(sectionName + ": unknown keyword \"" + key +
                        "\" (the driver reads LineRate, TerminalType, ConfigType, AnnexType, "
                        "AlwaysConnected, LineCode, CRC, FillByte, DataPolarity, ReadBurst, "
                        "WriteBurst, XmtQueueLen, RcvQueueLen and NetworkAddress; the simulator "
                        "reads firmware, line and tap)");
        }
        if (!DriverValue(a, *k, key, value)) return false;
        a.keyLines[k->name] = lineNumber;
    }
    return true;
}

bool Parser::LineKey(LineSettings& l, const std::string& key, const std::string& value) {
    std::string lower = Lower(key);
    uint64_t number = 0;
    double probability = 0;
    std::string why;
    if (lower == "delay_us") {
        if (!WholeNumber(value, 10 * 1000 * 1000, &number, &why)) {
            return Bad(key, value, why, "a whole number of microseconds, 0 to 10000000");
        }
        l.delayNs = static_cast<int64_t>(number) * 1000;
    } else if (lower == "seed") {
        if (!WholeNumber(value, UINT64_MAX, &number, &why)) {
            return Bad(key, value, why, "a whole number, 0 to " + std::to_string(UINT64_MAX));
        }
        l.seed = number;
    } else if (lower == "loss" || lower == "bit_errors") {
        if (!Probability(value, &probability)) {
            return Bad(key, value, "not a probability",
                       "a probability: a decimal number from 0 to 1 (such as 0.01 or 1e-6)");
        }
        (lower == "loss" ? l.loss : l.bitErrors) = probability;
    } else {
        return Fail(sectionName + ": unknown line keyword \"" + key +
                    "\" (delay_us, loss, bit_errors, seed)");
    }
    return true;
}

bool Parser::Assignment(const std::string& key, const std::string& value) {
    if (section == Section::None) {
        return Fail("\"" + key + "\" comes before any [adapter NAME] or [line NAME] section");
    }
    // Keys match without regard to case, as the registry matches them: two
    // spellings of one key are the same key given twice.
    std::string lower = Lower(key);
    auto seen = keysSeen.find(lower);
    if (seen != keysSeen.end()) {
        return Fail(sectionName + ": " + key + " is given twice (first on line " +
                    std::to_string(seen->second) + ")");
    }
    keysSeen[lower] = lineNumber;
    if (value.empty()) return Fail(sectionName + ": " + key + " = (nothing): no value");
    size_t quotes = 0;
    for (char c : value) quotes += c == '"';
    bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (quotes != 0 && !(quotes == 2 && quoted)) {
        return Fail(sectionName + ": " + key + " = " + value +
                    ": quotes go around the whole value, once");
    }
    if (section == Section::Adapter) return AdapterKey(config->adapters.back(), key, value);
    if (quoted) {
        return Fail(sectionName + ": " + key + " = " + value + ": a line's values are numbers");
    }
    return LineKey(config->lines.back(), key, value);
}

bool Parser::Line(const std::string& raw) {
    std::string text = Trim(StripComment(raw));
    if (text.empty()) return true;
    if (text.find('\0') != std::string::npos) return Fail("a NUL byte in the text");
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

const Keyword* FindKeyword(const std::string& name) {
    for (const Keyword& k : kKeywords) {
        if (Lower(k.name) == Lower(name)) return &k;
    }
    return nullptr;
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

// "FILE:LINE: adapter NAME: " for a key of an adapter (its section's line
// when the key was not given).
std::string AdapterWhere(const SimConfig& config, const AdapterSettings& a,
                         const std::string& key = "") {
    auto it = a.keyLines.find(key);
    int line = it != a.keyLines.end() ? it->second : a.definedAt;
    return config.Where(line) + "adapter " + a.name + ": ";
}

// The value the driver reads for a keyword: from a DWORD, or from a string
// NDIS reads as a number; none when absent.
bool DriverReads(const AdapterSettings& a, const char* keyword, uint32_t* value) {
    auto i = a.integers.find(keyword);
    if (i != a.integers.end()) {
        *value = i->second;
        return true;
    }
    auto s = a.strings.find(keyword);
    return s != a.strings.end() && NdisReadsAsInteger(s->second, value);
}

uint32_t DriverReadsOr(const AdapterSettings& a, const char* keyword, uint32_t fallback) {
    uint32_t value = fallback;
    DriverReads(a, keyword, &value);
    return value;
}

// The line code the driver derives from its line rate (in units of 8 kbit/s),
// as the value of "LineCode" that selects it (1..4).
uint32_t RateDerivedLineCodeValue(uint32_t rateUnits) {
    if (rateUnits < 128) return 4;
    if (rateUnits < 1152) return 3;
    if (rateUnits < 2560) return 2;
    return 1;
}

std::string RateNote(const AdapterSettings& a, uint32_t given) {
    uint32_t rounded = ((given >> 3) & 0x3FC) * 8;
    uint32_t configured = ConfiguredRateKbps(a);
    if (configured == given) return "";
    std::string note = "LineRate = " + std::to_string(given) + ": the driver configures " +
                       std::to_string(configured) + " kbit/s";
    std::vector<std::string> steps;
    if (rounded != given) {
        steps.push_back(given >= 8192
                            ? "it keeps a rate in 10 bits of 8 kbit/s, so " +
                                  std::to_string(given) + " becomes " + std::to_string(rounded)
                            : "it rounds a rate down to a multiple of 32 kbit/s (" +
                                  std::to_string(rounded) + ")");
    }
    bool adaptive = DriverReadsOr(a, "ConfigType", 0) != 0;
    bool central = DriverReadsOr(a, "TerminalType", 0) != 0;
    if (configured != rounded) {
        if (!adaptive) {
            steps.push_back("a fixed-rate end is kept within 64 to 6016 kbit/s");
        } else if (central) {
            steps.push_back(DriverReadsOr(a, "AnnexType", 1) == 3
                                ? "a rate-adaptive central end is kept within 192 to 5696 kbit/s "
                                  "(annex F/G)"
                                : "a rate-adaptive central end is kept within 192 to 2304 kbit/s "
                                  "(5696 with AnnexType 3)");
        } else {
            steps.push_back("a rate-adaptive remote end configures 192 kbit/s and trains at the "
                            "central end's rate");
        }
    }
    for (size_t i = 0; i < steps.size(); ++i) note += (i ? "; " : ": ") + steps[i];
    return note;
}

// What the driver does with one keyword's value, or "" when nothing special.
std::string KeywordNote(const AdapterSettings& a, const Keyword& k, uint32_t v) {
    std::string given = std::string(k.name) + " = " + std::to_string(v);
    switch (k.kind) {
    case KeywordKind::Rate: return RateNote(a, v);
    case KeywordKind::Flag:
        if (v <= 1) return "";
        return given + ": the driver takes any value other than 0 as 1 (" +
               std::string(k.takes).substr(std::string(k.takes).find(" or 1 (") + 7,
                                           std::string::npos);
    case KeywordKind::LineCode: {
        if (v <= 4) return "";
        uint32_t units = (DriverReadsOr(a, "LineRate", 2048) >> 3) & 0x3FC;
        return given + " is none of 0 to 4: the driver chooses the code from the line rate, as " +
               "for 0: code " + std::to_string(RateDerivedLineCodeValue(units));
    }
    case KeywordKind::Annex:
        if (v == 0 || v == 1 || v == 3) return "";
        if (v > 255) {
            return given + " is none of the Advanced page's annexes (0, 1, 3): the driver sends "
                           "the transceiver its low 8 bits, " + std::to_string(v & 0xFF) +
                   "; the far end must send the same";
        }
        return given + " is none of the Advanced page's annexes (0, 1, 3): the driver sends it "
                       "to the transceiver as it is; the far end must send the same";
    case KeywordKind::QueueLength:
        if (v == 0) {
            return given + ": the driver keeps its default, " + std::to_string(k.fallback) +
                   ", and writes an error log entry";
        }
        if (v > 127) {
            return given + " is more than the Advanced page offers (1 to 127): the driver "
                           "allocates that many buffers, and its ring holds at most 127 frames";
        }
        return "";
    case KeywordKind::Address: return "";
    }
    return "";
}

}  // namespace

std::string DriverKeyword(const std::string& keyword) {
    const Keyword* k = FindKeyword(keyword);
    return k ? k->name : "";
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (unsigned char c : name) {
        if (!isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

bool ReadRegularFile(const std::string& path, size_t limit, std::vector<uint8_t>* bytes,
                     std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (!ok) *error = path + ": " + strerror(errno);
    else if (S_ISDIR(st.st_mode)) *error = path + ": a directory, not a file";
    else if (!S_ISREG(st.st_mode)) *error = path + ": not a regular file";
    else if (static_cast<uint64_t>(st.st_size) > limit) {
        *error = path + ": " + std::to_string(st.st_size) + " bytes, more than the " +
                 std::to_string(limit) + " read";
    }
    ok = ok && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit;
    if (ok) {
        bytes->assign(static_cast<size_t>(st.st_size), 0);
        size_t done = 0;
        while (done < bytes->size()) {
            ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *error = path + ": " + (n < 0 ? strerror(errno) : "shorter than its size");
                ok = false;
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return ok;
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

std::string SimConfig::Where(int line) const {
    if (line <= 0) return "";
    return (file.empty() ? "line " : file + ":") + std::to_string(line) + ": ";
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
    std::string file = config->file;
    *config = SimConfig{};
    config->file = file;
    Parser parser{baseDirectory, config, error};
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        ++parser.lineNumber;
        if (!parser.Line(raw)) return false;
    }
    if (config->adapters.empty()) {
        *error = (file.empty() ? "" : file + ": ") +
                 "no [adapter NAME] section: a simulation needs at least one adapter";
        return false;
    }
    return true;
}

bool LoadConfig(const std::string& path, SimConfig* config, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!ReadRegularFile(path, kMaxConfigFile, &bytes, error)) {
        *error = "the configuration " + *error;
        return false;
    }
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
    config->file = path;
    return ParseConfig(std::string(bytes.begin(), bytes.end()), base.empty() ? "/" : base, config,
                       error);
}

std::string LineNameOf(const SimConfig& config, size_t index) {
    const AdapterSettings& a = config.adapters.at(index);
    if (a.line != kLoopbackLine || config.AdaptersOn(kLoopbackLine).size() == 1) return a.line;
    return std::string(kLoopbackLine) + ":" + a.name;
}

uint32_t ConfiguredRateKbps(const AdapterSettings& a) {
    uint32_t units = (DriverReadsOr(a, "LineRate", 2048) >> 3) & 0x3FC;
    auto within = [](uint32_t v, uint32_t low, uint32_t high) {
        return v < low ? low : v > high ? high : v;
    };
    if (DriverReadsOr(a, "ConfigType", 0) == 0) {
        units = within(units, 8, 752);
    } else if (DriverReadsOr(a, "TerminalType", 0) != 0) {
        units = within(units, 24, DriverReadsOr(a, "AnnexType", 1) == 3 ? 712 : 288);
    } else {
        units = 24;
    }
    return units * 8;
}

// Checks one adapter's line and firmware.
static bool ValidateAdapter(const SimConfig& config, const AdapterSettings& a,
                            std::string* error) {
    if (a.line.empty()) {
        *error = AdapterWhere(config, a) + "no line (line = NAME, or line = loopback)";
        return false;
    }
    size_t sharing = config.AdaptersOn(a.line).size();
    if (a.line == kLoopbackLine) {
        if (const LineSettings* l = config.FindLine(a.line)) {
            *error = config.Where(l->definedAt) +
                     "[line loopback]: \"loopback\" is reserved for a card whose far end echoes";
            return false;
        }
    } else if (int other = LoopbackNamed(config, a.line); other >= 0) {
        *error = AdapterWhere(config, a, "line") + "line " + a.line +
                 " is the name of adapter " + config.adapters[static_cast<size_t>(other)].name +
                 "'s loopback line";
        return false;
    } else if (sharing != 2) {
        std::string names;
        for (size_t i : config.AdaptersOn(a.line)) {
            names += (names.empty() ? "" : ", ") + config.adapters[i].name;
        }
        *error = AdapterWhere(config, a, "line") + "line " + a.line + " joins " +
                 std::to_string(sharing) + " adapter" + (sharing == 1 ? "" : "s") + " (" + names +
                 "); a line joins exactly two cards back to back (or use line = loopback)";
        return false;
    }
    if (!a.firmwarePath.empty()) {
        std::vector<uint8_t> image;
        std::string why;
        if (!ReadRegularFile(a.firmwarePath, kMaxFirmwareFile, &image, &why)) {
            *error = AdapterWhere(config, a, "firmware") + "firmware image " + why;
            return false;
        }
    }
    return true;
}

// Addresses of the adapters: no two the same.
static bool ValidateAddresses(const SimConfig& config, std::string* error) {
    std::map<std::string, const AdapterSettings*> owners;
    for (auto& a : config.adapters) {
        auto s = a.strings.find("NetworkAddress");
        uint8_t address[6];
        if (s == a.strings.end() || !ParseAddress(s->second, address)) continue;
        std::string text = AddressText(address);
        if (text == "00:00:00:00:00:00") continue;  // the driver makes one of its own
        auto [it, fresh] = owners.emplace(text, &a);
        if (!fresh) {
            *error = AdapterWhere(config, a, "NetworkAddress") + "NetworkAddress " + text +
                     " is adapter " + it->second->name + "'s too; each adapter needs its own";
            return false;
        }
    }
    return true;
}

bool ValidateConfig(const SimConfig& config, const ValidateOptions& options, std::string* error) {
    if (config.adapters.empty()) {
        *error = "no adapter: a simulation needs at least one";
        return false;
    }
    if (config.adapters.size() > kMaxAdapters) {
        *error = "at most " + std::to_string(kMaxAdapters) + " adapters in one simulation";
        return false;
    }
    std::set<std::string> names, taps, lines;
    for (auto& a : config.adapters) {
        if (!names.insert(a.name).second) {
            *error = AdapterWhere(config, a) + "the name " + a.name + " is used twice";
            return false;
        }
        if (!ValidName(a.name)) {
            *error = AdapterWhere(config, a) + "a name has 1 to " +
                     std::to_string(kMaxNameLength) + " letters, digits, '-', '_' or '.'";
            return false;
        }
        if (!taps.insert(a.tap).second) {
            *error = AdapterWhere(config, a, "tap") + "its TAP device name " + a.tap +
                     " is another adapter's too";
            return false;
        }
        // The default "zr48" + name may be longer than a Linux interface
        // name can be; that matters only when there are TAP devices.
        if (options.tap && (a.tap.empty() || a.tap.size() > 15)) {
            *error = AdapterWhere(config, a) + "its TAP device would be " + a.tap +
                     ", longer than a Linux interface name (15 characters); name one with "
                     "tap = ...";
            return false;
        }
        if (!ValidateAdapter(config, a, error)) return false;
    }
    for (auto& l : config.lines) {
        if (!lines.insert(l.name).second) {
            *error = config.Where(l.definedAt) + "line " + l.name + " is defined twice";
            return false;
        }
        if (config.AdaptersOn(l.name).empty()) {
            *error = config.Where(l.definedAt) + "line " + l.name +
                     " has no adapter on it (an adapter names it with line = " + l.name + ")";
            return false;
        }
    }
    return ValidateAddresses(config, error);
}

std::vector<std::string> DriverNotes(const SimConfig& config) {
    std::vector<std::string> notes;
    for (auto& a : config.adapters) {
        for (const Keyword& k : kKeywords) {
            uint32_t value = 0;
            if (!DriverReads(a, k.name, &value)) continue;
            std::string note = KeywordNote(a, k, value);
            if (!note.empty()) notes.push_back(AdapterWhere(config, a, k.name) + note);
        }
        auto s = a.strings.find("NetworkAddress");
        if (s != a.strings.end() && s->second.find_first_not_of('0') == std::string::npos) {
            notes.push_back(AdapterWhere(config, a, "NetworkAddress") +
                            "NetworkAddress = " + s->second +
                            ": an all-zero address counts as none: the driver makes one of its "
                            "own (00:FF:...) and writes it back");
        }
        uint32_t transmit = DriverReadsOr(a, "XmtQueueLen", 8);
        uint32_t receive = DriverReadsOr(a, "RcvQueueLen", 16);
        if (transmit == 0) transmit = 8;
        if (receive == 0) receive = 16;
        uint64_t slots = uint64_t{transmit} + receive;
        if (slots * kFrameSlotBytes > kMaxDword) {
            notes.push_back(AdapterWhere(config, a) + "XmtQueueLen + RcvQueueLen = " +
                            std::to_string(slots) + " buffers of " +
                            std::to_string(kFrameSlotBytes) +
                            " bytes do not fit 32 bits: the driver refuses to start "
                            "(NDIS_STATUS_RESOURCES)");
        }
    }
    return notes;
}

}  // namespace zr48sim
