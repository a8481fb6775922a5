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

// Finds `type` among the filter's node types.
bool NodeOfType(const std::vector<GUID>& types, const GUID& type, ULONG* node) {
    for (size_t i = 0; i < types.size(); ++i) {
        if (IsEqualGUID(types[i], type)) {
            *node = static_cast<ULONG>(i);
            return true;
        }
    }
    return false;
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
    ULONG pins = 0;
    NTSTATUS status = filter_->PinFactoryCount(&pins);
    if (!NT_SUCCESS(status)) return status;
    bool haveInput = false;
    bool haveOutput = false;
    for (ULONG pin = 0; pin < pins; ++pin) {
        ULONG dataFlow = 0;
        status = filter_->PinDataFlow(pin, &dataFlow);
        if (!NT_SUCCESS(status)) return status;
        if (dataFlow == KSPIN_DATAFLOW_IN && !haveInput) {
            inputPinId_ = pin;
            haveInput = true;
        } else if (dataFlow == KSPIN_DATAFLOW_OUT && !haveOutput) {
            outputPinId_ = pin;
            haveOutput = true;
        }
    }
    if (!haveInput || !haveOutput) return STATUS_NOT_FOUND;

    std::vector<GUID> types;
    status = filter_->NodeTypes(&types);
    if (!NT_SUCCESS(status)) return status;
    if (!NodeOfType(types, KSNODE_BDA_RF_TUNER, &tunerNode_) ||
        !NodeOfType(types, KSNODE_BDA_COFDM_DEMODULATOR, &demodulatorNode_))
        return STATUS_NOT_FOUND;
    return STATUS_SUCCESS;
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
    return CreatePin(outputPinId_, frames_.get(), &output_);
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
    if (filter_ == nullptr || input_ == nullptr) {
        result.startChanges = STATUS_INVALID_PARAMETER;
        return result;
    }
    result.startChanges = filter_->Call(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES);
    // The tuner node is controlled through the input pin.
    result.putFrequency =
        input_->SetULong(KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY,
                         frequencyKHz, tunerNode_);
    if (bandwidthMHz)
        result.putBandwidth =
            input_->SetULong(KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH,
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
    if (input_ == nullptr || output_ == nullptr) {
        reading.status = STATUS_INVALID_PARAMETER;
        return reading;
    }
    // Tuner statistics through the input pin, demodulator statistics through the output pin.
    struct Figure {
        KsPinHandle* pin;
        ULONG node;
        ULONG id;
        ULONG* value;
    };
    const Figure figures[] = {
        {input_.get(), tunerNode_, KSPROPERTY_BDA_SIGNAL_STRENGTH, &reading.strength},
        {input_.get(), tunerNode_, KSPROPERTY_BDA_SIGNAL_PRESENT, &reading.present},
        {output_.get(), demodulatorNode_, KSPROPERTY_BDA_SIGNAL_QUALITY, &reading.quality},
        {output_.get(), demodulatorNode_, KSPROPERTY_BDA_SIGNAL_LOCKED, &reading.locked},
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
    if (output_ != nullptr) (void)output_->Close();
    if (input_ != nullptr) (void)input_->Close();
    output_.reset();
    input_.reset();
    if (filter_ != nullptr) (void)filter_->Close();
    filter_.reset();
    frames_.reset();
}

}  // namespace host
