// The upper edge, information requests: one at a time, as NDIS makes them,
// to MiniportQueryInformation or MiniportSetInformation at DISPATCH_LEVEL;
// refused during a reset; completed by the handler's return or, when it
// pends, by NdisM*InformationComplete, once; the information buffer guarded
// against a handler that writes past it. The packet filter and multicast
// list set last are set again after an addressing reset (see
// host/miniport.h).
#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

// True the first time the guard after the buffer is found written. Caller
// holds the adapter's mu.
bool NewOverrun(RequestRecord& r) {
    if (r.overrunReported) return false;
    for (size_t i = 0; i < r.buffer.size(); ++i) {
        if (i == r.offset) i += r.length;
        if (i < r.buffer.size() && r.buffer[i] != kRequestGuardByte) {
            r.overrunReported = true;
            return true;
        }
    }
    return false;
}

void ReportOverrun(bool query, NDIS_OID oid, ULONG length) {
    Violation("the %s handler for OID 0x%08X wrote past the end of its %u-byte information "
              "buffer (or before its start)", query ? "query" : "set", oid, length);
}

RequestResult ResultOf(const RequestRecord& r) {
    RequestResult result;
    result.issued = true;
    result.pended = r.pended;
    result.completed = r.completed && !r.inHandler;
    result.status = result.completed ? r.status : NDIS_STATUS_PENDING;
    result.bytesDone = r.bytesDone;
    result.bytesNeeded = r.bytesNeeded;
    auto start = r.buffer.begin() + static_cast<ptrdiff_t>(r.offset);
    result.buffer.assign(start, start + r.length);
    return result;
}

// Remembers what NDIS would set again after an addressing reset, and the
// filter that decides whether a receive comes too early (lock held).
void NoteSetDone(MiniportState& s, const RequestRecord& r) {
    if (r.query || r.status != NDIS_STATUS_SUCCESS) return;
    auto start = r.buffer.begin() + static_cast<ptrdiff_t>(r.offset);
    std::vector<uint8_t> bytes(start, start + r.length);
    if (r.oid == OID_GEN_CURRENT_PACKET_FILTER && r.length == 4) {
        s.packetFilter = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                         static_cast<ULONG>(bytes[3]) << 24;
        s.filterSet = bytes;
        s.haveFilterSet = true;
    } else if (r.oid == OID_802_3_MULTICAST_LIST) {
        s.multicastSet = bytes;
        s.haveMulticastSet = true;
    }
}

bool RequestOutstanding(const MiniportState& s) {
    return s.request && (!s.request->completed || s.request->inHandler);
}

void CompleteRequest(NDIS_HANDLE handle, NDIS_STATUS status, bool query, const char* function) {
    RequireIrql(function, PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(handle, function, Use::Completion);
    if (!state) return;
    if (status == NDIS_STATUS_PENDING) {
        Violation("%s: NDIS_STATUS_PENDING is not a completion status", function);
        return;
    }
    const char* problem = nullptr;
    RequestResult result;
    std::function<void(const RequestResult&)> callback;
    bool overrun = false;
    NDIS_OID oid = 0;
    ULONG length = 0;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        RequestRecord* r = state->request.get();
        if (!r || (!r->pended && !r->inHandler)) {
            problem = "no request is pending";
        } else if (r->completions) {
            problem = "the request has been completed already";
        } else if (r->query != query) {
            problem = query ? "the pending request is a set" : "the pending request is a query";
        } else {
            ++r->completions;
            r->completed = true;
            r->status = status;
            overrun = NewOverrun(*r);
            oid = r->oid;
            length = r->length;
            if (!r->inHandler) {  // otherwise the handler's return finishes it
                NoteSetDone(*state, *r);
                result = ResultOf(*r);
                callback = state->callbacks.requestComplete;
            }
        }
    }
    if (problem) {
        Violation("%s(%p): %s", function, handle, problem);
        return;
    }
    if (overrun) ReportOverrun(query, oid, length);
    if (callback) callback(result);
}

// Starts a request unless NDIS would not pass it on now; otherwise null,
// with the status the protocol gets in *refusal.
RequestRecord* OpenRequest(MiniportState& s, bool query, NDIS_OID oid, std::vector<uint8_t> buffer,
                           NDIS_HANDLE* context, NDIS_STATUS* refusal) {
    const char* what = query ? "Miniport::Query" : "Miniport::Set";
    std::unique_lock<std::mutex> lock(s.mu);
    *refusal = NDIS_STATUS_FAILURE;
    if (s.resetting) {
        *refusal = NDIS_STATUS_RESET_IN_PROGRESS;  // what NDIS tells a protocol
        return nullptr;
    }
    if (s.phase != Phase::Running) {
        lock.unlock();
        Violation("%s(OID 0x%08X): the adapter is not running", what, oid);
        return nullptr;
    }
    if (RequestOutstanding(s)) {
        NDIS_OID outstanding = s.request->oid;
        lock.unlock();
        Violation("%s(OID 0x%08X): the request for OID 0x%08X is outstanding; NDIS makes one "
                  "request at a time", what, oid, outstanding);
        return nullptr;
    }
    auto record = std::make_unique<RequestRecord>();
    record->query = query;
    record->oid = oid;
    record->length = static_cast<ULONG>(buffer.size());
    record->offset = s.requestOffset;
    record->buffer = std::move(buffer);
    // Also a real address for 0 bytes.
    record->buffer.insert(record->buffer.end(), kRequestGuard, kRequestGuardByte);
    record->buffer.insert(record->buffer.begin(), record->offset, kRequestGuardByte);
    RequestRecord* r = record.get();
    s.request = std::move(record);
    *context = s.context;
    BeginCall(s, Call::Request);
    return r;
}

// The handler has returned `status` for request `r`; the call ends once
// the record says so, before the protocol hears of it.
RequestResult FinishRequest(const std::shared_ptr<MiniportState>& state, RequestRecord* r,
                            NDIS_STATUS status) {
    bool completedUnpended = false;
    NDIS_OID oid = r->oid;
    bool query = r->query;
    ULONG length = r->length;
    bool overrun;
    RequestResult result;
    std::function<void(const RequestResult&)> callback;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        r->inHandler = false;
        if (status == NDIS_STATUS_PENDING) {
            r->pended = true;
            // A completion from another processor may have come first.
            if (r->completed) callback = state->callbacks.requestComplete;
        } else {
            completedUnpended = r->completions != 0;
            r->completed = true;
            r->status = status;
        }
        if (r->completed) NoteSetDone(*state, *r);
        overrun = NewOverrun(*r);
        result = ResultOf(*r);
    }
    EndCall(*state, Call::Request);
    if (completedUnpended) {
        Violation("the request for OID 0x%08X was completed with NdisM%sInformationComplete "
                  "although its handler did not return NDIS_STATUS_PENDING",
                  oid, query ? "Query" : "Set");
    }
    if (overrun) ReportOverrun(query, oid, length);
    if (callback) callback(result);
    return result;
}

}  // namespace
}  // namespace internal

using internal::MiniportState;

RequestResult Miniport::Query(NDIS_OID oid, ULONG bufferLength) {
    return Issue(true, oid, std::vector<uint8_t>(bufferLength, kInformationPattern));
}

RequestResult Miniport::Query(NDIS_OID oid, const std::vector<uint8_t>& contents) {
    return Issue(true, oid, contents);
}

RequestResult Miniport::Set(NDIS_OID oid, const std::vector<uint8_t>& bytes) {
    return Issue(false, oid, bytes);
}

RequestResult Miniport::Issue(bool query, NDIS_OID oid, std::vector<uint8_t> buffer) {
    std::shared_ptr<MiniportState> state = state_;
    RequestResult refused;
    NDIS_HANDLE context = nullptr;
    internal::RequestRecord* r =
        internal::OpenRequest(*state, query, oid, std::move(buffer), &context, &refused.status);
    if (!r) return refused;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    auto& v30 = state->handlers.Ndis40Chars.Ndis30Chars;
    RunAtIrql(internal::AtLeastCurrent(DISPATCH_LEVEL),
              query ? "MiniportQueryInformation" : "MiniportSetInformation", [&] {
                  PVOID information = r->buffer.data() + r->offset;
                  status = query ? v30.QueryInformationHandler(context, oid, information,
                                                               r->length, &r->bytesDone,
                                                               &r->bytesNeeded)
                                 : v30.SetInformationHandler(context, oid, information,
                                                             r->length, &r->bytesDone,
                                                             &r->bytesNeeded);
              });
    return internal::FinishRequest(state, r, status);
}

void Miniport::SetInformationBufferOffset(size_t offset) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->requestOffset = offset % 8;
}

bool Miniport::RequestPending() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return internal::RequestOutstanding(*state_);
}

RequestResult Miniport::WaitForRequest(Nanoseconds limit) {
    std::shared_ptr<MiniportState> state = state_;
    RunUntil(
        [&] {
            std::lock_guard<std::mutex> lock(state->mu);
            return !internal::RequestOutstanding(*state);
        },
        limit);
    return LastRequest();
}

RequestResult Miniport::LastRequest() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->request ? internal::ResultOf(*state_->request) : RequestResult{};
}

void Miniport::OnRequestComplete(std::function<void(const RequestResult&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.requestComplete = std::move(callback);
}

// NDIS sets the packet filter and multicast list again after a reset that
// lost the adapter's addressing. One request at a time: a replay that pends
// is waited for before the next.
void Miniport::ReplayAddressing() {
    std::vector<std::pair<NDIS_OID, std::vector<uint8_t>>> sets;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        if (state_->haveFilterSet) {
            sets.push_back({OID_GEN_CURRENT_PACKET_FILTER, state_->filterSet});
        }
        if (state_->haveMulticastSet) {
            sets.push_back({OID_802_3_MULTICAST_LIST, state_->multicastSet});
        }
        if (internal::RequestOutstanding(*state_) && !sets.empty()) {
            state_->warnings.push_back("addressing reset: the packet filter and multicast list "
                                       "were not set again, a request being outstanding");
            return;
        }
    }
    for (auto& set : sets) {
        if (Set(set.first, set.second).pended && !WaitForRequest(10 * kSecond).completed) return;
    }
}

}  // namespace host

// ---------------------------------------------------------------------------
// The NDIS calls
// ---------------------------------------------------------------------------
void NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    host::internal::CompleteRequest(MiniportAdapterHandle, Status, true,
                                    "NdisMQueryInformationComplete");
}

void NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    host::internal::CompleteRequest(MiniportAdapterHandle, Status, false,
                                    "NdisMSetInformationComplete");
}
