// The stick's side of the private features: the bridge's message gateway and the message device
// behind it refuse what is out of order or miscounted (the driver's tests rely on them to notice
// a mixed-up exchange), the device answers with a length poll and then the answer, and the PID
// filter drops from the stream what it does not pass.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "sim/bridge_firmware.h"
#include "sim/message_device.h"
#include "sim/pid_filtered_source.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Bytes = std::vector<uint8_t>;

Bytes Frame(Bytes content) {
    content.resize(12, 0);
    return content;
}

struct GatewayCase {
    const char* name;
    std::vector<Bytes> frames;
    std::vector<Bytes> messages;  // what the device took
    size_t bridgeFaults;
    size_t deviceFaults;
};

class Gateway : public ::testing::TestWithParam<GatewayCase> {
  protected:
    void SetUp() override {
        bus.Attach(sim::MessageDevice::kWriteAddress, &device);
        bus.Attach(sim::MessageDevice::kReadAddress, &device);
    }
    Bytes Send(const Bytes& frame) {
        firmware.OnCommandFrame(frame.data(), frame.size());
        Bytes reply(64);
        const long taken = firmware.TakeReply(reply.data(), reply.size());
        reply.resize(taken < 0 ? 0 : static_cast<size_t>(taken));
        return reply;
    }

    sim::I2cBus bus;
    sim::MessageDevice device;
    sim::BridgeFirmware firmware{bus, true};
};

TEST_P(Gateway, TakesWellFormedMessagesAndRefusesTheRest) {
    const GatewayCase& c = GetParam();
    for (const Bytes& frame : c.frames) EXPECT_FALSE(Send(frame).empty());
    EXPECT_EQ(device.Messages(), c.messages);
    EXPECT_EQ(firmware.MessageFaults().size(), c.bridgeFaults);
    EXPECT_EQ(device.Faults().size(), c.deviceFaults);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Gateway,
    ::testing::Values(
        GatewayCase{"only_frame", {Frame({0xF4, 5, 0x50, 3, 2, 0xA, 0xB})}, {{0xA, 0xB}}, 0, 0},
        GatewayCase{"first_middle_last",
                    {Frame({0xF1, 10, 0x50, 11, 2, 1, 2, 3, 4, 5, 6, 7}), Frame({0xF2, 2, 8, 9}),
                     Frame({0xF3, 1, 10})},
                    {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
                    0,
                    0},
        GatewayCase{"middle_without_first", {Frame({0xF2, 8}), Frame({0xF3, 0})}, {}, 2, 0},
        GatewayCase{"first_while_one_is_open",
                    {Frame({0xF1, 10, 0x50, 9, 2}), Frame({0xF4, 3, 0x50, 1, 3})},
                    {},
                    1,
                    0},
        GatewayCase{"count_past_the_frame", {Bytes{0xF4, 11, 0x50, 1, 3}}, {}, 1, 0},
        GatewayCase{"length_byte_does_not_match", {Frame({0xF4, 5, 0x50, 5, 2, 1, 2})}, {}, 0, 1},
        GatewayCase{"unknown_type", {Frame({0xF4, 4, 0x50, 2, 7, 1})}, {}, 0, 1},
        GatewayCase{"write_to_the_read_address", {Frame({0xF4, 3, 0x51, 1, 3})}, {}, 0, 1}),
    [](const auto& info) { return info.param.name; });

TEST_F(Gateway, AnswersAPollWithTheLengthThenTheAnswerOnce) {
    device.SetAnswer(Bytes{0x41, 0x42, 0x43, 0x44, 0x45, 0x46});
    EXPECT_THAT(Send(Frame({0xE5, 2, 0x51, 1})), ElementsAre(0x55, 0)) << "no answer yet";
    Send(Frame({0xF4, 4, 0x50, 2, 2, 0x99}));
    // L = 8: the header (7, 2) and six bytes; a one-byte read is the poll until the answer starts.
    EXPECT_THAT(Send(Frame({0xE5, 2, 0x51, 1})), ElementsAre(0x55, 8));
    EXPECT_THAT(Send(Frame({0xE5, 2, 0x51, 1})), ElementsAre(0x55, 8));
    EXPECT_THAT(Send(Frame({0xE5, 2, 0x51, 7})),
                ElementsAre(0x55, 7, 2, 0x41, 0x42, 0x43, 0x44, 0x45));
    EXPECT_THAT(Send(Frame({0xE5, 2, 0x51, 1})), ElementsAre(0x55, 0x46));
    EXPECT_THAT(device.PendingAnswer(), IsEmpty()) << "read once, the answer is gone";
    EXPECT_THAT(Send(Frame({0xE5, 2, 0x51, 1})), ElementsAre(0x55, 0));
    // The control message withdraws an answer nobody read.
    Send(Frame({0xF4, 4, 0x50, 2, 2, 0x98}));
    Send(Frame({0xF4, 3, 0x50, 1, 3}));
    EXPECT_THAT(device.PendingAnswer(), IsEmpty());
    EXPECT_EQ(device.LengthPolls(), 4u);
    EXPECT_THAT(device.AnswerReads(), ElementsAre(7, 1));
}

// A source of whole packets with the given PIDs, then a few stray bytes.
class PacketSource : public sim::TransportStreamSource {
  public:
    explicit PacketSource(std::vector<uint16_t> pids) {
        for (uint16_t pid : pids) {
            Bytes packet(188, 0xFF);
            packet[0] = 0x47;
            packet[1] = static_cast<uint8_t>(pid >> 8);
            packet[2] = static_cast<uint8_t>(pid);
            bytes_.insert(bytes_.end(), packet.begin(), packet.end());
        }
        bytes_.insert(bytes_.end(), {0x47, 0x01, 0x01});
    }
    void Restart() override { ++restarts; }
    size_t Read(uint8_t* out, size_t capacity) override {
        const size_t count = std::min(capacity, bytes_.size());
        std::copy_n(bytes_.begin(), count, out);
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(count));
        return count;
    }

    int restarts = 0;

  private:
    std::deque<uint8_t> bytes_;
};

std::vector<uint16_t> PidsIn(const Bytes& stream) {
    std::vector<uint16_t> pids;
    for (size_t at = 0; at + 188 <= stream.size(); at += 188)
        pids.push_back(static_cast<uint16_t>((stream[at + 1] & 0x1F) << 8 | stream[at + 2]));
    return pids;
}

struct FilterCase {
    const char* name;
    Bytes table;  // command 0x03 operands: pairs (register, value)
    std::vector<uint16_t> passed;
};

class StreamFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(StreamFilter, DropsThePacketsItDoesNotPass) {
    sim::I2cBus bus;
    auto firmware = std::make_shared<sim::BridgeFirmware>(bus, true);
    Bytes frame{0x03, static_cast<uint8_t>(GetParam().table.size())};
    frame.insert(frame.end(), GetParam().table.begin(), GetParam().table.end());
    if (!GetParam().table.empty()) firmware->OnCommandFrame(frame.data(), frame.size());
    sim::PidFilteredSource source(std::make_shared<PacketSource>(std::vector<uint16_t>{
                                      0x0000, 0x0100, 0x1FFF, 0x0101, 0x0100}),
                                  firmware);
    Bytes out(188 * 6);
    const size_t count = source.Read(out.data(), out.size());
    out.resize(count);
    EXPECT_EQ(PidsIn(out), GetParam().passed);
    // The stray bytes after the last whole packet pass as they are.
    EXPECT_THAT(Bytes(out.end() - 3, out.end()), ElementsAre(0x47, 0x01, 0x01));
}

// The bridge emptying its stream buffer (command 0x06) reaches the stream below the filter.
TEST(StreamFilterRestart, ReachesTheStreamBelow) {
    sim::I2cBus bus;
    auto firmware = std::make_shared<sim::BridgeFirmware>(bus, true);
    auto inner = std::make_shared<PacketSource>(std::vector<uint16_t>{0x0100});
    sim::PidFilteredSource source(inner, firmware);
    source.Restart();
    EXPECT_EQ(inner->restarts, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, StreamFilter,
    ::testing::Values(FilterCase{"never_loaded", {}, {0x0000, 0x0100, 0x1FFF, 0x0101, 0x0100}},
                      FilterCase{"mode_2_default",
                                 {0, 0xFF, 1, 0x1F, 0x20, 0x81},
                                 {0x0000, 0x0100, 0x1FFF, 0x0101, 0x0100}},
                      FilterCase{"mode_0_two_entries",
                                 {0, 0x01, 1, 0x01, 2, 0x00, 3, 0x00, 0x20, 0x82},
                                 {0x0000, 0x0101}},
                      FilterCase{
                          "mode_1_one_entry", {0, 0x00, 1, 0x01, 0x20, 0xA0}, {0x0100, 0x0100}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
