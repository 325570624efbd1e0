// The variable arguments of the kernel's variadic functions (DbgPrint,
// NdisWriteErrorLogEntry), which callers pass with the Microsoft x64
// convention on x64 (NTAPI): read with the compiler's ms_va_list there.
#pragma once

#include <cstdarg>
#include <string>

namespace host {
namespace internal {

#if defined(__x86_64__)
using KernelVaList = __builtin_ms_va_list;
#define KERNEL_VA_START(list, last) __builtin_ms_va_start(list, last)
#define KERNEL_VA_END(list) __builtin_ms_va_end(list)
#define KERNEL_VA_ARG(list, type) __builtin_va_arg(list, type)
#else
using KernelVaList = va_list;
#define KERNEL_VA_START(list, last) va_start(list, last)
#define KERNEL_VA_END(list) va_end(list)
#define KERNEL_VA_ARG(list, type) va_arg(list, type)
#endif

// Formats as the kernel's DbgPrint does: printf conversions with the
// LLP64 sizes (%ld and %lx are 32 bits; %I64d, %lld and %llx 64; %Id and
// %Ix, %zd and %zx pointer-sized; %p a pointer), %s and %c, %S and %ws a
// wide (UTF-16) string, %wZ a UNICODE_STRING*. Wide characters outside
// ASCII come out as '?'. A conversion it does not know is copied as it is
// and takes no argument.
std::string FormatDbgPrint(const char* format, KernelVaList& args);

}  // namespace internal
}  // namespace host
