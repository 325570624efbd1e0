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

// A guarded block is found from any address in its pages or its two guard
// pages, and from none past them; once the quarantine unmaps it, from none
// at all (a lookup must not find a block that is gone, whose memory the
// system may hand out again).
TEST_F(HostBytesTest, AGuardedBlockIsFoundOverItsPagesAndNotOnceUnmapped) {
    using host::internal::GuardedAllocate;
    using host::internal::GuardedFree;
    using host::internal::IsGuarded;
    const uintptr_t page = 4096;
    auto* block = static_cast<uint8_t*>(GuardedAllocate(5000, 0, "a two-page block"));
    ASSERT_NE(block, nullptr);
    auto data = reinterpret_cast<uintptr_t>(block);
    uintptr_t end = data + 5000;  // on a page boundary: the trailing guard page
    uintptr_t first = end - 2 * page;
    for (uintptr_t at : {data, end - 1, first, first - 1, first - page, end, end + page - 1}) {
        EXPECT_TRUE(IsGuarded(reinterpret_cast<void*>(at))) << "offset " << at - data;
    }
    GuardedFree(block);
    EXPECT_TRUE(IsGuarded(block)) << "a freed block stays in quarantine, found";
    // Enough frees behind it push it out of the quarantine and unmap it;
    // looked at after each, before anything new is mapped where it was.
    int frees = 0;
    while (IsGuarded(block) && frees++ < 3000) GuardedFree(GuardedAllocate(16, 0, "a small block"));
    EXPECT_LT(frees, 3000) << "the quarantine never let the block go";
    for (uintptr_t at : {data, end - 1, first - page, end}) {
        EXPECT_FALSE(IsGuarded(reinterpret_cast<void*>(at))) << "offset " << at - data;
    }
}
