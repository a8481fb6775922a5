// An allocation the driver asks for fails at the k-th allocation of add, start, a stream start
// and a tune, for every k until the sequence completes. A sequence that met the failure either
// reports it or did its job without the allocation; the stick is usable afterwards, and nothing
// of the driver is left once it is removed.
#include <gtest/gtest.h>

#include <cstdio>

#include "driver/device_lifecycle.h"
#include "fault_rig.h"

namespace faulttest {
namespace {

class AllocationDuringStart : public testing::TestWithParam<StickIds> {};

TEST_P(AllocationDuringStart, EveryAllocationOfAddAndStart) {
    const StickIds ids = GetParam();
    const size_t cases = Sweep(64, [&](size_t k) {
        Receiver r(ids, true);
        r.ArmAllocationFailure(k);
        r.Plug();
        const bool fired = r.AllocationFailed();
        const std::string what =
            std::string(ids.name) + " allocation " + std::to_string(k) + " failed";
        kvstest::HostedDevice* device = r.system.Devices().front();
        if (device->addStatus != STATUS_SUCCESS) {
            // A failed add keeps no place in the one-stick count: the stick comes back.
            EXPECT_EQ(DeviceCount(), 0) << what;
            r.Disarm();
            r.system.Unplug(r.stick->DeviceObject());
            r.Plug();
        }
        ExpectUsableAfterwards(r, what);
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] allocation failure during add and start of %s: %zu cases\n", ids.name,
                cases);
    EXPECT_GE(cases, 10u);
}

INSTANTIATE_TEST_SUITE_P(StickKinds, AllocationDuringStart, testing::Values(kKind1, kKind2),
                         [](const testing::TestParamInfo<StickIds>& info) {
                             return info.param.name;
                         });

struct StreamCase {
    const char* name;
    StickIds ids;
};

class AllocationDuringStreamStart : public testing::TestWithParam<StreamCase> {};

TEST_P(AllocationDuringStreamStart, EveryAllocationOfTheTenReads) {
    const StreamCase& c = GetParam();
    const size_t cases = Sweep(64, [&](size_t k) {
        Receiver r(c.ids, true);
        r.Plug();
        r.ArmAllocationFailure(k);
        r.Stream(12);
        const bool fired = r.AllocationFailed();
        const std::string what =
            std::string(c.name) + " stream allocation " + std::to_string(k) + " failed";
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] allocation failure during a %s stream start: %zu cases\n", c.name,
                cases);
    EXPECT_GE(cases, 10u);
}

INSTANTIATE_TEST_SUITE_P(Paths, AllocationDuringStreamStart,
                         testing::Values(StreamCase{"Bulk", kKind2}, StreamCase{"Iso", kKind1}),
                         [](const testing::TestParamInfo<StreamCase>& info) {
                             return info.param.name;
                         });

// One stick for the whole sweep: each tune that met the failure is followed by one that must
// lock. A tune's requests all go out in the transport's own request packet, so a tune allocates
// nothing: the first armed failure is not met, and the tune beside it locks.
TEST(AllocationDuringTune, EveryAllocationOfATune) {
    Receiver r(kKind1, true);
    r.Plug();
    const size_t cases = Sweep(1000, [&](size_t k) {
        r.ArmAllocationFailure(k);
        const bool locked = r.Tune();
        const bool fired = r.AllocationFailed();
        const std::string what = "tune allocation " + std::to_string(k) + " failed";
        if (locked) {
            EXPECT_TRUE(r.DemodSawLock()) << what;
        }
        ExpectUsableAfterwards(r, what);
        return fired;
    });
    r.UnplugAndCheckClean("allocation failures during tunes");
    std::printf("[ sweep    ] allocation failure during a tune: %zu cases\n", cases);
    EXPECT_EQ(cases, 0u) << "a tune allocates";
}

}  // namespace
}  // namespace faulttest
