// The upper edge, status: what a miniport indicates with NdisMIndicateStatus
// and NdisMIndicateStatusComplete, recorded and passed to the protocols'
// callback (see host/miniport.h).
#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

void RecordStatus(const std::shared_ptr<MiniportState>& state, StatusIndication indication) {
    EnterProtocol(*state);  // its status handler takes its lock
    std::function<void(const StatusIndication&)> callback;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->recording) state->statuses.push_back(indication);
        callback = state->callbacks.status;
    }
    if (callback) callback(indication);
}

}  // namespace
}  // namespace internal

std::vector<StatusIndication> Miniport::StatusIndications() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->statuses;
}

void Miniport::OnStatus(std::function<void(const StatusIndication&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.status = std::move(callback);
}

}  // namespace host

// ---------------------------------------------------------------------------
// The NDIS calls
// ---------------------------------------------------------------------------
using host::internal::AdapterFor;
using host::internal::Use;

void NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize) {
    host::RequireIrql("NdisMIndicateStatus", PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(MiniportAdapterHandle, "NdisMIndicateStatus", Use::Call);
    if (!state) return;
    std::vector<uint8_t> buffer;
    if (StatusBufferSize && !StatusBuffer) {
        host::Violation("NdisMIndicateStatus: %u bytes of status buffer at NULL", StatusBufferSize);
    } else if (StatusBufferSize) {
        auto* bytes = static_cast<const uint8_t*>(StatusBuffer);
        buffer.assign(bytes, bytes + StatusBufferSize);
    }
    host::internal::RecordStatus(state, {false, GeneralStatus, buffer, host::Now()});
}

void NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    host::RequireIrql("NdisMIndicateStatusComplete", PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(MiniportAdapterHandle, "NdisMIndicateStatusComplete", Use::Call);
    if (state) host::internal::RecordStatus(state, {true, NDIS_STATUS_SUCCESS, {}, host::Now()});
}
