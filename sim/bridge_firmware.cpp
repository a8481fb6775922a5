#include "sim/bridge_firmware.h"

#include <algorithm>
#include <numeric>

#include "platform/host/clock.h"
#include "sim/stick.h"

namespace sim {

namespace {

// Command codes and reply lengths the driver relies on.
constexpr uint8_t kRegisterWrite = 0x03;
constexpr uint8_t kI2cBlockWrite = 0x04;
constexpr uint8_t kI2cRegisterWrite = 0x05;
constexpr uint8_t kCommand06 = 0x06;
constexpr uint8_t kI2cRead = 0x84;
constexpr uint8_t kStartFirmware = 0x8A;
constexpr uint8_t kRomData = 0x01, kFwData = 0x02, kRomFinal = 0x81, kFwFinal = 0x82;
constexpr size_t kShortReply = 5;
constexpr size_t kI2cWriteReply = 4;
constexpr size_t kMaxReadCount = 63;  // one 64-byte packet with the leading byte
constexpr size_t kDownloadDataBytes = 50;
constexpr uint8_t kAlternativeAccept = 0x77;

// Bounds on what is kept, so that a long run does not grow without limit.
constexpr size_t kFrameLogLimit = 1 << 16;
constexpr size_t kReplyQueueLimit = 64;

// The operands a frame announces in byte 1, or 0 when the frame is shorter than announced.
size_t Operands(const uint8_t* frame, size_t length) {
    if (length < 2 || static_cast<size_t>(frame[1]) + 2 > length) return 0;
    return frame[1];
}

}  // namespace

BridgeFirmware::BridgeFirmware(I2cBus& bus, bool running)
    : bus_(bus), gateway_(bus), running_(running) {}

void BridgeFirmware::SetStartedHook(StartedHook hook) {
    std::lock_guard lock(mutex_);
    started_ = std::move(hook);
}

void BridgeFirmware::SetMessageHandler(MessageHandler handler) {
    std::lock_guard lock(mutex_);
    messages_ = std::move(handler);
}

void BridgeFirmware::SetStreamRestartHook(StreamRestartHook hook) {
    std::lock_guard lock(mutex_);
    streamRestart_ = std::move(hook);
}

void BridgeFirmware::SetAcceptReply(uint8_t reply) {
    std::lock_guard lock(mutex_);
    acceptReply_ = reply;
}

void BridgeFirmware::DropReplies(int count) {
    std::lock_guard lock(mutex_);
    dropReplies_ += count;
}

void BridgeFirmware::DelayReplies(int count, LONGLONG ticks) {
    std::lock_guard lock(mutex_);
    delayedReplies_ += count;
    replyDelay_ = ticks;
}

void BridgeFirmware::ResetReplyEndpoint() {
    std::lock_guard lock(mutex_);
    replies_.clear();
    startPending_ = false;
}

void BridgeFirmware::EmptyReplies(int count) {
    std::lock_guard lock(mutex_);
    emptyReplies_ += count;
}

void BridgeFirmware::OverrideDownloadReplies(int count, uint8_t reply) {
    std::lock_guard lock(mutex_);
    overrideReplies_ = count;
    overrideReply_ = reply;
}

bool BridgeFirmware::Running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

BridgeFirmware::Bytes BridgeFirmware::DownloadedRom() const {
    std::lock_guard lock(mutex_);
    return rom_;
}

BridgeFirmware::Bytes BridgeFirmware::DownloadedFw() const {
    std::lock_guard lock(mutex_);
    return fw_;
}

std::vector<std::string> BridgeFirmware::MessageFaults() const {
    std::lock_guard lock(mutex_);
    return gateway_.Faults();
}

void BridgeFirmware::ClearMessageFaults() {
    std::lock_guard lock(mutex_);
    gateway_.ClearFaults();
}

std::vector<BridgeFirmware::Bytes> BridgeFirmware::Frames() const {
    std::lock_guard lock(mutex_);
    return {frames_.begin(), frames_.end()};
}

void BridgeFirmware::ClearFrames() {
    std::lock_guard lock(mutex_);
    frames_.clear();
}

void BridgeFirmware::Answer(Bytes reply) {
    if (dropReplies_ > 0) {
        --dropReplies_;
        return;
    }
    if (emptyReplies_ > 0) {
        --emptyReplies_;
        reply.clear();
    }
    LONGLONG ready = 0;
    if (delayedReplies_ > 0) {
        --delayedReplies_;
        ready = host::NowTicks() + replyDelay_;
    }
    if (replies_.size() == kReplyQueueLimit) replies_.pop_front();
    replies_.push_back({std::move(reply), ready});
}

void BridgeFirmware::OnCommandFrame(const uint8_t* frame, size_t length) {
    StreamRestartHook restart;
    {
        std::lock_guard lock(mutex_);
        if (frames_.size() == kFrameLogLimit) frames_.pop_front();
        frames_.emplace_back(frame, frame + length);
        if (length == 0) return Answer(Bytes(kShortReply, 0));
        if (!running_) return HandleDownloadFrame(frame, length);
        HandleRunningFrame(frame, length);
        // Our documents leave open what command 0x06 does. The driver sends it after loading the
        // PID filter, after putting the tuner to sleep and when a status query finds no lock:
        // each time what the bridge has buffered is stale. Modelled as a bridge's reset of its
        // transport-stream FIFO: what it held is gone, and the stream it passes on next starts
        // afresh, at a fixed point of the stream rather than wherever the clock had got to.
        if (frame[0] == kCommand06) restart = streamRestart_;
    }
    if (restart) restart();
}

long long BridgeFirmware::ReplyReadyAt() {
    std::lock_guard lock(mutex_);
    return replies_.empty() ? 0 : replies_.front().ready;
}

long BridgeFirmware::TakeReply(uint8_t* out, size_t capacity) {
    StartedHook started;
    Bytes rom, fw;
    long taken;
    {
        std::lock_guard lock(mutex_);
        if (replies_.empty()) return kNoReply;  // nothing to answer: the read waits
        // Replies leave in the order of their frames: one still being prepared holds back the
        // ones behind it.
        if (host::NowTicks() < replies_.front().ready) return kReplyNotReady;
        Bytes reply = std::move(replies_.front().bytes);
        replies_.pop_front();
        const size_t count = std::min(reply.size(), capacity);
        std::copy_n(reply.begin(), count, out);
        taken = static_cast<long>(count);
        // The start command's reply is the last thing the boot code sends.
        if (startPending_ && replies_.empty()) {
            startPending_ = false;
            started = started_;
            rom = rom_;
            fw = fw_;
        }
    }
    if (started) started(rom, fw);
    return taken;
}

// ---- Boot state: download -------------------------------------------------------------------

void BridgeFirmware::HandleDownloadFrame(const uint8_t* frame, size_t length) {
    const uint8_t code = frame[0];
    if (code == kStartFirmware) {
        Answer(Bytes(kShortReply, 0));
        if (phase_ == Phase::Complete) {
            running_ = true;
            startPending_ = true;
        }
        return;
    }
    if (code != kRomData && code != kRomFinal && code != kFwData && code != kFwFinal)
        return Answer(Bytes(kShortReply, 0));  // the boot code ignores anything else
    const bool good = TakeDownloadFrame(frame, length);
    uint8_t reply = good ? acceptReply_ : kReplyRejected;
    if (overrideReplies_ > 0) {
        --overrideReplies_;
        reply = overrideReply_;
    }
    // After a refusal the driver gives up; its next attempt starts again with rom.dat.
    if (reply != kReplyAccepted && reply != kAlternativeAccept) {
        phase_ = Phase::Rom;
        collecting_.clear();
    }
    Answer(Bytes{reply});
}

bool BridgeFirmware::TakeDownloadFrame(const uint8_t* frame, size_t length) {
    const uint8_t code = frame[0];
    const bool romFrame = code == kRomData || code == kRomFinal;
    const bool final = code == kRomFinal || code == kFwFinal;
    // A rom.dat frame outside the rom phase, or one that repeats the image's first frame, is a
    // download that starts over (the previous one was cut short).
    const bool repeatsFirst =
        romFrame && phase_ == Phase::Rom && length > 2 + kDownloadDataBytes &&
        collecting_.size() >= kDownloadDataBytes &&
        std::equal(frame + 2, frame + 2 + kDownloadDataBytes, collecting_.begin());
    if ((romFrame && phase_ != Phase::Rom) || repeatsFirst) {
        phase_ = Phase::Rom;
        collecting_.clear();
    }
    if (!romFrame && phase_ != Phase::Fw) return false;  // fw.bin before rom.dat completed
    if (length < 4) return false;
    const size_t count = static_cast<size_t>(frame[1]) + 1;
    if (length != count + 3 || count > kDownloadDataBytes) return false;
    if (!final && count != kDownloadDataBytes) return false;
    const uint8_t* data = frame + 2;
    const uint8_t checksum = std::accumulate(
        data, data + count, uint8_t{0}, [](uint8_t sum, uint8_t b) { return uint8_t(sum + b); });
    if (checksum != frame[2 + count]) return false;
    const size_t expected = romFrame ? kRomBytes : kFwBytes;
    if (collecting_.size() + count > expected) return false;
    if (final && collecting_.size() + count != expected) return false;
    collecting_.insert(collecting_.end(), data, data + count);
    if (!final) return true;
    if (romFrame) {
        rom_ = std::move(collecting_);
        fw_.clear();
        phase_ = Phase::Fw;
    } else {
        fw_ = std::move(collecting_);
        phase_ = Phase::Complete;
    }
    collecting_.clear();
    return true;
}

// ---- Running state ----------------------------------------------------------------------------

void BridgeFirmware::HandleRunningFrame(const uint8_t* frame, size_t length) {
    switch (frame[0]) {
        case kRegisterWrite:
            return Answer(RegisterWrites(frame, length));
        case kI2cBlockWrite:
            return Answer(I2cBlockWrite(frame, length));
        case kI2cRegisterWrite:
            return Answer(I2cRegisterWrites(frame, length));
        case kI2cRead:
            return Answer(I2cRead(frame, length));
        case kCommand06:
        case kStartFirmware:
            return Answer(Bytes(kShortReply, 0));
        default:
            if (MessageGateway::IsMessageCode(frame[0]))
                return Answer(messages_ ? messages_(frame, length)
                                        : gateway_.OnFrame(frame, length));
            return Answer(Bytes(kShortReply, 0));  // unknown or raw frames: harmless
    }
}

BridgeFirmware::Bytes BridgeFirmware::RegisterWrites(const uint8_t* frame, size_t length) {
    const size_t operands = Operands(frame, length);
    for (size_t at = 2; at + 1 < operands + 2; at += 2) pids_.Write(frame[at], frame[at + 1]);
    return Bytes(kShortReply, 0);
}

BridgeFirmware::Bytes BridgeFirmware::I2cBlockWrite(const uint8_t* frame, size_t length) {
    // 04, k+1, address, k bytes (register first).
    const size_t operands = Operands(frame, length);
    Bytes reply(kI2cWriteReply, 0);
    if (operands >= 2 && bus_.Write(frame[2], frame + 3, operands - 1)) reply[0] = kI2cAcknowledged;
    return reply;
}

BridgeFirmware::Bytes BridgeFirmware::I2cRegisterWrites(const uint8_t* frame, size_t length) {
    // 05, 3m, then m triplets (address, register, value); acknowledged when every write was.
    const size_t operands = Operands(frame, length);
    bool acknowledged = operands >= 3;
    for (size_t at = 2; at + 3 <= operands + 2; at += 3)
        acknowledged = bus_.Write(frame[at], frame + at + 1, 2) && acknowledged;
    Bytes reply(kI2cWriteReply, 0);
    if (acknowledged) reply[0] = kI2cAcknowledged;
    return reply;
}

BridgeFirmware::Bytes BridgeFirmware::I2cRead(const uint8_t* frame, size_t length) {
    // 84 03 address register count; the answer is 0x55 and the data, or 0x00 and zeros on a NAK.
    if (Operands(frame, length) < 3) return Bytes(kShortReply, 0);
    const size_t count = std::min<size_t>(frame[4], kMaxReadCount);
    Bytes reply(count + 1, 0);
    if (count > 0 && bus_.Read(frame[2], frame[3], reply.data() + 1, count))
        reply[0] = kI2cAcknowledged;
    else
        std::fill(reply.begin(), reply.end(), 0);
    return reply;
}

// ---- Wiring into the stick ------------------------------------------------------------------

void AttachBridgeFirmware(const std::shared_ptr<Stick>& stick,
                          const std::shared_ptr<BridgeFirmware>& firmware) {
    // The stick owns the firmware; the hooks must not own the stick back.
    std::weak_ptr<Stick> weak = stick;
    firmware->SetStreamRestartHook([weak] {
        if (std::shared_ptr<Stick> owner = weak.lock()) owner->RestartStream();
    });
    firmware->SetStartedHook(
        [weak](const BridgeFirmware::Bytes& rom, const BridgeFirmware::Bytes&) {
            std::shared_ptr<Stick> owner = weak.lock();
            if (!owner) return;
            owner->PresentRomImage(rom.data() + BridgeFirmware::kRomBytes / 2,
                                   BridgeFirmware::kRomBytes / 2);
            // Runs inside the stick's answer to the start command's reply read; the stick leaves
            // the bus once that read has completed.
            owner->ReEnumerate(StickState::Running);
        });
    stick->SetCommandProcessor(firmware);
}

}  // namespace sim
