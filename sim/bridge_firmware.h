#pragma once
// The simulated bridge firmware behind the command pipes (bulk OUT 0x01 / bulk IN 0x81).
// Boot state: takes the download frames of rom.dat and fw.bin, checking block codes, order,
// lengths and checksums; on the start command after both images it asks the stick to come back
// running with the downloaded descriptors. Running: the PID filter registers, the I2C gateway,
// the segmented message frames (turned into I2C transactions, see message_gateway.h) and the
// other commands. Every frame is logged; faults can be injected.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/components.h"
#include "sim/i2c_bus.h"
#include "sim/message_gateway.h"
#include "sim/pid_filter.h"

namespace sim {

class Stick;

class BridgeFirmware : public CommandProcessor {
  public:
    using Bytes = std::vector<uint8_t>;
    // Called once the start command's reply has been taken, with both downloaded images; the
    // stick should then leave the bus and come back presenting the rom image's second set. It
    // runs with the stick's lock held, so it must only schedule the re-enumeration.
    using StartedHook = std::function<void(const Bytes& rom, const Bytes& fw)>;
    // Answers a segmented-message frame (0xF1-0xF4, 0xE5) in the running state in place of the
    // firmware's own message gateway.
    using MessageHandler = std::function<Bytes(const uint8_t* frame, size_t length)>;
    // Called (outside the firmware's lock, with the stick's held) when command 0x06 empties the
    // bridge's stream buffer.
    using StreamRestartHook = std::function<void()>;

    static constexpr uint8_t kReplyAccepted = 0x88;
    static constexpr uint8_t kReplyRejected = 0xEE;
    static constexpr uint8_t kI2cAcknowledged = 0x55;
    static constexpr uint8_t kI2cNotAcknowledged = 0x00;
    static constexpr size_t kRomBytes = 512;
    static constexpr size_t kFwBytes = 3117;

    explicit BridgeFirmware(I2cBus& bus, bool running = false);

    void OnCommandFrame(const uint8_t* frame, size_t length) override;
    long TakeReply(uint8_t* out, size_t capacity) override;
    long long ReplyReadyAt() override;

    void SetStartedHook(StartedHook hook);
    void SetMessageHandler(MessageHandler handler);
    void SetStreamRestartHook(StreamRestartHook hook);
    // The byte that accepts a good download frame: 0x88 (default) or 0x77.
    void SetAcceptReply(uint8_t reply);

    // Fault injection. The next `count` frames get no reply: the driver's read stays unanswered
    // until it is cancelled.
    void DropReplies(int count);
    // The replies to the next `count` frames are ready only `ticks` (100 ns units, host clock)
    // after their frame arrived; a read waits for them meanwhile. Later replies queue behind.
    void DelayReplies(int count, LONGLONG ticks);
    // The host reset the reply endpoint. This firmware answers from the endpoint's buffer and
    // discards, on the reset, every reply it holds or still prepares for frames it had before:
    // the chosen model of what CLEAR_FEATURE(ENDPOINT_HALT) does to a bridge of this kind
    // (the endpoint buffer is flushed and the data toggle reset).
    void ResetReplyEndpoint() override;
    // The next `count` frames get a reply of zero bytes.
    void EmptyReplies(int count);
    // The next `count` download frames are answered with `reply` instead of the accept byte,
    // whatever their content (the frame is still taken if good).
    void OverrideDownloadReplies(int count, uint8_t reply);

    bool Running() const;
    // Images as completely downloaded (empty until their final frame arrived).
    Bytes DownloadedRom() const;
    Bytes DownloadedFw() const;
    // Frames received, in order.
    std::vector<Bytes> Frames() const;
    void ClearFrames();

    // Message frames the gateway refused, in words.
    std::vector<std::string> MessageFaults() const;
    void ClearMessageFaults();

    PidFilter& Pids() { return pids_; }
    const PidFilter& Pids() const { return pids_; }

  private:
    enum class Phase { Rom, Fw, Complete };

    void HandleDownloadFrame(const uint8_t* frame, size_t length);
    bool TakeDownloadFrame(const uint8_t* frame, size_t length);
    void HandleRunningFrame(const uint8_t* frame, size_t length);
    Bytes I2cBlockWrite(const uint8_t* frame, size_t length);
    Bytes I2cRegisterWrites(const uint8_t* frame, size_t length);
    Bytes I2cRead(const uint8_t* frame, size_t length);
    Bytes RegisterWrites(const uint8_t* frame, size_t length);
    void Answer(Bytes reply);

    I2cBus& bus_;
    PidFilter pids_;
    MessageGateway gateway_;
    mutable std::mutex mutex_;
    bool running_;
    Phase phase_ = Phase::Rom;
    Bytes rom_, fw_, collecting_;
    uint8_t acceptReply_ = kReplyAccepted;
    int dropReplies_ = 0;
    int emptyReplies_ = 0;
    int overrideReplies_ = 0;
    uint8_t overrideReply_ = 0;
    bool startPending_ = false;
    struct Reply {
        Bytes bytes;
        LONGLONG ready = 0;  // host clock ticks from which the endpoint offers it
    };
    int delayedReplies_ = 0;
    LONGLONG replyDelay_ = 0;
    std::deque<Reply> replies_;
    std::deque<Bytes> frames_;
    StartedHook started_;
    MessageHandler messages_;
    StreamRestartHook streamRestart_;
};

// Makes `firmware` the stick's command processor and lets its start command bring the stick back
// running, presenting the downloaded rom image's second descriptor set; command 0x06 restarts the
// stick's stream.
void AttachBridgeFirmware(const std::shared_ptr<Stick>& stick,
                          const std::shared_ptr<BridgeFirmware>& firmware);

}  // namespace sim
