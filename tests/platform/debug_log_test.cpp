#include "platform/host/debug_log.h"

#include "kernel_fixture.h"
#include "platform/debug_print.h"

namespace {

class DebugLogTest : public KernelTest {
  protected:
    void TearDown() override {
        host::SetDebugSink(nullptr);
        KernelTest::TearDown();
    }
};

TEST_F(DebugLogTest, CapturesEachPrintAsFormattedAndFeedsTheSink) {
    std::vector<std::string> live;
    host::SetDebugSink([&](const std::string& text) { live.push_back(text); });
    DbgPrint("%s My Dirver Count A(Error %d).", kDebugPrefix, 2);
    DbgPrint("%s %s CQZUSB::CallUSBD(Status TimeOut!!!).", kDebugPrefix, kErrorMarker);
    DbgPrint("%s", "");
    const std::vector<std::string> expected = {
        "KVS.BDA_DEBUG:  My Dirver Count A(Error 2).",
        "KVS.BDA_DEBUG:  \xA1\xBE"
        "ERROR\xA1\xBF  CQZUSB::CallUSBD(Status TimeOut!!!).",
        "",
    };
    EXPECT_EQ(host::DebugLines(), expected);
    EXPECT_EQ(live, expected);
    EXPECT_EQ(host::Gb2312ToUtf8(host::DebugLines()[1]),
              "KVS.BDA_DEBUG:  \xE3\x80\x90"
              "ERROR\xE3\x80\x91  CQZUSB::CallUSBD(Status TimeOut!!!).");
}

TEST_F(DebugLogTest, Gb2312ConversionTouchesOnlyTheBrackets) {
    EXPECT_EQ(host::Gb2312ToUtf8("a\xA1\xBE\xA1\xBF\xA1"), "a\xE3\x80\x90\xE3\x80\x91\xA1");
    EXPECT_EQ(host::Gb2312ToUtf8("\xA1\xA1\xBE"), "\xA1\xE3\x80\x90");
}

TEST_F(DebugLogTest, AssertionsAreRecordedAndExecutionContinues) {
    int reached = 0;
    KVS_ASSERT_AT(1 + 1 == 3, "cqzusb2.cpp", 412);
    ++reached;
    KVS_ASSERT_AT(reached == 1, "cqzusb2.cpp", 413);
    ASSERT_EQ(host::Assertions().size(), 1u);
    EXPECT_EQ(host::Assertions()[0].expression, "1 + 1 == 3");
    EXPECT_EQ(host::Assertions()[0].file, "cqzusb2.cpp");
    EXPECT_EQ(host::Assertions()[0].line, 412u);
    EXPECT_EQ(reached, 1);
    EXPECT_TRUE(host::DebugLines().empty());
}

}  // namespace
