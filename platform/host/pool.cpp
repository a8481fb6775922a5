// Non-paged pool over malloc. Each block is preceded by a header that records its tag and size,
// so that frees are checked against the tag and every tag's usage is counted.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>

#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/pool_accounting.h"
#include "platform/host/service_rules.h"

namespace host {
namespace {

constexpr uint64_t kLiveMagic = 0x4C4F4F50'4556494CULL;   // "LIVEPOOL"
constexpr uint64_t kFreedMagic = 0x4C4F4F50'45455246ULL;  // "FREEPOOL"

// 32 bytes, so the caller's block keeps malloc's 16-byte alignment.
struct alignas(16) BlockHeader {
    uint64_t magic;
    ULONG tag;
    uint32_t generation;
    SIZE_T size;
    uint64_t reserved;
};
static_assert(sizeof(BlockHeader) == 32);

struct TagState {
    PoolUsage usage;
    size_t attempts = 0;
    size_t executableAttempts = 0;
    std::set<size_t> failingAttempts;  // attempt numbers (1-based, since reset) to fail
};

// The low resources simulation: a seeded draw (splitmix64) per allocation of a chosen tag.
struct LowResources {
    uint32_t oneIn = 0;  // 0: off
    uint64_t state = 0;
    std::vector<ULONG> tags;
    std::map<ULONG, LowResourcesCount> counts;

    bool Draw(ULONG tag) {
        if (oneIn == 0 || std::find(tags.begin(), tags.end(), tag) == tags.end()) return false;
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        const bool fail = z % oneIn == 0;
        LowResourcesCount& count = counts[tag];
        ++count.attempts;
        if (fail) ++count.failed;
        return fail;
    }
};

struct Pool {
    std::mutex lock;
    uint32_t generation = 1;
    std::map<ULONG, TagState> tags;
    std::shared_ptr<const PoolFailurePredicate> predicate;
    size_t failuresInjected = 0;
    LowResources lowResources;
};

Pool& ThePool() {
    static Pool* pool = new Pool;  // never destroyed: frees may happen during process exit
    return *pool;
}

BlockHeader* HeaderOf(PVOID block) {
    return static_cast<BlockHeader*>(block) - 1;
}

// Checks a block handed to a free routine; returns false (after recording) if it is not a live
// pool block.
bool CheckLiveBlock(const char* routine, PVOID block) {
    const BlockHeader* header = HeaderOf(block);
    if (header->magic == kLiveMagic) return true;
    char text[160];
    std::snprintf(text, sizeof text, "%s: %p is %s", routine, block,
                  header->magic == kFreedMagic ? "already freed" : "not a pool block");
    RecordKernelError(text);
    return false;
}

void ReleaseBlock(PVOID block) {
    BlockHeader* header = HeaderOf(block);
    Pool& pool = ThePool();
    {
        std::lock_guard guard(pool.lock);
        if (header->generation == pool.generation) {
            PoolUsage& usage = pool.tags[header->tag].usage;
            usage.bytes -= header->size;
            usage.blocks -= 1;
        }
    }
    header->magic = kFreedMagic;
    std::free(header);
}

}  // namespace

SIZE_T PoolBytesOutstanding(ULONG tag) {
    std::lock_guard guard(ThePool().lock);
    auto found = ThePool().tags.find(tag);
    return found == ThePool().tags.end() ? 0 : found->second.usage.bytes;
}

size_t PoolBlocksOutstanding(ULONG tag) {
    std::lock_guard guard(ThePool().lock);
    auto found = ThePool().tags.find(tag);
    return found == ThePool().tags.end() ? 0 : found->second.usage.blocks;
}

std::map<ULONG, PoolUsage> PoolOutstanding() {
    std::lock_guard guard(ThePool().lock);
    std::map<ULONG, PoolUsage> result;
    for (const auto& [tag, state] : ThePool().tags)
        if (state.usage.blocks != 0) result[tag] = state.usage;
    return result;
}

size_t PoolExecutableAllocationAttempts(ULONG tag) {
    std::lock_guard guard(ThePool().lock);
    auto found = ThePool().tags.find(tag);
    return found == ThePool().tags.end() ? 0 : found->second.executableAttempts;
}

size_t PoolAllocationAttempts(ULONG tag) {
    std::lock_guard guard(ThePool().lock);
    auto found = ThePool().tags.find(tag);
    return found == ThePool().tags.end() ? 0 : found->second.attempts;
}

std::string PoolTagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return name;
}

void ResetPoolAccounting() {
    std::lock_guard guard(ThePool().lock);
    Pool& pool = ThePool();
    ++pool.generation;
    pool.tags.clear();
    pool.predicate.reset();
    pool.failuresInjected = 0;
    pool.lowResources = LowResources{};
}

void FailPoolAllocation(ULONG tag, size_t nth) {
    if (nth == 0) return;
    std::lock_guard guard(ThePool().lock);
    TagState& state = ThePool().tags[tag];
    state.failingAttempts.insert(state.attempts + nth);
}

void SetPoolFailurePredicate(PoolFailurePredicate predicate) {
    std::lock_guard guard(ThePool().lock);
    ThePool().predicate =
        predicate ? std::make_shared<const PoolFailurePredicate>(std::move(predicate)) : nullptr;
}

void ClearPoolFaults() {
    std::lock_guard guard(ThePool().lock);
    ThePool().predicate.reset();
    for (auto& [tag, state] : ThePool().tags) state.failingAttempts.clear();
}

size_t PoolFailuresInjected() {
    std::lock_guard guard(ThePool().lock);
    return ThePool().failuresInjected;
}

void SimulateLowResources(uint32_t oneIn, uint64_t seed, std::vector<ULONG> tags) {
    std::lock_guard guard(ThePool().lock);
    LowResources& low = ThePool().lowResources;
    low.oneIn = oneIn;
    low.state = seed;
    low.tags = std::move(tags);
}

std::map<ULONG, LowResourcesCount> LowResourcesCounts() {
    std::lock_guard guard(ThePool().lock);
    return ThePool().lowResources.counts;
}

}  // namespace host

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    using namespace host;
    static const ServiceRule& rule = RuleOf("ExAllocatePoolWithTag");
    CheckServiceIrql(rule);
    if (poolType == PagedPool && KeGetCurrentIrql() > APC_LEVEL)
        RecordIrqlViolation("ExAllocatePoolWithTag of paged pool above APC_LEVEL [" +
                            std::string(rule.documentation) + "]");
    Pool& pool = ThePool();
    std::shared_ptr<const PoolFailurePredicate> predicate;
    bool fail = false;
    {
        std::lock_guard guard(pool.lock);
        TagState& state = pool.tags[tag];
        if (poolType == NonPagedPool) ++state.executableAttempts;
        size_t attempt = ++state.attempts;
        fail = state.failingAttempts.erase(attempt) != 0;
        if (!fail) fail = pool.lowResources.Draw(tag);
        predicate = pool.predicate;
    }
    if (!fail && predicate) fail = (*predicate)(tag, numberOfBytes);
    void* raw = fail ? nullptr : std::malloc(sizeof(BlockHeader) + numberOfBytes);
    std::lock_guard guard(pool.lock);
    if (raw == nullptr) {
        if (fail) ++pool.failuresInjected;
        return nullptr;
    }
    auto* header = static_cast<BlockHeader*>(raw);
    *header = BlockHeader{kLiveMagic, tag, pool.generation, numberOfBytes, 0};
    PoolUsage& usage = pool.tags[tag].usage;
    usage.bytes += numberOfBytes;
    usage.blocks += 1;
    return header + 1;
}

void ExFreePoolWithTag(PVOID block, ULONG tag) {
    static const host::ServiceRule& rule = host::RuleOf("ExFreePoolWithTag");
    host::CheckServiceIrql(rule);
    if (block == nullptr) {
        host::RecordKernelError("ExFreePoolWithTag of a null block");
        return;
    }
    if (!host::CheckLiveBlock("ExFreePoolWithTag", block)) return;
    ULONG blockTag = host::HeaderOf(block)->tag;
    if (blockTag != tag) {
        host::RecordKernelError("ExFreePoolWithTag: block tagged '" + host::PoolTagName(blockTag) +
                                "' freed with tag '" + host::PoolTagName(tag) + "'");
    }
    host::ReleaseBlock(block);
}

void ExFreePool(PVOID block) {
    static const host::ServiceRule& rule = host::RuleOf("ExFreePool");
    host::CheckServiceIrql(rule);
    if (block == nullptr) {
        host::RecordKernelError("ExFreePool of a null block");
        return;
    }
    if (!host::CheckLiveBlock("ExFreePool", block)) return;
    host::ReleaseBlock(block);
}
