// The simulated stick's USB behaviour: descriptors, configuration, endpoint routing, faults and
// re-enumeration.
#include "sim/stick.h"

#include <algorithm>
#include <cstring>

#include "platform/host/clock.h"
#include "platform/host/usbd_descriptor_walk.h"

namespace sim {
namespace {

constexpr uint8_t kCommandFrameEndpoint = 0x01;
constexpr uint8_t kCommandReplyEndpoint = 0x81;
constexpr size_t kDefaultReplyBytes = 5;

// Stands in for the bridge firmware until one is plugged in: every frame gets five zero bytes.
class ZeroReplyProcessor : public CommandProcessor {
  public:
    void OnCommandFrame(const uint8_t*, size_t) override {}
    long TakeReply(uint8_t* out, size_t capacity) override {
        const size_t count = std::min(capacity, kDefaultReplyBytes);
        std::memset(out, 0, count);
        return static_cast<long>(count);
    }
};

const USB_CONFIGURATION_DESCRIPTOR* AsConfiguration(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)
               ? reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(bytes.data())
               : nullptr;
}

}  // namespace

LONGLONG LatencyTicksOf(const StickOptions& options) {
    if (!options.busTime) return 0;
    return LONGLONG{options.latencyMicroseconds.value_or(0)} * 10;
}

RequestMatcher OnEndpoint(uint8_t endpointAddress) {
    return [endpointAddress](const host::UsbRequest& request) {
        return (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
                request.function == URB_FUNCTION_ISOCH_TRANSFER) &&
               request.endpoint.address == endpointAddress;
    };
}

RequestMatcher OnFunction(USHORT urbFunction) {
    return
        [urbFunction](const host::UsbRequest& request) { return request.function == urbFunction; };
}

RequestMatcher NthRequest(size_t count, std::shared_ptr<size_t> seen) {
    if (!seen) seen = std::make_shared<size_t>(0);
    return [count, seen](const host::UsbRequest&) { return ++*seen == count; };
}

RequestMatcher OnDescriptor(uint8_t descriptorType, uint8_t index) {
    return [descriptorType, index](const host::UsbRequest& request) {
        return request.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
               request.urb->UrbControlDescriptorRequest.DescriptorType == descriptorType &&
               request.urb->UrbControlDescriptorRequest.Index == index;
    };
}

Stick::Stick(StickOptions options)
    : options_(options),
      state_(options.state),
      processor_(std::make_shared<ZeroReplyProcessor>()),
      latency_(LatencyTicksOf(options)) {
    if (!options_.layout) options_.layout = DefaultLayoutFor(options_.vendorId, options_.productId);
    RebuildDescriptors();
}

Stick::~Stick() = default;

// ---- Bus presence ---------------------------------------------------------------------------

PDEVICE_OBJECT Stick::PlugInto(host::UsbBus& bus) {
    {
        std::lock_guard guard(lock_);
        bus_ = &bus;
        RebuildDescriptors();
    }
    return bus.Plug(shared_from_this());
}

void Stick::Unplug() {
    host::UsbBus* bus;
    PDEVICE_OBJECT device;
    {
        std::lock_guard guard(lock_);
        bus = bus_;
        device = device_;
    }
    if (bus != nullptr && device != nullptr) bus->Unplug(device);
}

void Stick::ReEnumerate(StickState state) {
    host::UsbBus* bus;
    {
        std::lock_guard guard(lock_);
        bus = bus_;
        if (bus == nullptr) {
            state_ = state;
            RebuildDescriptors();
            return;
        }
    }
    bus->RunAfterCurrentRequest(
        [self = shared_from_this(), state] { self->ReEnumerateNow(state); });
}

void Stick::ReEnumerateAfter(RequestMatcher after, StickState state) {
    std::lock_guard guard(lock_);
    pendingReEnumeration_ = PendingReEnumeration{std::move(after), state};
}

void Stick::ReEnumerateNow(StickState state) {
    host::UsbBus* bus;
    PDEVICE_OBJECT device;
    {
        std::lock_guard guard(lock_);
        bus = bus_;
        device = device_;
    }
    if (device != nullptr) bus->Unplug(device);
    {
        std::lock_guard guard(lock_);
        state_ = state;
        RebuildDescriptors();
    }
    bus->Plug(shared_from_this());
}

PDEVICE_OBJECT Stick::DeviceObject() const {
    std::lock_guard guard(lock_);
    return device_;
}

unsigned Stick::Arrivals() const {
    std::lock_guard guard(lock_);
    return arrivals_;
}

bool Stick::WaitForArrivals(unsigned count, std::chrono::milliseconds limit) {
    std::unique_lock lock(lock_);
    return arrived_.wait_for(lock, limit, [&] { return arrivals_ >= count; });
}

void Stick::Attached(host::UsbBus& bus, PDEVICE_OBJECT device) {
    std::lock_guard guard(lock_);
    bus_ = &bus;
    device_ = device;
    ++arrivals_;
    arrived_.notify_all();
}

void Stick::Detached(PDEVICE_OBJECT device) {
    std::lock_guard guard(lock_);
    if (device_ == device) device_ = nullptr;
}

// ---- Identity and descriptors ---------------------------------------------------------------

StickState Stick::State() const {
    std::lock_guard guard(lock_);
    return state_;
}

void Stick::SetState(StickState state) {
    std::lock_guard guard(lock_);
    state_ = state;
}

void Stick::SetStreamTransfer(StreamTransfer transfer) {
    std::lock_guard guard(lock_);
    options_.streamTransfer = transfer;
}

host::UsbSpeed Stick::LinkSpeed() const {
    std::lock_guard guard(lock_);
    return options_.speed == BusSpeed::High ? host::UsbSpeed::High : host::UsbSpeed::Full;
}

BusSpeed Stick::Speed() const {
    std::lock_guard guard(lock_);
    return options_.speed;
}

bool Stick::PresentRomImage(const uint8_t* set, size_t length) {
    std::lock_guard guard(lock_);
    std::optional<DescriptorSet> descriptors = DescriptorsFromRomImage(set, length, options_.speed);
    if (!descriptors) return false;
    romDescriptors_ = std::move(descriptors);
    return true;
}

DescriptorSet Stick::Descriptors() const {
    std::lock_guard guard(lock_);
    return descriptors_;
}

void Stick::RebuildDescriptors() {
    if (state_ == StickState::Running && romDescriptors_)
        descriptors_ = *romDescriptors_;
    else
        descriptors_ =
            BuiltInDescriptors(options_.vendorId, options_.productId, *options_.layout,
                               options_.streamTransfer.value_or(StreamTransferAt(options_.speed)),
                               state_ == StickState::Running);
}

// ---- Components -----------------------------------------------------------------------------

void Stick::SetCommandProcessor(std::shared_ptr<CommandProcessor> processor) {
    std::lock_guard guard(lock_);
    processor_ = processor ? std::move(processor) : std::make_shared<ZeroReplyProcessor>();
}

void Stick::SetStreamSource(std::shared_ptr<TransportStreamSource> source) {
    std::lock_guard guard(lock_);
    source_ = std::move(source);
}

void Stick::RestartStream() {
    std::lock_guard guard(lock_);
    if (source_ != nullptr) source_->Restart();
    fifo_.Clear();
    bulkIdleSince_.reset();
    isoAnswered_.clear();
}

void Stick::QueueInterruptReport(std::vector<uint8_t> report) {
    host::UsbBus* bus;
    PDEVICE_OBJECT device;
    std::vector<uint8_t> interruptEndpoints;
    {
        std::lock_guard guard(lock_);
        reports_.push_back(std::move(report));
        bus = bus_;
        device = device_;
        // Every interrupt IN endpoint of the configuration gets a chance to take it.
        const USB_CONFIGURATION_DESCRIPTOR* configuration =
            AsConfiguration(descriptors_.configuration);
        const size_t total =
            std::min(host::usbd::WalkableLength(configuration), descriptors_.configuration.size());
        for (size_t at = 0; at + 7 <= total && descriptors_.configuration[at] >= 2;
             at += descriptors_.configuration[at]) {
            const uint8_t* descriptor = &descriptors_.configuration[at];
            if (descriptor[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && descriptor[0] >= 7 &&
                (descriptor[2] & USB_ENDPOINT_DIRECTION_MASK) != 0 && (descriptor[3] & 3) == 3)
                interruptEndpoints.push_back(descriptor[2]);
        }
    }
    if (bus == nullptr || device == nullptr) return;
    for (uint8_t address : interruptEndpoints) bus->Wake(device, address);
}

size_t Stick::QueuedInterruptReports() const {
    std::lock_guard guard(lock_);
    return reports_.size();
}

// ---- Faults ---------------------------------------------------------------------------------

void Stick::HangNextRequest(RequestMatcher matcher) {
    std::lock_guard guard(lock_);
    faults_.push_back({FaultKind::Hang, std::move(matcher)});
}

void Stick::FailNextTransfer(RequestMatcher matcher) {
    std::lock_guard guard(lock_);
    faults_.push_back({FaultKind::Fail, std::move(matcher)});
}

void Stick::ShortenNextTransfer(size_t bytes, RequestMatcher matcher) {
    std::lock_guard guard(lock_);
    faults_.push_back({FaultKind::Shorten, std::move(matcher), bytes});
}

void Stick::UnplugAtNextRequest(RequestMatcher matcher) {
    std::lock_guard guard(lock_);
    faults_.push_back({FaultKind::Unplug, std::move(matcher)});
}

void Stick::SetIsoPacketErrorHook(std::function<bool(uint64_t, uint32_t)> hook) {
    std::lock_guard guard(lock_);
    isoPacketError_ = std::move(hook);
}

void Stick::ClearFaults() {
    std::lock_guard guard(lock_);
    faults_.clear();
    isoPacketError_ = nullptr;
}

std::optional<Stick::Fault> Stick::TakeFault(const host::UsbRequest& request) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->matcher && !it->matcher(request)) continue;
        Fault fault = std::move(*it);
        faults_.erase(it);
        return fault;
    }
    return std::nullopt;
}

// ---- Requests -------------------------------------------------------------------------------

host::UsbAnswer Stick::Handle(const host::UsbRequest& request) {
    host::UsbAnswer answer;
    std::optional<StickState> reEnumerateInto;
    host::UsbBus* bus;
    bool unplug = false;
    {
        std::lock_guard guard(lock_);
        bus = bus_;
        // A request that waited and is offered again has had its faults applied already.
        std::optional<Fault> fault = request.attempt == 0 ? TakeFault(request) : std::nullopt;
        size_t limit = SIZE_MAX;
        if (fault && fault->kind == FaultKind::Hang) return host::UsbAnswer::WaitForCancel();
        if (fault && fault->kind == FaultKind::Shorten) limit = fault->bytes;
        if (fault && fault->kind == FaultKind::Unplug) {
            // The bus completes this request with not-connected once the model has answered.
            unplug = true;
            answer = host::UsbAnswer::WaitForCancel();
        } else if (fault && fault->kind == FaultKind::Fail) {
            if (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
                request.function == URB_FUNCTION_ISOCH_TRANSFER ||
                request.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
                request.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            answer = host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, kFailedTransferStatus);
        } else {
            switch (request.function) {
                case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
                    answer = GetDescriptor(request, limit);
                    break;
                case URB_FUNCTION_SELECT_CONFIGURATION:
                    answer = SelectConfiguration(request);
                    break;
                case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                    answer = BulkOrInterrupt(request, limit);
                    break;
                case URB_FUNCTION_ISOCH_TRANSFER:
                    answer = Isochronous(request);
                    break;
                case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
                    if (request.endpoint.address == kCommandReplyEndpoint)
                        processor_->ResetReplyEndpoint();
                    answer = host::UsbAnswer::Success();
                    break;
                default:
                    answer = host::UsbAnswer::Failure(STATUS_INVALID_PARAMETER,
                                                      host::kUsbdStatusInvalidUrbFunction);
            }
        }
        if (answer.kind == host::UsbAnswer::Kind::Complete && pendingReEnumeration_ &&
            (!pendingReEnumeration_->after || pendingReEnumeration_->after(request))) {
            reEnumerateInto = pendingReEnumeration_->state;
            pendingReEnumeration_.reset();
        }
    }
    if (unplug) {
        Unplug();
        return answer;
    }
    if (reEnumerateInto && bus != nullptr) {
        const StickState state = *reEnumerateInto;
        bus->RunAfterCurrentRequest(
            [self = shared_from_this(), state] { self->ReEnumerateNow(state); });
    }
    return answer;
}

host::UsbAnswer Stick::GetDescriptor(const host::UsbRequest& request, size_t limit) {
    _URB_CONTROL_DESCRIPTOR_REQUEST& transfer = request.urb->UrbControlDescriptorRequest;
    const std::vector<uint8_t>* descriptor = nullptr;
    if (transfer.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && transfer.Index == 0)
        descriptor = &descriptors_.device;
    else if (transfer.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && transfer.Index == 0)
        descriptor = &descriptors_.configuration;
    else if (transfer.DescriptorType == USB_STRING_DESCRIPTOR_TYPE)
        descriptor = descriptors_.String(transfer.Index);
    if (descriptor == nullptr || descriptor->empty()) {
        transfer.TransferBufferLength = 0;
        return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, kFailedTransferStatus);
    }
    // As a device does: no more than asked for, and a shorter descriptor ends early.
    const size_t count =
        std::min({descriptor->size(), size_t{transfer.TransferBufferLength}, limit});
    std::memcpy(transfer.TransferBuffer, descriptor->data(), count);
    transfer.TransferBufferLength = static_cast<ULONG>(count);
    return host::UsbAnswer::Success();
}

host::UsbAnswer Stick::SelectConfiguration(const host::UsbRequest& request) {
    const _URB_SELECT_CONFIGURATION& select = request.urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) return host::UsbAnswer::Success();
    // Walk our own configuration no further than the bytes we really have.
    std::vector<uint8_t> own = descriptors_.configuration;
    if (own.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, kFailedTransferStatus);
    const size_t total = std::min<size_t>(own[2] | own[3] << 8, own.size());
    own[2] = static_cast<uint8_t>(total);
    own[3] = static_cast<uint8_t>(total >> 8);
    const auto* configuration = AsConfiguration(own);
    if (select.ConfigurationDescriptor->bConfigurationValue != configuration->bConfigurationValue)
        return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, kFailedTransferStatus);

    // The bus has checked the interface records' lengths; each must name a setting we have.
    constexpr size_t kHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    auto* cursor = reinterpret_cast<const UCHAR*>(&select.Interface);
    const UCHAR* end = reinterpret_cast<const UCHAR*>(request.urb) + request.urb->UrbHeader.Length;
    while (static_cast<size_t>(end - cursor) >= kHeader) {
        const auto* information = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(cursor);
        if (information->Length == 0) break;
        host::usbd::InterfaceCriteria criteria;
        criteria.interfaceNumber = information->InterfaceNumber;
        criteria.alternateSetting = information->AlternateSetting;
        if (host::usbd::FindInterface(configuration, configuration, criteria) == nullptr)
            return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, kFailedTransferStatus);
        cursor += information->Length;
    }
    return host::UsbAnswer::Success();
}

bool Stick::IsStreamEndpoint(const host::UsbEndpoint& endpoint) const {
    return endpoint.IsIn() && endpoint.address != kCommandReplyEndpoint &&
           (endpoint.type == UsbdPipeTypeBulk || endpoint.type == UsbdPipeTypeIsochronous);
}

host::UsbAnswer Stick::BulkOrInterrupt(const host::UsbRequest& request, size_t limit) {
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = request.urb->UrbBulkOrInterruptTransfer;
    auto* buffer = static_cast<uint8_t*>(transfer.TransferBuffer);
    const size_t capacity = std::min(size_t{transfer.TransferBufferLength}, limit);
    const host::UsbEndpoint& endpoint = request.endpoint;

    if (!endpoint.IsIn()) {
        if (endpoint.address == kCommandFrameEndpoint) processor_->OnCommandFrame(buffer, capacity);
        transfer.TransferBufferLength = static_cast<ULONG>(capacity);
        return host::UsbAnswer::Success();
    }
    if (endpoint.address == kCommandReplyEndpoint) {
        const long count = processor_->TakeReply(buffer, capacity);
        if (count == CommandProcessor::kReplyNotReady)
            return host::UsbAnswer::WaitUntil(processor_->ReplyReadyAt());
        if (count < 0) return host::UsbAnswer::WaitForCancel();
        transfer.TransferBufferLength =
            static_cast<ULONG>(std::min(static_cast<size_t>(count), capacity));
        return host::UsbAnswer::Success();
    }
    if (endpoint.type == UsbdPipeTypeInterrupt) {
        if (reports_.empty()) return host::UsbAnswer::WaitForWake();
        const std::vector<uint8_t>& report = reports_.front();
        const size_t count = std::min(report.size(), capacity);
        if (count > 0) std::memcpy(buffer, report.data(), count);
        transfer.TransferBufferLength = static_cast<ULONG>(count);
        reports_.pop_front();
        return host::UsbAnswer::Success();
    }
    return BulkStream(request, capacity);
}

// A bulk IN read on the stream pipe. The stick sends 512-byte packets while its FIFO holds that
// much; the packet that finds less is short and ends the transfer, as does a full buffer. An
// empty FIFO NAKs: the read waits for data. (A FIFO that runs dry right at a packet boundary
// ends the transfer too: the bridge firmware commits what it has when its FIFO runs dry.)
host::UsbAnswer Stick::BulkStream(const host::UsbRequest& request, size_t capacity) {
    if (source_ == nullptr) return host::UsbAnswer::WaitForWake();
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = request.urb->UrbBulkOrInterruptTransfer;
    auto* buffer = static_cast<uint8_t*>(transfer.TransferBuffer);
    const LONGLONG now = host::NowTicks();
    const bool paced = source_->Paced();
    size_t count = 0;
    if (paced) {
        // While reads are queued the host controller moves the stream into them as it comes (the
        // link is many times the stream's rate), however late the emulation answers: what comes
        // after one read is full goes to the next. Only while no read was queued did the stream
        // fill the FIFO, and only then could it overflow.
        fifo_.Collect(*source_, now);
        if (request.attempt == 0 && bulkIdleSince_) {
            fifo_.AdmitUntil(std::max(*bulkIdleSince_, request.submittedAt));
            bulkIdleSince_.reset();
        }
        count = fifo_.TakeThrough(buffer, capacity, now);
        if (count != 0 && request.queuedBehind == 0) bulkIdleSince_ = now;
    } else {
        // The FIFO refills as fast as the packets leave it: the read leaves full.
        while (count < capacity) {
            fifo_.Collect(*source_, now);
            const size_t got = fifo_.Take(buffer + count, capacity - count);
            if (got == 0) break;
            count += got;
        }
    }
    if (count == 0) {
        // The host controller polls again in the next microframe.
        return paced && options_.busTime ? host::UsbAnswer::WaitUntil(now + kMicroframeTicks)
                                         : host::UsbAnswer::WaitForWake();
    }
    transfer.TransferBufferLength = static_cast<ULONG>(count);
    return host::UsbAnswer::Success();
}

LONGLONG Stick::IsoPacketTicks(const host::UsbEndpoint& endpoint) const {
    if (!options_.busTime) return 0;
    // Full speed: bInterval frames. High speed: 2^(bInterval-1) microframes.
    const unsigned interval = std::max<unsigned>(endpoint.interval, 1);
    if (options_.speed == BusSpeed::Full) return kFrameTicks * interval;
    return kMicroframeTicks << std::min(interval - 1, 15u);
}

// An isochronous IN read: one packet per (micro)frame of the pipe. Reads queued back to back take
// consecutive frames; a read submitted after the previous one's frames have passed begins at the
// next frame. The read completes once its frames have passed. Each packet carries what the FIFO
// holds at its frame, up to the endpoint's packet size, as a plain byte stream.
host::UsbAnswer Stick::Isochronous(const host::UsbRequest& request) {
    _URB_ISOCH_TRANSFER& transfer = request.urb->UrbIsochronousTransfer;
    if (!IsStreamEndpoint(request.endpoint) || source_ == nullptr)
        return host::UsbAnswer::WaitForWake();
    const LONGLONG frame = IsoPacketTicks(request.endpoint);
    const LONGLONG now = host::NowTicks();
    if (request.attempt == 0) {
        // The transmitter's bytes so far are collected; each packet's frame lets in what came by
        // then (a late answer must not let in, ahead of the frames, what came since).
        fifo_.Collect(*source_, now);
        // A read that never completed was cancelled (a stop aborts them all): its frames are
        // given back, and the reads after it are fresh.
        if (isoRead_ != nullptr) {
            if (isoNextFrame_ > now) isoNextFrame_ = now;
            isoAnswered_.clear();
        }
        LONGLONG start = request.submittedAt;
        if (frame != 0) start = (start + frame - 1) / frame * frame;  // the next frame
        // A packet sent down again from its own completion was resubmitted the moment its read
        // ended, as a completion routine does on a real host: it follows on, however late the
        // emulation answered and the completion ran. (Frames after the queue really ran dry are
        // still lost time: a fresh packet begins at its submission.)
        if (start < isoNextFrame_ || isoAnswered_.contains(request.irp)) start = isoNextFrame_;
        isoRead_ = request.irp;
        isoStart_ = start;
        isoEnd_ = start + frame * transfer.NumberOfPackets;
        isoNextFrame_ = isoEnd_;
    }
    if (now < isoEnd_) return host::UsbAnswer::WaitUntil(isoEnd_);
    isoRead_ = nullptr;
    isoAnswered_.insert(request.irp);

    auto* buffer = static_cast<uint8_t*>(transfer.TransferBuffer);
    USBD_ISO_PACKET_DESCRIPTOR* packet = transfer.IsoPacket;  // sized by the block
    const uint64_t read = isoReads_++;
    const size_t maximum = request.endpoint.maximumPacketSize;
    if (isoScratch_.size() < maximum) isoScratch_.resize(maximum);
    size_t total = 0;
    ULONG errors = 0;
    uint64_t overrun = 0;
    // Collected once, at the moment the answer is made: what the transmitter sends while the
    // packets are filled belongs to later frames (a collection stamped with an earlier moment
    // would let it all in at once).
    // An unpaced source is there whenever the bus looks: it refills the FIFO for every packet.
    const bool paced = source_->Paced();
    fifo_.Collect(*source_, now);
    for (ULONG i = 0; i < transfer.NumberOfPackets; ++i) {
        if (!paced) fifo_.Collect(*source_, now);
        fifo_.AdmitUntil(isoStart_ + frame * (i + 1));
        if (isoPacketError_ && isoPacketError_(read, i)) {
            packet[i].Status = kFailedPacketStatus;
            packet[i].Length = 0;
            ++errors;
            continue;
        }
        // The host controller has only the packet's slot for it: a larger packet is an overrun,
        // and none of it is delivered.
        const ULONG end =
            i + 1 < transfer.NumberOfPackets ? packet[i + 1].Offset : transfer.TransferBufferLength;
        const size_t slot = end - packet[i].Offset;
        const size_t count = fifo_.Take(isoScratch_.data(), maximum);
        if (count > slot) {
            packet[i].Status = kOverrunPacketStatus;
            packet[i].Length = 0;
            overrun += count;
            ++errors;
            continue;
        }
        if (count > 0) std::memcpy(buffer + packet[i].Offset, isoScratch_.data(), count);
        packet[i].Status = USBD_STATUS_SUCCESS;
        packet[i].Length = static_cast<ULONG>(count);
        total += count;
    }
    // What came after the last frame (the read is answered a little late in real time) comes in
    // during the next read's frames.
    overrunBytes_ += overrun;
    transfer.ErrorCount = errors;
    transfer.TransferBufferLength = static_cast<ULONG>(total);
    if (errors == transfer.NumberOfPackets)
        return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, host::kUsbdStatusIsochRequestFailed);
    return host::UsbAnswer::Success();
}

uint64_t Stick::OverrunBytes() const {
    std::lock_guard guard(lock_);
    return overrunBytes_;
}

size_t Stick::StreamBytesHeld() const {
    std::lock_guard guard(lock_);
    return fifo_.Level() + fifo_.Arrivals();
}

uint64_t Stick::FifoOverflowBytes() const {
    std::lock_guard guard(lock_);
    return fifo_.OverflowBytes();
}

}  // namespace sim
