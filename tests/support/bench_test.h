// Test support: a fresh machine with the driver loaded (a testbed::Bench),
// and the small verbs the driver's tests are told with.
#pragma once

#include <memory>

#include "bench.h"
#include "host_test.h"

class DriverTest : public HostTest {
protected:
    std::unique_ptr<testbed::Bench> bench;

    void SetUp() override {
        HostTest::SetUp();
        bench = std::make_unique<testbed::Bench>();
    }
    void TearDown() override {
        bench.reset();
        HostTest::TearDown();
    }

    // A card with a loopback partner, initialized, packet filter set, line up.
    testbed::Unit& StartedAdapter(const std::map<std::string, uint32_t>& integers = {},
                                  cardmodel::LoopbackOptions loopback = {}) {
        testbed::Unit& unit = bench->AddAdapter(integers);
        bench->Loopback(unit, loopback);
        bench->Start(unit);
        EXPECT_TRUE(unit.nic->Running());
        EXPECT_TRUE(bench->LinkUp(unit));
        return unit;
    }

    static void Advance(host::Nanoseconds d) { host::Advance(d); }
};
