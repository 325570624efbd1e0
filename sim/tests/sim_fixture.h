// The simulator on the deterministic machine, for the tests: built from a
// configuration, started, its control socket's requests answered in line,
// halted with the verifier's ledger checked.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "cardmodel/card.h"
#include "common/control_protocol.h"
#include "common/stats_block.h"
#include "sim/control_server.h"
#include "sim/display.h"
#include "sim/simulator.h"
#include "testbed/machine.h"
#include "tests/support/host_test.h"

using zr48sim::Simulator;

class SimulatorTest : public HostTest {
protected:
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<zr48sim::ControlServer> control;

    void Build(zr48sim::SimConfig config = zr48sim::DefaultConfig()) {
        sim = std::make_unique<Simulator>(config, zr48sim::SimOptions{});
        std::string error;
        ASSERT_TRUE(sim->Build(&error)) << error;
        control = std::make_unique<zr48sim::ControlServer>(*sim, nullptr);
    }
    void StartAndWaitForLinks() {
        std::string error;
        ASSERT_TRUE(sim->StartAdapters(&error)) << error;
        ASSERT_TRUE(host::RunUntil([&] { return sim->AllLinksUp(); }, 10 * host::kSecond));
    }
    void TearDown() override {
        if (sim) {
            sim->HaltAll();
            zr48sim::ShutdownReport report = sim->Finish();
            EXPECT_TRUE(report.clean);
            for (auto& p : report.problems) ADD_FAILURE() << p;
        }
        HostTest::TearDown();
    }
    zr48stat::Statistics ReadStatistics(const std::string& adapter) {
        zr48control::InformationRequest r{true, adapter, OID_ZR48_GET_STATISTICS,
                                          zr48stat::ReadRequestBuffer()};
        zr48control::InformationAnswer answer;
        std::string error;
        EXPECT_TRUE(zr48control::ParseAnswer(control->Answer(zr48control::FormatRequest(r)),
                                             &answer, &error))
            << error;
        EXPECT_EQ(answer.status, 0u);
        zr48stat::Statistics s;
        EXPECT_TRUE(zr48stat::DecodeStatistics(answer.buffer.data(), answer.buffer.size(), &s));
        return s;
    }
    zr48sim::AdapterSnapshot View(size_t adapter) { return sim->Snapshot().at(adapter); }
    bool SawEvent(const std::string& part) {
        for (auto& e : sim->AllEvents()) {
            if (e.text.find(part) != std::string::npos) return true;
        }
        return false;
    }
    // Ends this simulator as the test's end would, and makes the machine
    // fresh for another (a test that goes through a table of cases).
    void Renew() {
        TearDown();
        control.reset();
        sim.reset();
        SetUp();
    }
    // A configuration from text; fails the test when it does not parse.
    static zr48sim::SimConfig Config(const std::string& text) {
        zr48sim::SimConfig config;
        std::string error;
        EXPECT_TRUE(zr48sim::ParseConfig(text, ".", &config, &error)) << error;
        return config;
    }
};

