// The registry of live miniports, by their NDIS handle (see internal.h).
#include <map>
#include <mutex>

#include "internal.h"

namespace host {
namespace internal {
namespace {
std::mutex mu;
std::map<NDIS_HANDLE, MiniportHandlers> miniports;

void Forget() {
    std::lock_guard<std::mutex> lock(mu);
    miniports.clear();
}
const bool registered = (RegisterResetHook(Forget), true);
}  // namespace

void RegisterMiniport(NDIS_HANDLE handle, const MiniportHandlers& handlers) {
    std::lock_guard<std::mutex> lock(mu);
    miniports[handle] = handlers;
}

void UpdateMiniportContext(NDIS_HANDLE handle, NDIS_HANDLE adapterContext) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = miniports.find(handle);
    if (it != miniports.end()) it->second.adapterContext = adapterContext;
}

void UnregisterMiniport(NDIS_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mu);
    miniports.erase(handle);
}

bool LookupMiniport(NDIS_HANDLE handle, MiniportHandlers* handlers) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = miniports.find(handle);
    if (it == miniports.end()) return false;
    *handlers = it->second;
    return true;
}

}  // namespace internal
}  // namespace host
