// The host's byte blocks handed to the driver (packet pieces, information
// buffers), reused from one use to the next: each use holds exactly its own
// bytes, and a write just before the block is still found, in special pool
// and with guard bytes.
#include <cstdint>
#include <vector>

#include "host/src/internal_pool.h"
#include "tests/support/host_test.h"

using host::internal::HostBytes;

namespace {

std::vector<uint8_t> Bytes(size_t length, uint8_t seed) {
    std::vector<uint8_t> b(length);
    for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// Lengths that move the block's start back and forth within its page and
// once past it (a new block), each use copied or filled.
void ReuseKeepsEachUsesBytesAndFindsAWriteBeforeTheStart() {
    HostBytes block;
    const size_t lengths[] = {60, 1514, 8, 1514, 0, 700, 5000, 60};
    uint8_t seed = 1;
    for (size_t length : lengths) {
        std::vector<uint8_t> want = Bytes(length, seed++);
        ASSERT_TRUE(block.Assign(want.data(), length, 0xEE, "a piece"));
        EXPECT_EQ(block.Copy(), want) << "length " << length;
        EXPECT_TRUE(block.Intact()) << "length " << length;

        ASSERT_TRUE(block.Assign(nullptr, length, 0x3C, nullptr));
        EXPECT_EQ(block.Copy(), std::vector<uint8_t>(length, 0x3C)) << "length " << length;
        EXPECT_TRUE(block.Intact());
    }
    // A write into the byte before the start (special pool) or after the
    // end (guard bytes) is found, and the next use is whole again.
    std::vector<uint8_t> frame = Bytes(100, 9);
    ASSERT_TRUE(block.Assign(frame.data(), frame.size(), 0, "a piece"));
    if (host::Options().specialPool) {
        block.data()[-1] ^= 0x5A;
    } else {
        block.data()[frame.size()] ^= 0x5A;
    }
    EXPECT_FALSE(block.Intact());
    std::vector<uint8_t> next = Bytes(40, 77);
    ASSERT_TRUE(block.Assign(next.data(), next.size(), 0, "a piece"));
    EXPECT_EQ(block.Copy(), next);
    EXPECT_TRUE(block.Intact());
    block.Free();
}

}  // namespace

class HostBytesTest : public HostTest {};

TEST_F(HostBytesTest, SpecialPoolReuseHoldsEachUsesBytes) {
    ASSERT_TRUE(host::Options().specialPool);
    ReuseKeepsEachUsesBytesAndFindsAWriteBeforeTheStart();
}

class PlainHostBytesTest : public HostTest {
protected:
    host::WorldOptions WorldOptions() override { return testing_support::WithoutSpecialPool(); }
};

TEST_F(PlainHostBytesTest, GuardBytesReuseHoldsEachUsesBytes) {
    ReuseKeepsEachUsesBytesAndFindsAWriteBeforeTheStart();
}
