// Verbs for the card-control tests: cards brought up with or without a far
// end, the transceiver commands the card recorded, the card's access log as
// text, line events as the transceiver posts them, and driver operations
// called the way their own callers call them.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/machine_test.h"
#include "card/card_control.h"
#include "card/firmware.h"
#include "card/link.h"
#include "card/mailbox.h"
#include "requests/requests.h"

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using host::kMillisecond;
using host::kSecond;

class CardTest : public DriverTest {
protected:
    // A card in a slot, not yet initialized, so that knobs can be set first.
    testbed::Unit& Add(const std::map<std::string, uint32_t>& integers = {},
                       cardmodel::CardOptions options = {}) {
        testbed::AdapterSetup setup;
        setup.integers = integers;
        setup.card = options;
        return machine->AddAdapter(setup);
    }
    // An initialized card without a far end: its line never comes up unless
    // a test writes the line status byte itself.
    testbed::Unit& Lone(const std::map<std::string, uint32_t>& integers = {}) {
        testbed::Unit& unit = Add(integers);
        EXPECT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
        Advance(kMillisecond);  // the controller is ready to post again
        return unit;
    }
    static Adapter* AdapterOf(testbed::Unit& unit) { return (Adapter*)testing_support::DriverContext(unit); }

    // Runs fn at DISPATCH_LEVEL holding the adapter lock, as the deferred
    // routine, reset and halt hold it.
    static void UnderLock(Adapter* adapter, const std::function<void()>& fn) {
        host::RunAtIrql(DISPATCH_LEVEL, "test under the adapter lock", [&] {
            AcquireAdapterLock(&adapter->Lock);
            fn();
            ReleaseAdapterLock(&adapter->Lock);
        });
    }

    static Bytes Codes(const cardmodel::Card& card) {
        Bytes codes;
        for (auto& c : card.Commands()) codes.push_back(c.code);
        return codes;
    }
    static std::vector<Bytes> Payloads(const cardmodel::Card& card, uint8_t code) {
        std::vector<Bytes> payloads;
        for (auto& c : card.Commands()) {
            if (c.code == code) payloads.push_back(c.payload);
        }
        return payloads;
    }
    // The card's access log as text; `registers` keeps only the eight
    // registers (no mailbox, no descriptors).
    static Lines Log(const cardmodel::Card& card, bool registers = false) {
        Lines lines;
        for (auto& line : cardmodel::Describe(card.AccessLog())) {
            bool other = line.find("MB+") != std::string::npos ||
                         line.find('[') != std::string::npos;
            if (!registers || !other) lines.push_back(line);
        }
        return lines;
    }
    static bool HasRun(const Lines& log, const Lines& run) {
        return std::search(log.begin(), log.end(), run.begin(), run.end()) != log.end();
    }
    // "W MB+0x03=0xF0" for each (offset, value).
    static Lines MailboxWrites(const std::vector<std::pair<unsigned, unsigned>>& writes) {
        Lines lines;
        char text[32];
        for (auto& [offset, value] : writes) {
            snprintf(text, sizeof text, "W MB+0x%02X=0x%02X", offset, value);
            lines.push_back(text);
        }
        return lines;
    }

    static void SetLineStatus(cardmodel::Card& card, uint8_t status) {
        card.Write8(cardmodel::WINDOW_MAILBOX + cardmodel::MAILBOX_LINE_STATUS, status);
    }
    // The transceiver reports a line change with `status` in the line status
    // byte a millisecond from now; the mailbox service takes the event at
    // once. Returns when the look at the line is due, with the access log
    // and the indications cleared.
    host::Nanoseconds LineEvent(testbed::Unit& unit, uint8_t status) {
        Advance(kMillisecond);  // a posting just taken holds the next back a little
        SetLineStatus(unit.Card(), status);
        unit.Card().PostEvent(cardmodel::EVENT_FLAG_LINE_CHECK);
        host::Nanoseconds due = host::Now() + LINK_CHECK_DELAY_MS * kMillisecond;
        Advance(kMillisecond);
        unit.Card().ClearAccessLog();
        unit.nic->ClearRecords();
        return due;
    }
    // The media indications made (NdisMIndicateStatus), each of which must
    // be followed by its NdisMIndicateStatusComplete.
    static std::vector<NDIS_STATUS> Indications(testbed::Unit& unit) {
        std::vector<NDIS_STATUS> statuses;
        auto all = unit.nic->StatusIndications();
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i].complete) continue;
            EXPECT_TRUE(i + 1 < all.size() && all[i + 1].complete) << "no status complete";
            statuses.push_back(all[i].status);
        }
        return statuses;
    }
    static std::vector<uint8_t> StatisticsRequest() {
        Bytes buffer(sizeof(StatisticsBlock), 0);
        buffer[0] = 't', buffer[1] = 'a', buffer[2] = 't', buffer[3] = 's';
        return buffer;
    }
};
