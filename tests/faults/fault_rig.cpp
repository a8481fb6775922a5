#include "fault_rig.h"

#include <chrono>
#include <thread>

#include "demod/demod_control.h"
#include "driver/stream_control.h"
#include "platform/host/irql.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"

namespace faulttest {
namespace {

constexpr uint8_t kDemodLowAddress = 0x32;
constexpr uint8_t kDemodHighAddress = 0x36;
// A stream run ends after this many frames, or when no read has been answered for this long.
constexpr auto kStreamPatience = std::chrono::seconds(5);

}  // namespace

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::Unplug:
            return "unplug";
        case Fault::Hang:
            return "never answered";
        case Fault::Fail:
            return "failed";
        case Fault::Shorten:
            return "short";
    }
    return "?";
}

Receiver::Receiver(StickIds ids, bool running) {
    demod = std::make_unique<sim::DemodChip>(air, [this] { return tuner.TunedFrequencyHz(); });
    i2c.Attach(kDemodLowAddress, demod.get());
    i2c.Attach(kDemodHighAddress, demod.get());
    i2c.Attach(sim::TunerChip::kAddress, &tuner);
    sim::StickOptions options;
    options.vendorId = ids.vendorId;
    options.productId = ids.productId;
    options.state = running ? sim::StickState::Running : sim::StickState::Boot;
    firmware = std::make_shared<sim::BridgeFirmware>(i2c, running);
    stick = std::make_shared<sim::Stick>(options);
    sim::AttachBridgeFirmware(stick, firmware);
    stick->SetStreamSource(std::shared_ptr<sim::TransportStreamSource>(
        &generator, [](sim::TransportStreamSource*) {}));
    system.Bus().AddObserver(this);
}

void Receiver::RequestSubmitted(const host::UsbTrafficRecord& record) {
    if (record.function == URB_FUNCTION_ISOCH_TRANSFER ||
        (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && record.endpoint.IsIn() &&
         record.endpoint.type == UsbdPipeTypeBulk && record.endpoint.address != 0x81))
        ++streamReads_;
}

Receiver::~Receiver() {
    Disarm();
    if (sim::Stick* s = stick.get(); s->DeviceObject() != nullptr) system.Unplug(s->DeviceObject());
    system.WaitForPnpIdle();
    system.Bus().RemoveObserver(this);
}

void Receiver::Plug() {
    system.Plug(stick);
    system.WaitForPnpIdle();
}

void Receiver::Arm(Fault fault, size_t k) {
    *seen_ = 0;
    *fired_ = false;
    frames_->clear();
    // The matcher counts every new request the stick sees and fires on the k-th. It runs with
    // the stick's lock held, one request at a time.
    sim::RequestMatcher counted = sim::NthRequest(k, seen_);
    sim::RequestMatcher matcher = [counted, fired = fired_, where = faultRequest_,
                                   frames = frames_](const host::UsbRequest& request) {
        std::vector<uint8_t> frame;
        if (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            request.endpoint.address == 0x01) {
            const auto& transfer = request.urb->UrbBulkOrInterruptTransfer;
            const auto* bytes = static_cast<const uint8_t*>(transfer.TransferBuffer);
            frame.assign(bytes, bytes + transfer.TransferBufferLength);
        }
        frames->push_back(std::move(frame));
        if (!counted(request)) return false;
        *fired = true;
        *where = request;
        return true;
    };
    switch (fault) {
        case Fault::Unplug:
            stick->UnplugAtNextRequest(matcher);
            break;
        case Fault::Hang:
            stick->HangNextRequest(matcher);
            break;
        case Fault::Fail:
            stick->FailNextTransfer(matcher);
            break;
        case Fault::Shorten:
            // A frame cut after its command code, a reply or descriptor cut after one byte.
            stick->ShortenNextTransfer(1, matcher);
            break;
    }
}

bool Receiver::Fired() const {
    return *fired_;
}

void Receiver::ArmAllocationFailure(size_t k) {
    *allocationFired_ = false;
    auto seen = std::make_shared<std::atomic<size_t>>(0);
    host::SetPoolFailurePredicate([k, seen, fired = allocationFired_](ULONG tag, SIZE_T) {
        if (tag != kDriverPoolTag && tag != host::kIrpPoolTag && tag != host::kInterfaceLinkPoolTag)
            return false;
        if (++*seen != k) return false;
        *fired = true;
        return true;
    });
}

void Receiver::Disarm() {
    host::ClearPoolFaults();
    stick->ClearFaults();
}

void ExpectUsableAfterwards(Receiver& r, const std::string& what) {
    r.Disarm();
    r.system.WaitForPnpIdle();
    kvstest::HostedDevice* device = r.Device();
    ASSERT_NE(device, nullptr) << what;
    if (device->startStatus != STATUS_SUCCESS) {
        r.system.Start(*device);
        r.system.WaitForPnpIdle();  // a boot stick re-enumerates after the download
        device = r.Device();
        ASSERT_NE(device, nullptr) << what;
        if (device->startStatus != STATUS_SUCCESS) r.system.Start(*device);
        ASSERT_EQ(device->startStatus, STATUS_SUCCESS) << what;
    }
    EXPECT_TRUE(r.Tune()) << what << ": the stick does not tune afterwards";
    // Every stick kind the sweeps use carries a stream: the stick was recognised for what it is.
    ASSERT_NE(device->Transport(), nullptr) << what;
    EXPECT_NE(device->Transport()->streamPipeType, 0u) << what << ": no stream pipe";
}

bool Receiver::Tune(ULONG frequencyKHz) {
    kvstest::HostedDevice* device = Device();
    if (device == nullptr) return false;
    TunerWake(device->Device());
    return DemodTune(device->Device(), frequencyKHz, 8);
}

bool Receiver::DemodSawLock(ULONG frequencyKHz) const {
    const sim::Transmitter* tuned = demod->TunedTransmitter();
    return demod->GetObservations().lock.has_value() && tuned != nullptr &&
           tuned->frequencyKHz == frequencyKHz;
}

void Receiver::Stream(size_t reads) {
    kvstest::HostedDevice* device = Device();
    if (device == nullptr || device->Context() == nullptr) return;
    // Kernel streaming closes the pins before it removes the device: should the stick leave the
    // bus meanwhile, its removal waits until the stream is stopped and the pin gone.
    system.SetRemoveOnDeparture(false);
    DeviceContext* context = device->Context();
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&context->outputPin), pin.KsPin());
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->antennaPinState), KSSTATE_RUN);
    const size_t target = streamReads_ + reads;
    StartStreamLocked(device->Device());
    const auto deadline = std::chrono::steady_clock::now() + kStreamPatience;
    while (streamReads_ < target && std::chrono::steady_clock::now() < deadline &&
           stick->DeviceObject() != nullptr)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    StopStream(device->Device());
    // As pin close does: no frame is handed on once the pin is gone.
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&context->outputPin), nullptr);
    if (CQZUSB* transport = device->Transport(); transport != nullptr)
        transport->FlushStreamDelivery();
    system.SetRemoveOnDeparture(true);
}

void Receiver::UnplugAndCheckClean(const std::string& what) {
    Disarm();
    if (PDEVICE_OBJECT object = stick->DeviceObject(); object != nullptr) system.Unplug(object);
    system.WaitForPnpIdle();
    // Devices whose departure came while removal was held back.
    for (kvstest::HostedDevice* device : system.Devices())
        if (device->addStatus == STATUS_SUCCESS && !device->removed) system.Remove(*device);
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u) << what;
    EXPECT_EQ(kvstest::HostSystem::PacketPoolBlocks(), 0u) << what;
    EXPECT_EQ(kvstest::HostSystem::LinkNamePoolBlocks(), 0u) << what;
    const auto errors = kvstest::HostSystem::KernelErrors();
    EXPECT_TRUE(errors.empty()) << what << ": " << (errors.empty() ? "" : errors.front());
    EXPECT_TRUE(host::IrqlViolations().empty()) << what;
}

size_t Sweep(size_t limit, const std::function<bool(size_t k)>& run) {
    size_t fired = 0;
    for (size_t k = 1; k <= limit; ++k) {
        if (!run(k)) return fired;
        ++fired;
    }
    ADD_FAILURE() << "the sequence did not complete within " << limit << " requests";
    return fired;
}

bool IsAsynchronousRead(const host::UsbRequest& request) {
    if (request.function == URB_FUNCTION_ISOCH_TRANSFER) return true;
    if (request.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return false;
    // Everything on the bus but the two command pipes: the interrupt and stream reads.
    return request.endpoint.address != 0x01 && request.endpoint.address != 0x81;
}

}  // namespace faulttest
