// Verbs for the data path's stories: adapters on a line, frames sent and
// delivered, the handlers called as NDIS calls them, and a look at the
// adapter record where a fact cannot be seen from the card or the upper edge.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "adapter/adapter.h"
#include "tests/support/machine_test.h"
#include "card/registers.h"
#include "host/interrupts.h"
#include "requests/requests.h"

namespace datapath_test {

using Bytes = std::vector<uint8_t>;
using testbed::MakeFrame;
using testbed::Unit;

// What the wire carries for a frame: padded with zeros to the minimum size.
inline Bytes Padded(Bytes frame) {
    if (frame.size() < MIN_FRAME_SIZE) frame.resize(MIN_FRAME_SIZE, 0);
    return frame;
}

// Frames of one length with distinct contents.
inline std::vector<Bytes> Frames(size_t count, size_t length, uint8_t seed = 0) {
    std::vector<Bytes> frames;
    for (size_t i = 0; i < count; ++i) {
        frames.push_back(MakeFrame(length, static_cast<uint8_t>(seed + i)));
    }
    return frames;
}

// The information buffer of a statistics read: the signature, then room.
inline Bytes StatisticsRequest() {
    Bytes buffer(sizeof(StatisticsBlock), 0);
    buffer[0] = 't', buffer[1] = 'a', buffer[2] = 't', buffer[3] = 's';
    return buffer;
}

// ---- Looking inside, where the card and the upper edge cannot tell ---------
inline Adapter& AdapterOf(Unit& unit) {
    return *static_cast<Adapter*>(testing_support::DriverContext(unit));
}
inline unsigned VectorOf(Unit& unit) { return unit.slot->Where().interruptLine; }
inline host::InterruptCounts InterruptsOf(Unit& unit) {
    return host::InterruptCountsOf(VectorOf(unit));
}
inline uint8_t Register(Unit& unit, CardRegister reg) { return unit.Card().PeekRegister(reg); }
inline uint32_t TxControl(Unit& unit, unsigned slot) {
    return unit.Card().PeekRingWord(TX_RING_OFFSET + slot * DESCRIPTOR_SIZE + DESCRIPTOR_CONTROL);
}

// A 64-bit counter as its information request reports it.
inline uint64_t CounterOf(Unit& unit, NDIS_OID oid) {
    host::RequestResult r = unit.nic->Query(oid, 8);
    uint64_t value = 0;
    for (size_t i = 0; i < r.buffer.size() && i < 8; ++i) {
        value |= static_cast<uint64_t>(r.buffer[i]) << (8 * i);
    }
    return value;
}

// The driver's accesses to the card since the log was last cleared, as
// "W ISR=0x01", "R CR0=0x83", ...
inline std::vector<std::string> Accesses(Unit& unit) {
    return cardmodel::Describe(unit.Card().AccessLog());
}
// Position of the first access starting with `prefix`, or -1.
inline int FirstAccess(const std::vector<std::string>& log, const std::string& prefix) {
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
    }
    return -1;
}

// ---- The handlers, called directly as NDIS calls them ----------------------
struct IsrAnswer {
    bool recognized;
    bool queueDeferred;
};

class DataPathTest : public DriverTest {
protected:
    const NDIS30_MINIPORT_CHARACTERISTICS& Handlers() {
        characteristics_ = machine->Driver().Characteristics();
        return characteristics_.Ndis40Chars.Ndis30Chars;
    }

    // The handlers below are the ones the driver registered, called with the
    // context it gave NDIS, untouched, as NDIS calls them: black-box, on a
    // driver image too.

    // MiniportIsr at device level, as the interrupt's dispatch runs it.
    IsrAnswer CallIsr(Unit& unit) {
        BOOLEAN recognized = 0xCC, queue = 0xCC;
        auto isr = Handlers().ISRHandler;
        host::RunAtIrql(HOST_DEVICE_LEVEL, "MiniportIsr",
                        [&] { isr(&recognized, &queue, unit.nic->Context()); });
        return {recognized == TRUE, queue == TRUE};
    }

    // MiniportHandleInterrupt at dispatch level on `processor`.
    void CallHandleInterrupt(Unit& unit, unsigned processor = 0) {
        auto handler = Handlers().HandleInterruptHandler;
        host::OnProcessor(processor, [&] {
            host::RunAtIrql(DISPATCH_LEVEL, "MiniportHandleInterrupt",
                            [&] { handler(unit.nic->Context()); });
        });
    }

    // MiniportReset as a protocol-driven reset reaches it, without NDIS
    // holding sends back meanwhile (a protocol's completion handler may send).
    NDIS_STATUS CallReset(Unit& unit) {
        BOOLEAN addressing = 0xA5;
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        auto reset = Handlers().ResetHandler;
        host::RunAtIrql(DISPATCH_LEVEL, "MiniportReset",
                        [&] { status = reset(&addressing, unit.nic->Context()); });
        EXPECT_EQ(addressing, FALSE);
        return status;
    }

    // ---- Lines ---------------------------------------------------------------
    // Two adapters joined by a line, a central and a remote terminal, both
    // initialized with a packet filter and the line up.
    std::pair<Unit*, Unit*> StartedPair(std::map<std::string, uint32_t> integers = {}) {
        auto central = integers;
        central["TerminalType"] = 1;
        Unit& a = machine->AddAdapter(central);
        Unit& b = machine->AddAdapter(integers);
        machine->Connect(a, b);
        for (Unit* u : {&a, &b}) {
            EXPECT_EQ(u->nic->Initialize(), NDIS_STATUS_SUCCESS);
            u->nic->Set(OID_GEN_CURRENT_PACKET_FILTER,
                        host::UlongBytes(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
        }
        EXPECT_TRUE(machine->WaitForLinkUp(a));
        EXPECT_TRUE(machine->WaitForLinkUp(b));
        return {&a, &b};
    }

    // ---- Frames ----------------------------------------------------------------
    std::vector<host::SendId> SendFrames(Unit& unit, const std::vector<Bytes>& frames) {
        return unit.nic->Send({frames.begin(), frames.end()});
    }

    // The unit's send completions are the sends `ids`, all of them and no
    // other, in that order, each with `status`.
    void ExpectCompletions(Unit& unit, const std::vector<host::SendId>& ids, NDIS_STATUS status) {
        auto done = unit.nic->Completions();
        ASSERT_EQ(done.size(), ids.size());
        for (size_t i = 0; i < done.size(); ++i) {
            EXPECT_EQ(done[i].id, ids[i]) << "completion " << i;
            EXPECT_EQ(done[i].status, status) << "completion " << i;
        }
    }

    // Runs the machine until `count` more frames have been indicated (or a
    // second has passed); whether they all came.
    bool AwaitReceived(Unit& unit, size_t count) {
        size_t target = unit.nic->Received().size() + count;
        return host::RunUntil([&] { return unit.nic->Received().size() >= target; },
                              host::kSecond);
    }

    // Puts frames on the unit's line from its loopback partner, paced at the
    // line rate, and runs the machine until the unit has indicated them all.
    void DeliverFromLine(Unit& unit, const std::vector<Bytes>& frames) {
        size_t target = unit.nic->Received().size() + frames.size();
        for (auto& f : frames) ASSERT_TRUE(unit.loopback->InjectFrame(f));
        host::RunUntil([&] { return unit.nic->Received().size() >= target; }, host::kSecond);
        ASSERT_EQ(unit.nic->Received().size(), target);
    }

    // Runs the machine until the partner has the frames, and checks them as
    // the wire carries them.
    void ExpectOnLine(Unit& unit, const std::vector<Bytes>& frames) {
        host::RunUntil([&] { return unit.loopback->SentCount() >= frames.size(); },
                       host::kSecond);
        std::vector<Bytes> expected;
        for (auto& f : frames) expected.push_back(Padded(f));
        EXPECT_EQ(unit.loopback->TakeSentFrames(), expected);
    }

    // Runs the machine until every send of the unit has completed.
    void AwaitCompletions(Unit& unit) {
        host::RunUntil([&] { return unit.nic->SendsOutstanding() == 0; }, host::kSecond);
    }

private:
    NDIS50_MINIPORT_CHARACTERISTICS characteristics_;
};

}  // namespace datapath_test
