// DbgPrint and NdisWriteErrorLogEntry, captured for tests and the simulator;
// RtlAssert, which makes a failed ASSERT a verifier violation.
#include "host/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/verifier.h"
#include "host/world.h"
#include "internal_varargs.h"

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

namespace internal {
namespace {

std::string Narrow(const WCHAR* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return out;
}

size_t WideLength(const WCHAR* text) {
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

}  // namespace

std::string FormatDbgPrint(const char* format, KernelVaList& args) {
    std::string out;
    const char* f = format;
    while (*f) {
        if (*f != '%') {
            out += *f++;
            continue;
        }
        const char* start = f++;
        if (*f == '%') {
            out += '%';
            ++f;
            continue;
        }
        std::string directive = "%";
        while (*f && strchr("-+ #0", *f)) directive += *f++;
        for (int part = 0; part < 2; ++part) {  // width, then precision
            if (part == 1) {
                if (*f != '.') break;
                directive += *f++;
            }
            if (*f == '*') {
                directive += std::to_string(KERNEL_VA_ARG(args, int));
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') directive += *f++;
            }
        }
        enum { kInt, kWide64, kPointerSized, kShort, kChar } size = kInt;
        bool wide = false;
        if (strncmp(f, "I64", 3) == 0) {
            size = kWide64;
            f += 3;
        } else if (strncmp(f, "I32", 3) == 0) {
            f += 3;
        } else if (*f == 'I' || *f == 'z') {
            size = kPointerSized;
            ++f;
        } else if (strncmp(f, "ll", 2) == 0) {
            size = kWide64;
            f += 2;
        } else if (*f == 'l' || *f == 'w') {
            wide = true;  // %ld is 32 bits on Windows; %ls and %ws are wide strings
            ++f;
        } else if (strncmp(f, "hh", 2) == 0) {
            size = kChar;
            f += 2;
        } else if (*f == 'h') {
            size = kShort;
            ++f;
        }
        char conversion = *f;
        if (!conversion) {
            out += start;
            break;
        }
        ++f;
        char text[128];
        text[0] = 0;
        switch (conversion) {
        case 'd':
        case 'i': {
            long long v = (size == kWide64 || size == kPointerSized)
                              ? KERNEL_VA_ARG(args, long long)
                              : KERNEL_VA_ARG(args, int);
            if (size == kShort) v = static_cast<short>(v);
            if (size == kChar) v = static_cast<signed char>(v);
            snprintf(text, sizeof text, (directive + "lld").c_str(), v);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long v = (size == kWide64 || size == kPointerSized)
                                       ? KERNEL_VA_ARG(args, unsigned long long)
                                       : KERNEL_VA_ARG(args, unsigned);
            if (size == kShort) v = static_cast<unsigned short>(v);
            if (size == kChar) v = static_cast<unsigned char>(v);
            snprintf(text, sizeof text, (directive + "ll" + conversion).c_str(), v);
            break;
        }
        case 'c':
            snprintf(text, sizeof text, (directive + "c").c_str(), KERNEL_VA_ARG(args, int) & 0xFF);
            break;
        case 'p':
            snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                     static_cast<unsigned long long>(
                         reinterpret_cast<uintptr_t>(KERNEL_VA_ARG(args, void*))));
            break;
        case 's':
        case 'S': {
            std::string string;
            if (wide || conversion == 'S') {
                const WCHAR* w = KERNEL_VA_ARG(args, const WCHAR*);
                string = w ? Narrow(w, WideLength(w)) : "(null)";
            } else {
                const char* c = KERNEL_VA_ARG(args, const char*);
                string = c ? c : "(null)";
            }
            out += string;  // width and precision on strings are not needed by anyone
            continue;
        }
        case 'Z': {
            const UNICODE_STRING* u = KERNEL_VA_ARG(args, const UNICODE_STRING*);
            out += (u && u->Buffer) ? Narrow(u->Buffer, u->Length / sizeof(WCHAR)) : "(null)";
            continue;
        }
        default:
            out.append(start, f);  // unknown: as written, no argument taken
            continue;
        }
        out += text;
    }
    return out;
}

}  // namespace internal
}  // namespace host

ULONG DbgPrint(const char* Format, ...) {
    host::internal::KernelVaList args;
    KERNEL_VA_START(args, Format);
    std::string text = host::internal::FormatDbgPrint(Format, args);
    KERNEL_VA_END(args);
    std::lock_guard<std::mutex> lock(host::mu);
    host::messages.push_back(text);
    if (host::echo) fprintf(stderr, "DbgPrint: %s", text.c_str());
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
    host::internal::KernelVaList args;
    KERNEL_VA_START(args, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues; ++i) {
        entry.values.push_back(KERNEL_VA_ARG(args, ULONG));
    }
    KERNEL_VA_END(args);
    std::lock_guard<std::mutex> lock(host::mu);
    host::errorLog.push_back(entry);
}
