#pragma once
// Non-paged pool accounting and allocation fault injection.
//
// Every ExAllocatePoolWithTag block carries a header with its tag and size; bytes and blocks
// outstanding are counted per tag. Freeing with a tag other than the block's is recorded in
// host::KernelErrors(). Tests inject allocation failures to exercise every failure path.
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace host {

// Tags of memory the emulation allocates on the driver's behalf (request packets, interface link
// names), so that leaks of those are caught too.
constexpr ULONG kIrpPoolTag = 0x20707249;            // 'Irp '
constexpr ULONG kInterfaceLinkPoolTag = 0x6B6E4C49;  // 'ILnk'

struct PoolUsage {
    SIZE_T bytes = 0;
    size_t blocks = 0;
};

SIZE_T PoolBytesOutstanding(ULONG tag);
size_t PoolBlocksOutstanding(ULONG tag);
// Every tag with blocks outstanding.
std::map<ULONG, PoolUsage> PoolOutstanding();
// Allocation attempts of a tag (successful or failed) since the last reset.
size_t PoolAllocationAttempts(ULONG tag);
// Allocation attempts of a tag since the last reset that asked for executable memory
// (NonPagedPool); current Windows wants drivers to ask for no-execute pool (NonPagedPoolNx).
size_t PoolExecutableAllocationAttempts(ULONG tag);
// The tag as the four characters a pool dump shows ("XTZQ" for 0x515A5458).
std::string PoolTagName(ULONG tag);

// Forget all counts: blocks allocated before the reset are no longer counted when freed.
void ResetPoolAccounting();

// Make the nth allocation attempt of `tag` from now fail (1 = the next one). May be called
// several times to fail several attempts.
void FailPoolAllocation(ULONG tag, size_t nth);
// Fail every allocation for which the predicate returns true (called without any pool lock).
using PoolFailurePredicate = std::function<bool(ULONG tag, SIZE_T bytes)>;
void SetPoolFailurePredicate(PoolFailurePredicate predicate);
// Remove all injected faults.
void ClearPoolFaults();
// Allocations failed by injection since the last reset.
size_t PoolFailuresInjected();

// Driver Verifier's low resources simulation ("Randomly fails pool allocation requests and other
// requests for resources"): from now on about one in `oneIn` allocations under any of `tags`
// fails, drawn from a generator seeded with `seed`, so that the same seed makes the same draws.
// Request packets are pool blocks under kIrpPoolTag here, as they are in Windows, so passing that
// tag fails IoAllocateIrp too. oneIn 0 ends the simulation (the pool returns); the counts stay
// until the next reset. Runs alongside the other injections.
void SimulateLowResources(uint32_t oneIn, uint64_t seed, std::vector<ULONG> tags);
struct LowResourcesCount {
    size_t attempts = 0;  // allocations the simulation drew for
    size_t failed = 0;
};
// Per tag, since the last reset.
std::map<ULONG, LowResourcesCount> LowResourcesCounts();

}  // namespace host
