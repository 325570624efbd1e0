// What the driver image loader (pe_image.cpp) and the emulation of what
// image code does that faults in user space (image_faults.cpp) share, and
// what tests and benchmarks reach of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {
namespace internal {

// Installs the SIGSEGV handler (internal_faults.h) that, among the rest,
// emulates device window accesses, the kernel's shared data page and cr8 for
// image code (once; a loaded image does it).
void InstallImageFaultHandler();
// Whether code outside any loaded image gets the same emulation (for tests
// that run compiled code against a device window; off by default, so that
// the driver built from source still faults on a stray dereference).
void EmulateOutsideImages(bool on);
// Instructions emulated so far, all threads.
uint64_t EmulatedInstructions();
// How many bytes of an executable section of a loaded image can be read at
// `address` (at most 15, an instruction's longest); 0 when none holds it.
size_t ImageCodeAvailable(uintptr_t address);

}  // namespace internal
}  // namespace host
