// The private property set from several threads at once: the items that hold the device I/O
// mutex hold it for their whole sequence, two message exchanges never mix their frames, and the
// driver-wide pass-through save area is never seen half written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/host/ks_services.h"
#include "platform/host/receiver_private_properties.h"
#include "receiver_stack.h"

namespace bda_test {
namespace {

using ::testing::IsEmpty;

// Answers every register with the register number.
class EchoRegisterChip : public sim::I2cDevice {
  public:
    bool Write(uint8_t, const uint8_t*, size_t) override { return true; }
    bool Read(uint8_t, uint8_t reg, uint8_t* out, size_t count) override {
        std::fill_n(out, count, reg);
        return true;
    }
};
constexpr uint8_t kEchoChipAddress = 0xA0;

class PrivateConcurrencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stack = std::make_unique<ReceiverStack>();
        stack->I2c().Attach(kEchoChipAddress, &chip);
        app = std::make_unique<host::BdaReceiverApplication>(stack->Device());
        ASSERT_EQ(app->Open(), STATUS_SUCCESS);
    }
    void TearDown() override {
        stack->Gate().Release();
        app.reset();
        EXPECT_THAT(stack->Firmware().MessageFaults(), IsEmpty());
        EXPECT_THAT(stack->messages.Faults(), IsEmpty());
        stack.reset();
        EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
    }
    host::ReceiverPrivateProperties Properties() {
        return host::ReceiverPrivateProperties(app->Filter());
    }

    EchoRegisterChip chip;
    std::unique_ptr<ReceiverStack> stack;
    std::unique_ptr<host::BdaReceiverApplication> app;
};

struct Holder {
    const char* name;
    // Runs the request that is held on the wire.
    std::function<void(host::ReceiverPrivateProperties&)> request;
    // The frame it is held at.
    std::function<bool(const Bytes&)> holdAt;
    bool needsPending;  // a message must be pending first (a receive polls only then)
};

class HeldSequence : public PrivateConcurrencyTest, public ::testing::WithParamInterface<Holder> {};

// While the held item is on the wire, a mutex item (id 15) cannot take the device I/O mutex.
TEST_P(HeldSequence, KeepsTheDeviceIoMutexUntilItEnds) {
    const Holder& holder = GetParam();
    if (holder.needsPending) {
        ASSERT_EQ(Properties().SendMessage(1, {1, 2, 3}), STATUS_SUCCESS);
    }
    stack->Gate().HoldAt(holder.holdAt);
    std::thread held([&] {
        host::ReceiverPrivateProperties properties = Properties();
        holder.request(properties);
    });
    ASSERT_TRUE(stack->Gate().WaitHeld());
    std::atomic<bool> synced{false};
    std::thread sync([&] {
        EXPECT_EQ(Properties().Sync(15, true), STATUS_SUCCESS);
        synced = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(synced.load()) << "the mutex item ran while " << holder.name << " was on the wire";
    stack->Gate().Release();
    held.join();
    sync.join();
    EXPECT_TRUE(synced.load());
}

bool AnyFrame(const Bytes&) {
    return true;
}

INSTANTIATE_TEST_SUITE_P(
    Items, HeldSequence,
    ::testing::Values(Holder{"pid_filter", [](auto& p) { (void)p.LoadPids(0, {0x0100}); },
                             [](const Bytes& f) { return f[0] == 0x03; }, false},
                      Holder{"extended_tune", [](auto& p) { (void)p.ExtendedTune(474000, 8, 0); },
                             AnyFrame, false},
                      Holder{"tuning_parameters",
                             [](auto& p) { (void)p.TuneParameters(474000, 8, 8, 0, 0, 0); },
                             AnyFrame, false},
                      Holder{"message_send",
                             [](auto& p) { (void)p.SendMessage(1, Bytes(30, 7), 11); },
                             [](const Bytes& f) { return f[0] == 0xF2; }, false},
                      Holder{"message_receive",
                             [](auto& p) {
                                 host::ReceivedMessage message;
                                 (void)p.ReceiveMessage(&message, 14);
                             },
                             [](const Bytes& f) { return f[0] == 0xE5; }, true}),
    [](const auto& info) { return info.param.name; });

// Two threads exchange messages through the two message items: every message reaches the
// device whole, and every receive brings back one whole answer.
TEST_F(PrivateConcurrencyTest, MessageExchangesNeverMixTheirFrames) {
    constexpr int kRounds = 12;
    // Payloads as strings: GCC's -O3 bounds check misreads the three-way compare of byte vectors.
    std::set<std::string> sent;
    const auto key = [](const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };
    std::mutex sentLock;
    std::atomic<int> badAnswers{0};
    auto run = [&](ULONG item, uint8_t tag) {
        host::ReceiverPrivateProperties properties = Properties();
        for (int round = 0; round < kRounds; ++round) {
            Bytes payload(17 + 3 * round, tag);
            payload[0] = static_cast<uint8_t>(round);
            {
                std::lock_guard guard(sentLock);
                sent.insert(key(payload));
            }
            ASSERT_EQ(properties.SendMessage(tag, payload, item), STATUS_SUCCESS);
            host::ReceivedMessage answer;
            ASSERT_EQ(properties.ReceiveMessage(&answer, item), STATUS_SUCCESS);
            // The answer (if the other thread did not take it) is one whole message.
            if (answer.length == 0) continue;
            std::lock_guard guard(sentLock);
            if (answer.payload.size() != answer.length || sent.count(key(answer.payload)) == 0)
                ++badAnswers;
        }
    };
    std::thread first(run, 11, 0xA1);
    std::thread second(run, 14, 0xB2);
    first.join();
    second.join();
    EXPECT_EQ(badAnswers.load(), 0);
    const std::vector<Bytes> taken = stack->messages.Messages();
    EXPECT_EQ(taken.size(), 2u * kRounds);
    for (const Bytes& message : taken) EXPECT_EQ(sent.count(key(message)), 1u);
}

// Reads from two threads replace the save area while a third thread reads it back: every record
// it gets is one read's, whole. The two reads differ only where the stick's answer cannot mix
// them (the address word's high bytes, the data area beyond what is read).
TEST_F(PrivateConcurrencyTest, TheSaveAreaIsNeverSeenHalfWritten) {
    constexpr int kRounds = 60;
    constexpr ULONG kLength = 4;
    constexpr uint8_t kRegister = 0x11;
    std::atomic<bool> done{false};
    auto reader = [&](ULONG tag) {
        host::ReceiverPrivateProperties properties = Properties();
        host::PassThroughRecord record;
        record.address = tag << 8 | kEchoChipAddress;
        record.registerNumber = kRegister;
        record.length = kLength;
        record.data.fill(static_cast<uint8_t>(tag));
        for (int round = 0; round < kRounds; ++round)
            ASSERT_EQ(properties.PassThrough(record), STATUS_SUCCESS);
    };
    std::atomic<int> torn{0};
    std::atomic<int> seen{0};
    std::thread checker([&] {
        host::ReceiverPrivateProperties properties = Properties();
        while (!done) {
            host::PassThroughRecord saved;
            ASSERT_EQ(properties.SavedPassThrough(&saved), STATUS_SUCCESS);
            if (saved.length == 0) continue;
            ++seen;
            const auto tag = static_cast<uint8_t>(saved.address >> 8);
            for (size_t i = 0; i < saved.data.size(); ++i)
                torn += saved.data[i] != (i < kLength ? kRegister : tag) ? 1 : 0;
        }
    });
    std::thread first(reader, 0x5A);
    std::thread second(reader, 0xC3);
    first.join();
    second.join();
    done = true;
    checker.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(seen.load(), 0);
}

}  // namespace
}  // namespace bda_test
