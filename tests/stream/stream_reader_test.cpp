// The stream reader's rules, read by read, with the stick answering each read as scripted. One
// bus worker keeps completions in order where a test counts reads exactly.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/device_lifecycle.h"
#include "platform/debug_print.h"
#include "platform/host/clock.h"
#include "stream_fixture.h"
#include "usb/stream_ring.h"

namespace streamtest {
namespace {

using std::chrono::milliseconds;

constexpr ULONG kFullIsoPackets = 512;  // 512 x 188 bytes: one frame per read

template <typename Predicate>
bool WaitFor(Predicate done, milliseconds limit = milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

host::UsbAnswer FullRead(Path path, const host::UsbRequest& request, UCHAR value) {
    if (path == Path::Bulk) {
        FillBulk(request, 4096, value);
    } else {
        FillIso(request, std::vector<ULONG>(kFullIsoPackets, 188), value);
    }
    return host::UsbAnswer::Success();
}

struct DiscardCase {
    const char* name;
    Path path;
    std::vector<ULONG> firstReads;  // bytes of the first reads (iso: bytes in packet 0)
    UCHAR firstDelivered;           // number of the read whose bytes open the first frame
};

class DiscardRule : public ::testing::TestWithParam<DiscardCase> {};

TEST_P(DiscardRule, FirstTwoReadsThatCountAreDroppedAfterStart) {
    const DiscardCase& c = GetParam();
    StreamFixture f(c.path, 1);
    f.stick.script = [&](uint64_t n, const host::UsbRequest& request) {
        const auto value = static_cast<UCHAR>(n);
        if (n > c.firstReads.size()) return FullRead(c.path, request, value);
        if (c.path == Path::Bulk) {
            FillBulk(request, c.firstReads[n - 1], value);
        } else {
            FillIso(request, {c.firstReads[n - 1]}, value);
        }
        return host::UsbAnswer::Success();
    };
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(1, 5000));
    const auto frames = f.pin.Take(1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][0], c.firstDelivered);
}

INSTANTIATE_TEST_SUITE_P(
    BothPaths, DiscardRule,
    ::testing::Values(DiscardCase{"BulkFullReads", Path::Bulk, {}, 3},
                      DiscardCase{"BulkEmptyReadsDoNotCount", Path::Bulk, {0, 0}, 5},
                      DiscardCase{"BulkShortReadsCount", Path::Bulk, {1, 1}, 3},
                      DiscardCase{"IsoFullReads", Path::Iso, {}, 3},
                      DiscardCase{"IsoEmptyReadsCount", Path::Iso, {0, 0}, 3}),
    [](const auto& info) { return std::string(info.param.name); });

class PerPath : public ::testing::TestWithParam<Path> {};
INSTANTIATE_TEST_SUITE_P(BothPaths, PerPath, ::testing::Values(Path::Bulk, Path::Iso),
                         [](const auto& info) { return std::string(PathName(info.param)); });

LONG Outstanding(const CQZUSB* transport, Path path) {
    return ReadLongAcquire(path == Path::Bulk ? &transport->bulkReadsOutstanding
                                              : &transport->isoReadsOutstanding);
}

TEST_P(PerPath, StartOnAnActiveStreamOnlyResetsDiscardAndStatusCount) {
    StreamFixture f(GetParam(), 1);
    f.stick.holdReads = true;
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return Outstanding(f.transport, GetParam()) == 10; }));
    f.Settle();
    const uint64_t seen = f.stick.readsSeen;
    f.transport->discardPending = 0;
    f.transport->discardCount = 5;
    InterlockedExchange(&f.context->statusReportCount, 7);

    f.transport->StartReader();
    f.Settle();
    EXPECT_EQ(f.stick.readsSeen, seen);
    EXPECT_EQ(Outstanding(f.transport, GetParam()), 10);
    EXPECT_EQ(f.transport->discardPending, 1u);
    EXPECT_EQ(f.transport->discardCount, 0u);
    EXPECT_EQ(f.context->statusReportCount, 0);
}

TEST_P(PerPath, StopAbortsTheReadsInFlight) {
    StreamFixture f(GetParam(), 1);
    f.stick.holdReads = true;
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return Outstanding(f.transport, GetParam()) == 10; }));
    f.StopStream();
    // Bulk: the stop waited for all ten. Iso: the stop sent the abort without waiting for the
    // reads; they end with their own completions, none resubmitted.
    if (GetParam() == Path::Bulk) {
        EXPECT_EQ(Outstanding(f.transport, GetParam()), 0);
    }
    EXPECT_TRUE(WaitFor([&] { return Outstanding(f.transport, GetParam()) == 0; }));
    EXPECT_EQ(f.transport->streamActive, 0u);
    f.system.Unplug(f.device->physicalDeviceObject);
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBlocks(), 0u);
    EXPECT_EQ(kvstest::HostSystem::PacketPoolBlocks(), 0u);
}

TEST_P(PerPath, StopAndRemoveWithReadsInFlightLeaveThePoolEmpty) {
    StreamFixture f(GetParam());
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(3, 5000));
    f.system.Stop(*f.device);
    EXPECT_EQ(Outstanding(f.transport, GetParam()), 0);
    f.system.Remove(*f.device);
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBlocks(), 0u);
    EXPECT_EQ(kvstest::HostSystem::PacketPoolBlocks(), 0u);
    EXPECT_TRUE(kvstest::HostSystem::KernelErrors().empty());
    EXPECT_EQ(f.pin.Violations(), 0u);
}

// Good packets follow each other without gaps; a read carrying more than a frame goes on into
// the next frames, and the frame it ends in goes downstream with it.
TEST(IsoReader, GoodPacketsPackTogetherAndAReadContinuesIntoTheNextFrames) {
    StreamFixture f(Path::Iso, 1);
    f.stick.script = [](uint64_t n, const host::UsbRequest& request) {
        if (n <= 2) return FullRead(Path::Iso, request, 0);
        if (n == 3) FillIso(request, {188, 188, 188}, 0x10, {1});          // packet 1 failed
        if (n == 4) FillIso(request, std::vector<ULONG>(512, 512), 0x20);  // 256 KiB
        if (n == 5) FillIso(request, {100}, 0x70);
        if (n > 5) FillIso(request, {}, 0);
        return host::UsbAnswer::Success();
    };
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(5, 5000));
    const auto frames = f.pin.Take();
    ASSERT_EQ(frames.size(), 5u);
    std::vector<uint8_t> packed(188, 0x10);
    packed.insert(packed.end(), 188, 0x12);
    EXPECT_EQ(frames[0], packed);
    // 262,144 bytes: two full frames and the 69,632 bytes left, every byte where it belongs.
    std::vector<uint8_t> expected;
    for (ULONG i = 0; i < 512; ++i) expected.insert(expected.end(), 512, uint8_t(0x20 + i));
    ASSERT_EQ(frames[1].size(), 96256u);
    ASSERT_EQ(frames[2].size(), 96256u);
    ASSERT_EQ(frames[3].size(), 262144u - 2 * 96256u);
    std::vector<uint8_t> joined = frames[1];
    joined.insert(joined.end(), frames[2].begin(), frames[2].end());
    joined.insert(joined.end(), frames[3].begin(), frames[3].end());
    EXPECT_TRUE(joined == expected) << "the read's bytes arrived out of order or changed";
    EXPECT_EQ(frames[4], std::vector<uint8_t>(100, 0x70));
}

// One read carries two and a half frames' worth of a transport stream in packets of the pipe's
// full size: all of it reaches the application, in order, in three frames. The packet slots are
// the pipe's packet size, so no full packet is an overrun.
TEST(IsoReader, ReadOfTwoAndAHalfFramesArrivesWholeInThreeFrames) {
    constexpr ULONG kPacketBytes = 1020;
    constexpr ULONG kBytes = 2 * 96256 + 96256 / 2;  // 240,640
    std::atomic<ULONG> slot{0};
    StreamFixture f(Path::Iso, 1, {}, nullptr, kPacketBytes);
    f.stick.script = [&](uint64_t n, const host::UsbRequest& request) {
        auto& iso = request.urb->UrbIsochronousTransfer;
        slot = iso.IsoPacket[1].Offset - iso.IsoPacket[0].Offset;
        if (n <= 2) return FullRead(Path::Iso, request, 0);
        std::vector<ULONG> lengths;
        if (n == 3) {
            for (ULONG left = kBytes; left > 0; left -= lengths.back())
                lengths.push_back(left < kPacketBytes ? left : kPacketBytes);
        }
        auto* buffer = static_cast<uint8_t*>(iso.TransferBuffer);
        ULONG at = 0;  // position in the stream: a byte stream of 188-byte packets
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
            const ULONG length = i < lengths.size() ? lengths[i] : 0;
            for (ULONG b = 0; b < length; ++b, ++at)
                buffer[iso.IsoPacket[i].Offset + b] =
                    at % 188 == 0 ? 0x47 : static_cast<uint8_t>(at / 188 + at % 188);
            iso.IsoPacket[i].Length = length;
            iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
        }
        return host::UsbAnswer::Success();
    };
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(3, 5000));
    const auto frames = f.pin.Take();
    EXPECT_EQ(slot, kPacketBytes) << "packet slots not sized by the pipe's packet size";
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].size(), 96256u);
    EXPECT_EQ(frames[1].size(), 96256u);
    EXPECT_EQ(frames[2].size(), 96256u / 2);
    ULONG at = 0;
    for (const auto& frame : frames) {
        for (uint8_t byte : frame) {
            const uint8_t expected =
                at % 188 == 0 ? 0x47 : static_cast<uint8_t>(at / 188 + at % 188);
            ASSERT_EQ(byte, expected) << "stream byte " << at;
            ++at;
        }
    }
    EXPECT_EQ(at, kBytes);
}

TEST(BulkReader, AFrameIsHandedOnlyOnceMoreThanAFrameIsHeld) {
    StreamFixture f(Path::Bulk, 1);
    std::atomic<bool> lastByte{false};
    f.stick.script = [&](uint64_t n, const host::UsbRequest& request) {
        if (n <= 25) FillBulk(request, 4096, 1);  // 2 dropped, then 23 x 4096
        if (n == 26) FillBulk(request, 2048, 2);  // exactly 96,256 held
        if (n == 27 && !lastByte) return host::UsbAnswer::WaitForWake();
        if (n == 27) FillBulk(request, 1, 3);
        if (n > 27) return host::UsbAnswer::WaitForCancel();
        return host::UsbAnswer::Success();
    };
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return f.stick.readsAnswered == 26; }));
    f.Settle();
    EXPECT_EQ(f.pin.FramesCompleted(), 0u);
    EXPECT_EQ(FillLevel(f.context->ring), 96255u);

    lastByte = true;
    f.system.Bus().Wake(f.device->physicalDeviceObject, 0x84);
    ASSERT_TRUE(f.pin.WaitForFrames(1, 5000));
    const auto frames = f.pin.Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 0x17800u);
    EXPECT_EQ(frames[0].back(), 2);
    EXPECT_EQ(FillLevel(f.context->ring), 0u);  // the last byte stays held
}

TEST(BulkReader, ReadsWithoutAnOutputPinReportThePinError) {
    StreamFixture f(Path::Bulk, 1);
    f.stick.script = [](uint64_t n, const host::UsbRequest& request) {
        if (n > 5) return host::UsbAnswer::WaitForCancel();
        FillBulk(request, 4096, 1);
        return host::UsbAnswer::Success();
    };
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&f.context->antennaPinState), KSSTATE_RUN);
    StartStreamLocked(f.device->Device());
    ASSERT_TRUE(WaitFor([&] { return f.stick.readsAnswered == 5; }));
    f.Settle();
    const std::string line = std::string(kDebugPrefix) + " " + kErrorMarker + " (Pin Out Error).";
    EXPECT_EQ(kvstest::HostSystem::CountDebugLines(line), 5u);
    EXPECT_EQ(f.pin.FramesCompleted(), 0u);
}

// Reads of a stopped run still with the bus are counted until they end, beside the new run's.
// (The stop's pipe abort is refused here, as it is once device stop has cleared deviceActive, so
// the old reads stay with the bus.)
TEST(IsoReader, RestartWhileReadsDrainCountsEveryReadUntilItEnds) {
    StreamFixture f(Path::Iso, 1);
    f.stick.holdReads = true;
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return ReadLongAcquire(&f.transport->isoReadsOutstanding) == 10; }));
    SetDeviceActive(f.context, 0);
    f.transport->StopReader();
    SetDeviceActive(f.context, 1);
    StartStreamLocked(f.device->Device());  // the ten old reads are still with the bus
    f.Settle();
    EXPECT_EQ(ReadLongAcquire(&f.transport->isoReadsOutstanding), 20);
    // Device stop returns once every one of the twenty has ended: none is left to complete into
    // a freed transport.
    f.system.Stop(*f.device);
    EXPECT_EQ(ReadLongAcquire(&f.transport->isoReadsOutstanding), 0);
    f.system.Remove(*f.device);
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBlocks(), 0u);
    EXPECT_EQ(kvstest::HostSystem::PacketPoolBlocks(), 0u);
}

// Reads the stick answers once the stop has cleared the active flag (before its pipe abort
// reaches them) reach no frame and are not resubmitted. The next start drops its own first two
// reads and delivers from its third.
TEST(IsoReader, ReadsAnsweredAfterTheStopReachNoFrame) {
    std::atomic<bool> answer{false};
    StreamFixture f(Path::Iso, 1);
    f.stick.script = [&](uint64_t n, const host::UsbRequest& request) {
        if (!answer) return host::UsbAnswer::WaitForWake();
        return FullRead(Path::Iso, request, static_cast<UCHAR>(n));
    };
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return ReadLongAcquire(&f.transport->isoReadsOutstanding) == 10; }));
    WriteStreamActive(f.transport, 0);  // the stop's first step
    answer = true;
    f.system.Bus().Wake(f.device->physicalDeviceObject, f.stick.StreamEndpoint());
    ASSERT_TRUE(WaitFor([&] { return ReadLongAcquire(&f.transport->isoReadsOutstanding) == 0; }));
    f.Settle();
    EXPECT_EQ(f.pin.FramesCompleted(), 0u);

    WriteStreamActive(f.transport, 1);
    f.StopStream();  // the rest of the stop: its abort finds nothing
    StartStreamLocked(f.device->Device());
    ASSERT_TRUE(f.pin.WaitForFrames(1, 5000));
    EXPECT_EQ(f.pin.Take(1).at(0).at(0), 13);  // reads 11 and 12 dropped
}

// A frame the application offers with no room takes nothing. The completion sends it on as it
// is and loses the rest of its read, instead of asking the leading edge again and again (at
// dispatch level, for as long as the application has such frames): one frame per read.
TEST(IsoReader, FrameWithNoRoomGoesOnAndEndsTheReadsDelivery) {
    host::OutputPinOptions noRoom;
    noRoom.frameBytes = 0;
    StreamFixture f(Path::Iso, 1, noRoom);
    f.stick.script = [](uint64_t n, const host::UsbRequest& request) {
        if (n <= 4) return FullRead(Path::Iso, request, 0);  // two dropped, two delivered
        return host::UsbAnswer::WaitForWake();
    };
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(2, 5000));
    f.Settle();
    EXPECT_EQ(f.pin.FramesCompleted(), 2u);
    EXPECT_EQ(f.pin.LeadingEdgeMisses(), 0u);
    EXPECT_EQ(f.pin.Violations(), 0u);
}

TEST(BulkReader, StopWhenThePipeAbortCannotBeSentWaitsForTheReadsWithoutSpinning) {
    StreamFixture f(Path::Bulk);
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(2, 5000));
    host::ClearRecordedDelays();
    SetDeviceActive(f.context, 0);  // the transport now refuses the abort
    f.transport->StopReader();
    EXPECT_EQ(ReadLongAcquire(&f.transport->bulkReadsOutstanding), 0);
    EXPECT_EQ(f.transport->streamActive, 0u);
    for (LONGLONG ms : host::RecordedDelayMilliseconds(host::DelayKind::TimerWait))
        EXPECT_EQ(ms, 100);
}

TEST(StreamReader, StickWithoutStreamPipeStartsNothing) {
    kvstest::HostSystem system;
    auto stick = std::make_shared<kvstest::ScriptedStick>(0x3344, 0x1111, true);  // no stream pipe
    system.Plug(stick);
    kvstest::HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->Transport()->streamPipeType, 0u);
    StartStreamLocked(device->Device());
    StopStream(device->Device());
    EXPECT_EQ(device->Transport()->streamActive, 0u);
    EXPECT_EQ(stick->CountRequests([](const kvstest::SeenRequest& r) {
        return r.function == URB_FUNCTION_ISOCH_TRANSFER || r.endpoint == 0x83 ||
               r.endpoint == 0x84 || r.endpoint == 0x82;
    }),
              0u);
}

}  // namespace
}  // namespace streamtest
