// A device window of 4 KB of plain storage that logs every access, for the
// tests of the bus and of image code's emulated accesses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/bus.h"

namespace testing_support {

class LoggingDevice : public host::MmioDevice {
public:
    uint8_t bytes[4096] = {};
    std::vector<std::string> log;

    uint8_t Read8(uint32_t offset) override {
        Note("r8", offset, bytes[offset]);
        return bytes[offset];
    }
    void Write8(uint32_t offset, uint8_t value) override {
        Note("w8", offset, value);
        bytes[offset] = value;
    }
    uint32_t Read32(uint32_t offset) override {
        uint32_t v;
        memcpy(&v, bytes + offset, 4);
        Note("r32", offset, v);
        return v;
    }
    void Write32(uint32_t offset, uint32_t value) override {
        Note("w32", offset, value);
        memcpy(bytes + offset, &value, 4);
    }

private:
    void Note(const char* what, uint32_t offset, uint32_t value) {
        char s[48];
        snprintf(s, sizeof s, "%s %03x %x", what, offset, value);
        log.push_back(s);
    }
};

}  // namespace testing_support
