// Frames through two adapters back to back, as the simulator carries them:
// on the deterministic machine, sends whose packets the upper edge makes
// again from completed ones; on two real processors, frames that the line
// carries in batches and interrupts whose deferred routine runs where they
// were taken. Each frame must arrive once, intact and in order, and each send
// complete once with the bytes it carried.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "testbed/machine.h"
#include "tests/support/machine_test.h"

namespace {

constexpr size_t kSequenceAt = 14;  // after the Ethernet header

// A frame of `length` bytes whose payload starts with `sequence`.
std::vector<uint8_t> Numbered(size_t length, uint32_t sequence, uint8_t seed) {
    std::vector<uint8_t> frame = testbed::MakeFrame(length, seed);
    for (int i = 0; i < 4; ++i) frame[kSequenceAt + i] = static_cast<uint8_t>(sequence >> (8 * i));
    return frame;
}

uint32_t SequenceOf(const std::vector<uint8_t>& frame) {
    uint32_t sequence = 0;
    for (int i = 0; i < 4; ++i) sequence |= uint32_t(frame[kSequenceAt + i]) << (8 * i);
    return sequence;
}

class CarriageTest : public DriverTest {
protected:
    // A card that comes up in a few milliseconds and serializes in no time;
    // TerminalType 1 is the central end, 0 the remote one.
    testbed::Unit& QuickAdapter(uint32_t terminalType) {
        testbed::AdapterSetup setup;
        setup.integers = {{"LineRate", 2048}, {"TerminalType", terminalType}};
        setup.card = testing_support::QuickCard();
        setup.card.unlimitedRate = true;
        return machine->AddAdapter(setup);
    }
    // Two adapters back to back, both up.
    std::pair<testbed::Unit*, testbed::Unit*> Pair() {
        testbed::Unit& a = QuickAdapter(1);
        testbed::Unit& b = QuickAdapter(0);
        machine->Connect(a, b);
        for (testbed::Unit* unit : {&a, &b}) {
            EXPECT_EQ(unit->nic->Initialize(), NDIS_STATUS_SUCCESS);
            unit->nic->Set(OID_GEN_CURRENT_PACKET_FILTER,
                           host::UlongBytes(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
        }
        EXPECT_TRUE(machine->WaitForLinkUp(a) && machine->WaitForLinkUp(b));
        return {&a, &b};
    }
};

}  // namespace

// Sends of every length and of one or two buffers, many more than the upper
// edge keeps completed: the packets made again from completed sends carry
// each frame as it was given, and each completion names its own bytes.
TEST_F(CarriageTest, SendsMadeFromCompletedOnesCarryEachFrameIntact) {
    auto [a, b] = Pair();
    std::vector<std::vector<uint8_t>> sent;
    for (uint32_t n = 0; n < 400; ++n) {
        size_t length = 60 + (n * 97) % (1514 - 60 + 1);
        sent.push_back(Numbered(length, n, static_cast<uint8_t>(n)));
        std::vector<size_t> cuts;
        if (n % 3 == 0) cuts = {14};  // header and payload in buffers of their own
        a->nic->Send({host::OutgoingFrame(sent.back(), cuts)});
        if (n % 8 == 7) host::Advance(host::kMillisecond);
    }
    ASSERT_TRUE(host::RunUntil([&] { return b->nic->Received().size() == sent.size(); },
                               host::kSecond));
    std::vector<host::SendCompletion> completions = a->nic->Completions();
    ASSERT_EQ(completions.size(), sent.size());
    std::vector<host::ReceivedFrame> received = b->nic->Received();
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(completions[i].id, i + 1);
        EXPECT_EQ(completions[i].status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(completions[i].frame, sent[i]) << "send " << i;
        EXPECT_EQ(received[i].bytes, sent[i]) << "frame " << i;
    }
    EXPECT_EQ(a->nic->SendsOutstanding(), 0u);
}

class ConcurrentCarriageTest : public CarriageTest {
protected:
    host::WorldOptions WorldOptions() override { return testing_support::ConcurrentWorld(2); }
};

// Both adapters send at once from threads of their own, keeping a window of
// sends outstanding, while the executor's two threads carry the frames and
// take the interrupts. Every send completes once, successfully; at the far
// end every frame arrives once and in order, unless the card found no
// receive buffer for it and counted it. A sender also keeps fewer frames
// than the far end has receive buffers ahead of what the far end has taken,
// so that a loaded machine that starves one receiving thread makes it drop
// a few frames, not most of them.
TEST_F(ConcurrentCarriageTest, FramesSentBothWaysAtOnceArriveOnceAndInOrder) {
    auto [a, b] = Pair();
    testbed::Unit* units[2] = {a, b};
    constexpr uint32_t kFrames = 3000;
    constexpr size_t kWindow = 32;
    constexpr size_t kFarWindow = 12;  // the far end has 16 receive buffers
    std::mutex mu;
    std::vector<uint32_t> arrived[2];  // by receiving adapter
    std::atomic<uint32_t> completed[2] = {{0}, {0}}, failed{0};
    for (int i = 0; i < 2; ++i) {
        units[i]->nic->SetRecording(false);
        units[i]->nic->SetReturnPolicy({host::ReturnWhen::InsideIndication});
        units[i]->nic->OnReceive([&, i](const host::ReceivedFrame& f) {
            std::lock_guard<std::mutex> lock(mu);
            arrived[i].push_back(SequenceOf(f.bytes));
        });
        units[i]->nic->OnSendComplete([&, i](const host::SendCompletion& c) {
            if (c.status != NDIS_STATUS_SUCCESS) failed++;
            completed[i]++;
        });
    }
    auto accounted = [&](int i) {
        return arrived[i].size() + units[i]->Card().Counters().rxDroppedNoBuffer;
    };
    auto sender = [&](int i) {
        host::AttachThread(static_cast<unsigned>(i));
        for (uint32_t n = 0; n < kFrames; ++n) {
            auto room = [&] {
                std::lock_guard<std::mutex> lock(mu);
                return n - completed[i].load() < kWindow && n - accounted(1 - i) < kFarWindow;
            };
            if (!room() && !host::RunUntil(room, 10 * host::kSecond)) return;
            units[i]->nic->Send({host::OutgoingFrame(Numbered(i ? 1514 : 60, n, 0))});
        }
    };
    std::thread first(sender, 0), second(sender, 1);
    first.join();
    second.join();
    ASSERT_TRUE(host::RunUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mu);
            return completed[0] == kFrames && completed[1] == kFrames &&
                   accounted(0) == kFrames && accounted(1) == kFrames;
        },
        10 * host::kSecond));
    EXPECT_EQ(failed, 0u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_GT(arrived[i].size(), kFrames / 2);
        for (size_t n = 1; n < arrived[i].size(); ++n) {
            ASSERT_LT(arrived[i][n - 1], arrived[i][n]) << "adapter " << i << ", frame " << n;
        }
    }
}
