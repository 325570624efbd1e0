// The process's one SIGSEGV handler (faults.cpp). Special pool and the
// emulation of what driver image code does each decide whether a fault is
// theirs; the handler asks them in a fixed order, so that which of them was
// set up first does not change who takes a fault:
//   1. an access to a guarded block's guard page or to a freed block: special
//      pool's report (special_pool.cpp), whoever made it, image code too;
//   2. image code (or, for tests, any code) on a device window, the kernel's
//      shared data page or cr8: emulated and stepped over (image_faults.cpp);
//   3. any other fault of image code: a fatal violation naming the image
//      offset and the nearest symbol;
//   4. anything else: the handler that was there before (the default action,
//      or a sanitizer's).
#pragma once

#include <signal.h>

#include <cstdint>

namespace host {
namespace internal {

// Installs the handler (once; later calls do nothing).
void InstallFaultHandler();

// Each part's share, called by the handler on the faulting thread; true when
// the fault was taken and the access may be retried or was stepped over.
// They allocate nothing and take no lock that the faulting thread may hold.
bool TakeGuardFault(uintptr_t address, const void* context);
bool TakeEmulatedFault(void* context);
// Does not return when the fault is image code's (a fatal violation);
// returns when it is not.
void ReportImageFault(const siginfo_t* info, const void* context);

}  // namespace internal
}  // namespace host
