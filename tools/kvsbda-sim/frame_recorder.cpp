#include "frame_recorder.h"

#include <cerrno>
#include <cstring>

namespace kvssim {

namespace {
constexpr uint32_t kLastPid = 0x1FFF;

void AddReport(sim::TsCheckReport* total, const sim::TsCheckReport& r) {
    total->frames += r.frames;
    total->bytes += r.bytes;
    total->packets += r.packets;
    total->partialFrames += r.partialFrames;
    total->syncErrors += r.syncErrors;
    total->continuityErrors += r.continuityErrors;
    total->sequenceErrors += r.sequenceErrors;
    total->payloadErrors += r.payloadErrors;
}
}  // namespace

FrameRecorder::FrameRecorder(std::FILE* file, sim::TsCheckerOptions checkerOptions)
    : file_(file), checkerOptions_(checkerOptions) {
    checker_.emplace(checkerOptions_);
}

void FrameRecorder::ExpectTablePids(std::vector<uint16_t> pids) {
    checkerOptions_.tablePids = std::move(pids);
    checker_.emplace(checkerOptions_);
}

std::optional<std::chrono::steady_clock::time_point> FrameRecorder::FirstFrameAt() const {
    std::lock_guard guard(lock_);
    return firstFrameAt_;
}

void FrameRecorder::Connect(host::OutputPin& pin) {
    pin.SetSink([this](const uint8_t* data, size_t bytes) {
        std::lock_guard guard(lock_);
        if (!firstFrameAt_) firstFrameAt_ = std::chrono::steady_clock::now();
        pending_.emplace_back(data, data + bytes);
        received_ += bytes;
    });
}

uint64_t FrameRecorder::BytesReceived() const {
    std::lock_guard guard(lock_);
    return received_;
}

void FrameRecorder::BeginSegment(std::vector<uint16_t> tablePids) {
    Drain();
    AddReport(&earlier_, checker_->Report());
    if (!checker_->Clean()) earlierFindings_ += checker_->Describe() + "\n";
    for (uint32_t pid = 0; pid <= kLastPid; ++pid)
        if (const uint64_t packets = checker_->PacketsOn(static_cast<uint16_t>(pid)))
            earlierPackets_[static_cast<uint16_t>(pid)] += packets;
    checkerOptions_.tablePids = std::move(tablePids);
    checker_.emplace(checkerOptions_);
    segmentStartFrames_ = frames_;
    std::lock_guard guard(lock_);
    firstFrameAt_.reset();
}

sim::TsCheckReport FrameRecorder::Report() const {
    sim::TsCheckReport total = earlier_;
    AddReport(&total, checker_->Report());
    return total;
}

std::string FrameRecorder::Describe() const {
    return earlierFindings_ + checker_->Describe();
}

uint64_t FrameRecorder::PacketsOn(uint16_t pid) const {
    const auto earlier = earlierPackets_.find(pid);
    return checker_->PacketsOn(pid) + (earlier != earlierPackets_.end() ? earlier->second : 0);
}

bool FrameRecorder::Drain() {
    std::vector<std::vector<uint8_t>> frames;
    {
        std::lock_guard guard(lock_);
        frames.swap(pending_);
    }
    for (const std::vector<uint8_t>& frame : frames) {
        ++frames_;
        bytes_ += frame.size();
        checker_->AddFrame(frame.data(), frame.size());
        if (!writeError_.empty() || frame.empty()) continue;
        if (std::fwrite(frame.data(), 1, frame.size(), file_) != frame.size())
            writeError_ = std::strerror(errno);
    }
    return writeError_.empty();
}

}  // namespace kvssim
