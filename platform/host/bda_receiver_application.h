#pragma once
// What a BDA television application does with the receiver through the kernel-streaming proxy,
// acting as the platform's network provider: it opens the filter and learns its template
// topology from the filter's answers (node types and descriptors, pin types, template
// connections, the controlling pin of each node), creates the input and output pins with the
// formats the pins propose and the topology between them, runs them, tunes through the tuner
// node's controlling pin (frequency filter properties) and the change methods on the filter,
// reads each node's signal statistics through its controlling pin, and takes transport-stream
// frames from the output pin. Node requests name the node by its type: the template topology
// holds each type once.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/host/bda_network_provider.h"
#include "platform/host/ks_application.h"
#include "platform/host/output_pin.h"

namespace host {

// What an application reads from the signal-statistics properties. A figure whose request
// failed reads as 0.
struct BdaSignalReading {
    ULONG strength = 0;                // tuner node
    ULONG present = 0;                 // tuner node
    ULONG quality = 0;                 // demodulator node
    ULONG locked = 0;                  // demodulator node
    NTSTATUS status = STATUS_SUCCESS;  // the first failure, if any
};

// The steps of one tune and their answers.
struct BdaTuneResult {
    NTSTATUS startChanges = STATUS_PENDING;
    NTSTATUS putFrequency = STATUS_PENDING;
    NTSTATUS putBandwidth = STATUS_PENDING;  // STATUS_PENDING: not sent
    NTSTATUS checkChanges = STATUS_PENDING;
    NTSTATUS commitChanges = STATUS_PENDING;
    NTSTATUS changeState = STATUS_PENDING;
    ULONG pendingAfterCommit = 0;
    std::chrono::steady_clock::time_point commitStart;
    std::chrono::steady_clock::time_point commitEnd;
    // The first failed step, or STATUS_SUCCESS.
    NTSTATUS Status() const;
};

class BdaReceiverApplication {
  public:
    explicit BdaReceiverApplication(PKSDEVICE device, size_t frames = 64);
    ~BdaReceiverApplication();
    BdaReceiverApplication(const BdaReceiverApplication&) = delete;
    BdaReceiverApplication& operator=(const BdaReceiverApplication&) = delete;

    // Opens the filter and creates both pins (stopped).
    NTSTATUS Open();
    // Both pins through stop -> acquire -> pause -> run, and back.
    NTSTATUS Run();
    NTSTATUS Stop();
    // Start changes, put the frequency (and the bandwidth when given) on the tuner node, check,
    // commit, and ask for the change state.
    BdaTuneResult Tune(ULONG frequencyKHz, std::optional<ULONG> bandwidthMHz = {});
    BdaSignalReading ReadSignal();
    // Closes the pins and the filter.
    void Close();

    // The transport output's frames (valid after Open).
    OutputPin& Frames() { return *frames_; }
    KsFilterHandle* Filter() { return filter_.get(); }
    KsPinHandle* InputPin() { return input_.get(); }
    KsPinHandle* OutputPinHandle() { return output_.get(); }
    ULONG TunerNode() const { return tunerNode_; }
    ULONG DemodulatorNode() const { return demodulatorNode_; }
    ULONG FrameBytes() const { return frameBytes_; }
    const BdaTemplateTopology& Topology() const { return topology_; }
    // The created pins that control the tuner and the demodulator nodes (valid after Open).
    KsPinHandle* TunerPin() { return tunerPin_; }
    KsPinHandle* DemodulatorPin() { return demodulatorPin_; }

  private:
    NTSTATUS FindPinsAndNodes();
    NTSTATUS FindControllingPins();
    NTSTATUS CreatePin(ULONG pinId, OutputPin* frames, std::unique_ptr<KsPinHandle>* pin);

    PKSDEVICE device_;
    size_t frameCount_;
    std::unique_ptr<KsFilterHandle> filter_;
    std::unique_ptr<OutputPin> frames_;
    std::unique_ptr<KsPinHandle> input_;
    std::unique_ptr<KsPinHandle> output_;
    ULONG inputPinId_ = 0;
    ULONG outputPinId_ = 0;
    ULONG tunerNode_ = 0;
    ULONG demodulatorNode_ = 0;
    ULONG frameBytes_ = 0;
    BdaTemplateTopology topology_;
    KsPinHandle* tunerPin_ = nullptr;
    KsPinHandle* demodulatorPin_ = nullptr;
};

}  // namespace host
