// The simulator's configuration file, whatever its text: no crash, no
// sanitizer report, no exception escaping (libFuzzer reports one as a
// crash), and a refusal is a clear message that names the file and the line
// and takes one line. A configuration that parses and validates gives every
// adapter a line rate the driver can configure and a line, and notes of one
// line each for its special values.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_rig.h"
#include "sim/config.h"

namespace {

const char kFile[] = "fuzz.conf";

std::string Shown(const std::string& text) { return text.substr(0, 200); }

void CheckRefusal(const char* what, const std::string& error, const char* prefix) {
    if (error.empty()) fuzz::Fail("%s was refused with no message", what);
    if (error.find('\n') != std::string::npos) {
        fuzz::Fail("%s was refused with a message of more than one line: %s", what,
                   Shown(error).c_str());
    }
    if (prefix && error.compare(0, strlen(prefix), prefix) != 0) {
        fuzz::Fail("%s was refused with a message that does not say where (%s): %s", what, prefix,
                   Shown(error).c_str());
    }
}

void Configuration(const std::string& text) {
    zr48sim::SimConfig config;
    config.file = kFile;
    std::string error;
    // Relative firmware paths lead nowhere: the file names an input holds are
    // checked as names, and a real file is read only when it names one.
    if (!zr48sim::ParseConfig(text, "/nonexistent-zr48-fuzz", &config, &error)) {
        CheckRefusal("a configuration", error, "fuzz.conf:");
        return;
    }
    if (config.adapters.empty() || config.adapters.size() > zr48sim::kMaxAdapters) {
        fuzz::Fail("a configuration parsed with %zu adapters", config.adapters.size());
    }
    for (bool tap : {false, true}) {
        error.clear();
        if (!zr48sim::ValidateConfig(config, zr48sim::ValidateOptions{tap}, &error)) {
            CheckRefusal("a parsed configuration", error, nullptr);
            return;
        }
    }
    for (const std::string& note : zr48sim::DriverNotes(config)) {
        if (note.empty() || note.find('\n') != std::string::npos) {
            fuzz::Fail("a note on the configuration is empty or not one line: %s",
                       Shown(note).c_str());
        }
    }
    for (size_t i = 0; i < config.adapters.size(); ++i) {
        // The driver configures 8 to 752 units of 8 kbit/s, whatever the
        // registry holds.
        uint32_t rate = zr48sim::ConfiguredRateKbps(config.adapters[i]);
        if (rate < 64 || rate > 6016 || rate % 8 != 0) {
            fuzz::Fail("adapter %s: a configured rate of %u kbit/s",
                       config.adapters[i].name.c_str(), rate);
        }
        if (zr48sim::LineNameOf(config, i).empty()) {
            fuzz::Fail("adapter %s is on no line", config.adapters[i].name.c_str());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Configuration(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
