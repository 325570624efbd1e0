// The upper edge, information requests: one at a time, as NDIS makes them,
// to MiniportQueryInformation or MiniportSetInformation at DISPATCH_LEVEL;
// refused during a reset; completed by the handler's return or, when it
// pends, by NdisM*InformationComplete, once; the information buffer guarded
// against a handler that writes past it. The packet filter and multicast
// list set last are set again after an addressing reset (see
// host/miniport.h).
#include <cstdio>
#include <cstring>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

// True the first time the buffer is found written outside its bounds by a
// write that did not fault (guard-byte mode, or before its start). Caller
// holds the adapter's mu.
bool NewOverrun(RequestRecord& r) {
    if (r.overrunReported || r.released) return false;
    bool before = false;  // the guard bytes before an offset buffer
    for (size_t i = 0; i < r.offset; ++i) before |= r.buffer.data()[i] != HostBytes::kGuardByte;
    if (!before && r.buffer.Intact()) return false;
    r.overrunReported = true;
    return true;
}

// The information buffer's first byte (past the guard bytes of an offset),
// or once the protocol has it back, the first of the bytes kept; r.length
// of them.
const uint8_t* InformationBytes(const RequestRecord& r) {
    return r.released ? r.final.data() : r.buffer.data() + r.offset;
}

// The request has its final status: the protocol takes its buffer back.
// Caller holds the adapter's mu.
void ReleaseBuffer(RequestRecord& r) {
    if (r.released) return;
    const uint8_t* start = InformationBytes(r);
    r.final.assign(start, start + r.length);  // in the storage of the last request's
    r.buffer.Free();
    r.released = true;
}

void ReportOverrun(bool query, NDIS_OID oid, ULONG length) {
    Violation("the %s handler for OID 0x%08X wrote past the end of its %u-byte information "
              "buffer", query ? "query" : "set", oid, length);
}

RequestResult ResultOf(const RequestRecord& r) {
    RequestResult result;
    result.issued = true;
    result.pended = r.pended;
    result.completed = r.completed && !r.inHandler;
    result.status = result.completed ? r.status : NDIS_STATUS_PENDING;
    // Until the request has its final status its counts and buffer are the
    // miniport's: in the concurrent mode it may be writing them on another
    // processor, and they are shown once it completes (a protocol too looks
    // only then). In the deterministic mode nothing runs meanwhile, and a
    // test may look at what the miniport has stored so far.
    if (!r.completed && IsConcurrent()) return result;
    result.bytesDone = r.bytesDone;
    result.bytesNeeded = r.bytesNeeded;
    const uint8_t* bytes = InformationBytes(r);
    result.buffer.assign(bytes, bytes + r.length);
    return result;
}

// Remembers what NDIS would set again after an addressing reset, and the
// filter that decides whether a receive comes too early (lock held).
void NoteSetDone(MiniportState& s, const RequestRecord& r) {
    if (r.query || r.status != NDIS_STATUS_SUCCESS) return;
    const uint8_t* bytes = InformationBytes(r);
    if (r.oid == OID_GEN_CURRENT_PACKET_FILTER && r.length == 4) {
        s.packetFilter = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                         static_cast<ULONG>(bytes[3]) << 24;
        s.filterSet.assign(bytes, bytes + r.length);
        s.haveFilterSet = true;
    } else if (r.oid == OID_802_3_MULTICAST_LIST) {
        s.multicastSet.assign(bytes, bytes + r.length);
        s.haveMulticastSet = true;
    }
}

void CompleteRequest(NDIS_HANDLE handle, NDIS_STATUS status, bool query, const char* function) {
    RequireIrql(function, PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(handle, function, Use::Completion);
    if (!state) return;
    if (status == NDIS_STATUS_PENDING) {
        Violation("%s: NDIS_STATUS_PENDING is not a completion status", function);
        return;
    }
    EnterProtocol(*state);  // its request-complete handler takes its lock
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
                ReleaseBuffer(*r);
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
// with the status the protocol gets in *refusal. Its information buffer
// holds `length` bytes: a copy of `bytes`, or `fill` when it is null.
RequestRecord* OpenRequest(MiniportState& s, bool query, NDIS_OID oid, const uint8_t* bytes,
                           size_t length, uint8_t fill, NDIS_HANDLE* context,
                           NDIS_STATUS* refusal) {
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
    // A record of an earlier request is made over for this one: its storage
    // (the buffer in guard-byte mode, the bytes kept) serves again.
    std::unique_ptr<RequestRecord> record = std::move(s.spareRequest);
    if (record) {
        record->Renew();
    } else {
        record = std::make_unique<RequestRecord>();
    }
    record->serial = ++s.requestSerial;
    record->query = query;
    record->oid = oid;
    record->length = static_cast<ULONG>(length);
    record->issued = Now();
    // Only special pool shows a block's name (in a fault report).
    char name[96] = "";
    if (Options().specialPool) {
        snprintf(name, sizeof name, "the information buffer of a %s of OID 0x%08X (%u bytes)",
                 query ? "query" : "set", oid, record->length);
    }
    // A real address for 0 bytes too (in special pool, its guard page's).
    // Guard bytes first for a buffer that starts past an aligned address.
    record->offset = s.requestOffset;
    bool assigned;
    if (record->offset == 0) {
        assigned = record->buffer.Assign(bytes, length, fill, name);
    } else {
        assigned = record->buffer.Assign(nullptr, record->offset + length, HostBytes::kGuardByte,
                                         name);
        if (assigned) {
            uint8_t* start = record->buffer.data() + record->offset;
            if (bytes) {
                if (length) memcpy(start, bytes, length);
            } else {
                memset(start, fill, length);
            }
        }
    }
    if (!assigned) {
        *refusal = NDIS_STATUS_RESOURCES;  // the system had no memory for it
        s.spareRequest = std::move(record);
        return nullptr;
    }
    RequestRecord* r = record.get();
    // The last request is over (not outstanding): its record is the spare.
    s.spareRequest = std::move(s.request);
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
        overrun = NewOverrun(*r);
        if (r->completed) {
            ReleaseBuffer(*r);
            NoteSetDone(*state, *r);
        }
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

bool RequestOutstanding(const MiniportState& s) {
    return s.request && (!s.request->completed || s.request->inHandler);
}

RequestResult IssueRequest(const std::shared_ptr<MiniportState>& state, bool query, NDIS_OID oid,
                           const uint8_t* bytes, size_t length, uint8_t fill) {
    RequestResult refused;
    NDIS_HANDLE context = nullptr;
    RequestRecord* r =
        OpenRequest(*state, query, oid, bytes, length, fill, &context, &refused.status);
    if (!r) return refused;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    auto& v30 = state->handlers.Ndis40Chars.Ndis30Chars;
    RunAtIrql(AtLeastCurrent(DISPATCH_LEVEL),
              query ? "MiniportQueryInformation" : "MiniportSetInformation", [&] {
                  uint8_t* bytes = r->buffer.data() + r->offset;
                  status = query ? v30.QueryInformationHandler(context, oid, bytes, r->length,
                                                               &r->bytesDone, &r->bytesNeeded)
                                 : v30.SetInformationHandler(context, oid, bytes, r->length,
                                                             &r->bytesDone, &r->bytesNeeded);
              });
    return FinishRequest(state, r, status);
}

RequestResult WaitForRequest(const std::shared_ptr<MiniportState>& state, Nanoseconds limit) {
    RunUntil(
        [&] {
            std::lock_guard<std::mutex> lock(state->mu);
            return !RequestOutstanding(*state);
        },
        limit);
    std::lock_guard<std::mutex> lock(state->mu);
    return state->request ? ResultOf(*state->request) : RequestResult{};
}

// NDIS sets the packet filter and multicast list again after a reset that
// lost the adapter's addressing. One request at a time: a replay that pends
// is waited for before the next.
void ReplayAddressing(const std::shared_ptr<MiniportState>& state) {
    std::vector<std::pair<NDIS_OID, std::vector<uint8_t>>> sets;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->haveFilterSet) {
            sets.push_back({OID_GEN_CURRENT_PACKET_FILTER, state->filterSet});
        }
        if (state->haveMulticastSet) {
            sets.push_back({OID_802_3_MULTICAST_LIST, state->multicastSet});
        }
        if (RequestOutstanding(*state) && !sets.empty()) {
            state->warnings.push_back("addressing reset: the packet filter and multicast list "
                                      "were not set again, a request being outstanding");
            return;
        }
    }
    for (auto& set : sets) {
        if (IssueRequest(state, false, set.first, set.second.data(), set.second.size(), 0).pended &&
            !WaitForRequest(state, 10 * kSecond).completed) {
            return;
        }
    }
}

}  // namespace internal

RequestResult Miniport::Query(NDIS_OID oid, ULONG bufferLength) {
    return internal::IssueRequest(state_, true, oid, nullptr, bufferLength, kInformationPattern);
}

RequestResult Miniport::Query(NDIS_OID oid, const std::vector<uint8_t>& contents) {
    return internal::IssueRequest(state_, true, oid, contents.data(), contents.size(), 0);
}

RequestResult Miniport::Set(NDIS_OID oid, const std::vector<uint8_t>& bytes) {
    return internal::IssueRequest(state_, false, oid, bytes.data(), bytes.size(), 0);
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
    return internal::WaitForRequest(state_, limit);
}

RequestResult Miniport::LastRequest() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->request ? internal::ResultOf(*state_->request) : RequestResult{};
}

void Miniport::OnRequestComplete(std::function<void(const RequestResult&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.requestComplete = std::move(callback);
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
