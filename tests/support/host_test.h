// Test support: a fresh host machine per test, checked when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/diagnostics.h"
#include "host/verifier.h"
#include "host/world.h"

namespace testing_support {

// Runs fn and returns the verifier violations it caused, instead of failing
// the test with them.
std::vector<std::string> CaptureViolations(const std::function<void()>& fn);

// True when some message contains `part`.
bool AnyContains(const std::vector<std::string>& messages, const std::string& part);

// A machine whose processors are real threads, on the real clock. NDIS's
// watchdog is off: on the real clock, a busy machine can hold a request or a
// send past its time-out, and whether the watchdog then resets the adapter
// would depend on the scheduler. A test of the watchdog itself turns it on.
inline host::WorldOptions ConcurrentWorld(unsigned processors = 2) {
    host::WorldOptions options;
    options.mode = host::Mode::Concurrent;
    options.processors = processors;
    options.watchdog = false;
    return options;
}

// The machine of a test that calls the hang check and the reset itself, at
// the moments it chooses: NDIS's watchdog would make calls of its own between
// them.
inline host::WorldOptions WithoutWatchdog(host::WorldOptions options = {}) {
    options.watchdog = false;
    return options;
}

// The machine without special pool: blocks get guard bytes on both sides
// instead of pages of their own, which the checks at free and at the end of a
// request must find as well.
inline host::WorldOptions WithoutSpecialPool(host::WorldOptions options = {}) {
    options.specialPool = false;
    return options;
}

}  // namespace testing_support

// A test on a fresh host machine. When the test ends, nothing may be left in
// the verifier's ledger.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetWorld(WorldOptions()); }
    void TearDown() override {
        host::ReportSpecialPoolFaults();
        host::StopWorld();
        EXPECT_EQ(host::LedgerSize(), 0u) << host::LedgerReport();
    }
    virtual host::WorldOptions WorldOptions() { return {}; }
};
