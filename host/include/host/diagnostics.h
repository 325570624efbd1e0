// What the driver tells the world: debugger messages and error log entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct ErrorLogEntry {
    const void* adapter;  // the NdisAdapterHandle given
    uint32_t code;
    std::vector<uint32_t> values;
};

std::vector<std::string> DebugMessages();
std::vector<ErrorLogEntry> ErrorLog();
void ClearDiagnostics();
// Echo debugger messages to stderr as they come (the simulator does).
void EchoDebugMessages(bool on);

}  // namespace host
