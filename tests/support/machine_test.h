// Test support: a fresh machine with the driver loaded (a testbed::Machine),
// and the small verbs the driver's tests are told with.
#pragma once

#include <cstdlib>
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

// A test that reads or calls the driver's own records and functions (the
// Adapter, its rings and queues, its handlers called directly) runs on the
// driver linked in, whose records the test shares, and is skipped when the
// test program runs a driver image (ZR48_DRIVER_IMAGE), whose records are laid
// out by another compiler for another system. Tests without the mark are
// black-box: the upper edge and the card only; they run on the image too.
inline bool OnDriverImage() {
    const char* path = getenv(testbed::kDriverImageVariable);
    return path && *path;
}
#define ZR48_WHITE_BOX()                                                             \
    do {                                                                             \
        if (testing_support::OnDriverImage()) {                                      \
            GTEST_SKIP() << "white-box: reaches into the driver linked in";          \
        }                                                                            \
    } while (0)

// The adapter's own record, for a white-box test; a failure when a test that
// is not marked reaches for it on a driver image.
inline void* DriverContext(testbed::Unit& unit) {
    if (OnDriverImage()) {
        ADD_FAILURE() << "a test reads the driver's records on a driver image: mark it "
                         "ZR48_WHITE_BOX()";
    }
    return unit.nic->Context();
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
