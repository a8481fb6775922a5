// Bus time of the simulated stick on the virtual clock: the latency of every transfer, the
// isochronous stream one packet per (micro)frame out of the stick's FIFO (and the FIFO's overflow
// when the link cannot carry the stream), bulk reads that end at a short packet, and the FIFO
// itself.
#include <algorithm>
#include <memory>
#include <vector>

#include "sim/stick.h"
#include "sim/stick_fixture.h"
#include "sim/ts_generator.h"

namespace {

using stick_testing::Bytes;
using stick_testing::StickTest;
using stick_testing::Submission;
using stick_testing::UrbBuffer;

constexpr size_t kStreamPipe = 4;
constexpr size_t kCommandFramePipe = 1;

// Host clock ticks of the completion of a submission.
struct Timed {
    LONGLONG submitted = host::NowTicks();
    std::shared_ptr<LONGLONG> completed = std::make_shared<LONGLONG>(0);
    std::function<void()> Stamp() {
        return [at = completed] { *at = host::NowTicks(); };
    }
    LONGLONG Took() const { return *completed - submitted; }
};

// ---- Latency of every transfer ----------------------------------------------------------------

struct LatencyCase {
    const char* name;
    sim::BusSpeed speed;
    std::optional<uint32_t> microseconds;
    bool busTime;
    LONGLONG expected;  // ticks
};

class StickLatency : public StickTest, public testing::WithParamInterface<LatencyCase> {};

// A descriptor request and a command frame each take the latency; a second command queued behind
// the first begins its bus time when the first is done.
TEST_P(StickLatency, EveryTransferTakesTheBusLatency) {
    const LatencyCase& c = GetParam();
    sim::StickOptions options = stick_testing::RunningStickAt(c.speed);
    options.latencyMicroseconds = c.microseconds;
    options.busTime = c.busTime;
    PlugStick(options);
    {
        Bytes buffer(18);
        UrbBuffer urb;
        testing_usb::BuildDescriptorRequest(urb.get(), USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer.data(),
                                            18);
        Timed timed;
        Submission request(device_, urb.get(), timed.Stamp());
        ASSERT_TRUE(request.Wait());
        EXPECT_EQ(timed.Took(), c.expected);
    }
    SelectAlternateSetting1();
    Bytes first = {0x8A, 0x00}, second = {0x8B, 0x00};
    UrbBuffer firstUrb, secondUrb;
    testing_usb::BuildTransfer(firstUrb.get(), Pipe(kCommandFramePipe).PipeHandle, first.data(), 2,
                               false);
    testing_usb::BuildTransfer(secondUrb.get(), Pipe(kCommandFramePipe).PipeHandle, second.data(),
                               2, false);
    Timed firstTime, secondTime;
    Submission one(device_, firstUrb.get(), firstTime.Stamp());
    Submission two(device_, secondUrb.get(), secondTime.Stamp());
    ASSERT_TRUE(one.Wait());
    ASSERT_TRUE(two.Wait());
    EXPECT_EQ(one.status(), STATUS_SUCCESS);
    EXPECT_EQ(firstTime.Took(), c.expected);
    EXPECT_EQ(secondTime.Took(), 2 * c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Latencies, StickLatency,
    testing::Values(LatencyCase{"HighSpeedMicroframe", sim::BusSpeed::High,
                                sim::HostControllerLatency(sim::BusSpeed::High), true, 1250},
                    LatencyCase{"FullSpeedFrame", sim::BusSpeed::Full,
                                sim::HostControllerLatency(sim::BusSpeed::Full), true, 10000},
                    LatencyCase{"Chosen300us", sim::BusSpeed::High, 300u, true, 3000},
                    LatencyCase{"Unset", sim::BusSpeed::High, {}, true, 0},
                    LatencyCase{"NoBusTime", sim::BusSpeed::High, 125u, false, 0}),
    [](const testing::TestParamInfo<LatencyCase>& info) { return info.param.name; });

// ---- The isochronous stream ---------------------------------------------------------------------

struct IsoCase {
    const char* name;
    sim::BusSpeed speed;
    uint64_t bitsPerSecond;  // 0: unlimited
    LONGLONG packetTicks;
    bool overflows;
};

class StickIsoTiming : public StickTest, public testing::WithParamInterface<IsoCase> {};

// Reads of 128 packets, back to back, from a transmitter at a rate: each read ends once its 128
// (micro)frames have passed, every packet carries what the FIFO holds up to 1020 bytes, and
// every byte the transmitter sent is delivered, still in the FIFO, or counted as lost there.
TEST_P(StickIsoTiming, PacketPerFrameFromTheFifoAtTheTransmittersRate) {
    const IsoCase& c = GetParam();
    sim::StickOptions options = stick_testing::RunningStickAt(c.speed);
    options.latencyMicroseconds = sim::HostControllerLatency(c.speed);
    options.streamTransfer = sim::StreamTransfer::Isochronous;
    PlugStick(options);
    SelectAlternateSetting1();
    ASSERT_EQ(Pipe(kStreamPipe).PipeType, UsbdPipeTypeIsochronous);
    const ULONG maximum = Pipe(kStreamPipe).MaximumPacketSize;
    ASSERT_EQ(maximum, 1020u);
    sim::TsGeneratorOptions stream;
    stream.bitsPerSecond = c.bitsPerSecond;
    stream.realTime = true;  // paced on the (virtual) host clock
    auto generator = std::make_shared<sim::TsGenerator>(stream);
    stick_->SetStreamSource(generator);

    constexpr ULONG kPackets = 128;
    constexpr int kReads = 12;
    // The first read is submitted between two frames: it begins at the next one.
    host::AdvanceVirtualTime(c.packetTicks / 2 + 1);
    Bytes received;
    LONGLONG expectedEnd = 0;
    uint64_t fullPackets = 0;
    for (int r = 0; r < kReads; ++r) {
        Bytes buffer(kPackets * maximum);
        UrbBuffer urb(testing_usb::IsoBlockBytes(kPackets));
        testing_usb::BuildIsoRead(urb.get(), Pipe(kStreamPipe).PipeHandle, buffer.data(), kPackets,
                                  maximum);
        Timed timed;
        if (r == 0) expectedEnd = (timed.submitted / c.packetTicks + 1) * c.packetTicks;
        expectedEnd += kPackets * c.packetTicks;
        Submission read(device_, urb.get(), timed.Stamp());
        ASSERT_TRUE(read.Wait());
        ASSERT_EQ(read.status(), STATUS_SUCCESS);
        EXPECT_EQ(*timed.completed, expectedEnd) << "read " << r;
        const USBD_ISO_PACKET_DESCRIPTOR* packet = urb->UrbIsochronousTransfer.IsoPacket;
        for (ULONG i = 0; i < kPackets; ++i) {
            ASSERT_EQ(packet[i].Status, USBD_STATUS_SUCCESS);
            ASSERT_LE(packet[i].Length, maximum);
            if (packet[i].Length == maximum) ++fullPackets;
            received.insert(received.end(), buffer.begin() + packet[i].Offset,
                            buffer.begin() + packet[i].Offset + packet[i].Length);
        }
    }
    const uint64_t produced = generator->PacketsProduced() * 188;
    const uint64_t lost = stick_->FifoOverflowBytes();
    const uint64_t frames = uint64_t{kReads} * kPackets;
    if (c.bitsPerSecond == 0) {
        EXPECT_EQ(received.size(), frames * maximum);  // the FIFO always has data
        EXPECT_EQ(lost, 0u);
    } else {
        // Conservation: sent = delivered + lost + what the FIFO still holds (less than its size).
        ASSERT_GE(produced, received.size() + lost);
        EXPECT_LE(produced - received.size() - lost, sim::StreamFifo::kCapacity);
        const double seconds = static_cast<double>(frames * c.packetTicks) / 1e7;
        const double sent = static_cast<double>(c.bitsPerSecond) / 8 * seconds;
        EXPECT_NEAR(static_cast<double>(produced), sent, 2 * 188 + sim::StreamFifo::kCapacity);
        if (c.overflows) {
            EXPECT_GT(lost, 0u);
            EXPECT_GE(fullPackets, frames * 9 / 10);  // the link runs full
        } else {
            EXPECT_EQ(lost, 0u);
        }
    }
    // Without loss the bytes are the transmitter's stream, in order, from its first packet.
    if (lost == 0) {
        sim::TsGenerator reference(stream);  // the same stream, built again packet by packet
        Bytes expected(received.size() / 188 * 188 + 188);
        for (size_t i = 0; i * 188 < expected.size(); ++i)
            reference.BuildPacket(i, expected.data() + i * 188);
        ASSERT_TRUE(std::equal(received.begin(), received.end(), expected.begin()));
    }
}

// Full speed: 1020 bytes per 1 ms frame carries 8.16 Mbit/s; a stream beyond that fills the FIFO
// and overflows it. A high-speed isochronous pipe carries 1020 bytes per 125 us microframe.
INSTANTIATE_TEST_SUITE_P(
    Rates, StickIsoTiming,
    testing::Values(IsoCase{"Full3Mbit", sim::BusSpeed::Full, 3'000'000, 10000, false},
                    IsoCase{"Full8Mbit", sim::BusSpeed::Full, 8'000'000, 10000, false},
                    IsoCase{"Full9Mbit", sim::BusSpeed::Full, 9'000'000, 10000, true},
                    IsoCase{"FullUnlimited", sim::BusSpeed::Full, 0, 10000, false},
                    IsoCase{"HighDmbtMaximum", sim::BusSpeed::High, sim::kDmbtMaxBitsPerSecond,
                            1250, false}),
    [](const testing::TestParamInfo<IsoCase>& info) { return info.param.name; });

// ---- Bulk reads ---------------------------------------------------------------------------------

// At high speed the stream moves in 512-byte packets. A read ends when its buffer is full or at
// the packet that found less than 512 bytes in the FIFO; a FIFO that nobody empties overflows.
TEST_F(StickTest, BulkStreamReadEndsFullOrAtAShortPacket) {
    sim::StickOptions options = stick_testing::RunningStickAt(sim::BusSpeed::High);
    options.latencyMicroseconds = sim::HostControllerLatency(sim::BusSpeed::High);
    PlugStick(options);
    SelectAlternateSetting1();
    ASSERT_EQ(Pipe(kStreamPipe).PipeType, UsbdPipeTypeBulk);
    ASSERT_EQ(Pipe(kStreamPipe).MaximumPacketSize, sim::kBulkPacketBytes);

    auto read = [&](size_t bytes) {
        Bytes buffer(bytes);
        UrbBuffer urb;
        testing_usb::BuildTransfer(urb.get(), Pipe(kStreamPipe).PipeHandle, buffer.data(),
                                   static_cast<ULONG>(bytes), true);
        Submission transfer(device_, urb.get());
        EXPECT_TRUE(transfer.Wait());
        EXPECT_EQ(transfer.status(), STATUS_SUCCESS);
        return size_t{urb->UrbBulkOrInterruptTransfer.TransferBufferLength};
    };
    // Unlimited: the FIFO refills as the packets leave; the read leaves full.
    stick_->SetStreamSource(std::make_shared<sim::TsGenerator>());
    EXPECT_EQ(read(64 * 1024), 64u * 1024);

    // 8 Mbit/s = 1000 bytes per ms. After 1 ms (and the read's latency) the FIFO holds five
    // transport packets: one full 512-byte packet, then a short one of 428 bytes ends the read.
    sim::TsGeneratorOptions paced;
    paced.bitsPerSecond = 8'000'000;
    paced.realTime = true;
    stick_->RestartStream();
    stick_->SetStreamSource(std::make_shared<sim::TsGenerator>(paced));
    host::AdvanceVirtualTime(10000 - sim::kMicroframeTicks);
    EXPECT_EQ(read(64 * 1024), 5u * 188);
    // A buffer of one packet is full before the FIFO runs short.
    host::AdvanceVirtualTime(10000 - sim::kMicroframeTicks);
    EXPECT_EQ(read(512), 512u);
    EXPECT_EQ(stick_->FifoOverflowBytes(), 0u);
    // Nobody reads for 100 ms: the FIFO fills and the rest (about 35 KB) is lost in the stick. The
    // read then takes the full FIFO and what came during its own bus time.
    host::AdvanceVirtualTime(1000000);
    const size_t afterPause = read(128 * 1024);
    EXPECT_GE(afterPause, sim::StreamFifo::kCapacity);
    EXPECT_LE(afterPause, sim::StreamFifo::kCapacity + 188);
    EXPECT_GT(stick_->FifoOverflowBytes(), 30000u);
}

// A paced source that has produced a set number of bytes by the next collection.
class Burst : public sim::TransportStreamSource {
  public:
    explicit Burst(size_t bytes) : left_(bytes) {}
    size_t Read(uint8_t* out, size_t capacity) override {
        const size_t count = std::min(capacity, left_);
        std::fill(out, out + count, uint8_t{0x47});
        left_ -= count;
        return count;
    }
    bool Paced() const override { return true; }

  private:
    size_t left_;
};

// 200 KB came over 100 ms. Reads that waited all along take it straight through, in turn, and
// nothing is lost however late they are answered; with no read waiting it fills the FIFO and
// the rest is lost.
TEST(StreamFifo, StreamGoesIntoWaitingReadsAndFillsTheFifoOnlyWhenNoneWaits) {
    constexpr size_t kBurst = 200 * 1024;
    constexpr int64_t kSpan = 1000000;
    sim::StreamFifo waiting;
    Burst start(0), burst(kBurst);
    waiting.Collect(start, 0);
    waiting.Collect(burst, kSpan);
    std::vector<uint8_t> read(4096);
    EXPECT_EQ(waiting.TakeThrough(read.data(), read.size(), kSpan / 100), 2048u);
    size_t taken = 2048;
    while (size_t got = waiting.TakeThrough(read.data(), read.size(), kSpan)) taken += got;
    EXPECT_EQ(taken, kBurst);
    EXPECT_EQ(waiting.OverflowBytes(), 0u);

    sim::StreamFifo idle;
    Burst idleStart(0), idleBurst(kBurst);
    idle.Collect(idleStart, 0);
    idle.Collect(idleBurst, kSpan);
    idle.AdmitUntil(kSpan);
    EXPECT_EQ(idle.Level(), sim::StreamFifo::kCapacity);
    EXPECT_EQ(idle.OverflowBytes(), kBurst - sim::StreamFifo::kCapacity);
}

}  // namespace
