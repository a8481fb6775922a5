#include "frame_recorder.h"

#include <cerrno>
#include <cstring>

namespace kvssim {

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
