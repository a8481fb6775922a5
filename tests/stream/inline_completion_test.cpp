// Reads that a driver below completes inside the very call that submits them (as a lower filter
// may): ten thousand in a row must leave the stack as flat as one, on both stream paths and on
// the interrupt pipe; and the isochronous reads fit the link speed's rules.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "stream_fixture.h"

namespace streamtest {
namespace {

constexpr uint64_t kInlineReads = 10000;
// A generous bound for one submission and one completion on top of the test's own frames; a
// driver that nested one read's submission in the previous one's would need far more (and
// overflow the stack long before ten thousand).
constexpr size_t kFlatStackBytes = 128 * 1024;

bool WaitFor(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ExpectFlat(const host::InlineCompletionRecord& record, const char* what,
                uint64_t atLeast = kInlineReads) {
    EXPECT_GE(record.completions, atLeast);
    EXPECT_EQ(record.deepestNesting, 1u);
    EXPECT_LT(record.deepestStackBytes, kFlatStackBytes);
    std::printf("[ inline    ] %s: %llu inline completions, nesting %u, deepest stack %zu bytes\n",
                what, static_cast<unsigned long long>(record.completions), record.deepestNesting,
                record.deepestStackBytes);
}

class InlineStreamTest : public testing::TestWithParam<Path> {};

TEST_P(InlineStreamTest, TenThousandReadsCompletedInTheSubmittingCallKeepTheStackFlat) {
    StreamFixture f(GetParam());
    f.stick.script = [](uint64_t number, const host::UsbRequest& request) {
        if (number > kInlineReads) return host::UsbAnswer::WaitForCancel();
        if (request.function == URB_FUNCTION_ISOCH_TRANSFER)
            FillIso(request, {188, 188}, 0x47);
        else
            FillBulk(request, 188, 0x47);
        return host::UsbAnswer::Success();
    };
    f.system.Bus().SetInlineCompletion(true);
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return f.stick.readsAnswered.load() >= kInlineReads; }));
    ExpectFlat(f.system.Bus().InlineCompletions(), PathName(GetParam()));
    f.StopStream();
    f.system.Bus().SetInlineCompletion(false);
}

INSTANTIATE_TEST_SUITE_P(Paths, InlineStreamTest, testing::Values(Path::Iso, Path::Bulk),
                         [](const testing::TestParamInfo<Path>& info) {
                             return PathName(info.param);
                         });

TEST(InlineInterruptTest, TenThousandReportsCompletedInTheSubmittingCallKeepTheStackFlat) {
    StreamFixture f(Path::Bulk);
    constexpr UCHAR kInterruptEndpoint = 0x86;
    std::atomic<uint64_t> reports{0};
    std::atomic<bool> serving{false};
    auto stream = f.stick.stick->intercept;
    f.stick.stick->intercept =
        [&](const host::UsbRequest& request) -> std::optional<host::UsbAnswer> {
        if (request.endpoint.address != kInterruptEndpoint) return stream(request);
        if (!serving || reports.load() >= kInlineReads) return std::nullopt;  // parks
        auto& transfer = request.urb->UrbBulkOrInterruptTransfer;
        auto* report = static_cast<UCHAR*>(transfer.TransferBuffer);
        report[0] = 0xBB;  // a status report
        transfer.TransferBufferLength = 1;
        ++reports;
        return host::UsbAnswer::Success();
    };
    f.system.Bus().SetInlineCompletion(true);
    serving = true;
    f.system.Bus().Wake(f.device->physicalDeviceObject, kInterruptEndpoint);
    ASSERT_TRUE(WaitFor([&] { return reports.load() >= kInlineReads; }));
    f.Settle();
    // Every report reached the reader: one read after another, none lost to a nested call.
    EXPECT_EQ(static_cast<uint64_t>(ReadLongAcquire(&f.context->statusReportCount)), kInlineReads);
    // The first report completes on a bus worker (the read was parked), the rest inline.
    ExpectFlat(f.system.Bus().InlineCompletions(), "Interrupt", kInlineReads - 1);
    f.system.Bus().SetInlineCompletion(false);
}

// The isochronous reads of a full-speed stick carry at most 255 packets (the bus refuses more);
// every packet's bytes reach the pin in order, nothing is lost.
TEST(LinkSpeedTest, FullSpeedIsochronousReadsCarry255PacketsAndLoseNothing) {
    StreamFixture f(Path::Iso, 4, {}, nullptr, 0, host::UsbSpeed::Full);
    EXPECT_EQ(f.transport->linkSpeed, kLinkSpeedFull);
    std::atomic<ULONG> largest{0};
    f.stick.script = [&](uint64_t number, const host::UsbRequest& request) {
        if (number > 6) return host::UsbAnswer::WaitForCancel();
        const ULONG packets = request.urb->UrbIsochronousTransfer.NumberOfPackets;
        if (packets > largest) largest = packets;
        return f.stick.FromSource(request);
    };
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return f.stick.readsAnswered.load() >= 6; }));
    f.Settle();
    EXPECT_EQ(largest.load(), kIsoPacketsPerReadFullSpeed);
    f.StopStream();
}

TEST(LinkSpeedTest, HighSpeedIsochronousReadsCarry512Packets) {
    StreamFixture f(Path::Iso);
    EXPECT_EQ(f.transport->linkSpeed, kLinkSpeedHigh);
    std::atomic<ULONG> largest{0};
    f.stick.script = [&](uint64_t number, const host::UsbRequest& request) {
        if (number > 3) return host::UsbAnswer::WaitForCancel();
        largest = request.urb->UrbIsochronousTransfer.NumberOfPackets;
        return f.stick.FromSource(request);
    };
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return f.stick.readsAnswered.load() >= 3; }));
    EXPECT_EQ(largest.load(), kIsoPacketsPerRead);
    f.StopStream();
}

}  // namespace
}  // namespace streamtest
