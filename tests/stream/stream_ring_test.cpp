// The ring on its own: what a put and a take may do at the edges of the data area and of the
// fill level, and that completions on several threads keep the bytes in order.
#include "usb/stream_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "platform/host/kernel_state.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"

namespace {

class StreamRingTest : public ::testing::Test {
  protected:
    void SetUp() override { host::ResetKernelState(); }
    void TearDown() override {
        StreamRingFree(ring);
        EXPECT_EQ(host::PoolBlocksOutstanding(kDriverPoolTag), 0u);
    }
    std::vector<UCHAR> Bytes(ULONG count, UCHAR first = 0) {
        std::vector<UCHAR> bytes(count);
        std::iota(bytes.begin(), bytes.end(), first);
        return bytes;
    }
    StreamRing* ring = StreamRingCreate(kStreamRingCapacity);
};

TEST_F(StreamRingTest, FillLevelIsOneLessThanHeldAndGatesTheFrameTake) {
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(FillLevel(ring), 0u);
    EXPECT_EQ(FillLevel(nullptr), 0u);
    const auto read = Bytes(4096);
    ASSERT_TRUE(Put(ring, read.data(), 4096));
    EXPECT_EQ(ring->writeIndex, 4096u);
    EXPECT_EQ(FillLevel(ring), 4095u);

    // 96,256 held: a frame cannot be taken yet; one byte more and it can, leaving one byte.
    StreamRingReset(ring);
    const auto frame = Bytes(96256);
    ASSERT_TRUE(Put(ring, frame.data(), 96256));
    std::vector<UCHAR> out(96256);
    EXPECT_EQ(FillLevel(ring), 96255u);
    EXPECT_FALSE(Get(ring, out.data(), 96256));
    ASSERT_TRUE(Put(ring, frame.data(), 1));
    EXPECT_EQ(FillLevel(ring), 96256u);
    ASSERT_TRUE(Get(ring, out.data(), 96256));
    EXPECT_EQ(out, frame);
    EXPECT_EQ(FillLevel(ring), 0u);
    EXPECT_NE(ring->readIndex, ring->writeIndex);  // one byte still held
}

TEST_F(StreamRingTest, PutAndFillLevelStoresWholeOrNothingAndReportsTheLevelAfter) {
    const auto read = Bytes(4096);
    bool stored = false;
    EXPECT_EQ(PutAndFillLevel(ring, read.data(), 4096, &stored), 4095u);
    EXPECT_TRUE(stored);
    EXPECT_EQ(PutAndFillLevel(ring, read.data(), 4096, nullptr), 8191u);
    // Refused whole when it would reach readIndex: the level is what was held before.
    StreamRing* small = StreamRingCreate(5000);
    EXPECT_EQ(PutAndFillLevel(small, read.data(), 4096, &stored), 4095u);
    EXPECT_EQ(PutAndFillLevel(small, read.data(), 4096, &stored), 4095u);
    EXPECT_FALSE(stored);
    EXPECT_EQ(small->writeIndex, 4096u);
    StreamRingFree(small);
    EXPECT_EQ(PutAndFillLevel(nullptr, read.data(), 4096, &stored), 0u);
    EXPECT_FALSE(stored);
}

TEST_F(StreamRingTest, PutAcrossTheEndSplitsAndGetReturnsBytesInOrder) {
    StreamRing* small = StreamRingCreate(10000);
    const auto first = Bytes(9000);
    std::vector<UCHAR> out(9000);
    ASSERT_TRUE(Put(small, first.data(), 9000));
    ASSERT_TRUE(Get(small, out.data(), 8000));  // readIndex 8000, 1000 held
    const auto wrapping = Bytes(4000, 77);
    ASSERT_TRUE(Put(small, wrapping.data(), 4000));  // 1000 at the end, 3000 at the start
    EXPECT_EQ(small->writeIndex, 3000u);
    std::vector<UCHAR> rest(4999);
    ASSERT_TRUE(Get(small, rest.data(), 4999));
    EXPECT_TRUE(std::equal(first.begin() + 8000, first.end(), rest.begin()));
    EXPECT_TRUE(std::equal(wrapping.begin(), wrapping.end() - 1, rest.begin() + 1000));
    StreamRingFree(small);
}

TEST_F(StreamRingTest, PutThatWouldReachReadIndexIsRefusedWhole) {
    StreamRing* small = StreamRingCreate(1000);
    const auto bytes = Bytes(1000);
    std::vector<UCHAR> out(1000);
    ASSERT_TRUE(Put(small, bytes.data(), 600));
    ASSERT_TRUE(Get(small, out.data(), 100));  // readIndex 100, writeIndex 600, room 499
    EXPECT_FALSE(Put(small, bytes.data(), 500));
    EXPECT_EQ(small->readIndex, 100u);
    EXPECT_EQ(small->writeIndex, 600u);
    EXPECT_TRUE(Put(small, bytes.data(), 499));
    EXPECT_EQ(small->writeIndex, 99u);
    // An empty ring never takes its whole capacity: that would read as empty again.
    StreamRingReset(small);
    EXPECT_FALSE(Put(small, bytes.data(), 1000));
    EXPECT_TRUE(Put(small, bytes.data(), 999));
    EXPECT_EQ(FillLevel(small), 998u);
    StreamRingFree(small);
}

TEST_F(StreamRingTest, ResetEmptiesAndTheNextPutStartsAtTheStart) {
    const auto bytes = Bytes(5000);
    ASSERT_TRUE(Put(ring, bytes.data(), 5000));
    StreamRingReset(ring);
    EXPECT_EQ(ring->readIndex, 0u);
    EXPECT_EQ(ring->writeIndex, 0u);
    EXPECT_EQ(FillLevel(ring), 0u);
    ASSERT_TRUE(Put(ring, bytes.data() + 100, 10));
    EXPECT_EQ(ring->writeIndex, 10u);
    EXPECT_EQ((reinterpret_cast<UCHAR*>(ring) + kStreamRingDataOffset)[0], bytes[100]);
}

TEST_F(StreamRingTest, ConcurrentPutsTakesAndResetsStayConsistent) {
    // Writers put numbered blocks, a reader takes, a third thread resets now and then: every
    // block taken must be one whole block as put.
    constexpr ULONG kBlock = 1000;
    std::atomic<bool> stop{false};
    std::atomic<int> damaged{0};
    // One writer puts as the bulk completion does, with the level in the same hold.
    auto writer = [&](UCHAR salt) {
        std::vector<UCHAR> block(kBlock);
        for (UCHAR n = 0; !stop; ++n) {
            std::fill(block.begin(), block.end(), static_cast<UCHAR>(salt + n));
            if (salt == 0) {
                Put(ring, block.data(), kBlock);
            } else {
                bool stored = false;
                if (PutAndFillLevel(ring, block.data(), kBlock, &stored) == 0 && stored) ++damaged;
            }
        }
    };
    std::thread a(writer, 0), b(writer, 128);
    std::thread resetter([&] {
        while (!stop) {
            StreamRingReset(ring);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<UCHAR> out(kBlock);
    for (int i = 0; i < 20000; ++i) {
        // The lock keeps each take whole; the reset empties between blocks only.
        if (Get(ring, out.data(), kBlock) && std::count(out.begin(), out.end(), out[0]) != kBlock)
            ++damaged;
    }
    stop = true;
    a.join();
    b.join();
    resetter.join();
    EXPECT_EQ(damaged, 0);
}

}  // namespace
