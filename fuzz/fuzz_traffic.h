// Traffic the targets share: packets of any buffer chain sent from above, and
// the protocol's ways of giving received packets back.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <vector>

#include "fuzz/fuzz_rig.h"

namespace fuzz {

// One MiniportSendPackets call of 1 to 8 packets: each without any buffer,
// or of 0 to 1600 bytes (1514 is the most a frame may have) cut into up to
// six buffers at any offsets, empty ones included.
// The packets' storage is kept from call to call: a fuzzed send makes no
// heap block of its own for its frames.
inline void SendPackets(Rig& rig, FuzzedDataProvider& in) {
    static std::vector<host::OutgoingFrame> packets;
    size_t count = in.ConsumeIntegralInRange<size_t>(1, 8);
    while (packets.size() < count) packets.emplace_back(std::vector<uint8_t>());
    packets.resize(count, host::OutgoingFrame(std::vector<uint8_t>()));
    for (size_t i = 0; i < count; ++i) {
        host::OutgoingFrame& packet = packets[i];
        packet.noBuffer = in.ConsumeIntegralInRange(0, 15) == 0;
        if (packet.noBuffer) {
            packet.bytes.clear();
            packet.splitAt.clear();
            continue;
        }
        size_t length = in.ConsumeIntegralInRange<size_t>(0, 1600);
        packet.splitAt.resize(in.ConsumeIntegralInRange<size_t>(0, 5));
        for (auto& at : packet.splitAt) at = in.ConsumeIntegralInRange<size_t>(0, length);
        std::sort(packet.splitAt.begin(), packet.splitAt.end());
        testbed::MakeFrameInto(&packet.bytes, length, static_cast<uint8_t>(i));
        packet.bytes.resize(length);  // MakeFrameInto makes at least a header
    }
    rig.Nic().Send(packets);
}

// Runs the next 1 to 8 pieces of the machine's work and no more, so that an
// input can come in between an interrupt's service routine and its deferred
// routine, a transmission and its completion.
inline void Step(FuzzedDataProvider& in) {
    int left = in.ConsumeIntegralInRange(1, 8);
    host::RunUntil([&] { return left-- <= 0; }, host::kSecond);
}

inline void ReturnPackets(Rig& rig, FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: rig.Nic().SetReturnPolicy({host::ReturnWhen::InsideIndication}); break;
    case 1: rig.Nic().SetReturnPolicy({host::ReturnWhen::AfterIndication}); break;
    case 2: rig.Nic().SetReturnPolicy({host::ReturnWhen::Hold}); break;
    default: rig.Nic().ReturnHeld(in.ConsumeIntegralInRange<size_t>(0, 200)); break;
    }
}

}  // namespace fuzz
