// The segmented message exchange over a stick's command pipes, with the message device on its
// I2C bus: the frames a send puts on the wire for each length, the pieces a receive asks for
// for each answer length, the waits, the pending byte, and the bounds that keep the record and
// the device safe from lengths the application or the stick gives.
#include "bridge/segmented_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bridge/bridge_channel.h"
#include "fake_bridge_stick.h"
#include "platform/host/clock.h"
#include "sim/message_device.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Bytes = std::vector<uint8_t>;

namespace {

// A device whose answer is `length` and then the bytes 0xA0, 0xA1, ... as asked for; unlike the
// message device it can give any length, 1 included.
class ScriptedAnswer : public sim::I2cDevice {
  public:
    explicit ScriptedAnswer(uint8_t length) : length_(length) {}
    bool Write(uint8_t, const uint8_t*, size_t) override { return true; }
    bool Read(uint8_t, uint8_t, uint8_t*, size_t) override { return false; }
    bool ReadCurrent(uint8_t, uint8_t* out, size_t count) override {
        if (!started_ && count == 1) {
            out[0] = length_;
            started_ = true;
            return true;
        }
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(0xA0 + next_++);
        return true;
    }

  private:
    uint8_t length_;
    bool started_ = false;
    size_t next_ = 0;
};

class SegmentedMessageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitializeBridgeChannel();
        InitializeSegmentedMessages();
        SetChannelDevice(stick.Device());
        stick.bus.Attach(sim::MessageDevice::kWriteAddress, &device);
        stick.bus.Attach(sim::MessageDevice::kReadAddress, &device);
        host::ClearRecordedDelays();
    }
    void TearDown() override {
        InitializeBridgeChannel();
        InitializeSegmentedMessages();
        EXPECT_THAT(stick.firmware.MessageFaults(), IsEmpty());
        EXPECT_THAT(device.Faults(), IsEmpty());
    }

    // A record of `bytes` whose payload positions hold 1, 2, 3, ... whatever the length word.
    static Bytes Record(ULONG kind, ULONG n, size_t bytes = kMessageRecordBytes) {
        Bytes record(bytes, 0);
        std::memcpy(record.data(), &kind, 4);
        std::memcpy(record.data() + 4, &n, 4);
        for (size_t i = 8; i < bytes; ++i) record[i] = static_cast<uint8_t>(i - 7);
        return record;
    }
    NTSTATUS Send(ULONG kind, ULONG n) {
        const Bytes record = Record(kind, n);
        return SendMessage(record.data(), static_cast<ULONG>(record.size()));
    }
    static ULONG Word(const Bytes& record, size_t offset) {
        ULONG value;
        std::memcpy(&value, record.data() + offset, 4);
        return value;
    }
    // Byte `index` of every frame written since `from`.
    Bytes ByteOfFrames(size_t index, size_t from = 0) const {
        Bytes bytes;
        for (size_t i = from; i < stick.Writes().size(); ++i)
            bytes.push_back(stick.Writes()[i][index]);
        return bytes;
    }
    static std::vector<LONGLONG> Sleeps() {
        return host::RecordedDelayMilliseconds(host::DelayKind::Sleep);
    }

    FakeBridgeStick stick{true};
    sim::MessageDevice device;
};

struct SendCase {
    const char* name;
    ULONG n;
    Bytes codes;       // byte 0 of each frame
    Bytes counts;      // byte 1 of each frame
    uint8_t length;    // byte 3 of the first frame: (n + 1) mod 256
    size_t paceWaits;  // 20 ms waits: one after every fifth continuation frame
};

class SendLayout : public SegmentedMessageTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendLayout, FramesCarryTheMessageWholeAndInOrder) {
    const SendCase& c = GetParam();
    ASSERT_EQ(Send(0x01, c.n), STATUS_SUCCESS);
    EXPECT_EQ(ByteOfFrames(0), c.codes);
    EXPECT_EQ(ByteOfFrames(1), c.counts);
    for (const Bytes& frame : stick.Writes()) EXPECT_EQ(frame.size(), 12u);
    // Each frame is followed by one 64-byte reply read.
    EXPECT_EQ(stick.ReadLengths(), std::vector<ULONG>(c.codes.size(), 64));
    const Bytes& first = stick.Writes()[0];
    EXPECT_EQ(first[2], 0x50);
    EXPECT_EQ(first[3], c.length);
    EXPECT_EQ(first[4], 0x02);
    // Positions 5 to 11 of the first frame always carry seven payload bytes.
    EXPECT_THAT(Bytes(first.begin() + 5, first.end()), ElementsAre(1, 2, 3, 4, 5, 6, 7));
    EXPECT_EQ(Sleeps(), std::vector<LONGLONG>(c.paceWaits, 20));

    // The device put the message back together: the payload's n bytes.
    Bytes payload(c.n);
    for (ULONG i = 0; i < c.n; ++i) payload[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(device.Messages().size(), 1u);
    EXPECT_EQ(device.Messages()[0], payload);
}

Bytes Repeated(uint8_t value, size_t count, Bytes before = {}, Bytes after = {}) {
    before.insert(before.end(), count, value);
    before.insert(before.end(), after.begin(), after.end());
    return before;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, SendLayout,
    ::testing::Values(SendCase{"n0", 0, {0xF4}, {3}, 1, 0}, SendCase{"n7", 7, {0xF4}, {10}, 8, 0},
                      SendCase{"n8", 8, {0xF1, 0xF3}, {10, 1}, 9, 0},
                      SendCase{"n15", 15, {0xF1, 0xF2, 0xF3}, {10, 8, 0}, 16, 0},
                      SendCase{"n20", 20, {0xF1, 0xF2, 0xF3}, {10, 8, 5}, 21, 0},
                      // 129 frames: the first, 127 middle frames and a last one of one byte.
                      SendCase{"n1024", 1024, Repeated(0xF2, 127, {0xF1}, {0xF3}),
                               Repeated(8, 127, {10}, {1}), 1, 25}),
    [](const auto& info) { return info.param.name; });

TEST_F(SegmentedMessageTest, TwentyBytesGoOutAsFirstMiddleAndLastFrames) {
    ASSERT_EQ(Send(0x01, 20), STATUS_SUCCESS);
    ASSERT_EQ(stick.Writes().size(), 3u);
    EXPECT_THAT(stick.Writes()[0], ElementsAre(0xF1, 10, 0x50, 21, 0x02, 1, 2, 3, 4, 5, 6, 7));
    EXPECT_THAT(stick.Writes()[1], ElementsAre(0xF2, 8, 8, 9, 10, 11, 12, 13, 14, 15, 0, 0));
    EXPECT_THAT(stick.Writes()[2], ElementsAre(0xF3, 5, 16, 17, 18, 19, 20, 0, 0, 0, 0, 0));
}

TEST_F(SegmentedMessageTest, KindsDecideTheFramesAndThePendingByte) {
    // Kind 0: the short control frame; the pending byte becomes 0.
    ASSERT_EQ(Send(0x21, 3), STATUS_SUCCESS);
    EXPECT_EQ(PendingMessageByte(), 0x21);
    ASSERT_EQ(Send(0, 500), STATUS_SUCCESS);  // the length word of a control send is not used
    EXPECT_THAT(stick.Writes().back(), ElementsAre(0xF4, 3, 0x50, 1, 3, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(PendingMessageByte(), 0);
    EXPECT_EQ(device.ControlMessages(), 1u);

    // 0x90 asks for nothing: nothing is sent and the pending byte stays.
    ASSERT_EQ(Send(0x37, 0), STATUS_SUCCESS);
    const size_t frames = stick.Writes().size();
    ASSERT_EQ(Send(0x90, 20), STATUS_SUCCESS);
    EXPECT_EQ(stick.Writes().size(), frames);
    EXPECT_EQ(PendingMessageByte(), 0x37);

    // A kind that is a non-zero multiple of 256 sends its payload and leaves the byte 0.
    ASSERT_EQ(Send(0x200, 2), STATUS_SUCCESS);
    EXPECT_EQ(stick.Writes().back()[0], 0xF4);
    EXPECT_EQ(PendingMessageByte(), 0);
}

TEST_F(SegmentedMessageTest, SendsBeyondTheRecordAreRefusedBeforeAnythingMoves) {
    ASSERT_EQ(Send(0x55, 1), STATUS_SUCCESS);
    stick.firmware.ClearFrames();
    const size_t frames = stick.Writes().size();
    EXPECT_EQ(Send(0x66, 1025), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(0x66, 0xFFFFFFFF), STATUS_INVALID_PARAMETER);
    // Within 1024 but past the record the caller gave.
    const Bytes shortRecord = Record(0x66, 11, 8 + 10);
    EXPECT_EQ(SendMessage(shortRecord.data(), 18), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendMessage(shortRecord.data(), 7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stick.Writes().size(), frames);
    EXPECT_EQ(PendingMessageByte(), 0x55);
}

TEST_F(SegmentedMessageTest, AFailedFrameEndsTheSend) {
    stick.FailWriteAt(1);  // the first middle frame of a 30-byte message
    ASSERT_EQ(Send(0x01, 30), STATUS_SUCCESS);
    EXPECT_EQ(stick.Writes().size(), 1u);
    stick.FailReads(1);  // the first frame's reply is lost
    ASSERT_EQ(Send(0x01, 30), STATUS_SUCCESS);
    EXPECT_EQ(stick.Writes().size(), 2u);
    // The bridge noticed the message cut short by the failed frame when the next one began.
    EXPECT_THAT(stick.firmware.MessageFaults(),
                ElementsAre("a new message began while one was open"));
    stick.firmware.ClearMessageFaults();
}

struct PieceCase {
    const char* name;
    uint8_t length;       // L, the device's answer length
    Bytes asked;          // k of each read request: the length poll, then the pieces
    ULONG payloadLength;  // word 1
    size_t paceWaits;     // 20 ms waits: one after every fifth piece
};

class ReceivePieces : public SegmentedMessageTest,
                      public ::testing::WithParamInterface<PieceCase> {};

TEST_P(ReceivePieces, ThePiecesAddUpToTheAnnouncedLength) {
    const PieceCase& c = GetParam();
    ScriptedAnswer answer(c.length);
    stick.bus.Attach(sim::MessageDevice::kReadAddress, &answer);
    ASSERT_EQ(Send(0x01, 4), STATUS_SUCCESS);
    const size_t from = stick.Writes().size();
    host::ClearRecordedDelays();

    Bytes record(kMessageRecordBytes, 0xEE);
    EXPECT_EQ(ReceiveMessage(record.data(), kMessageRecordBytes), 8 + c.payloadLength);
    EXPECT_EQ(ByteOfFrames(0, from), Bytes(c.asked.size(), 0xE5));
    EXPECT_EQ(ByteOfFrames(2, from), Bytes(c.asked.size(), 0x51));
    EXPECT_EQ(ByteOfFrames(3, from), c.asked);
    EXPECT_EQ(Word(record, 0), 0x01u);
    EXPECT_EQ(Word(record, 4), c.payloadLength);
    // The payload is the answer without its first two bytes: 0xA2, 0xA3, ...
    for (ULONG i = 0; i < c.payloadLength; ++i)
        ASSERT_EQ(record[8 + i], static_cast<uint8_t>(0xA2 + i)) << "payload byte " << i;
    EXPECT_EQ(record[8 + c.payloadLength], 0xEE);
    std::vector<LONGLONG> waits{300};
    waits.insert(waits.end(), c.paceWaits, 20);
    EXPECT_EQ(Sleeps(), waits);
}

Bytes Pieces(size_t sevens, uint8_t last) {
    Bytes asked{1};
    asked.insert(asked.end(), sevens, 7);
    asked.push_back(last);
    return asked;
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReceivePieces,
                         ::testing::Values(PieceCase{"L1", 1, {1, 1}, 0, 0},
                                           PieceCase{"L2", 2, {1, 2}, 0, 0},
                                           PieceCase{"L14", 14, Pieces(2, 0), 12, 0},
                                           PieceCase{"L16", 16, Pieces(2, 2), 14, 0},
                                           PieceCase{"L255", 255, Pieces(36, 3), 253, 7}),
                         [](const auto& info) { return info.param.name; });

TEST_F(SegmentedMessageTest, AnAnswerEchoesTheMessageAndIsReadOnce) {
    ASSERT_EQ(Send(0x42, 20), STATUS_SUCCESS);
    Bytes record(kMessageRecordBytes, 0);
    ASSERT_EQ(ReceiveMessage(record.data(), kMessageRecordBytes), 8u + 20u);
    EXPECT_EQ(Word(record, 0), 0x42u);
    EXPECT_EQ(Word(record, 4), 20u);
    for (size_t i = 0; i < 20; ++i) EXPECT_EQ(record[8 + i], i + 1);
    EXPECT_EQ(device.LengthPolls(), 1u);
    EXPECT_THAT(device.AnswerReads(), ElementsAre(7, 7, 7, 1));  // L = 22

    // The answer is consumed; the pending byte is not, so the next receive polls eight times.
    host::ClearRecordedDelays();
    ASSERT_EQ(ReceiveMessage(record.data(), kMessageRecordBytes), 8u);
    EXPECT_EQ(Word(record, 0), 0x42u);
    EXPECT_EQ(Word(record, 4), 0u);
    EXPECT_EQ(device.LengthPolls(), 9u);
    EXPECT_EQ(Sleeps(), (std::vector<LONGLONG>{300, 10, 10, 10, 10, 10, 10, 10, 10}));
}

TEST_F(SegmentedMessageTest, AfterAControlSendAReceiveWaitsAndDoesNotPoll) {
    ASSERT_EQ(Send(0x42, 5), STATUS_SUCCESS);
    ASSERT_EQ(Send(0, 0), STATUS_SUCCESS);
    const size_t frames = stick.Writes().size();
    host::ClearRecordedDelays();
    Bytes record(kMessageRecordBytes, 0xEE);
    ASSERT_EQ(ReceiveMessage(record.data(), kMessageRecordBytes), 8u);
    EXPECT_EQ(Word(record, 0), 0u);
    EXPECT_EQ(Word(record, 4), 0u);
    EXPECT_EQ(stick.Writes().size(), frames);
    EXPECT_EQ(Sleeps(), std::vector<LONGLONG>{300});
    EXPECT_THAT(device.PendingAnswer(), IsEmpty()) << "the control message withdrew the answer";
}

TEST_F(SegmentedMessageTest, ALengthIsUsedOnlyUpToWhatArrived) {
    // The write of the second piece fails (writes 0-2 the message, 3 the poll, 4 and 5 pieces 0 and
    // 1): one piece of
    // seven bytes came, so five payload bytes are reported and copied.
    ASSERT_EQ(Send(0x01, 20), STATUS_SUCCESS);
    stick.FailWriteAt(5);
    Bytes record(kMessageRecordBytes, 0xEE);
    ASSERT_EQ(ReceiveMessage(record.data(), kMessageRecordBytes), 8u + 5u);
    EXPECT_EQ(Word(record, 4), 5u);
    EXPECT_THAT(Bytes(record.begin() + 8, record.begin() + 14), ElementsAre(1, 2, 3, 4, 5, 0xEE));

    // Replies shorter than asked for end the collection at the last byte that arrived.
    int reads = 0;
    stick.firmware.SetMessageHandler([&reads](const uint8_t* frame, size_t) -> Bytes {
        if (frame[0] != 0xE5) return Bytes(4, 0x55);
        switch (reads++) {
            case 0:
                return {0x55, 16};  // length poll
            case 1:
                return {0x55, 9, 9, 1, 2, 3, 4, 5};  // a whole piece
            default:
                return {0x55, 6, 7};  // two of seven
        }
    });
    ASSERT_EQ(ReceiveMessage(record.data(), kMessageRecordBytes), 8u + 7u);
    EXPECT_EQ(Word(record, 4), 7u);
    EXPECT_THAT(Bytes(record.begin() + 8, record.begin() + 16),
                ElementsAre(1, 2, 3, 4, 5, 6, 7, 0xEE));

    // A length poll answered without its data byte carries no length.
    stick.firmware.SetMessageHandler([](const uint8_t*, size_t) { return Bytes{0x55}; });
    ASSERT_EQ(ReceiveMessage(record.data(), kMessageRecordBytes), 8u);
    EXPECT_EQ(Word(record, 4), 0u);
}

TEST_F(SegmentedMessageTest, AReceiveNeverWritesPastTheRecord) {
    ASSERT_EQ(Send(0x01, 40), STATUS_SUCCESS);
    Bytes record(8 + 10 + 16, 0xEE);
    ASSERT_EQ(ReceiveMessage(record.data(), 8 + 10), 8u + 10u);
    EXPECT_EQ(Word(record, 4), 10u);
    EXPECT_EQ(Bytes(record.begin() + 18, record.end()), Bytes(16, 0xEE));
    EXPECT_EQ(ReceiveMessage(record.data(), 7), 0u);
    EXPECT_EQ(ReceiveMessage(nullptr, kMessageRecordBytes), 0u);
}

}  // namespace
