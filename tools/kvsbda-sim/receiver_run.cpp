#include "receiver_run.h"

#include "driver/device_context.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "tune_run.h"
#include "usb/cqzusb.h"

namespace kvssim {

ReceiverRun::ReceiverRun(const GlobalOptions& options) : options_(options) {}

ReceiverRun::~ReceiverRun() {
    (void)Close();
}

int ReceiverRun::Open(std::string* error) {
    session_ = std::make_unique<Session>(options_, DebugLineSink(options_, &debug_));
    if (!session_->Open(error)) return 2;
    sessionOpen_ = true;
    device_ = PlugStartedStick(*session_, options_, error);
    app_ = std::make_unique<host::BdaReceiverApplication>(device_);
    if (device_ == nullptr || !OpenApplication(*app_, error)) return 1;
    private_ = std::make_unique<host::ReceiverPrivateProperties>(app_->Filter());
    // Like Driver Verifier, which lets a system start before it fails allocations, the
    // simulation begins once the receiver is up.
    if (const std::optional<uint32_t> oneIn = ParseOneIn(options_.lowResources))
        host::SimulateLowResources(*oneIn, options_.seed, {kDriverPoolTag, host::kIrpPoolTag});
    return 0;
}

UCHAR ReceiverRun::StreamEndpoint() {
    DeviceContext* context = GetDeviceContext(device_);
    CQZUSB* transport = context != nullptr ? context->transport : nullptr;
    if (transport == nullptr || transport->streamPipeType == 0) return 0;
    const PUSBD_PIPE_INFORMATION pipe = transport->Pipe(transport->streamPipeIndex);
    return pipe != nullptr ? pipe->EndpointAddress : 0;
}

void ReceiverRun::BeginBridgeLog() {
    if (sim::BridgeFirmware* firmware = session_->Firmware()) firmware->ClearFrames();
}

std::vector<std::vector<uint8_t>> ReceiverRun::BridgeLog() {
    sim::BridgeFirmware* firmware = session_->Firmware();
    return firmware != nullptr ? firmware->Frames() : std::vector<std::vector<uint8_t>>{};
}

size_t ReceiverRun::Close() {
    if (!closed_ && session_ != nullptr) {
        closed_ = true;
        private_.reset();
        if (app_ != nullptr) app_->Close();
        app_.reset();
        if (sessionOpen_) session_->StopRemoveUnplug();
        session_.reset();
        host::SimulateLowResources(0, 0, {});
    }
    return host::PoolBytesOutstanding(kDriverPoolTag);
}

}  // namespace kvssim
