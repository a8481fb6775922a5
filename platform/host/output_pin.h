#pragma once
// The application side of the transport-stream output pin. The application supplies frames
// (96,256 bytes by default); the driver fills the leading frame through
// KsPinGetLeadingEdgeStreamPointer and KsStreamPointerAdvanceOffsetsAndUnlock, and completed
// frames reach the application in order with their byte counts, either through a sink called on
// the completing thread or queued for Take. Thread-safe: completions on several threads may
// call in at once.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ks.h"

namespace host {

struct OutputPinOptions {
    ULONG frameBytes = 96256;
    // Frames the application keeps supplied, like the allocator framing of the pin. Frames
    // completed and not yet taken count against them (unless a sink takes each at once).
    size_t frames = 64;
};

class OutputPin {
  public:
    // Called for each completed frame, in order, while the pin holds its lock; the bytes are
    // valid only during the call and the frame is supplied again afterwards.
    using FrameSink = std::function<void(const uint8_t* data, size_t bytes)>;

    explicit OutputPin(OutputPinOptions options = {});
    // Detaches and waits until the driver has let go of a locked frame.
    ~OutputPin();
    OutputPin(const OutputPin&) = delete;
    OutputPin& operator=(const OutputPin&) = delete;

    // The pin object this application side serves from construction; a test can store it in
    // the DeviceContext as the output pin.
    PKSPIN KsPin() { return &pin_; }
    // Serve another pin object (one created by the host's kernel streaming) instead.
    void Attach(PKSPIN pin);
    void Detach();

    void SetSink(FrameSink sink);
    // While not supplying, the pin has no leading edge: the driver finds no frame to fill.
    void SetSupplying(bool supplying);

    // Completed frames not yet taken (queue mode), oldest first; their buffers are supplied again.
    std::vector<std::vector<uint8_t>> Take(size_t maxFrames = SIZE_MAX);
    // Waits until at least `count` frames have completed since construction; false on timeout.
    bool WaitForFrames(uint64_t count, int timeoutMilliseconds);

    uint64_t FramesCompleted() const;
    uint64_t BytesCompleted() const;
    // Times the driver asked for the leading edge and there was none.
    uint64_t LeadingEdgeMisses() const;
    // Misuse by the driver: a second lock of the leading edge, an advance past the frame's room
    // or of a pointer that is not locked.
    uint64_t Violations() const;

    // Entry points of the two kernel-streaming calls.
    PKSSTREAM_POINTER LockLeadingEdge();
    // True for the stream pointer this pin hands out.
    bool Owns(PKSSTREAM_POINTER pointer) const { return pointer == &pointer_; }
    NTSTATUS AdvanceAndUnlock(PKSSTREAM_POINTER pointer, ULONG outUsed, bool eject);

  private:
    struct Frame {
        std::unique_ptr<uint8_t[]> data;
        ULONG filled = 0;
    };

    void CompleteLeadingFrameLocked();

    const OutputPinOptions options_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    KSPIN pin_{};
    PKSPIN attached_ = nullptr;
    KSSTREAM_POINTER pointer_{};
    bool locked_ = false;
    bool supplying_ = true;
    FrameSink sink_;
    std::deque<Frame> free_;       // supplied and empty, used in turn as an allocator would
    Frame leading_;                // the leading frame while it has a buffer
    std::deque<Frame> completed_;  // queue mode: completed, not yet taken
    uint64_t framesCompleted_ = 0;
    uint64_t bytesCompleted_ = 0;
    uint64_t leadingEdgeMisses_ = 0;
    uint64_t violations_ = 0;
};

}  // namespace host
