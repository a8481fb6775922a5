// The simulated bridge firmware: what it refuses during the download and how the running
// firmware answers, so that the driver's tests stand on a stick that checks them.
#include "sim/bridge_firmware.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "bridge/download_frames.h"
#include "bridge/firmware_download.h"
#include "bridge/firmware_images.h"
#include "sim/stick.h"

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

namespace {

class SimFirmwareTest : public ::testing::Test {
  protected:
    Bytes Send(Bytes frame) {
        firmware.OnCommandFrame(frame.data(), frame.size());
        uint8_t reply[64];
        const long n = firmware.TakeReply(reply, sizeof(reply));
        return n < 0 ? Bytes{0xDE, 0xAD} : Bytes(reply, reply + n);
    }
    std::vector<Bytes> Frames(ULONG imageNumber) {
        DownloadImage image;
        EXPECT_TRUE(CurrentDownloadImage(imageNumber, &image));
        std::vector<Bytes> frames;
        UCHAR frame[download_frame::kFrameCapacity];
        for (ULONG i = 0; ULONG n = BuildDownloadFrame(image, i, frame); ++i)
            frames.emplace_back(frame, frame + n);
        return frames;
    }

    sim::I2cBus bus;
    sim::BridgeFirmware firmware{bus};
};

TEST_F(SimFirmwareTest, RefusesBrokenOrMisplacedDownloadFrames) {
    std::vector<Bytes> rom = Frames(kRomImageNumber);
    Bytes badChecksum = rom[0];
    badChecksum.back() ^= 1;
    Bytes shortData = rom[0];
    shortData.resize(20);
    shortData[1] = 16;  // consistent length, but a data frame must carry 50 bytes
    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"checksum", badChecksum},
        {"short data frame", shortData},
        {"fw.bin before rom.dat", Frames(kFwImageNumber)[0]},
        {"final frame too early", Bytes{0x81, 0x00, 0x05, 0x05}},
    };
    for (const auto& [name, frame] : bad) EXPECT_THAT(Send(frame), ElementsAre(0xEE)) << name;
    // None of them counted: the whole image still goes in.
    for (const Bytes& frame : rom) EXPECT_THAT(Send(frame), ElementsAre(0x88));
    EXPECT_EQ(firmware.DownloadedRom().size(), 512u);
    EXPECT_FALSE(firmware.Running());
    Send({0x8A, 0x00});
    EXPECT_FALSE(firmware.Running()) << "no start without fw.bin";
}

class RunningFirmwareTest : public SimFirmwareTest {
  protected:
    struct Chip : sim::I2cDevice {
        bool Write(uint8_t, const uint8_t* b, size_t n) override {
            written.assign(b, b + n);
            return true;
        }
        bool Read(uint8_t, uint8_t reg, uint8_t* out, size_t n) override {
            for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(reg + i);
            return true;
        }
        Bytes written;
    } chip;
    sim::BridgeFirmware running{bus, true};
    Bytes Run(Bytes frame) {
        running.OnCommandFrame(frame.data(), frame.size());
        uint8_t reply[64];
        const long n = running.TakeReply(reply, sizeof(reply));
        return n < 0 ? Bytes{} : Bytes(reply, reply + n);
    }
};

TEST_F(RunningFirmwareTest, MalformedAndUnknownFramesReachNoChip) {
    bus.Attach(0xC6, &chip);
    // A count byte that claims more than the frame holds.
    EXPECT_THAT(Run({0x04, 0x20, 0xC6, 0x09}), ElementsAre(0x00, 0, 0, 0));
    EXPECT_THAT(Run({0x84, 0x01, 0xC6}), ElementsAre(0, 0, 0, 0, 0));
    EXPECT_TRUE(chip.written.empty());
    EXPECT_THAT(Run({0x42}), ElementsAre(0, 0, 0, 0, 0));
    EXPECT_THAT(Run({0x84, 0x03, 0xC6, 0x10, 0x02}), ElementsAre(0x55, 0x10, 0x11));
    EXPECT_EQ(running.Frames().size(), 4u);
}

// Command 0x06 empties the bridge's stream buffer: the stick's stream source starts afresh. No
// other frame touches the stream, the PID filter load before it included.
TEST_F(RunningFirmwareTest, Command06RestartsTheSticksStream) {
    struct CountingSource : sim::TransportStreamSource {
        size_t Read(uint8_t*, size_t) override { return 0; }
        void Restart() override { ++restarts; }
        int restarts = 0;
    };
    auto source = std::make_shared<CountingSource>();
    auto firmware = std::make_shared<sim::BridgeFirmware>(bus, true);
    auto stick = std::make_shared<sim::Stick>();
    stick->SetStreamSource(source);
    sim::AttachBridgeFirmware(stick, firmware);
    const Bytes frames[] = {{0x03, 0x06, 0x00, 0xFF, 0x01, 0x1F, 0x20, 0x81},
                            {0x84, 0x03, 0x32, 0x00, 0x01},
                            {0x06, 0x00},
                            {0x42}};
    for (const Bytes& frame : frames) firmware->OnCommandFrame(frame.data(), frame.size());
    EXPECT_EQ(source->restarts, 1);
}

}  // namespace
