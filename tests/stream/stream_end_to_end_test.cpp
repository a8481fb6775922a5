// The whole stream path through the simulated stick on both pipes, with completions on several
// bus threads: every frame whole packets in order, nothing lost while frames are available.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "sim/ts_checker.h"
#include "stream_fixture.h"

namespace streamtest {
namespace {

constexpr uint64_t kFrames = 1500;

class EndToEnd : public ::testing::TestWithParam<Path> {};
INSTANTIATE_TEST_SUITE_P(BothPaths, EndToEnd, ::testing::Values(Path::Bulk, Path::Iso),
                         [](const auto& info) { return std::string(PathName(info.param)); });

TEST_P(EndToEnd, ThousandsOfFramesArriveWholeAndInOrder) {
    StreamFixture f(GetParam());
    sim::TsChecker checker;
    std::vector<size_t> oddFrames;
    // A stop empties the ring: what the last reads put there after that is not the stream any
    // more, so the check ends where the stop begins.
    std::atomic<bool> stopping{false};
    f.pin.SetSink([&](const uint8_t* data, size_t bytes) {
        if (stopping) return;
        if (bytes != 96256) oddFrames.push_back(bytes);
        checker.AddFrame(data, bytes);
    });
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(kFrames, 60000)) << f.pin.FramesCompleted() << " frames";
    stopping = true;
    f.StopStream();
    f.system.Stop(*f.device);

    EXPECT_TRUE(checker.Clean()) << checker.Describe();
    EXPECT_TRUE(oddFrames.empty())
        << oddFrames.size() << " frames not 96,256 bytes, first " << oddFrames[0];
    EXPECT_GE(checker.Report().packets, kFrames * 512);
    // Every payload PID carried its share.
    EXPECT_GT(checker.PacketsOn(0x0200), kFrames * 200);
    EXPECT_GT(checker.PacketsOn(0x0201), kFrames * 200);
    EXPECT_EQ(f.pin.LeadingEdgeMisses(), 0u);
    EXPECT_EQ(f.pin.Violations(), 0u);
}

TEST(EndToEndFile, FfprobeReadsTheReceivedStreamWithoutErrors) {
    if (!std::filesystem::exists("/usr/bin/ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("kvsbda_stream_" + std::to_string(::getpid()) + ".ts");
    {
        StreamFixture f(Path::Bulk);
        std::ofstream out(file, std::ios::binary);
        f.pin.SetSink([&](const uint8_t* data, size_t bytes) {
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(bytes));
        });
        f.StartStream();
        ASSERT_TRUE(f.pin.WaitForFrames(100, 20000));
        f.StopStream();
    }
    const std::string command =
        "/usr/bin/ffprobe -v error -show_entries stream=index,codec_type -of csv=p=0 '" +
        file.string() + "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    const int status = pclose(pipe);
    std::filesystem::remove(file);
    EXPECT_EQ(status, 0) << output;
    // The two counting PIDs show as data streams (listed once per program and once on their
    // own), and nothing else is said: not a single error line.
    std::istringstream lines(output);
    std::set<std::string> said;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) said.insert(line);
    }
    EXPECT_EQ(said, (std::set<std::string>{"0,data", "1,data"})) << output;
}

}  // namespace
}  // namespace streamtest
