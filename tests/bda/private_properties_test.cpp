// The receiver's private property set as an application uses it through kernel streaming, with
// the simulated stick behind the filter: what each item returns, stores and puts on the wire,
// what it refuses (and that a refusal sends nothing), and the bounds that keep every length an
// application gives inside its buffer and inside what the stick's frames can carry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "bridge/signal_status.h"
#include "platform/host/clock.h"
#include "platform/host/ks_services.h"
#include "platform/host/pool_accounting.h"
#include "platform/host/receiver_private_properties.h"
#include "receiver_stack.h"
#include "usb/cqzusb.h"

namespace bda_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const Bytes kDefaultPidLoad = {0x03, 0x06, 0x00, 0xFF, 0x01, 0x1F, 0x20, 0x81};
const Bytes kCommand06 = {0x06, 0x00};

// Answers every register with the register number, at the address it is attached to.
class EchoRegisterChip : public sim::I2cDevice {
  public:
    bool Write(uint8_t, const uint8_t* bytes, size_t count) override {
        std::lock_guard guard(lock_);
        written.assign(bytes, bytes + count);
        return true;
    }
    bool Read(uint8_t, uint8_t reg, uint8_t* out, size_t count) override {
        std::fill_n(out, count, reg);
        return true;
    }
    Bytes Written() {
        std::lock_guard guard(lock_);
        return written;
    }

  private:
    std::mutex lock_;
    Bytes written;
};

constexpr uint8_t kEchoChipAddress = 0xA0;

// Counts stream reads the driver submits: a stream start submits its reads afresh, while a
// stream that runs on (with no data from the stick) keeps the ones it has.
class StreamReadCounter : public host::UsbTrafficObserver {
  public:
    explicit StreamReadCounter(UCHAR endpoint) : endpoint_(endpoint) {}
    void RequestSubmitted(const host::UsbTrafficRecord& record) override {
        if (record.endpoint.address == endpoint_ &&
            (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
             record.function == URB_FUNCTION_ISOCH_TRANSFER))
            ++submitted_;
    }
    void RequestCompleted(const host::UsbTrafficRecord&) override {}
    size_t Submitted() const { return submitted_; }

  private:
    const UCHAR endpoint_;
    std::atomic<size_t> submitted_{0};
};

class PrivatePropertiesTest : public ::testing::Test {
  protected:
    void Build(StackOptions options = {}) {
        app.reset();
        stack.reset();
        stack = std::make_unique<ReceiverStack>(std::move(options));
        stack->I2c().Attach(kEchoChipAddress, &chip);
        app = std::make_unique<host::BdaReceiverApplication>(stack->Device());
        ASSERT_EQ(app->Open(), STATUS_SUCCESS);
        properties = std::make_unique<host::ReceiverPrivateProperties>(app->Filter());
        stack->ClearFrames();
        host::ClearRecordedDelays();
    }
    void SetUp() override { Build(); }
    void TearDown() override {
        properties.reset();
        app.reset();
        if (stack != nullptr) {
            EXPECT_THAT(stack->Firmware().MessageFaults(), IsEmpty());
            EXPECT_THAT(stack->messages.Faults(), IsEmpty());
        }
        stack.reset();
        EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
    }

    DeviceContext* Context() { return stack->Hosted()->Context(); }
    ULONG StreamActive() {
        return static_cast<ULONG>(ReadLongAcquire(
            reinterpret_cast<LONG const volatile*>(&stack->Hosted()->Transport()->streamActive)));
    }
    static std::vector<LONGLONG> Sleeps() {
        return host::RecordedDelayMilliseconds(host::DelayKind::Sleep);
    }
    void Settle() { stack->System().Bus().WaitUntilQuiet(); }
    host::PassThroughRecord Read(ULONG address, ULONG reg, ULONG length) {
        host::PassThroughRecord record;
        record.operation = host::ReceiverPrivateProperties::kPassRead;
        record.address = address;
        record.registerNumber = reg;
        record.length = length;
        return record;
    }
    host::PassThroughRecord Write(ULONG address, ULONG reg, Bytes data) {
        host::PassThroughRecord record;
        record.operation = host::ReceiverPrivateProperties::kPassWrite;
        record.address = address;
        record.registerNumber = reg;
        record.length = static_cast<ULONG>(data.size());
        std::copy(data.begin(), data.end(), record.data.begin());
        return record;
    }

    EchoRegisterChip chip;
    std::unique_ptr<ReceiverStack> stack;
    std::unique_ptr<host::BdaReceiverApplication> app;
    std::unique_ptr<host::ReceiverPrivateProperties> properties;
};

TEST_F(PrivatePropertiesTest, VersionStatusAndSetsWithoutEffect) {
    Bytes version;
    ASSERT_EQ(properties->Get(0, &version), STATUS_SUCCESS);
    ASSERT_EQ(version.size(), 104u);
    EXPECT_THAT(Bytes(version.begin(), version.begin() + 8), ElementsAre(100, 0, 0, 0, 2, 0, 0, 0));
    EXPECT_EQ(Bytes(version.begin() + 8, version.end()), Bytes(96, 0));

    (void)SetLockFlag(1);
    Bytes status;
    ASSERT_EQ(properties->Get(10, &status), STATUS_SUCCESS);
    ASSERT_EQ(status.size(), 7u);
    EXPECT_THAT(Bytes(status.begin(), status.begin() + 5), ElementsAre(3, 0, 0, 0, 1));

    for (ULONG id : {0u, 3u, 10u}) EXPECT_EQ(properties->Set(id, Bytes(516, 0xFF)), STATUS_SUCCESS);
    // Items without a get refuse one.
    for (ULONG id : {2u, 3u, 5u, 6u, 7u, 8u, 9u, 12u, 13u}) {
        Bytes data;
        EXPECT_EQ(properties->Get(id, &data), STATUS_INVALID_DEVICE_REQUEST) << "id " << id;
    }
    EXPECT_THAT(stack->Frames(), IsEmpty());
}

TEST_F(PrivatePropertiesTest, KeysArriveFromTheRemoteInOrderAndCanBeCleared) {
    std::array<uint8_t, 4> key{9, 9, 9, 9};
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);
    EXPECT_THAT(key, ElementsAre(0, 0, 0, 0));
    EXPECT_EQ(Context()->keyCount, 0);

    for (uint8_t press : {0x12, 0x34}) ASSERT_TRUE(stack->Remote().Press(press));
    Settle();
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);
    EXPECT_THAT(key, ElementsAre(0x02, 0xFD, 0x12, 0xED));
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);
    EXPECT_THAT(key, ElementsAre(0x02, 0xFD, 0x34, 0xCB));
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);
    EXPECT_THAT(key, ElementsAre(0, 0, 0, 0));

    for (uint8_t press : {1, 2, 3}) ASSERT_TRUE(stack->Remote().Press(press));
    Settle();
    EXPECT_EQ(Context()->keyCount, 3);
    ASSERT_EQ(properties->ClearKeys(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->keyCount, 0);
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);
    EXPECT_THAT(key, ElementsAre(0, 0, 0, 0));
}

// A key arrives, and the interrupt read that should follow it cannot be allocated: the reader
// rests and the remote's next key waits in the stick. The application's next key request that
// finds the queue empty brings the reader back, and that key arrives.
TEST_F(PrivatePropertiesTest, KeyRequestBringsBackAReaderThatRests) {
    CQZUSB* transport = stack->Hosted()->Transport();
    host::FailPoolAllocation(host::kIrpPoolTag, 1);
    ASSERT_TRUE(stack->Remote().Press(0x12));
    Settle();
    EXPECT_EQ(transport->interruptIrp, nullptr);
    EXPECT_TRUE(transport->InterruptReaderResting());
    ASSERT_TRUE(stack->Remote().Press(0x34));
    Settle();

    std::array<uint8_t, 4> key{};
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);
    EXPECT_THAT(key, ElementsAre(0x02, 0xFD, 0x12, 0xED));
    EXPECT_TRUE(transport->InterruptReaderResting()) << "a key was there: no resume needed";
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);  // empty: the reader comes back
    EXPECT_THAT(key, ElementsAre(0, 0, 0, 0));
    Settle();
    ASSERT_EQ(properties->TakeKey(&key), STATUS_SUCCESS);
    EXPECT_THAT(key, ElementsAre(0x02, 0xFD, 0x34, 0xCB));
    EXPECT_NE(transport->interruptIrp, nullptr);
    EXPECT_FALSE(transport->InterruptReaderResting());
}

struct PidCase {
    const char* name;
    ULONG check;
    ULONG mode;
    std::vector<uint16_t> pids;
    int count;  // the entry count byte; -1: the list's size
    NTSTATUS status;
    std::vector<Bytes> frames;  // what reaches the wire
    bool restarted;             // the stream was stopped and started again
};

class PidFilter : public PrivatePropertiesTest, public ::testing::WithParamInterface<PidCase> {};

TEST_P(PidFilter, LoadsTheTableAndRestartsTheStream) {
    const PidCase& c = GetParam();
    // A table with PID 0x0200 runs before, so that a restart shows in the table and in the reads.
    ASSERT_EQ(properties->LoadPids(0, {0x0200}), STATUS_SUCCESS);
    ASSERT_EQ(StreamActive(), 1u);
    Settle();
    stack->ClearFrames();
    CQZUSB* transport = stack->Hosted()->Transport();
    StreamReadCounter reads(transport->Pipe(transport->streamPipeIndex)->EndpointAddress);
    stack->System().Bus().AddObserver(&reads);

    Bytes record(10, 0);
    std::memcpy(record.data(), &c.check, 4);
    std::memcpy(record.data() + 4, &c.mode, 4);
    record[8] = static_cast<uint8_t>(c.count >= 0 ? c.count : static_cast<int>(c.pids.size()));
    for (uint16_t pid : c.pids)
        record.insert(record.end(), {uint8_t(pid & 0xFF), uint8_t(pid >> 8)});
    EXPECT_EQ(properties->Set(2, record), c.status);
    Settle();
    stack->System().Bus().RemoveObserver(&reads);
    EXPECT_EQ(stack->Frames(), c.frames);
    EXPECT_EQ(StreamActive(), 1u);
    EXPECT_EQ(reads.Submitted() != 0, c.restarted);
}

Bytes SixteenEntryFrame() {
    Bytes frame{0x03, 66};
    for (uint8_t i = 0; i < 16; ++i)
        frame.insert(frame.end(), {uint8_t(2 * i), i, uint8_t(2 * i + 1), 1});
    frame.insert(frame.end(), {0x20, 0x9E});
    return frame;
}

std::vector<uint16_t> Pids(size_t count) {
    std::vector<uint16_t> pids;
    for (size_t i = 0; i < count; ++i) pids.push_back(static_cast<uint16_t>(0x100 + i));
    return pids;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, PidFilter,
    ::testing::Values(
        PidCase{"mode1_one_pid",
                40,
                1,
                {0x0100},
                -1,
                STATUS_SUCCESS,
                {{0x03, 0x06, 0x00, 0x00, 0x01, 0x01, 0x20, 0xA0}, kCommand06},
                true},
        PidCase{
            "mode2_two_pids",
            40,
            2,
            {0x0100, 0x0012},
            -1,
            STATUS_SUCCESS,
            {{0x03, 0x0A, 0x00, 0x00, 0x01, 0x01, 0x02, 0x12, 0x03, 0x00, 0x20, 0x83}, kCommand06},
            true},
        PidCase{"no_entries_loads_the_default",
                40,
                0,
                {},
                -1,
                STATUS_SUCCESS,
                {kDefaultPidLoad, kCommand06},
                true},
        PidCase{"sixteen_entries",
                40,
                0,
                Pids(16),
                -1,
                STATUS_SUCCESS,
                {SixteenEntryFrame(), kCommand06},
                true},
        // Above sixteen nothing is loaded (and the entries are not read), but the stream restarts.
        PidCase{"seventeen_entries", 40, 0, Pids(17), -1, STATUS_SUCCESS, {}, true},
        PidCase{"count_byte_255", 40, 0, {0x0100}, 255, STATUS_SUCCESS, {}, true},
        PidCase{"wrong_check_word", 39, 1, {0x0100}, -1, STATUS_UNSUCCESSFUL, {}, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(PrivatePropertiesTest, PidTableTakesEffectOnTheStick) {
    ASSERT_EQ(properties->LoadPids(1, {0x0100}), STATUS_SUCCESS);
    EXPECT_TRUE(stack->Firmware().Pids().Accept(0x0100));
    EXPECT_FALSE(stack->Firmware().Pids().Accept(0x0101));
    EXPECT_FALSE(stack->Firmware().Pids().Accept(0x0000));
    ASSERT_EQ(properties->LoadPids(0, {0x0100, 0x0101}), STATUS_SUCCESS);
    EXPECT_TRUE(stack->Firmware().Pids().Accept(0x0101));
    ASSERT_EQ(properties->LoadPids(2, {}), STATUS_SUCCESS);
    EXPECT_TRUE(stack->Firmware().Pids().Accept(0x0000)) << "the default table passes everything";
}

TEST_F(PrivatePropertiesTest, PassThroughReadsAreSavedWritesAreNot) {
    host::PassThroughRecord saved;
    ASSERT_EQ(properties->SavedPassThrough(&saved), STATUS_SUCCESS);
    EXPECT_EQ(saved.operation + saved.address + saved.registerNumber + saved.length, 0u);
    EXPECT_EQ(saved.data, (std::array<uint8_t, 256>{}));

    // A read: 84 03 address register count in a 64-byte frame; the record is saved whole.
    host::PassThroughRecord read = Read(0x1A0, 0x21, 5);  // only the address's low byte counts
    read.data[200] = 0x77;  // the data area as the application left it travels along
    ASSERT_EQ(properties->PassThrough(read), STATUS_SUCCESS);
    ASSERT_EQ(stack->Frames().size(), 1u);
    const Bytes frame = stack->Frames()[0];
    ASSERT_EQ(frame.size(), 64u);
    EXPECT_THAT(Bytes(frame.begin(), frame.begin() + 5), ElementsAre(0x84, 3, 0xA0, 0x21, 5));
    ASSERT_EQ(properties->SavedPassThrough(&saved), STATUS_SUCCESS);
    EXPECT_EQ(saved.operation, 0u);
    EXPECT_EQ(saved.address, 0x1A0u);
    EXPECT_EQ(saved.registerNumber, 0x21u);
    EXPECT_EQ(saved.length, 5u);
    EXPECT_THAT(Bytes(saved.data.begin(), saved.data.begin() + 6),
                ElementsAre(0x21, 0x21, 0x21, 0x21, 0x21, 0));
    EXPECT_EQ(saved.data[200], 0x77);

    // A write: 04, k+2, address, register, data in 64 bytes, then 20 ms; the save area stays.
    stack->ClearFrames();
    host::ClearRecordedDelays();
    ASSERT_EQ(properties->PassThrough(Write(kEchoChipAddress, 0x10, {0xAA, 0xBB})), STATUS_SUCCESS);
    ASSERT_EQ(stack->Frames().size(), 1u);
    const Bytes write = stack->Frames()[0];
    EXPECT_EQ(write.size(), 64u);
    EXPECT_THAT(Bytes(write.begin(), write.begin() + 6),
                ElementsAre(0x04, 4, 0xA0, 0x10, 0xAA, 0xBB));
    EXPECT_THAT(chip.Written(), ElementsAre(0x10, 0xAA, 0xBB));
    EXPECT_EQ(Sleeps(), std::vector<LONGLONG>{20});
    host::PassThroughRecord after;
    ASSERT_EQ(properties->SavedPassThrough(&after), STATUS_SUCCESS);
    EXPECT_EQ(after.registerNumber, 0x21u);

    // A read that does not complete is reported and leaves the save area as it was.
    stack->Stick().FailNextTransfer(sim::OnEndpoint(0x81));
    EXPECT_EQ(properties->PassThrough(Read(kEchoChipAddress, 0x30, 4)), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(properties->SavedPassThrough(&after), STATUS_SUCCESS);
    EXPECT_EQ(after.registerNumber, 0x21u);
}

struct PassBound {
    const char* name;
    host::PassThroughRecord record;
    ULONG checkWord;
    NTSTATUS status;
    bool sent;
};

class PassThroughBounds : public PrivatePropertiesTest,
                          public ::testing::WithParamInterface<PassBound> {};

host::PassThroughRecord Pass(ULONG operation, ULONG length) {
    host::PassThroughRecord record;
    record.operation = operation;
    record.address = kEchoChipAddress;
    record.registerNumber = 0x40;
    record.length = length;
    return record;
}

TEST_P(PassThroughBounds, LengthsBeyondOneFrameAreRefusedBeforeAnythingIsSent) {
    const PassBound& c = GetParam();
    Bytes data(276, 0);
    std::memcpy(data.data(), &c.checkWord, 4);
    std::memcpy(data.data() + 4, &c.record, 16);
    EXPECT_EQ(properties->Set(4, data), c.status);
    EXPECT_EQ(stack->Frames().size(), c.sent ? 1u : 0u);
    host::PassThroughRecord saved;
    ASSERT_EQ(properties->SavedPassThrough(&saved), STATUS_SUCCESS);
    const bool savedRead = c.sent && c.record.operation != 1;
    EXPECT_EQ(saved.length, savedRead ? c.record.length : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PassThroughBounds,
    ::testing::Values(PassBound{"write_60", Pass(1, 60), 272, STATUS_SUCCESS, true},
                      PassBound{"write_61", Pass(1, 61), 272, STATUS_INVALID_PARAMETER, false},
                      PassBound{"write_huge", Pass(1, 0x80000000), 272, STATUS_INVALID_PARAMETER,
                                false},
                      PassBound{"read_63", Pass(0, 63), 272, STATUS_SUCCESS, true},
                      PassBound{"read_64", Pass(0, 64), 272, STATUS_INVALID_PARAMETER, false},
                      PassBound{"read_by_any_other_operation_256", Pass(7, 256), 272,
                                STATUS_INVALID_PARAMETER, false},
                      PassBound{"wrong_check_word", Pass(0, 4), 271, STATUS_UNSUCCESSFUL, false}),
    [](const auto& info) { return info.param.name; });

struct SettingCase {
    ULONG id;
    ULONG check;
    uint8_t value;
    NTSTATUS status;
    ULONG stored;  // in the item's field
};

class Settings : public PrivatePropertiesTest, public ::testing::WithParamInterface<SettingCase> {
  protected:
    ULONG Field(ULONG id) {
        switch (id) {
            case 5:
                return Context()->privateSetting5;
            case 6:
                return Context()->privateSetting6;
            case 7:
                return Context()->privateSetting7;
            default:
                return Context()->privateSetting8;
        }
    }
};

TEST_P(Settings, StoreTheValueWhenTheCheckWordFits) {
    const SettingCase& c = GetParam();
    EXPECT_EQ(properties->Setting(c.id, c.check, c.value), c.status);
    EXPECT_EQ(Field(c.id), c.stored);
    // Id 5 waits 8 ms first, also when its check then fails.
    EXPECT_EQ(Sleeps(), c.id == 5 ? std::vector<LONGLONG>{8} : std::vector<LONGLONG>{});
    EXPECT_THAT(stack->Frames(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Items, Settings,
                         ::testing::Values(SettingCase{5, 5, 0x33, STATUS_SUCCESS, 0x33},
                                           SettingCase{5, 6, 0x33, STATUS_UNSUCCESSFUL, 0},
                                           SettingCase{6, 1, 0x44, STATUS_SUCCESS, 0x44},
                                           SettingCase{6, 2, 0x44, STATUS_UNSUCCESSFUL, 0},
                                           SettingCase{7, 1, 0x55, STATUS_SUCCESS, 0x55},
                                           SettingCase{7, 0, 0x55, STATUS_UNSUCCESSFUL, 0},
                                           SettingCase{8, 1, 1, STATUS_SUCCESS, 0},
                                           SettingCase{8, 1, 0, STATUS_SUCCESS, 1},
                                           SettingCase{8, 1, 7, STATUS_SUCCESS, 1},
                                           SettingCase{8, 3, 1, STATUS_UNSUCCESSFUL, 0}));

TEST_F(PrivatePropertiesTest, ExtendedTuneTunesTheDifferenceAndRestartsTheStream) {
    // 475000 less an offset of 1000: the channel at 474000, locked, the stream restarted with
    // the default table.
    ASSERT_EQ(properties->ExtendedTune(475000, 8, 1000), STATUS_SUCCESS);
    EXPECT_EQ(TunerKHz(stack->tuner), 474000u);
    EXPECT_EQ(GetLockFlag(), 1);
    EXPECT_EQ(Context()->tuneLocked, 1);
    EXPECT_EQ(Context()->frequency, 475000u);
    EXPECT_EQ(Context()->symbolRate, 8u);
    EXPECT_EQ(Context()->offsetFrequency, 1000u);
    std::vector<Bytes> frames = stack->Frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], kDefaultPidLoad);
    EXPECT_EQ(frames.back(), kCommand06);
    EXPECT_EQ(StreamActive(), 1u);

    // Frequency 0: no tune, the lock flag cleared, the stream restarted all the same.
    stack->ClearFrames();
    ASSERT_EQ(properties->ExtendedTune(0, 8, 0), STATUS_SUCCESS);
    EXPECT_EQ(GetLockFlag(), 0);
    EXPECT_EQ(Context()->tuneLocked, 0);
    EXPECT_EQ(stack->ChipFrames(), 0u);
    EXPECT_EQ(stack->Frames(), (std::vector<Bytes>{kDefaultPidLoad, kCommand06}));
    EXPECT_EQ(StreamActive(), 1u);

    EXPECT_EQ(properties->Set(9, {23, 0, 0, 0, 0x50, 0x3B, 0x07, 0}), STATUS_UNSUCCESSFUL);
}

TEST_F(PrivatePropertiesTest, ACommitAfterAnExtendedTuneDoesNotTrustTheOldChannel) {
    ASSERT_EQ(app->Tune(474000).Status(), STATUS_SUCCESS);
    ASSERT_EQ(TunerKHz(stack->tuner), 474000u);
    ASSERT_EQ(properties->ExtendedTune(530000, 8, 0), STATUS_SUCCESS);
    ASSERT_EQ(TunerKHz(stack->tuner), 530000u);
    ASSERT_EQ(GetLockFlag(), 1);
    // The chips are on 530000 now: the commit of 474000 must tune again.
    ASSERT_EQ(app->Tune(474000).Status(), STATUS_SUCCESS);
    EXPECT_EQ(TunerKHz(stack->tuner), 474000u);
}

TEST_F(PrivatePropertiesTest, TuningParametersTuneAndLeaveTheStreamStopped) {
    ASSERT_EQ(properties->TuneParameters(474400, 7, 6, 5, 4, 3), STATUS_SUCCESS);
    EXPECT_EQ(TunerKHz(stack->tuner), 474000u) << "the commit's rounding";
    EXPECT_EQ(GetLockFlag(), 1);
    EXPECT_EQ(StreamActive(), 0u);
    EXPECT_EQ(Context()->bandwidth, 7u);
    EXPECT_EQ(Context()->symbolRate, 6u);
    EXPECT_EQ(Context()->offsetFrequency, 5u);
    EXPECT_EQ(Context()->tuningExtra1, 4u);
    EXPECT_EQ(Context()->tuningExtra2, 3u);
    EXPECT_EQ(properties->Set(13, {0, 0, 0, 0}), STATUS_UNSUCCESSFUL);
}

struct RawCase {
    const char* name;
    ULONG length;     // word 0
    ULONG dataBytes;  // the buffer
    NTSTATUS status;
};

class RawFrames : public PrivatePropertiesTest, public ::testing::WithParamInterface<RawCase> {};

TEST_P(RawFrames, GoOutUnchangedWhenTheyLieInTheBuffer) {
    const RawCase& c = GetParam();
    Bytes data(c.dataBytes, 0);
    std::memcpy(data.data(), &c.length, 4);
    for (size_t i = 4; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    data[4] = 0x06;  // command 0x06 leads
    EXPECT_EQ(properties->Set(12, data, c.dataBytes), c.status);
    if (c.status == STATUS_SUCCESS) {
        ASSERT_EQ(stack->Frames().size(), 1u);
        EXPECT_EQ(stack->Frames()[0], Bytes(data.begin() + 4, data.begin() + 4 + c.length));
    } else {
        EXPECT_THAT(stack->Frames(), IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RawFrames,
    ::testing::Values(RawCase{"command_06", 2, 516, STATUS_SUCCESS},
                      RawCase{"zero", 0, 516, STATUS_UNSUCCESSFUL},
                      RawCase{"whole_buffer", 512, 516, STATUS_SUCCESS},
                      RawCase{"one_past_the_buffer", 513, 516, STATUS_INVALID_PARAMETER},
                      RawCase{"larger_buffer", 996, 1000, STATUS_SUCCESS},
                      RawCase{"huge", 0xFFFFFFF0, 1000, STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return info.param.name; });

TEST_F(PrivatePropertiesTest, MessagesGoThroughEitherItemAndComeBack) {
    std::vector<uint8_t> payload(20);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(0x30 + i);
    ASSERT_EQ(properties->SendMessage(0x42, payload, 11), STATUS_SUCCESS);
    EXPECT_THAT(stack->messages.Messages(), ElementsAre(payload));
    host::ClearRecordedDelays();

    host::ReceivedMessage message;
    ASSERT_EQ(properties->ReceiveMessage(&message, 14), STATUS_SUCCESS);
    EXPECT_EQ(message.pending, 0x42u);
    EXPECT_EQ(message.length, 20u);
    EXPECT_EQ(message.payload, payload);
    EXPECT_EQ(Sleeps().front(), 300);

    // A length word above 1024 is refused; nothing reaches the stick.
    stack->ClearFrames();
    Bytes record(1032, 0);
    const ULONG kind = 1, length = 1025;
    std::memcpy(record.data(), &kind, 4);
    std::memcpy(record.data() + 4, &length, 4);
    EXPECT_EQ(properties->Set(11, record), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(stack->Frames(), IsEmpty());
}

TEST_F(PrivatePropertiesTest, MutexItemsWaitForASequenceThatHoldsTheDeviceIoMutex) {
    for (ULONG id : {15u, 16u})
        for (bool set : {false, true}) EXPECT_EQ(properties->Sync(id, set), STATUS_SUCCESS);

    // A PID load is held on the wire with the device I/O mutex taken: the mutex item waits.
    stack->Gate().HoldAt([](const Bytes& frame) { return frame[0] == 0x03; });
    std::thread loader([this] { (void)properties->LoadPids(0, {0x0100}); });
    ASSERT_TRUE(stack->Gate().WaitHeld());
    std::atomic<bool> returned{false};
    std::thread sync([&] {
        auto other = host::ReceiverPrivateProperties(app->Filter());
        EXPECT_EQ(other.Sync(15, false), STATUS_SUCCESS);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    stack->Gate().Release();
    loader.join();
    sync.join();
    EXPECT_TRUE(returned.load());
}

}  // namespace
}  // namespace bda_test
