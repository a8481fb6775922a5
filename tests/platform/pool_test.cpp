#include "platform/pool.h"

#include "kernel_fixture.h"
#include "platform/host/pool_accounting.h"

namespace {

constexpr ULONG kOtherTag = 0x74736554;  // 'Test'

class PoolTest : public KernelTest {};

TEST_F(PoolTest, CountsBytesAndBlocksPerTag) {
    void* a = PoolAllocate(100);
    void* b = PoolAllocateZeroed(28);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(host::PoolBytesOutstanding(kDriverPoolTag), 128u);
    EXPECT_EQ(host::PoolBlocksOutstanding(kDriverPoolTag), 2u);
    EXPECT_EQ(host::PoolOutstanding().size(), 2u);
    EXPECT_EQ(host::PoolTagName(kDriverPoolTag), "XTZQ");
    PoolFree(a);
    PoolFree(b);
    ExFreePool(c);
    EXPECT_TRUE(host::PoolOutstanding().empty());
    EXPECT_TRUE(host::KernelErrors().empty());
}

TEST_F(PoolTest, FreeWithWrongTagIsReportedButStillFrees) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    void* block = PoolAllocate(16);
    ExFreePoolWithTag(block, kOtherTag);
    ASSERT_EQ(host::KernelErrors().size(), 1u);
    EXPECT_NE(host::KernelErrors()[0].find("'XTZQ' freed with tag 'Test'"), std::string::npos);
    EXPECT_EQ(host::PoolBlocksOutstanding(kDriverPoolTag), 0u);
}

TEST_F(PoolTest, FailsTheChosenAllocationsOnly) {
    host::FailPoolAllocation(kDriverPoolTag, 2);
    host::FailPoolAllocation(kDriverPoolTag, 4);
    void* blocks[5];
    for (void*& block : blocks) block = PoolAllocate(8);
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_NE(blocks[2], nullptr);
    EXPECT_EQ(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
    EXPECT_NE(other, nullptr) << "other tags are not affected";
    EXPECT_EQ(host::PoolAllocationAttempts(kDriverPoolTag), 5u);
    EXPECT_EQ(host::PoolFailuresInjected(), 2u);
    EXPECT_EQ(host::PoolBlocksOutstanding(kDriverPoolTag), 3u);
    for (void* block : blocks)
        if (block) PoolFree(block);
    ExFreePool(other);
}

TEST_F(PoolTest, PredicateFailsMatchingAllocationsUntilCleared) {
    host::SetPoolFailurePredicate([](ULONG, SIZE_T bytes) { return bytes > 1000; });
    EXPECT_EQ(PoolAllocate(4096), nullptr);
    void* small = PoolAllocate(10);
    EXPECT_NE(small, nullptr);
    host::ClearPoolFaults();
    void* big = PoolAllocate(4096);
    EXPECT_NE(big, nullptr);
    PoolFree(small);
    PoolFree(big);
}

TEST_F(PoolTest, ResetForgetsEarlierBlocks) {
    void* early = PoolAllocate(32);
    host::ResetPoolAccounting();
    void* late = PoolAllocate(8);
    PoolFree(early);
    EXPECT_EQ(host::PoolBytesOutstanding(kDriverPoolTag), 8u);
    PoolFree(late);
    EXPECT_EQ(host::PoolBlocksOutstanding(kDriverPoolTag), 0u);
}

}  // namespace
