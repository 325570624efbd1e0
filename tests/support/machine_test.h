// Test support: a fresh machine with the driver loaded (a testbed::Machine),
// and the small verbs the driver's tests are told with.
#pragma once

#include <memory>

#include "testbed/machine.h"
#include "tests/support/host_test.h"

namespace testing_support {

// A card that boots, loads and trains in a few milliseconds of real time, for
// tests on concurrent processors. The firmware start stays long enough for
// the thread that waits for the download's last answer to have read it
// before the stage code takes the status byte, on a loaded machine too: real
// cards take longer still.
inline cardmodel::CardOptions QuickCard() {
    cardmodel::CardOptions card;
    card.bootDelayNs = host::kMillisecond;
    card.firmwareStartDelayNs = 20 * host::kMillisecond;
    card.answerDelayNs = 20 * host::kMicrosecond;
    card.mailboxPollNs = 10 * host::kMicrosecond;
    card.trainingTimeNs = host::kMillisecond;
    return card;
}

}  // namespace testing_support

class DriverTest : public HostTest {
protected:
    std::unique_ptr<testbed::Machine> machine;

    void SetUp() override {
        HostTest::SetUp();
        machine = std::make_unique<testbed::Machine>();
    }
    void TearDown() override {
        machine.reset();
        HostTest::TearDown();
    }

    // A card with a loopback partner, initialized, packet filter set, line up.
    testbed::Unit& StartedAdapter(const std::map<std::string, uint32_t>& integers = {},
                                  cardmodel::LoopbackOptions loopback = {}) {
        testbed::Unit& unit = machine->AddAdapter(integers);
        machine->Loopback(unit, loopback);
        machine->Start(unit);
        EXPECT_TRUE(unit.nic->Running());
        EXPECT_TRUE(machine->LinkUp(unit));
        return unit;
    }

    static void Advance(host::Nanoseconds d) { host::Advance(d); }
};
