// Loading a miniport driver: DriverEntry, the NDIS wrapper and the
// registration of the handler table (see host/miniport.h).
#include <algorithm>

#include "host/image.h"
#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

std::mutex mu;
std::vector<std::weak_ptr<DriverState>> drivers;  // loading or loaded images

void Forget() {
    std::lock_guard<std::mutex> lock(mu);
    drivers.clear();
}
const bool registered = (RegisterResetHook(Forget), true);

template <typename Match>
std::shared_ptr<DriverState> FindDriver(Match match) {
    std::lock_guard<std::mutex> lock(mu);
    for (auto& weak : drivers) {
        auto driver = weak.lock();
        if (driver && match(*driver)) return driver;
    }
    return nullptr;
}

void ForgetDriver(DriverState* state) {
    std::lock_guard<std::mutex> lock(mu);
    drivers.erase(std::remove_if(drivers.begin(), drivers.end(),
                                 [&](const std::weak_ptr<DriverState>& weak) {
                                     auto d = weak.lock();
                                     return !d || d.get() == state;
                                 }),
                  drivers.end());
}

// The driver whose open wrapper `handle` is; null after a violation.
std::shared_ptr<DriverState> OpenWrapper(NDIS_HANDLE handle, const char* function) {
    auto driver = FindDriver([&](DriverState& d) { return &d.wrapperToken == handle; });
    if (!driver) {
        Violation("%s(%p): not a handle from NdisInitializeWrapper", function, handle);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(driver->mu);
    if (!driver->wrapperOpen) {
        Violation("%s(%p): the wrapper has been terminated", function, handle);
        return nullptr;
    }
    return driver;
}

// Why NDIS 5.0 would refuse the table, or NDIS_STATUS_SUCCESS.
NDIS_STATUS CheckCharacteristics(const NDIS50_MINIPORT_CHARACTERISTICS* c, UINT length) {
    if (!c) return NDIS_STATUS_BAD_CHARACTERISTICS;
    const NDIS30_MINIPORT_CHARACTERISTICS& v30 = c->Ndis40Chars.Ndis30Chars;
    if (length != sizeof(NDIS50_MINIPORT_CHARACTERISTICS) || v30.MajorNdisVersion != 5 ||
        v30.MinorNdisVersion != 0) {
        return NDIS_STATUS_BAD_VERSION;
    }
    bool canSend = v30.SendHandler || c->Ndis40Chars.SendPacketsHandler;
    if (!v30.InitializeHandler || !v30.HaltHandler || !v30.QueryInformationHandler ||
        !v30.SetInformationHandler || !v30.ResetHandler || !canSend) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    return NDIS_STATUS_SUCCESS;
}

}  // namespace
}  // namespace internal

// ---------------------------------------------------------------------------
// Driver
// ---------------------------------------------------------------------------
Driver::Driver(DriverEntryFunction entry, const std::string& serviceName)
    : state_(std::make_shared<internal::DriverState>()) {
    std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
    state_->entry = entry;
    state_->registryPath.assign(path.begin(), path.end());
    auto bytes = static_cast<USHORT>(state_->registryPath.size() * sizeof(WCHAR));
    state_->registryPathString = {bytes, bytes, &state_->registryPath[0]};
    state_->object.host = state_.get();
}

Driver::Driver(std::shared_ptr<DriverImage> image, const std::string& serviceName)
    : Driver(image ? reinterpret_cast<DriverEntryFunction>(image->EntryPoint()) : nullptr,
             serviceName) {
    if (!image) FatalViolation("host::Driver: no image (it failed to load?)");
    state_->image = std::move(image);
}

Driver::~Driver() { internal::ForgetDriver(state_.get()); }

const DriverImage* Driver::Image() const { return state_->image.get(); }

NDIS_STATUS Driver::Load() {
    RequireIrql("Driver::Load", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (Loaded()) {
        Violation("Driver::Load: the driver is already loaded");
        return NDIS_STATUS_FAILURE;
    }
    internal::ForgetDriver(state_.get());  // a load that failed before
    {
        std::lock_guard<std::mutex> lock(internal::mu);
        internal::drivers.push_back(state_);
    }
    NTSTATUS status = NDIS_STATUS_FAILURE;
    RunAtIrql(PASSIVE_LEVEL, "DriverEntry", [&] {
        status = state_->entry(&state_->object, &state_->registryPathString);
    });
    std::lock_guard<std::mutex> lock(state_->mu);
    if (status != NDIS_STATUS_SUCCESS) {
        // The image goes away at once; a wrapper it left open would leak.
        if (state_->wrapperOpen) {
            Violation("DriverEntry failed (0x%08X) without NdisTerminateWrapper",
                      static_cast<unsigned>(status));
        }
        state_->wrapperOpen = false;
        state_->registered = false;
        return status;
    }
    if (!state_->registered) {
        Violation("DriverEntry succeeded but no miniport is registered");
    }
    state_->loaded = true;
    return status;
}

void Driver::Unload() {
    RequireIrql("Driver::Unload", PASSIVE_LEVEL, PASSIVE_LEVEL);
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        if (!state_->loaded) {
            Violation("Driver::Unload: the driver is not loaded");
            return;
        }
        if (state_->liveAdapters) {
            Violation("Driver::Unload: %d adapter(s) of the driver have not been halted",
                      state_->liveAdapters);
            return;
        }
        state_->loaded = false;
        state_->wrapperOpen = false;
        state_->registered = false;
    }
    internal::ForgetDriver(state_.get());
}

bool Driver::Loaded() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->loaded;
}

bool Driver::Registered() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->registered;
}

NDIS_STATUS Driver::RegistrationStatus() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->registrationStatus;
}

NDIS50_MINIPORT_CHARACTERISTICS Driver::Characteristics() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->characteristics;
}

}  // namespace host

// ---------------------------------------------------------------------------
// The NDIS calls
// ---------------------------------------------------------------------------
using host::internal::DriverState;

void NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                           PVOID SystemSpecific2, PVOID SystemSpecific3) {
    UNREFERENCED_PARAMETER(SystemSpecific2);
    UNREFERENCED_PARAMETER(SystemSpecific3);
    host::RequireIrql("NdisInitializeWrapper", PASSIVE_LEVEL, PASSIVE_LEVEL);
    *NdisWrapperHandle = nullptr;
    auto* object = static_cast<PDRIVER_OBJECT>(SystemSpecific1);
    auto driver = host::internal::FindDriver(
        [&](DriverState& d) { return &d.object == object; });
    if (!driver) {
        host::Violation("NdisInitializeWrapper: %p is not the driver object of a driver being "
                        "loaded", SystemSpecific1);
        return;
    }
    std::lock_guard<std::mutex> lock(driver->mu);
    if (driver->wrapperOpen) {
        host::Violation("NdisInitializeWrapper: the driver's wrapper is already open");
        return;
    }
    driver->wrapperOpen = true;
    *NdisWrapperHandle = &driver->wrapperToken;
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS50_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength) {
    host::RequireIrql("NdisMRegisterMiniport", PASSIVE_LEVEL, PASSIVE_LEVEL);
    auto driver = host::internal::OpenWrapper(NdisWrapperHandle, "NdisMRegisterMiniport");
    if (!driver) return NDIS_STATUS_FAILURE;
    NDIS_STATUS status =
        host::internal::CheckCharacteristics(MiniportCharacteristics, CharacteristicsLength);
    std::lock_guard<std::mutex> lock(driver->mu);
    if (status == NDIS_STATUS_SUCCESS && driver->registered) {
        host::Violation("NdisMRegisterMiniport: the driver has registered a miniport already");
        status = NDIS_STATUS_FAILURE;
    }
    driver->registrationStatus = status;
    if (status == NDIS_STATUS_SUCCESS) {
        driver->characteristics = *MiniportCharacteristics;
        driver->registered = true;
    }
    return status;
}

void NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific) {
    UNREFERENCED_PARAMETER(SystemSpecific);
    host::RequireIrql("NdisTerminateWrapper", PASSIVE_LEVEL, PASSIVE_LEVEL);
    auto driver = host::internal::OpenWrapper(NdisWrapperHandle, "NdisTerminateWrapper");
    if (!driver) return;
    std::lock_guard<std::mutex> lock(driver->mu);
    if (driver->liveAdapters) {
        host::Violation("NdisTerminateWrapper: %d adapter(s) of the driver are running",
                        driver->liveAdapters);
        return;
    }
    driver->wrapperOpen = false;
    driver->registered = false;
}
