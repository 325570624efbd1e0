// Names and text for window accesses, for test messages and traces.
#include "cardmodel/access_log.h"

#include <cstdio>
#include <cstring>

#include "cardmodel/registers.h"

namespace cardmodel {

std::string WindowName(uint32_t offset) {
    static const char* const kRegisters[REGISTER_COUNT] = {
        "CR0", "CR1", "ISR", "IMR", "TX_HW_INDEX", "TX_SW_INDEX", "RX_HW_INDEX", "RX_SW_INDEX"};
    char name[48];
    if (offset < WINDOW_REGISTERS) {
        bool tx = offset < WINDOW_RX_RING;
        uint32_t inRing = offset - (tx ? WINDOW_TX_RING : WINDOW_RX_RING);
        unsigned slot = inRing / DESC_BYTES, byte = inRing % DESC_BYTES;
        const char* word = byte < DESC_WORD_CONTROL ? "address" : (tx ? "control" : "status");
        snprintf(name, sizeof name, "%s[%u].%s", tx ? "TX" : "RX", slot, word);
        if (byte % 4 != 0) snprintf(name + strlen(name), sizeof name - strlen(name), "+%u", byte % 4);
    } else if (offset < WINDOW_REGISTERS + REGISTER_COUNT) {
        snprintf(name, sizeof name, "%s", kRegisters[offset - WINDOW_REGISTERS]);
    } else if (offset >= WINDOW_MAILBOX && offset < WINDOW_SIZE) {
        snprintf(name, sizeof name, "MB+0x%02X", offset - WINDOW_MAILBOX);
    } else if (offset < WINDOW_SIZE) {
        snprintf(name, sizeof name, "unused+0x%03X", offset);
    } else {
        snprintf(name, sizeof name, "outside+0x%X", offset);
    }
    return name;
}

std::string Describe(const Access& access) {
    char text[96];
    const char* direction = access.write ? "W" : "R";
    if (access.width == 4) {
        snprintf(text, sizeof text, "%s32 %s=0x%08X", direction, WindowName(access.offset).c_str(),
                 access.value);
    } else {
        snprintf(text, sizeof text, "%s %s=0x%02X", direction, WindowName(access.offset).c_str(),
                 access.value);
    }
    std::string result = text;
    if (access.odd) result += " (odd)";
    return result;
}

std::vector<std::string> Describe(const std::vector<Access>& accesses) {
    std::vector<std::string> lines;
    lines.reserve(accesses.size());
    for (const Access& access : accesses) lines.push_back(Describe(access));
    return lines;
}

}  // namespace cardmodel
