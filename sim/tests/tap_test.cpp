// The TAP bridge's reader when its device goes away under it (its namespace
// deleted while the simulator runs): a pipe whose writer has closed polls as
// a hung-up device does.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/host_test.h"
#include "sim/simulator.h"
#include "sim/tap.h"

TEST_F(HostTest, TapReaderStopsAndSaysSoOnceItsDeviceIsGone) {
    zr48sim::Simulator sim(zr48sim::DefaultConfig(), zr48sim::SimOptions{});
    std::string error;
    ASSERT_TRUE(sim.Build(&error)) << error;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        zr48sim::TapBridge bridge(sim, 0, "zr48a");
        bridge.Adopt(ends[0]);
        EXPECT_FALSE(bridge.Start(&error)) << "a pipe takes no address";
        EXPECT_TRUE(bridge.Carrying());
        close(ends[1]);
        // At most 10 s of real time, without sleeping.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (bridge.Carrying() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        EXPECT_FALSE(bridge.Carrying());
        size_t told = 0;
        for (auto& e : sim.TakeEvents()) {
            if (e.text.find("TAP device gone") != std::string::npos) {
                told++;
                EXPECT_EQ(e.adapter, "zr48a");
            }
        }
        EXPECT_EQ(told, 1u);
        bridge.Stop();
    }
    sim.HaltAll();
    EXPECT_TRUE(sim.Finish().clean);
}

// A device whose carrier cannot be set (a kernel before 5.0; here a pipe)
// says so once, and the bridge carries on.
TEST_F(HostTest, TapCarrierThatCannotBeSetIsSaidOnce) {
    zr48sim::Simulator sim(zr48sim::DefaultConfig(), zr48sim::SimOptions{});
    std::string error;
    ASSERT_TRUE(sim.Build(&error)) << error;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        zr48sim::TapBridge bridge(sim, 0, "zr48a");
        bridge.Adopt(ends[0]);
        ASSERT_TRUE(sim.StartAdapters(&error)) << error;
        ASSERT_TRUE(host::RunUntil([&] { return sim.AllLinksUp(); }, 10 * host::kSecond));
        EXPECT_EQ(bridge.Carrier(), -1);
        size_t told = 0;
        for (auto& e : sim.AllEvents()) {
            if (e.text.find("cannot set the carrier (TUNSETCARRIER needs Linux 5.0 or later)") !=
                std::string::npos) {
                told++;
            }
        }
        EXPECT_EQ(told, 1u);
    }
    sim.HaltAll();
    close(ends[1]);
    EXPECT_TRUE(sim.Finish().clean);
}
