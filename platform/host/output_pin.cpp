// The host's output pin: frames supplied by the application, filled by the driver through the
// leading-edge stream pointer.
#include "platform/host/output_pin.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/host/service_rules.h"

namespace host {
namespace {

// Which application side serves which pin object, and every application side alive (a stream
// pointer is handed back to the side that locked it, attached or not).
struct PinRegistry {
    std::mutex lock;
    std::vector<std::pair<PKSPIN, OutputPin*>> entries;
    std::vector<OutputPin*> alive;
};

PinRegistry& Registry() {
    static PinRegistry registry;
    return registry;
}

void Unregister(OutputPin* owner) {
    PinRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    std::erase_if(registry.entries, [owner](const auto& entry) { return entry.second == owner; });
}

}  // namespace

OutputPin::OutputPin(OutputPinOptions options) : options_(options) {
    free_.resize(options_.frames);
    // Frame buffers are written by the stream before anyone reads them, as on a real pin.
    for (Frame& frame : free_)
        frame.data = std::make_unique_for_overwrite<uint8_t[]>(options_.frameBytes);
    {
        PinRegistry& registry = Registry();
        std::lock_guard guard(registry.lock);
        registry.alive.push_back(this);
    }
    Attach(&pin_);
}

OutputPin::~OutputPin() {
    Detach();
    {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return !locked_; });
    }
    PinRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    std::erase(registry.alive, this);
}

void OutputPin::Attach(PKSPIN pin) {
    Detach();
    {
        PinRegistry& registry = Registry();
        std::lock_guard guard(registry.lock);
        registry.entries.emplace_back(pin, this);
    }
    std::lock_guard guard(lock_);
    attached_ = pin;
}

void OutputPin::Detach() {
    // Once unregistered no new lock can start; one already under way finishes under the
    // registry lock before Unregister gets it.
    Unregister(this);
    std::lock_guard guard(lock_);
    attached_ = nullptr;
}

void OutputPin::SetSink(FrameSink sink) {
    std::lock_guard guard(lock_);
    sink_ = std::move(sink);
}

void OutputPin::SetSupplying(bool supplying) {
    std::lock_guard guard(lock_);
    supplying_ = supplying;
}

std::vector<std::vector<uint8_t>> OutputPin::Take(size_t maxFrames) {
    std::vector<std::vector<uint8_t>> taken;
    std::lock_guard guard(lock_);
    while (!completed_.empty() && taken.size() < maxFrames) {
        Frame& frame = completed_.front();
        taken.emplace_back(frame.data.get(), frame.data.get() + frame.filled);
        frame.filled = 0;
        free_.push_back(std::move(frame));
        completed_.pop_front();
    }
    return taken;
}

bool OutputPin::WaitForFrames(uint64_t count, int timeoutMilliseconds) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds),
                             [&] { return framesCompleted_ >= count; });
}

uint64_t OutputPin::FramesCompleted() const {
    std::lock_guard guard(lock_);
    return framesCompleted_;
}

uint64_t OutputPin::BytesCompleted() const {
    std::lock_guard guard(lock_);
    return bytesCompleted_;
}

uint64_t OutputPin::LeadingEdgeMisses() const {
    std::lock_guard guard(lock_);
    return leadingEdgeMisses_;
}

uint64_t OutputPin::Violations() const {
    std::lock_guard guard(lock_);
    return violations_;
}

PKSSTREAM_POINTER OutputPin::LockLeadingEdge() {
    std::lock_guard guard(lock_);
    if (locked_) {
        ++violations_;
        return nullptr;
    }
    if (!supplying_ || (leading_.data == nullptr && free_.empty())) {
        ++leadingEdgeMisses_;
        return nullptr;
    }
    if (leading_.data == nullptr) {
        leading_ = std::move(free_.front());
        free_.pop_front();
    }
    locked_ = true;
    pointer_.Pin = attached_;
    pointer_.OffsetOut.Data = leading_.data.get() + leading_.filled;
    pointer_.OffsetOut.Count = options_.frameBytes;
    pointer_.OffsetOut.Remaining = options_.frameBytes - leading_.filled;
    pointer_.Offset = &pointer_.OffsetOut;
    return &pointer_;
}

NTSTATUS OutputPin::AdvanceAndUnlock(PKSSTREAM_POINTER pointer, ULONG outUsed, bool eject) {
    std::lock_guard guard(lock_);
    if (pointer != &pointer_ || !locked_) {
        ++violations_;
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG room = options_.frameBytes - leading_.filled;
    if (outUsed > room) {
        ++violations_;
        outUsed = room;
    }
    leading_.filled += outUsed;
    locked_ = false;
    if (eject || leading_.filled == options_.frameBytes) CompleteLeadingFrameLocked();
    changed_.notify_all();
    return STATUS_SUCCESS;
}

void OutputPin::CompleteLeadingFrameLocked() {
    ++framesCompleted_;
    bytesCompleted_ += leading_.filled;
    if (sink_) {
        sink_(leading_.data.get(), leading_.filled);
        leading_.filled = 0;
        free_.push_back(std::move(leading_));
    } else {
        completed_.push_back(std::move(leading_));
    }
    leading_ = Frame{};
}

}  // namespace host

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
    static const host::ServiceRule& rule = host::RuleOf("KsPinGetLeadingEdgeStreamPointer");
    host::CheckServiceIrql(rule);
    if (state != KSSTREAM_POINTER_STATE_LOCKED) return nullptr;
    host::PinRegistry& registry = host::Registry();
    std::lock_guard guard(registry.lock);
    for (const auto& [registered, owner] : registry.entries) {
        if (registered == pin) return owner->LockLeadingEdge();
    }
    return nullptr;
}

NTSTATUS KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER streamPointer, ULONG,
                                                ULONG outUsed, BOOLEAN eject) {
    static const host::ServiceRule& rule = host::RuleOf("KsStreamPointerAdvanceOffsetsAndUnlock");
    host::CheckServiceIrql(rule);
    if (streamPointer == nullptr) return STATUS_INVALID_PARAMETER;
    host::PinRegistry& registry = host::Registry();
    std::lock_guard guard(registry.lock);
    for (host::OutputPin* owner : registry.alive) {
        if (owner->Owns(streamPointer))
            return owner->AdvanceAndUnlock(streamPointer, outUsed, eject != FALSE);
    }
    return STATUS_INVALID_PARAMETER;
}
