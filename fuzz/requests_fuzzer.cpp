// Information requests: any OID (the supported ones, their neighbours, any
// other), any length from 0 up, any content and alignment, interleaved with
// sends of any buffer chain (empty buffers, no buffer, zero-length and
// oversized packets), returns, resets and hang checks, on an adapter kept
// across inputs. Besides the verifier, each answer is held to the rules every
// request follows: only the private statistics requests pend; a set never
// writes its buffer; an answer never writes past what it reports, and a
// refused one writes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>

#include "fuzz/fuzz_rig.h"
#include "fuzz/fuzz_traffic.h"
#include "public.h"

namespace {

using host::kMillisecond;

// The objects the adapter answers (its supported list), in no special order.
const NDIS_OID kKnownOids[] = {
    OID_GEN_SUPPORTED_LIST,        OID_GEN_HARDWARE_STATUS,        OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,          OID_GEN_MAXIMUM_LOOKAHEAD,      OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,    OID_GEN_MAC_OPTIONS,            OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_LINK_SPEED,            OID_GEN_TRANSMIT_BUFFER_SPACE,  OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,   OID_GEN_RECEIVE_BLOCK_SIZE,     OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_VENDOR_ID,             OID_GEN_DRIVER_VERSION,         OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,     OID_GEN_MAXIMUM_SEND_PACKETS,   OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_PHYSICAL_MEDIUM,       OID_GEN_TRANSMIT_QUEUE_LENGTH,  OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,                OID_GEN_XMIT_ERROR,             OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,         OID_802_3_PERMANENT_ADDRESS,    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,      OID_802_3_MAXIMUM_LIST_SIZE,    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,  OID_802_3_XMIT_MORE_COLLISIONS, OID_ZR48_GET_STATISTICS,
    OID_ZR48_CLEAR_STATISTICS,
};

bool Private(NDIS_OID oid) {
    return oid == OID_ZR48_GET_STATISTICS || oid == OID_ZR48_CLEAR_STATISTICS;
}

NDIS_OID PickOid(FuzzedDataProvider& in) {
    NDIS_OID known = kKnownOids[in.ConsumeIntegralInRange<size_t>(0, std::size(kKnownOids) - 1)];
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
    case 1: return known;
    case 2: return known + in.ConsumeIntegralInRange<int>(-3, 3);  // a neighbour
    default: return in.ConsumeIntegral<NDIS_OID>();
    }
}

// An information buffer: short lengths most of the time, any up to 4 KB;
// its content from the input, opening with the statistics signature when
// the input says so.
std::vector<uint8_t> PickBuffer(FuzzedDataProvider& in) {
    size_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 80)
                                     : in.ConsumeIntegralInRange<size_t>(0, 4096);
    std::vector<uint8_t> buffer = in.ConsumeBytes<uint8_t>(length);
    buffer.resize(length, host::kInformationPattern);
    if (in.ConsumeBool()) {
        const uint8_t signature[4] = {0x74, 0x61, 0x74, 0x73};
        for (size_t i = 0; i < 4 && i < length; ++i) buffer[i] = signature[i];
    }
    return buffer;
}

// The rules every answer follows, whatever was asked.
void CheckAnswer(bool query, NDIS_OID oid, const std::vector<uint8_t>& given,
                 const host::RequestResult& r) {
    if (!r.issued) return;
    if (r.pended && !(query && Private(oid))) {
        fuzz::Fail("%s of OID 0x%08X pended: only the statistics requests may",
                   query ? "a query" : "a set", oid);
    }
    if (!r.completed) return;
    size_t written = 0;
    if (query && r.status == NDIS_STATUS_SUCCESS) {
        if (r.bytesDone > given.size()) {
            fuzz::Fail("a query of OID 0x%08X reports %u bytes written into a %zu-byte buffer",
                       oid, r.bytesDone, given.size());
        }
        written = r.bytesDone;
    }
    if (r.buffer.size() < given.size()) {
        fuzz::Fail("the host gives back %zu bytes of a %zu-byte buffer", r.buffer.size(),
                   given.size());
    }
    // Compared whole first (a buffer may be kilobytes), byte by byte only to
    // name the first byte changed.
    if (written >= given.size() ||
        memcmp(r.buffer.data() + written, given.data() + written, given.size() - written) == 0) {
        return;
    }
    for (size_t i = written; i < given.size(); ++i) {
        if (r.buffer[i] != given[i]) {
            fuzz::Fail("%s of OID 0x%08X (%zu bytes, status 0x%08X) changed byte %zu of its "
                       "buffer beyond the %zu it reports",
                       query ? "a query" : "a set", oid, given.size(), r.status, i, written);
        }
    }
}

void Request(fuzz::Rig& rig, FuzzedDataProvider& in, bool query) {
    NDIS_OID oid = PickOid(in);
    std::vector<uint8_t> buffer = PickBuffer(in);
    if (!rig.RequestSlotFree()) return;  // NDIS holds a second request back
    if (query && Private(oid)) rig.NoteMailboxUsed();
    rig.Nic().SetInformationBufferOffset(in.ConsumeIntegralInRange<size_t>(0, 7));
    host::RequestResult r = query ? rig.Nic().Query(oid, buffer) : rig.Nic().Set(oid, buffer);
    fuzz::Note("  OID 0x%08X, %zu bytes: status 0x%08X%s", oid, buffer.size(), r.status,
               r.pended ? " (pended)" : "");
    CheckAnswer(query, oid, buffer, r);
    if (r.pended && in.ConsumeBool()) {
        r = rig.Nic().WaitForRequest(10 * kMillisecond);
        CheckAnswer(query, oid, buffer, r);
    }
}

fuzz::Rig& TheRig() {
    static fuzz::Rig* rig = [] {
        fuzz::RigOptions options;
        // Few buffers: sends wait for slots and receives are marked for
        // copying often, and the reset each input begins with is cheap.
        options.integers = {{"XmtQueueLen", 4}, {"RcvQueueLen", 6}};
        options.card = fuzz::QuickCard();
        options.card.unlimitedRate = true;
        options.line.unlimitedRate = true;
        return new fuzz::Rig(options);
    }();
    return *rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Rig& rig = TheRig();
    rig.BeginInput();
    FuzzedDataProvider in(data, size);
    for (int step = 0; step < 24 && in.remaining_bytes() != 0; ++step) {
        static const char* const kSteps[] = {"query", "query", "query", "set", "send", "send",
                                             "returns", "advance or step", "reset", "hang check"};
        int what = in.ConsumeIntegralInRange(0, 9);
        fuzz::Note("step %d: %s", step, kSteps[what]);
        switch (what) {
        case 0:
        case 1:
        case 2: Request(rig, in, true); break;
        case 3: Request(rig, in, false); break;
        case 4:
        case 5: fuzz::SendPackets(rig, in); break;
        case 6:
            // Traffic the other way: what the adapter sends comes back, to be
            // indicated and returned as the protocol chooses.
            rig.Line().SetEcho(in.ConsumeBool());
            fuzz::ReturnPackets(rig, in);
            break;
        case 7:
            if (in.ConsumeBool()) {
                host::Advance(in.ConsumeIntegralInRange(0, 20) * kMillisecond);
            } else {
                fuzz::Step(in);
            }
            break;
        case 8: rig.Reset(); break;
        case 9:
            rig.HangCheck();
            break;
        }
    }
    rig.EndInput();
    return 0;
}
