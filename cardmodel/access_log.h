// The card's record of every access the driver made to its window: register,
// mailbox and descriptor reads and writes, in order, with the time. Tests use
// it to check exact access sequences.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cardmodel {

struct Access {
    int64_t time;     // environment time, ns
    uint32_t offset;  // from the window base
    uint8_t width;    // 1 or 4 bytes
    bool write;
    uint32_t value;
    bool odd;         // a width or place the driver has no business using
};

// The name of a window offset: "CR0", "ISR", "MB+0x56", "TX[3].control",
// "RX[0].address", "unused+0x010", "outside+0x000".
std::string WindowName(uint32_t offset);
// One access as "W CR0=0x80", "R ISR=0x21" or "W32 TX[3].control=0x0000803C";
// odd accesses end in " (odd)".
std::string Describe(const Access& access);
std::vector<std::string> Describe(const std::vector<Access>& accesses);

}  // namespace cardmodel
