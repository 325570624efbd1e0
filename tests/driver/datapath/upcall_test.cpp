// Every call the driver makes up into NDIS that can reach a protocol
// (receive indications, send and request completions, status) is made with
// no spin lock held: a protocol may take its own lock there and hold it while
// it sends, and a sender on another processor would then wait for the
// adapter lock held across the call.
#include <map>
#include <string>

#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;

namespace {

class UpcallTest : public DataPathTest {
protected:
    // Spin locks the driver held at each upcall, by kind.
    std::map<std::string, std::vector<int>> held;

    void Watch(Unit& unit) {
        unit.nic->OnReceive([this](const host::ReceivedFrame&) {
            held["receive"].push_back(host::SpinLocksHeld());
        });
        unit.nic->OnSendComplete([this](const host::SendCompletion&) {
            held["send completion"].push_back(host::SpinLocksHeld());
        });
        unit.nic->OnRequestComplete([this](const host::RequestResult&) {
            held["request completion"].push_back(host::SpinLocksHeld());
        });
        unit.nic->OnStatus([this](const host::StatusIndication&) {
            held["status"].push_back(host::SpinLocksHeld());
        });
    }
};

TEST_F(UpcallTest, NoneIsMadeWithASpinLockHeld) {
    Unit& unit = machine->AddAdapter({{"XmtQueueLen", 2}});
    machine->Loopback(unit);
    Watch(unit);
    machine->Start(unit);
    ASSERT_TRUE(machine->LinkUp(unit));

    SendFrames(unit, Frames(3, 200));                   // completed by the card
    for (int i = 0; i < 3; ++i) unit.loopback->InjectFrame(MakeFrame(100, i));
    Advance(50 * host::kMillisecond);
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    unit.nic->WaitForRequest(host::kSecond);            // completed from the deferred routine
    unit.loopback->Cut();                               // line down: a status indication
    Advance(2 * host::kSecond);

    unit.Card().WithholdAnswer();                       // a request the reset ends
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    SendFrames(unit, Frames(5, 300));                   // two on the ring, three waiting
    EXPECT_EQ(unit.nic->Reset().status, NDIS_STATUS_SUCCESS);

    for (const char* kind : {"receive", "send completion", "request completion", "status"}) {
        SCOPED_TRACE(kind);
        ASSERT_FALSE(held[kind].empty());
        for (int locks : held[kind]) EXPECT_EQ(locks, 0);
    }
    EXPECT_EQ(held["request completion"].size(), 2u);
    EXPECT_GE(held["send completion"].size(), 8u);
}

}  // namespace
