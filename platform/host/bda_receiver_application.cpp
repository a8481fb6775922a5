// A BDA television application on the receiver filter.
#include "platform/host/bda_receiver_application.h"

#include <cstring>
#include <vector>

namespace host {
namespace {

constexpr ULONG kDefaultFrameBytes = 512 * 188;

NTSTATUS FirstFailure(std::initializer_list<NTSTATUS> steps) {
    for (NTSTATUS status : steps)
        if (status != STATUS_PENDING && !NT_SUCCESS(status)) return status;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS BdaTuneResult::Status() const {
    return FirstFailure(
        {startChanges, putFrequency, putBandwidth, checkChanges, commitChanges, changeState});
}

BdaReceiverApplication::BdaReceiverApplication(PKSDEVICE device, size_t frames)
    : device_(device), frameCount_(frames) {}

BdaReceiverApplication::~BdaReceiverApplication() {
    Close();
}

NTSTATUS BdaReceiverApplication::FindPinsAndNodes() {
    NTSTATUS status = LearnBdaTopology(*filter_, &topology_);
    if (!NT_SUCCESS(status)) return status;
    inputPinId_ = topology_.inputPin;
    outputPinId_ = topology_.outputPin;
    const auto tuner = topology_.NodeOfFunction(KSNODE_BDA_RF_TUNER);
    const auto demodulator = topology_.NodeOfFunction(KSNODE_BDA_COFDM_DEMODULATOR);
    if (!tuner || !demodulator) return STATUS_NOT_FOUND;
    tunerNode_ = *tuner;
    demodulatorNode_ = *demodulator;
    return STATUS_SUCCESS;
}

// Each created pin says which pin type it is; the nodes are controlled through the pins of the
// types the topology named.
NTSTATUS BdaReceiverApplication::FindControllingPins() {
    const auto tunerPinType = topology_.ControllingPinOf(tunerNode_);
    const auto demodulatorPinType = topology_.ControllingPinOf(demodulatorNode_);
    if (!tunerPinType || !demodulatorPinType) return STATUS_NOT_FOUND;
    for (KsPinHandle* pin : {input_.get(), output_.get()}) {
        ULONG pinId = 0;
        ULONG pinType = 0;
        const NTSTATUS status = QueryPinControl(*pin, &pinId, &pinType);
        if (!NT_SUCCESS(status)) return status;
        if (pinType == *tunerPinType) tunerPin_ = pin;
        if (pinType == *demodulatorPinType) demodulatorPin_ = pin;
    }
    return tunerPin_ != nullptr && demodulatorPin_ != nullptr ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

// The pin proposes its formats (its data ranges); the first is intersected and the result is the
// connection format.
NTSTATUS BdaReceiverApplication::CreatePin(ULONG pinId, OutputPin* frames,
                                           std::unique_ptr<KsPinHandle>* pin) {
    std::vector<std::vector<uint8_t>> ranges;
    NTSTATUS status = filter_->DataRanges(pinId, &ranges);
    if (!NT_SUCCESS(status)) return status;
    if (ranges.empty()) return STATUS_NO_MATCH;
    std::vector<uint8_t> format;
    status = filter_->Intersect(pinId, ranges.front(), &format);
    if (!NT_SUCCESS(status)) return status;
    if (frames == nullptr && pinId == outputPinId_) return STATUS_INVALID_PARAMETER;
    *pin = filter_->CreatePin(pinId, format, frames, &status);
    return status;
}

NTSTATUS BdaReceiverApplication::Open() {
    NTSTATUS status;
    filter_ = KsFilterHandle::Open(device_, &status);
    if (filter_ == nullptr) return status;
    status = FindPinsAndNodes();
    if (!NT_SUCCESS(status)) return status;

    // The output's frames are sized by the transport framing the pin's format describes.
    std::vector<std::vector<uint8_t>> ranges;
    status = filter_->DataRanges(outputPinId_, &ranges);
    if (!NT_SUCCESS(status)) return status;
    frameBytes_ = kDefaultFrameBytes;
    if (!ranges.empty() && ranges.front().size() >= sizeof(KS_DATARANGE_BDA_TRANSPORT)) {
        KS_DATARANGE_BDA_TRANSPORT transport;
        std::memcpy(&transport, ranges.front().data(), sizeof(transport));
        if (transport.BdaTransportInfo.ulcbPhyiscalFrame != 0)
            frameBytes_ = transport.BdaTransportInfo.ulcbPhyiscalFrame;
    }
    OutputPinOptions options;
    options.frameBytes = frameBytes_;
    options.frames = frameCount_;
    frames_ = std::make_unique<OutputPin>(options);

    status = CreatePin(inputPinId_, nullptr, &input_);
    if (!NT_SUCCESS(status)) return status;
    status = CreatePin(outputPinId_, frames_.get(), &output_);
    if (!NT_SUCCESS(status)) return status;

    // The topology between the two pins, then the pins through which the nodes are reached.
    KsRequestHeader createTopology{KSMETHODSETID_BdaDeviceConfiguration,
                                   KSMETHOD_BDA_CREATE_TOPOLOGY,
                                   KSMETHOD_TYPE_SEND,
                                   std::nullopt,
                                   {}};
    const ULONG pair[2] = {inputPinId_, outputPinId_};
    createTopology.instance.resize(sizeof(pair));
    std::memcpy(createTopology.instance.data(), pair, sizeof(pair));
    status = filter_->Method(createTopology, nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
    return FindControllingPins();
}

NTSTATUS BdaReceiverApplication::Run() {
    if (input_ == nullptr || output_ == nullptr) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = output_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) return status;
    return input_->SetState(KSSTATE_RUN);
}

NTSTATUS BdaReceiverApplication::Stop() {
    if (input_ == nullptr || output_ == nullptr) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = input_->SetState(KSSTATE_STOP);
    const NTSTATUS outputStatus = output_->SetState(KSSTATE_STOP);
    return NT_SUCCESS(status) ? outputStatus : status;
}

BdaTuneResult BdaReceiverApplication::Tune(ULONG frequencyKHz, std::optional<ULONG> bandwidthMHz) {
    BdaTuneResult result;
    if (filter_ == nullptr || tunerPin_ == nullptr) {
        result.startChanges = STATUS_INVALID_PARAMETER;
        return result;
    }
    result.startChanges = filter_->Call(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES);
    result.putFrequency =
        tunerPin_->SetULong(KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY,
                            frequencyKHz, tunerNode_);
    if (bandwidthMHz)
        result.putBandwidth =
            tunerPin_->SetULong(KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH,
                                *bandwidthMHz, tunerNode_);
    result.checkChanges = filter_->Call(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_CHECK_CHANGES);
    result.commitStart = std::chrono::steady_clock::now();
    result.commitChanges = filter_->Call(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES);
    result.commitEnd = std::chrono::steady_clock::now();
    result.changeState =
        filter_->Call(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE,
                      &result.pendingAfterCommit, sizeof(result.pendingAfterCommit));
    return result;
}

BdaSignalReading BdaReceiverApplication::ReadSignal() {
    BdaSignalReading reading;
    if (tunerPin_ == nullptr || demodulatorPin_ == nullptr) {
        reading.status = STATUS_INVALID_PARAMETER;
        return reading;
    }
    // Each node's statistics through its controlling pin.
    struct Figure {
        KsPinHandle* pin;
        ULONG node;
        ULONG id;
        ULONG* value;
    };
    const Figure figures[] = {
        {tunerPin_, tunerNode_, KSPROPERTY_BDA_SIGNAL_STRENGTH, &reading.strength},
        {tunerPin_, tunerNode_, KSPROPERTY_BDA_SIGNAL_PRESENT, &reading.present},
        {demodulatorPin_, demodulatorNode_, KSPROPERTY_BDA_SIGNAL_QUALITY, &reading.quality},
        {demodulatorPin_, demodulatorNode_, KSPROPERTY_BDA_SIGNAL_LOCKED, &reading.locked},
    };
    for (const Figure& figure : figures) {
        const NTSTATUS status =
            figure.pin->GetULong(KSPROPSETID_BdaSignalStats, figure.id, figure.value, figure.node);
        if (!NT_SUCCESS(status)) {
            *figure.value = 0;
            if (NT_SUCCESS(reading.status)) reading.status = status;
        }
    }
    return reading;
}

void BdaReceiverApplication::Close() {
    tunerPin_ = nullptr;
    demodulatorPin_ = nullptr;
    if (output_ != nullptr) (void)output_->Close();
    if (input_ != nullptr) (void)input_->Close();
    output_.reset();
    input_.reset();
    if (filter_ != nullptr) (void)filter_->Close();
    filter_.reset();
    frames_.reset();
}

}  // namespace host
