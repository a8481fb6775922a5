// The wire capture, decoded by tshark when it is installed.
#include "sim/pcap_writer.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/stick_fixture.h"

namespace {

using stick_testing::Bytes;
using stick_testing::StickTest;
using stick_testing::Submission;
using stick_testing::UrbBuffer;

std::string RunCommand(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        size_t count;
        while ((count = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, count);
        pclose(pipe);
    }
    return output;
}

bool TsharkInstalled() {
    return !RunCommand("command -v tshark 2>/dev/null").empty();
}

class CountingSource : public sim::TransportStreamSource {
  public:
    size_t Read(uint8_t* out, size_t capacity) override {
        for (size_t i = 0; i < capacity; ++i) out[i] = static_cast<uint8_t>(i);
        return capacity;
    }
};

class PcapCapture : public StickTest {
  protected:
    void SetUp() override {
        StickTest::SetUp();
        path_ = (std::filesystem::temp_directory_path() /
                 ("kvsbda-capture-" + std::to_string(getpid()) + ".pcap"))
                    .string();
    }
    void TearDown() override {
        if (!getenv("KEEP_CAPTURE")) std::filesystem::remove(path_);
        StickTest::TearDown();
    }

    // Captures the probe, the configuration, a command frame with its reply, an isochronous
    // read and a pipe abort.
    void CaptureTypicalTraffic() {
        sim::PcapWriter writer(path_);
        ASSERT_TRUE(writer.IsOpen());
        bus_.AddObserver(&writer);
        PlugStick({0x3344, 0x1122, sim::StickState::Running, sim::StreamTransfer::Isochronous, {}});
        stick_->SetStreamSource(std::make_shared<CountingSource>());
        EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 136).size(), 6u);
        SelectAlternateSetting1();
        Bytes frame = {0x8A, 0x00}, reply(5);
        EXPECT_EQ(Transfer(1, frame, false), STATUS_SUCCESS);
        EXPECT_EQ(Transfer(0, reply, true), STATUS_SUCCESS);

        Bytes buffer(2 * 512);
        UrbBuffer iso(testing_usb::IsoBlockBytes(2));
        testing_usb::BuildIsoRead(iso.get(), Pipe(4).PipeHandle, buffer.data(), 2, 512);
        Submission read(device_, iso.get());
        EXPECT_TRUE(read.Wait());

        UrbBuffer abort;
        abort->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        abort->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        abort->UrbPipeRequest.PipeHandle = Pipe(6).PipeHandle;
        Submission aborted(device_, abort.get());
        EXPECT_TRUE(aborted.Wait());
        bus_.RemoveObserver(&writer);
        records_ = writer.RecordsWritten();
    }

    std::string path_;
    size_t records_ = 0;
};

TEST_F(PcapCapture, TsharkDecodesEveryRecord) {
    CaptureTypicalTraffic();
    // Four descriptor requests (probe, configuration header and whole), select, write, read,
    // isochronous read and abort: each submitted and completed.
    EXPECT_EQ(records_, 16u);
    if (!TsharkInstalled()) GTEST_SKIP() << "tshark is not installed";

    const std::string fields = RunCommand(
        "tshark -r " + path_ +
        " -T fields -E separator=, -e usb.transfer_type -e usb.setup.bRequest"
        " -e usb.DescriptorIndex -e usb.bDescriptorType -e usb.setup.wLength"
        " -e usb.bConfigurationValue -e usb.capdata -e usb.win32.iso_num_packets 2>/dev/null");
    // The firmware probe as a standard GET_DESCRIPTOR of string 2, length 136.
    EXPECT_NE(fields.find("0x02,6,0x02,0x03,136,"), std::string::npos) << fields;
    EXPECT_NE(fields.find("0x02,9,,,0,1,"), std::string::npos) << fields;    // SET_CONFIGURATION
    EXPECT_NE(fields.find("0x03,,,,,,8a00,"), std::string::npos) << fields;  // the command frame
    EXPECT_NE(fields.find("0x03,,,,,,0000000000,"), std::string::npos) << fields;  // its reply
    EXPECT_NE(fields.find("0x00,,,,,,,2"), std::string::npos) << fields;  // two iso packets
    EXPECT_NE(fields.find("0xfe,"), std::string::npos) << fields;         // the pipe abort

    const std::string verbose = RunCommand("tshark -r " + path_ + " -V 2>&1");
    EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
    EXPECT_NE(verbose.find("Frame 12"), std::string::npos);
}

}  // namespace
