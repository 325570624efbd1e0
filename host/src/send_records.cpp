// The protocols' side of a send: for each frame a test sends, the protocol's
// packet and buffers over a copy of its bytes, kept with the frame as it was
// sent; and the reuse of these records. A long run (the simulator's) sends
// millions of frames: the records of completed sends are retired into
// spares, and a new send takes one, whatever number of buffers it had (the
// buffers and pieces it holds grow or shrink to the frame's), so that it
// makes no packet, buffer or frame storage of its own, and the completion
// handed to the protocol is built in storage kept per thread.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

// Completed sends kept, so that a second completion of one of them is named
// as such. Older ones are retired and kept for reuse, up to kSpareSends.
constexpr size_t kRecentSends = 64;
constexpr size_t kSpareSends = 256;

void ChainProtocolBuffer(PNDIS_PACKET packet, PNDIS_BUFFER buffer) {
    if (packet->Private.Head) {
        packet->Private.Tail->Next = buffer;
    } else {
        packet->Private.Head = buffer;
    }
    packet->Private.Tail = buffer;
}

// Fits a retired send's buffers to `pieces`: extra ones wait unchained (and
// freed, as the driver sees them) in spareBuffers, missing ones come from
// there before any is made; the data storage of pieces not used now is given
// back. Buffers still missing are the caller's to make.
void FitBuffers(SendRecord& r, size_t pieces) {
    while (r.buffers.size() > pieces) {
        r.spareBuffers.push_back(r.buffers.back());
        r.buffers.pop_back();
    }
    while (r.buffers.size() < pieces && !r.spareBuffers.empty()) {
        r.buffers.push_back(r.spareBuffers.back());
        r.spareBuffers.pop_back();
    }
    for (size_t i = pieces; i < r.pieces.size(); ++i) r.pieces[i]->Free();
    while (r.pieces.size() < pieces) r.pieces.push_back(std::make_unique<HostBytes>());
}

// The protocol's packet for a frame, one buffer per piece: `spare`, a
// retired send of any number of buffers, made fresh, or a new one.
std::unique_ptr<SendRecord> BuildSend(const OutgoingFrame& f, std::unique_ptr<SendRecord> spare) {
    size_t pieces = f.noBuffer ? 0 : f.splitAt.size() + 1;
    std::unique_ptr<SendRecord> r = std::move(spare);
    // A piece keeps the name it has when it has the same place, count and
    // length as before; only special pool names what it hands out.
    bool sameShape = r && r->namedPieces == pieces;
    if (r) {
        FitBuffers(*r, pieces);
        SetProtocolPacketLive(r->packet, r->buffers, true);
    } else {
        r = std::make_unique<SendRecord>();
        r->packet = NewProtocolPacket();
        FitBuffers(*r, pieces);
    }
    bool naming = Options().specialPool;
    r->namedPieces = pieces;
    r->frame.assign(f.bytes.begin(), f.bytes.end());
    size_t start = 0;
    for (size_t i = 0; i < pieces; ++i) {
        size_t cut = i < f.splitAt.size() ? f.splitAt[i] : r->frame.size();
        auto length = static_cast<UINT>(cut - start);
        HostBytes& piece = *r->pieces[i];
        // The piece's name says its place and length.
        char what[80];
        bool named = !naming || (sameShape && piece.size() == length);
        if (!named) {
            snprintf(what, sizeof what, "buffer %zu of %zu of a packet sent (%u bytes)", i + 1,
                     pieces, length);
        }
        if (!piece.Assign(r->frame.data() + start, length, 0, named ? nullptr : what)) {
            FatalViolation("Miniport::Send: the host has no memory left for a packet's data");
        }
        if (i < r->buffers.size()) {
            RedescribeProtocolBuffer(r->buffers[i], piece.data(), length);
        } else {
            r->buffers.push_back(NewProtocolBuffer(piece.data(), length));
        }
        ChainProtocolBuffer(r->packet, r->buffers[i]);
        start = cut;
    }
    CountProtocolPacket(r->packet);
    return r;
}

}  // namespace

SendRecord::~SendRecord() {
    for (auto* b : buffers) DeleteProtocolBuffer(b);
    for (auto* b : spareBuffers) DeleteProtocolBuffer(b);
    if (packet) DeleteProtocolPacket(packet);
}

bool SendRecord::Written() const {
    size_t start = 0;
    for (size_t i = 0; i < buffers.size(); ++i) {
        const HostBytes* piece = pieces[i].get();
        if (!piece->Intact() || start + piece->size() > frame.size()) return true;
        if (piece->size() && memcmp(piece->data(), frame.data() + start, piece->size()) != 0) {
            return true;
        }
        start += piece->size();
    }
    return false;
}

void NewSends(CompletedSends& sends, const std::vector<OutgoingFrame>& frames,
              std::unique_ptr<SendRecord>* records) {
    {
        std::lock_guard<std::mutex> lock(sends.spareMu);
        for (size_t i = 0; i < frames.size(); ++i) {
            if (sends.spare.empty()) break;
            records[i] = std::move(sends.spare.back());
            sends.spare.pop_back();
        }
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        records[i] = BuildSend(frames[i], std::move(records[i]));
    }
}

void KeepCompleted(CompletedSends& sends, std::unique_ptr<SendRecord> record) {
    sends.recent.push_back(std::move(record));
    if (sends.recent.size() <= kRecentSends) return;
    std::unique_ptr<SendRecord> oldest = std::move(sends.recent.front());
    sends.recent.pop_front();
    std::lock_guard<std::mutex> lock(sends.spareMu);
    if (sends.spare.size() >= kSpareSends) return;
    SetProtocolPacketLive(oldest->packet, oldest->buffers, false);
    sends.spare.push_back(std::move(oldest));
}

bool CompletedRecently(const CompletedSends& sends, PNDIS_PACKET packet) {
    return std::any_of(sends.recent.begin(), sends.recent.end(),
                       [&](const std::unique_ptr<SendRecord>& r) { return r->packet == packet; });
}

namespace {
SendCompletion* KeptCompletion() {
    thread_local SendCompletion kept{};
    return &kept;
}
thread_local bool keptInUse = false;
}  // namespace

CompletionSlot::CompletionSlot() : kept_(keptInUse ? nullptr : KeptCompletion()) {
    if (kept_) keptInUse = true;
}

CompletionSlot::~CompletionSlot() {
    if (kept_) keptInUse = false;
}

}  // namespace internal
}  // namespace host
