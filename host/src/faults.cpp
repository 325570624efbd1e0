// The process's one SIGSEGV handler: see internal_faults.h for the order in
// which it hands a fault on.
#include <signal.h>

#include <cstring>
#include <mutex>

#include "internal_faults.h"

namespace host {
namespace internal {
namespace {

struct sigaction previous;

void PassOn(int signal, siginfo_t* info, void* context) {
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // None of ours: the access faults again with the default action.
    sigaction(SIGSEGV, &previous, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* context) {
    // A general protection fault (a privileged instruction, a non-canonical
    // address) gives no address: it can be no guarded block's.
    if (info->si_code != SI_KERNEL &&
        TakeGuardFault(reinterpret_cast<uintptr_t>(info->si_addr), context)) {
        return;
    }
    if (TakeEmulatedFault(context)) return;
    ReportImageFault(info, context);
    PassOn(signal, info, context);
}

}  // namespace

void InstallFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        // SA_NODEFER: an emulated device access may fault in turn (the device
        // model writing into a guarded block), and that fault is special
        // pool's.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previous);
    });
}

}  // namespace internal
}  // namespace host
