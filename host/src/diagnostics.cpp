// DbgPrint and NdisWriteErrorLogEntry, captured for tests and the simulator;
// RtlAssert, which makes a failed ASSERT a verifier violation.
#include "host/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/verifier.h"
#include "host/world.h"

namespace host {
namespace {
std::mutex mu;
std::vector<std::string> messages;
std::vector<ErrorLogEntry> errorLog;
bool echo = false;
}  // namespace

std::vector<std::string> DebugMessages() {
    std::lock_guard<std::mutex> lock(mu);
    return messages;
}

std::vector<ErrorLogEntry> ErrorLog() {
    std::lock_guard<std::mutex> lock(mu);
    return errorLog;
}

void ClearDiagnostics() {
    std::lock_guard<std::mutex> lock(mu);
    messages.clear();
    errorLog.clear();
}

void EchoDebugMessages(bool on) {
    std::lock_guard<std::mutex> lock(mu);
    echo = on;
}

}  // namespace host

ULONG DbgPrint(const char* Format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, Format);
    vsnprintf(buffer, sizeof buffer, Format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(host::mu);
    host::messages.emplace_back(buffer);
    if (host::echo) fprintf(stderr, "DbgPrint: %s", buffer);
    return 0;
}

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    const char* file = static_cast<const char*>(FileName);
    const char* base = strrchr(file, '/');
    host::Violation("assertion failed: %s (%s:%u)%s%s", static_cast<const char*>(FailedAssertion),
                    base ? base + 1 : file, static_cast<unsigned>(LineNumber), Message ? ": " : "",
                    Message ? Message : "");
}

void NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...) {
    host::RequireIrql("NdisWriteErrorLogEntry", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (!NdisAdapterHandle) host::Violation("NdisWriteErrorLogEntry: no adapter handle");
    host::ErrorLogEntry entry{NdisAdapterHandle, ErrorCode, {}};
    va_list args;
    va_start(args, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues; ++i) entry.values.push_back(va_arg(args, ULONG));
    va_end(args);
    std::lock_guard<std::mutex> lock(host::mu);
    host::errorLog.push_back(entry);
}
