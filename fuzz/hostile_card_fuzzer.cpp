// The card as an adversary: an adapter carrying traffic both ways (its line
// echoes what it sends, and the far end sends frames of its own) while the
// card lies. Any register, descriptor word or mailbox byte the driver reads
// can come from the input, the card's interrupt can be withheld or come with
// no cause, its reads can float to all ones for a while, it can be surprise-
// removed (the adapter is then halted without it), the card model's own
// faults (failed and wedged transmissions, receive errors, misreported
// lengths, withheld, late and refused transceiver answers, events) and the
// line's (cut, flapping, a far end that stops) join in, and the adapter can be
// brought up again with the card lying through its bring-up. When the input
// ends the card tells the truth again, and the adapter must come back.
#include <fuzzer/FuzzedDataProvider.h>

#include "adapter/adapter.h"
#include "cardmodel/mailbox.h"
#include "cardmodel/registers.h"
#include "fuzz/fuzz_rig.h"
#include "fuzz/fuzz_traffic.h"
#include "public.h"

namespace {

using host::kMillisecond;

const uint32_t kMailboxBytes[] = {
    cardmodel::MAILBOX_POSTED_FLAG, cardmodel::MAILBOX_STATUS,      cardmodel::MAILBOX_LINE_STATUS,
    cardmodel::MAILBOX_LINE_AUX,    cardmodel::MAILBOX_EVENT_FLAGS, cardmodel::MAILBOX_ANSWER,
};

const Adapter& AdapterOf(fuzz::Rig& rig) {
    return *static_cast<const Adapter*>(rig.Nic().Context());
}

// A lie where the driver looks: a register, a mailbox byte it reads, or the
// status word of a receive slot near the one it takes next.
void Lie(fuzz::Rig& rig, FuzzedDataProvider& in) {
    uint32_t offset;
    uint32_t value;
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        offset = cardmodel::WINDOW_REGISTERS + in.ConsumeIntegralInRange(0, 7);
        value = in.ConsumeIntegral<uint8_t>();
        break;
    case 1:
        offset = cardmodel::WINDOW_MAILBOX +
                 kMailboxBytes[in.ConsumeIntegralInRange<size_t>(0, std::size(kMailboxBytes) - 1)];
        if (offset == cardmodel::WINDOW_MAILBOX + cardmodel::MAILBOX_ANSWER) {
            offset += in.ConsumeIntegralInRange(0, 9);
        }
        value = in.ConsumeIntegral<uint8_t>();
        break;
    default: {
        unsigned slot = (AdapterOf(rig).RxNextIndex + in.ConsumeIntegralInRange(0, 3)) &
                        cardmodel::RING_SLOT_MASK;
        offset = cardmodel::WINDOW_RX_RING + slot * cardmodel::DESC_BYTES +
                 cardmodel::DESC_WORD_CONTROL;
        value = in.ConsumeIntegral<uint32_t>();
        break;
    }
    }
    rig.Liar()->LieAt(offset, value, in.ConsumeIntegralInRange(1, 4));
}

void FromTheLine(fuzz::Rig& rig, FuzzedDataProvider& in) {
    size_t count = in.ConsumeIntegralInRange<size_t>(1, 6);
    for (size_t i = 0; i < count; ++i) {
        size_t length = in.ConsumeIntegralInRange<size_t>(0, 1600);
        std::vector<uint8_t> frame = testbed::MakeFrame(length, static_cast<uint8_t>(i));
        frame.resize(length);
        rig.Line().InjectFrame(frame, in.ConsumeIntegralInRange(0, 7) == 0);
    }
}

void CardFault(fuzz::Rig& rig, FuzzedDataProvider& in) {
    cardmodel::Card& card = rig.Card();
    int command = in.ConsumeBool() ? cardmodel::kAnyCommand : in.ConsumeIntegral<uint8_t>();
    bool always = in.ConsumeIntegralInRange(0, 3) == 0;
    switch (in.ConsumeIntegralInRange(0, 8)) {
    case 0: card.FailNextTransmits(in.ConsumeIntegralInRange(1, 3)); break;
    case 1: card.WedgeTransmitter(); break;
    case 2: card.FailNextReceives(in.ConsumeIntegralInRange(1, 3)); break;
    case 3: card.RaiseCardEvent(); break;
    case 4: card.MisreportNextReceiveLength(in.ConsumeIntegral<uint16_t>()); break;
    case 5: {
        uint8_t flags = in.ConsumeIntegral<uint8_t>();
        card.PostEvent(flags, in.ConsumeIntegral<uint8_t>());
        break;
    }
    case 6: card.WithholdAnswer(command, always); break;
    case 7:
        card.DelayAnswer(in.ConsumeIntegralInRange(0, 5000) * kMillisecond, command, always);
        break;
    default: card.FailAnswer(in.ConsumeIntegral<uint8_t>(), command, always); break;
    }
}

void LineFault(fuzz::Rig& rig, FuzzedDataProvider& in) {
    cardmodel::LoopbackPartner& line = rig.Line();
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: line.Cut(); break;
    case 1: line.Restore(); break;
    case 2: line.StopPartner(); break;
    case 3: line.StartPartner(); break;
    default:
        line.Flap({in.ConsumeIntegralInRange(1, 800) * kMillisecond,
                   in.ConsumeIntegralInRange(1, 800) * kMillisecond});
        break;
    }
}

void Statistics(fuzz::Rig& rig, FuzzedDataProvider& in) {
    if (!rig.RequestSlotFree()) return;
    std::vector<uint8_t> buffer(sizeof(StatisticsBlock), 0);
    buffer[0] = 0x74, buffer[1] = 0x61, buffer[2] = 0x74, buffer[3] = 0x73;
    if (in.ConsumeBool()) buffer.resize(4);  // a clear
    rig.Nic().Query(buffer.size() == 4 ? OID_ZR48_CLEAR_STATISTICS : OID_ZR48_GET_STATISTICS,
                    buffer);
}

void Query(fuzz::Rig& rig, FuzzedDataProvider& in) {
    static const NDIS_OID kOids[] = {OID_GEN_MEDIA_CONNECT_STATUS, OID_GEN_LINK_SPEED,
                                     OID_GEN_XMIT_OK,  OID_GEN_RCV_OK,
                                     OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR};
    if (!rig.RequestSlotFree()) return;
    rig.Nic().Query(kOids[in.ConsumeIntegralInRange<size_t>(0, std::size(kOids) - 1)], 8);
}

// Halt and initialize again, with the card lying through halt and bring-up
// as it has been told to; the bring-up may fail, and must fail cleanly. A
// card off the bus at the halt is one surprise-removed: it is not put back.
void StartAgain(fuzz::Rig& rig, FuzzedDataProvider& in) {
    std::vector<uint8_t> stream = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 64));
    rig.Liar()->Feed(stream.data(), stream.size());
    if (rig.Liar()->Removed()) rig.CardGoneForGood();
    rig.Nic().Halt();
    if (rig.Nic().Initialize() == NDIS_STATUS_SUCCESS) {
        rig.Nic().Set(OID_GEN_CURRENT_PACKET_FILTER,
                      host::UlongBytes(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
    }
}

fuzz::Rig& TheRig() {
    static fuzz::Rig* rig = [] {
        fuzz::RigOptions options;
        options.integers = {{"XmtQueueLen", 6}, {"RcvQueueLen", 8}};
        options.card = fuzz::QuickCard();
        options.line.echo = true;
        options.hostile = true;
        return new fuzz::Rig(options);
    }();
    return *rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Rig& rig = TheRig();
    rig.BeginInput();
    FuzzedDataProvider in(data, size);
    for (int step = 0; step < 32 && in.remaining_bytes() != 0 && rig.Nic().Running(); ++step) {
        static const char* const kSteps[] = {
            "send",   "from the line", "advance",    "step",       "lie",      "lie",
            "stream", "spurious",      "withhold",   "all ones or removal",    "card fault",
            "line fault", "statistics", "query",     "hang check", "reset",    "returns",
            "start again"};
        int what = in.ConsumeIntegralInRange(0, 17);
        fuzz::Note("step %d: %s", step, kSteps[what]);
        switch (what) {
        case 0: fuzz::SendPackets(rig, in); break;
        case 1: FromTheLine(rig, in); break;
        case 2: host::Advance(in.ConsumeIntegralInRange(0, 30) * kMillisecond); break;
        case 3: fuzz::Step(in); break;
        case 4:
        case 5: Lie(rig, in); break;
        case 6: {
            std::vector<uint8_t> stream = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 32));
            rig.Liar()->Feed(stream.data(), stream.size());
            break;
        }
        case 7: rig.Liar()->SpuriousInterrupt(); break;
        case 8: rig.Liar()->WithholdInterrupt(in.ConsumeIntegralInRange(0, 50) * kMillisecond); break;
        case 9:
            if (in.ConsumeIntegralInRange(0, 7) != 0) {
                rig.Liar()->ReadAllOnes(!rig.Liar()->ReadingAllOnes());
            } else {
                rig.Liar()->Remove();  // for good: NDIS halts the adapter at the end
                rig.CardGoneForGood();
            }
            break;
        case 10: CardFault(rig, in); break;
        case 11: LineFault(rig, in); break;
        case 12: Statistics(rig, in); break;
        case 13: Query(rig, in); break;
        case 14:
            rig.HangCheck();
            break;
        case 15: rig.Reset(); break;
        case 16: fuzz::ReturnPackets(rig, in); break;
        case 17:
            if (in.ConsumeIntegralInRange(0, 3) == 0) StartAgain(rig, in);
            break;
        }
    }
    rig.EndInput();
    return 0;
}
