// Small verbs for telling information requests as stories: the private
// requests' buffers, the statistics block decoded at the offsets a
// user-space tool reads it from (independently of the driver's record), and
// a tap on the card's window for the few facts that only the moment of a
// register write shows.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/machine_test.h"
#include "card/mailbox_protocol.h"
#include "card/registers.h"
#include "cardmodel/controller_codes.h"
#include "requests/requests.h"

namespace requests_test {

using host::kMillisecond;
using host::kSecond;
using host::kUntouched;

constexpr uint8_t kPattern = host::kInformationPattern;
// What the default line measures once trained (LineOptions::quality).
constexpr uint8_t kAttenuation = 18;
constexpr uint8_t kMargin = 10;

// A private request's information buffer: the signature bytes t, a, t, s,
// then the host's fill pattern up to `length` bytes.
inline std::vector<uint8_t> SignedBuffer(size_t length) {
    std::vector<uint8_t> buffer(length, kPattern);
    const uint8_t signature[4] = {0x74, 0x61, 0x74, 0x73};
    for (size_t i = 0; i < length && i < 4; ++i) buffer[i] = signature[i];
    return buffer;
}

inline uint64_t LittleEndian(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= uint64_t{bytes.at(offset + i)} << (8 * i);
    return value;
}

// The 64-byte block as the statistics tool decodes it.
struct Block {
    uint64_t xmitOk, rcvOk, rcvError;
    uint32_t xmitErrorEvents, isrBit08Events, linkUpCount, reserved;
    uint64_t lastLinkUpTime;
    uint8_t reply82, reply83;
    std::array<uint8_t, 2> reply94;
    uint8_t lineStatus, lineStatusAux;
    std::array<uint8_t, 10> reply9E;

    static Block Decode(const std::vector<uint8_t>& b) {
        Block k{};
        k.xmitOk = LittleEndian(b, 0, 8);
        k.rcvOk = LittleEndian(b, 8, 8);
        k.rcvError = LittleEndian(b, 16, 8);
        k.xmitErrorEvents = static_cast<uint32_t>(LittleEndian(b, 24, 4));
        k.isrBit08Events = static_cast<uint32_t>(LittleEndian(b, 28, 4));
        k.linkUpCount = static_cast<uint32_t>(LittleEndian(b, 32, 4));
        k.reserved = static_cast<uint32_t>(LittleEndian(b, 36, 4));
        k.lastLinkUpTime = LittleEndian(b, 40, 8);
        k.reply82 = b.at(48);
        k.reply83 = b.at(49);
        k.reply94 = {b.at(50), b.at(51)};
        k.lineStatus = b.at(52);
        k.lineStatusAux = b.at(53);
        for (size_t i = 0; i < 10; ++i) k.reply9E[i] = b.at(54 + i);
        return k;
    }
};

// The system time the host reports at `when`, as the driver stamps a line-up.
inline uint64_t SystemTimeAt(host::Nanoseconds when) {
    return static_cast<uint64_t>(host::Options().bootSystemTime + when / 100);
}

// Adapter parameters for a line code 0..3 (the keyword counts from 1).
inline std::map<std::string, uint32_t> WithLineCode(uint32_t lineCode) {
    return {{"LineCode", lineCode + 1}};
}

// A loopback whose trained line measures the given SNR margin: the answer
// byte to the margin command.
inline cardmodel::LoopbackOptions WithMargin(int8_t marginDb) {
    cardmodel::LoopbackOptions options;
    options.line.quality.snrMarginDb = marginDb;
    return options;
}

// The transceiver commands the card has recorded from `from` on, by code.
inline std::vector<uint8_t> CommandCodes(cardmodel::Card& card, size_t from = 0) {
    std::vector<uint8_t> codes;
    auto commands = card.Commands();
    for (size_t i = from; i < commands.size(); ++i) codes.push_back(commands[i].code);
    return codes;
}

// Stands between the driver and the card's window for as long as it lives,
// and calls `onWrite` before each byte the driver writes reaches the card.
class WindowTap : public host::MmioDevice {
public:
    using Observer = std::function<void(uint32_t offset, uint8_t value)>;
    WindowTap(testbed::Unit& unit, Observer onWrite)
        : slot_(*unit.slot), onWrite_(std::move(onWrite)) {
        host::DetachMmio(slot_.Where().windowBase);
        host::AttachMmio(slot_.Where().windowBase, cardmodel::WINDOW_SIZE, this);
    }
    ~WindowTap() override {
        host::DetachMmio(slot_.Where().windowBase);
        host::AttachMmio(slot_.Where().windowBase, cardmodel::WINDOW_SIZE, &slot_);
    }
    uint8_t Read8(uint32_t offset) override { return slot_.Read8(offset); }
    uint32_t Read32(uint32_t offset) override { return slot_.Read32(offset); }
    void Write32(uint32_t offset, uint32_t value) override { slot_.Write32(offset, value); }
    void Write8(uint32_t offset, uint8_t value) override {
        onWrite_(offset, value);
        slot_.Write8(offset, value);
    }

private:
    testbed::CardSlot& slot_;
    Observer onWrite_;
};

class RequestsTest : public DriverTest {
protected:
    // Issues a read with a buffer of `length` bytes opening with the signature.
    static host::RequestResult StartRead(testbed::Unit& unit, size_t length = 64) {
        return unit.nic->Query(OID_ZR48_GET_STATISTICS, SignedBuffer(length));
    }
    static host::RequestResult StartClear(testbed::Unit& unit, size_t length = 4) {
        return unit.nic->Query(OID_ZR48_CLEAR_STATISTICS, SignedBuffer(length));
    }
    // A read that must pend and then complete with success; its result.
    static host::RequestResult Read(testbed::Unit& unit, size_t length = 64) {
        host::RequestResult started = StartRead(unit, length);
        EXPECT_EQ(started.status, NDIS_STATUS_PENDING);
        host::RequestResult done = unit.nic->WaitForRequest(kSecond);
        EXPECT_TRUE(done.completed);
        EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
        return done;
    }
    static Block ReadBlock(testbed::Unit& unit) { return Block::Decode(Read(unit).buffer); }
    static void Clear(testbed::Unit& unit) {
        EXPECT_EQ(StartClear(unit).status, NDIS_STATUS_PENDING);
        host::RequestResult done = unit.nic->WaitForRequest(kSecond);
        EXPECT_TRUE(done.completed);
        EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    }
    static uint64_t Counter(testbed::Unit& unit, NDIS_OID oid) {
        host::RequestResult r = unit.nic->Query(oid, 8);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        return LittleEndian(r.buffer, 0, 8);
    }
};

}  // namespace requests_test
