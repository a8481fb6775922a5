// The stick leaves the bus at the k-th request of a sequence, for every k until the sequence
// completes: plug and start of each stick kind, the firmware-download boot, a tune, a bulk and an
// isochronous stream. Every run ends without a crash or a kernel error, with a failure for a
// sequence that could not finish, and with nothing of the driver left once the stick is removed.
#include <gtest/gtest.h>

#include <cstdio>

#include "fault_rig.h"

namespace faulttest {
namespace {

// The request of a start that start's result does not depend on: the interrupt read it submits
// last runs on its own.
bool StartNeededIt(const host::UsbRequest& request) {
    return !IsAsynchronousRead(request);
}

// Every device whose synchronous start request met the fault reports a failed start.
void ExpectStartFailedWhereTheFaultHit(Receiver& r, const std::string& what) {
    if (!r.Fired() || !StartNeededIt(r.FaultRequest())) return;
    kvstest::HostedDevice* device = r.system.DeviceOf(r.FaultRequest().device);
    ASSERT_NE(device, nullptr) << what;
    if (device->addStatus == STATUS_SUCCESS) {
        EXPECT_NE(device->startStatus, STATUS_SUCCESS) << what;
    }
}

class UnplugDuringStart : public testing::TestWithParam<StickIds> {};

TEST_P(UnplugDuringStart, EveryRequestOfPlugAndStart) {
    const StickIds ids = GetParam();
    const size_t cases = Sweep(32, [&](size_t k) {
        Receiver r(ids, true);
        r.Arm(Fault::Unplug, k);
        r.Plug();
        const std::string what =
            std::string(ids.name) + " unplugged at request " + std::to_string(k);
        ExpectStartFailedWhereTheFaultHit(r, what);
        const bool fired = r.Fired();
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] unplug during plug and start of %s: %zu cases\n", ids.name, cases);
    EXPECT_GE(cases, 4u);
}

INSTANTIATE_TEST_SUITE_P(StickKinds, UnplugDuringStart,
                         testing::Values(kKind1, kKind2, kKind3, kKind0),
                         [](const testing::TestParamInfo<StickIds>& info) {
                             return info.param.name;
                         });

TEST(UnplugDuringBoot, EveryRequestOfTheDownloadAndTheRestart) {
    const size_t cases = Sweep(400, [&](size_t k) {
        Receiver r(kKind2, false);
        r.Arm(Fault::Unplug, k);
        r.Plug();
        const std::string what = "boot unplugged at request " + std::to_string(k);
        ExpectStartFailedWhereTheFaultHit(r, what);
        const bool fired = r.Fired();
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] unplug during the download boot: %zu cases\n", cases);
    EXPECT_GE(cases, 150u);
}

TEST(UnplugDuringTune, EveryRequestOfATune) {
    const size_t cases = Sweep(1000, [&](size_t k) {
        Receiver r(kKind1, true);
        r.Plug();
        r.Arm(Fault::Unplug, k);
        const bool locked = r.Tune();
        const std::string what = "tune unplugged at request " + std::to_string(k);
        const bool fired = r.Fired();
        // Lock is only reported for a lock the demodulator really reached.
        if (locked) {
            EXPECT_TRUE(r.DemodSawLock()) << what;
        }
        if (!fired) {
            EXPECT_TRUE(locked) << what;
        }
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] unplug during a tune: %zu cases\n", cases);
    EXPECT_GE(cases, 200u);
}

struct StreamCase {
    const char* name;
    StickIds ids;
};

class UnplugDuringStream : public testing::TestWithParam<StreamCase> {};

TEST_P(UnplugDuringStream, EveryReadOfAStreamUntilItStops) {
    const StreamCase& c = GetParam();
    constexpr size_t kReads = 24;
    const size_t cases = Sweep(400, [&](size_t k) {
        Receiver r(c.ids, true);
        r.Plug();
        r.Arm(Fault::Unplug, k);
        r.Stream(kReads);
        const std::string what = std::string(c.name) + " unplugged at request " + std::to_string(k);
        const bool fired = r.Fired();
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] unplug during a %s stream: %zu cases\n", c.name, cases);
    EXPECT_GE(cases, 10u);  // at least the ten reads of the start
}

INSTANTIATE_TEST_SUITE_P(Paths, UnplugDuringStream,
                         testing::Values(StreamCase{"Bulk", kKind2}, StreamCase{"Iso", kKind1}),
                         [](const testing::TestParamInfo<StreamCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace faulttest
