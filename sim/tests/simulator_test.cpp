// The simulator on the deterministic machine: two adapters back to back come
// up through their own drivers, pass frames, see a cut line through the
// driver's link supervision, answer the private OIDs through the control
// socket's requests, and halt with the verifier's ledger empty.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "sim/tests/sim_fixture.h"


TEST_F(SimulatorTest, TwoAdaptersComeUpAtTheRateTheirDriversConfigured) {
    Build();
    StartAndWaitForLinks();
    for (size_t i = 0; i < 2; ++i) {
        zr48sim::AdapterSnapshot s = View(i);
        EXPECT_EQ(s.phase, zr48sim::AdapterPhase::Running);
        EXPECT_EQ(s.firmwareSent, s.firmwareTotal);
        EXPECT_GT(s.firmwareTotal, 0u);
        EXPECT_EQ(s.rateKbps, 2048u);
        EXPECT_EQ(s.line, "data mode at 2048 kbit/s");
        EXPECT_TRUE(s.connected);
        EXPECT_EQ(s.connects, 1u);
    }
    EXPECT_EQ(View(0).mac, "02:48:00:00:00:01");
    EXPECT_EQ(sim->PeerAddress(0), sim->Address(1));
    EXPECT_TRUE(SawEvent("driver indicates media connect"));
}

TEST_F(SimulatorTest, GeneratedTrafficCrossesBothWaysAndTheDriverCountsIt) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(500, 2 * host::kMillisecond);
    host::Advance(2 * host::kSecond);
    sim->StopTraffic();
    host::Advance(200 * host::kMillisecond);  // what is on the line arrives
    zr48sim::AdapterSnapshot a = View(0), b = View(1);
    // 2048 kbit/s carries about 500 frames of 500 bytes a second each way.
    EXPECT_GT(a.completedOk, 800u);
    EXPECT_EQ(a.completedFailed, 0u);
    EXPECT_EQ(b.received, a.completedOk);
    EXPECT_EQ(a.received, b.completedOk);
    ASSERT_TRUE(a.countersFresh);
    EXPECT_EQ(a.xmitOk, a.completedOk);
    EXPECT_EQ(b.rcvOk, b.received);
    EXPECT_EQ(a.outstanding, 0u);
}

// As many adapters as the configuration takes, a card in every slot of the
// bus: each comes up on its own window, interrupt line and address, and every
// pair carries traffic both ways with nothing lost.
TEST_F(SimulatorTest, AsManyAdaptersAsTheBusHoldsComeUpAndCarryTraffic) {
    std::string text;
    for (size_t i = 0; i < zr48sim::kMaxAdapters; ++i) {
        text += "[adapter a" + std::to_string(i) + "]\nline = l" + std::to_string(i / 2) +
                "\nTerminalType = " + (i % 2 ? "0" : "1") + "\n";
    }
    zr48sim::SimConfig config;
    std::string error;
    ASSERT_TRUE(zr48sim::ParseConfig(text, ".", &config, &error)) << error;
    ASSERT_EQ(config.adapters.size(), zr48sim::kMaxAdapters);
    Build(config);
    StartAndWaitForLinks();
    sim->StartTraffic(1514, 2 * host::kMillisecond);
    host::Advance(500 * host::kMillisecond);
    sim->StopTraffic();
    host::Advance(200 * host::kMillisecond);  // what is on the line arrives
    std::vector<zr48sim::AdapterSnapshot> all = sim->Snapshot();
    std::set<std::string> addresses;
    for (auto& s : all) addresses.insert(s.mac);
    EXPECT_EQ(addresses.size(), zr48sim::kMaxAdapters);
    for (size_t i = 0; i < all.size(); i += 2) {
        EXPECT_GT(all[i].completedOk, 50u) << all[i].name;
        EXPECT_EQ(all[i + 1].received, all[i].completedOk) << all[i].name;
        EXPECT_EQ(all[i].received, all[i + 1].completedOk) << all[i].name;
    }
    EXPECT_EQ(all.back().line, "data mode at 2048 kbit/s");
}

TEST_F(SimulatorTest, CutLineIsSeenThroughTheDriversLinkSupervision) {
    Build();
    StartAndWaitForLinks();
    std::string error;
    EXPECT_EQ(control->Answer("LINE l1 cut"), "OK");
    host::Advance(100 * host::kMillisecond);
    EXPECT_TRUE(sim->LinkUp(0)) << "the driver looks 500 ms after the line event";
    host::Advance(500 * host::kMillisecond);
    EXPECT_FALSE(sim->LinkUp(0));
    EXPECT_FALSE(sim->LinkUp(1));
    EXPECT_TRUE(View(0).cut);
    EXPECT_EQ(control->Answer("LINE l1 restore"), "OK");
    ASSERT_TRUE(host::RunUntil([&] { return sim->AllLinksUp(); }, 10 * host::kSecond));
    EXPECT_EQ(View(1).disconnects, 1u);
    EXPECT_EQ(View(1).connects, 2u);

    zr48stat::Statistics s = ReadStatistics("b");
    EXPECT_EQ(s.linkUpCount, 2u);
    EXPECT_EQ(s.lineStatus, 0x40);
    EXPECT_NE(s.lastLinkUpTime, 0u);
    EXPECT_EQ(s.reply9E[1], 1) << "one loss of sync";
    EXPECT_NE(control->Answer("LINE l2 cut").find("no line named l2"), std::string::npos);
    EXPECT_NE(control->Answer("LINE l1 loss 2").find("probability"), std::string::npos);
    EXPECT_NE(control->Answer("LINE l1 flap 0").find("1 to 600000"), std::string::npos);
}

TEST_F(SimulatorTest, ResetFromTheUpperEdgeDuringTrafficLosesOnlyWhatItAborts) {
    Build();
    StartAndWaitForLinks();
    sim->StartTraffic(1000, 2 * host::kMillisecond);
    host::Advance(500 * host::kMillisecond);
    EXPECT_EQ(control->Answer("RESET a"), "OK");
    host::Advance(500 * host::kMillisecond);
    sim->StopTraffic();
    host::Advance(200 * host::kMillisecond);
    zr48sim::AdapterSnapshot a = View(0), b = View(1);
    EXPECT_EQ(a.resets, 1u);
    EXPECT_EQ(a.outstanding, 0u) << "every send completed, aborted ones included";
    EXPECT_EQ(a.completedOk + a.completedFailed, a.sent);
    EXPECT_EQ(b.received, a.completedOk);
    EXPECT_GT(b.received, 100u) << "traffic went on after the reset";
    EXPECT_NE(control->Answer("RESET z").find("no adapter named z"), std::string::npos);
}

TEST_F(SimulatorTest, AnUnansweredStatisticsRequestWaitsUntilHalt) {
    Build();
    StartAndWaitForLinks();
    sim->Snapshot();  // the display's own requests, before the transceiver goes quiet
    zr48sim::RequestOutcome first = sim->Request(0, true, OID_ZR48_GET_STATISTICS,
                                                 zr48stat::ReadRequestBuffer(), host::kSecond);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.result.status, 0u);
    // A clear whose answer never comes: the driver's request stays pending.
    sim->CardOf(0).WithholdAnswer(0x40);
    zr48sim::RequestOutcome stuck = sim->Request(0, true, OID_ZR48_CLEAR_STATISTICS,
                                                 zr48stat::ClearRequestBuffer(), host::kSecond);
    EXPECT_FALSE(stuck.ok);
    EXPECT_EQ(stuck.error, "the request is still pending");
    zr48sim::RequestOutcome next =
        sim->Request(0, true, 0x00010107 /* OID_GEN_LINK_SPEED */, std::vector<uint8_t>(4, 0),
                     host::kSecond);
    EXPECT_FALSE(next.ok);
    EXPECT_EQ(next.error, "an earlier request is still pending on the adapter");
    EXPECT_FALSE(View(0).countersFresh) << "the display does not queue behind it";
    sim->HaltAll();  // completes it with failure; TearDown checks the ledger
    EXPECT_EQ(sim->Request(0, true, 0x00010107, std::vector<uint8_t>(4, 0), host::kSecond).error,
              "the adapter is not running");
}

TEST_F(SimulatorTest, OneCardOnALoopbackLineHearsItsOwnFrames) {
    zr48sim::SimConfig config;
    std::string error;
    ASSERT_TRUE(zr48sim::ParseConfig("[adapter solo]\nline = loopback\nTerminalType = 1\n", ".",
                                     &config, &error));
    Build(config);
    StartAndWaitForLinks();
    ASSERT_TRUE(sim->TrySend(0, testbed::MakeFrame(100, 7)));
    host::Advance(100 * host::kMillisecond);
    EXPECT_EQ(View(0).received, 1u);
}

TEST_F(SimulatorTest, EachCardOnLoopbackHasAFarEndOfItsOwn) {
    zr48sim::SimConfig config;
    std::string error;
    ASSERT_TRUE(zr48sim::ParseConfig("[adapter a]\nline = loopback\nTerminalType = 1\n"
                                     "NetworkAddress = 024800000001\n"
                                     "[adapter b]\nline = loopback\nTerminalType = 1\n"
                                     "NetworkAddress = 024800000002\n",
                                     ".", &config, &error));
    Build(config);
    StartAndWaitForLinks();
    EXPECT_EQ(sim->LineNames(), (std::vector<std::string>{"loopback:a", "loopback:b"}));
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(sim->PeerAddress(i), sim->Address(i)) << "its frames come back to it";
        ASSERT_TRUE(sim->TrySend(i, testbed::MakeFrame(100, 7, sim->PeerAddress(i),
                                                       sim->Address(i))));
    }
    host::Advance(100 * host::kMillisecond);
    EXPECT_EQ(View(0).received, 1u);
    EXPECT_EQ(View(1).received, 1u);

    EXPECT_EQ(control->Answer("LINE loopback:b cut"), "OK");
    host::Advance(700 * host::kMillisecond);
    EXPECT_TRUE(View(1).cut);
    EXPECT_FALSE(sim->LinkUp(1));
    EXPECT_FALSE(View(0).cut);
    EXPECT_TRUE(sim->LinkUp(0)) << "the other card's line is untouched";
}
