// Exchanges on the command channel of a simulated stick on the host bus: one frame and its reply
// at a time whichever threads send them, a channel that gets back in step after a reply was lost
// or a frame went out short, and a transport that outlives every exchange still holding it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "bridge/bridge_channel.h"
#include "platform/host/clock.h"
#include "platform/host/pool_accounting.h"
#include "support/host_system.h"
#include "support/sim_receiver.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;

constexpr UCHAR kChipAddress = 0xA0;

// A register file on the stick's I2C bus; reads and writes come from bus workers.
class RegisterChip : public sim::I2cDevice {
  public:
    bool Write(uint8_t, const uint8_t* bytes, size_t count) override {
        for (size_t i = 1; i < count; ++i)
            registers[static_cast<uint8_t>(bytes[0] + i - 1)] = bytes[i];
        return true;
    }
    bool Read(uint8_t, uint8_t reg, uint8_t* out, size_t count) override {
        for (size_t i = 0; i < count; ++i) out[i] = registers[static_cast<uint8_t>(reg + i)];
        return true;
    }
    std::atomic<uint8_t> registers[256] = {};
};

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        receiver = kvstest::MakeSimReceiver(0x3344, 0x1122, true);
        receiver->i2c.Attach(kChipAddress, &chip);
        system.Plug(receiver->stick);
        device = system.Current();
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
        chip.registers[0x10] = 0x11;
        chip.registers[0x20] = 0x22;
    }
    void TearDown() override {
        receiver->stick->ClearFaults();
        if (receiver->stick->DeviceObject() != nullptr)
            system.Unplug(receiver->stick->DeviceObject());
        EXPECT_EQ(HostSystem::DriverPoolBytes(), 0u);
        EXPECT_EQ(HostSystem::PacketPoolBlocks(), 0u);
        EXPECT_TRUE(HostSystem::KernelErrors().empty());
    }

    static bool ReadRegister(UCHAR registerNumber, UCHAR* value) {
        *value = registerNumber;
        return I2cRead(nullptr, kChipAddress, value, 1);
    }
    static bool WriteRegister(UCHAR registerNumber, UCHAR value) {
        const UCHAR bytes[2] = {registerNumber, value};
        ULONG written = 0;
        return I2cWriteRegister(nullptr, kChipAddress, bytes, 2, &written);
    }

    HostSystem system;
    std::shared_ptr<kvstest::SimReceiver> receiver;
    RegisterChip chip;
    HostedDevice* device = nullptr;
};

// Register reads of two threads beside a thread of block writes: every read returns its own
// register, never a byte of another exchange's reply.
TEST_F(ExchangeTest, ConcurrentExchangesEachGetTheirOwnReply) {
    constexpr int kRounds = 150;
    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    auto reader = [&](UCHAR registerNumber, UCHAR expected) {
        for (int i = 0; i < kRounds; ++i) {
            UCHAR value = 0;
            if (!ReadRegister(registerNumber, &value))
                ++failed;
            else if (value != expected)
                ++wrong;
        }
    };
    std::thread first(reader, 0x10, 0x11);
    std::thread second(reader, 0x20, 0x22);
    std::thread writer([&] {
        const UCHAR bytes[] = {0x30, 0xA5, 0x5A};
        for (int i = 0; i < kRounds; ++i) {
            ULONG written = 0;
            if (I2cWrite(nullptr, kChipAddress, bytes, sizeof bytes, &written) != 1) ++failed;
        }
    });
    first.join();
    second.join();
    writer.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(failed, 0);
}

// A reply that never came back stays queued in the stick. Whichever way it was lost, the next
// exchange reads it off first and then gets its own answer: the register just written.
struct LostReplyCase {
    const char* name;
    std::function<void(sim::Stick&)> loseNextReply;
};

class LostReply : public ExchangeTest, public testing::WithParamInterface<LostReplyCase> {};

TEST_P(LostReply, NextExchangeGetsItsOwnAnswer) {
    GetParam().loseNextReply(*receiver->stick);
    EXPECT_FALSE(WriteRegister(0x40, 0x5A)) << "the acknowledgement was lost";
    EXPECT_EQ(chip.registers[0x40], 0x5A) << "the frame itself went out";
    receiver->stick->ClearFaults();
    host::ClearPoolFaults();
    for (UCHAR expected : {0x5A, 0x5A}) {
        UCHAR value = 0;
        ASSERT_TRUE(ReadRegister(0x40, &value));
        EXPECT_EQ(value, expected);
    }
    ASSERT_TRUE(WriteRegister(0x41, 0x77));
    UCHAR value = 0;
    ASSERT_TRUE(ReadRegister(0x41, &value));
    EXPECT_EQ(value, 0x77);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, LostReply,
    testing::Values(
        LostReplyCase{"FailedRead",
                      [](sim::Stick& stick) { stick.FailNextTransfer(sim::OnEndpoint(0x81)); }},
        LostReplyCase{"NeverAnsweredRead",
                      [](sim::Stick& stick) { stick.HangNextRequest(sim::OnEndpoint(0x81)); }},
        // The reply read goes out in the transport's own packet, so no shortage of packets can
        // lose it any more; an empty answer to it can.
        LostReplyCase{
            "EmptyRead",
            [](sim::Stick& stick) { stick.ShortenNextTransfer(0, sim::OnEndpoint(0x81)); }}),
    [](const testing::TestParamInfo<LostReplyCase>& info) { return info.param.name; });

// The stick answers a frame only after the driver's one-second wait has given up on the reply,
// and the reply then waits in the endpoint: it arrives while the next exchange looks for it, or
// even later. Either way no later command takes it for its own answer, and the channel works on
// once the stale reply is gone (read off, or dropped by a reset of the reply pipe).
struct LateReplyCase {
    const char* name;
    LONGLONG delayMilliseconds;
    bool pipeReset;  // whether the stale reply is still on its way when the channel resumes
};

// Counts the resets of the reply pipe that reach the bus.
class ResetCounter : public host::UsbTrafficObserver {
  public:
    void RequestSubmitted(const host::UsbTrafficRecord& record) override {
        if (record.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
            record.endpoint.address == 0x81)
            ++resets;
    }
    void RequestCompleted(const host::UsbTrafficRecord&) override {}
    std::atomic<size_t> resets{0};
};

class LateReply : public ExchangeTest, public testing::WithParamInterface<LateReplyCase> {
  protected:
    void SetUp() override {
        ExchangeTest::SetUp();
        system.Bus().AddObserver(&counter);
    }
    void TearDown() override {
        system.Bus().RemoveObserver(&counter);
        ExchangeTest::TearDown();
    }
    ResetCounter counter;
};

TEST_P(LateReply, NextCommandGetsItsOwnReplyNotTheLateOne) {
    const LONGLONG delay = GetParam().delayMilliseconds * 10000;
    receiver->firmware->DelayReplies(1, delay);
    const LONGLONG sent = host::NowTicks();
    UCHAR value = 0;
    EXPECT_FALSE(ReadRegister(0x10, &value)) << "the reply came after the time-out";
    EXPECT_GE(host::NowTicks() - sent, 10000000) << "the driver waited its full second";

    // The stale reply (0x11) must never be taken for these registers' values.
    ASSERT_TRUE(ReadRegister(0x20, &value));
    EXPECT_EQ(value, 0x22);
    // Time passes beyond the moment the late reply was due; it must not surface now either.
    host::AdvanceVirtualTime(delay);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(WriteRegister(0x30, static_cast<UCHAR>(0x40 + round)));
        ASSERT_TRUE(ReadRegister(0x30, &value));
        EXPECT_EQ(value, 0x40 + round) << "round " << round;
    }
    EXPECT_EQ(counter.resets, GetParam().pipeReset ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Delays, LateReply,
    testing::Values(
        // Ready while the next exchange's drain read waits: read off there, no reset.
        LateReplyCase{"DuringTheDrain", 1500, false},
        // Still on its way when the drain read gives up: the reply pipe is reset.
        LateReplyCase{"AfterTheDrain", 5000, true}),
    [](const testing::TestParamInfo<LateReplyCase>& info) { return info.param.name; });

// A frame that went out short is a failed write; what the stick answers to the part it got is
// read off before the next frame.
TEST_F(ExchangeTest, ShortWriteFailsAndTheChannelStaysInStep) {
    for (size_t bytes : {size_t{0}, size_t{1}}) {
        receiver->stick->ShortenNextTransfer(bytes, sim::OnEndpoint(0x01));
        const UCHAR command[] = {0x06, 0x00};
        EXPECT_FALSE(BridgeCommand(command, sizeof command)) << bytes << " bytes";
        receiver->stick->ShortenNextTransfer(bytes, sim::OnEndpoint(0x01));
        EXPECT_FALSE(WriteRegister(0x50, 0x33)) << bytes << " bytes";
        UCHAR value = 0;
        ASSERT_TRUE(ReadRegister(0x10, &value)) << bytes << " bytes";
        EXPECT_EQ(value, 0x11) << bytes << " bytes";
    }
}

// An exchange that holds the transport when the stick is removed (here: waiting for the
// exchange lock) keeps it from being freed until the exchange has let go.
TEST_F(ExchangeTest, RemovalWaitsForAnExchangeThatHoldsTheTransport) {
    CQZUSB* transport = device->Transport();
    KeWaitForSingleObject(&transport->exchangeMutex, Executive, KernelMode, FALSE, nullptr);
    std::atomic<bool> exchanged{false};
    std::thread exchange([&] {
        UCHAR value = 0;
        EXPECT_FALSE(ReadRegister(0x10, &value));
        exchanged = true;
    });
    while (ReadLongAcquire(&transport->channelUsers) == 0) std::this_thread::yield();

    std::atomic<bool> removed{false};
    std::thread removal([&] {
        system.Stop(*device);
        system.Remove(*device);
        removed = true;
    });
    // The exchange must find the stick stopped when it gets the lock: let the stop clear
    // deviceActive first (the context lives until the transport is released, which waits for
    // the exchange), then give the removal time to reach the transport.
    const DeviceContext* context = device->Context();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (IsDeviceActive(context) != 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(removed) << "the transport was released under a waiting exchange";
    KeReleaseMutex(&transport->exchangeMutex, FALSE);
    exchange.join();
    removal.join();
    EXPECT_TRUE(exchanged);
    EXPECT_TRUE(removed);
}

// Exchanges keep running while the stick leaves the bus and is removed: they fail, and nothing
// they hold is freed under them.
TEST_F(ExchangeTest, ExchangesRacingAnUnplugEndCleanly) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                UCHAR value = 0;
                ReadRegister(0x10, &value);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    system.Unplug(receiver->stick->DeviceObject());
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(device->removed);
}

}  // namespace
