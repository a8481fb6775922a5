#include "support/sim_receiver.h"

namespace kvstest {

SimReceiver::SimReceiver(const sim::StickOptions& options) {
    firmware =
        std::make_shared<sim::BridgeFirmware>(i2c, options.state == sim::StickState::Running);
    stick = std::make_shared<sim::Stick>(options);
    sim::AttachBridgeFirmware(stick, firmware);
}

std::shared_ptr<SimReceiver> MakeSimReceiver(uint16_t vendorId, uint16_t productId, bool running) {
    sim::StickOptions options;
    options.vendorId = vendorId;
    options.productId = productId;
    options.state = running ? sim::StickState::Running : sim::StickState::Boot;
    return std::make_shared<SimReceiver>(options);
}

}  // namespace kvstest
