#include "support/sim_receiver.h"

#include "sim/stick_descriptors.h"

namespace kvstest {

SimReceiver::SimReceiver(const sim::StickOptions& options) {
    firmware =
        std::make_shared<sim::BridgeFirmware>(i2c, options.state == sim::StickState::Running);
    stick = std::make_shared<sim::Stick>(options);
    stick->SetCommandProcessor(firmware);
    std::weak_ptr<sim::Stick> weak = stick;
    firmware->SetStartedHook(
        [weak](const sim::BridgeFirmware::Bytes& rom, const sim::BridgeFirmware::Bytes&) {
            std::shared_ptr<sim::Stick> stick = weak.lock();
            if (stick == nullptr) return;
            // The rom image carries two descriptor sets; the running firmware presents the second.
            if (rom.size() >= 2 * sim::kRomDescriptorSetBytes) {
                stick->PresentRomImage(rom.data() + sim::kRomDescriptorSetBytes,
                                       sim::kRomDescriptorSetBytes);
            }
            stick->ReEnumerate(sim::StickState::Running);
        });
}

std::shared_ptr<SimReceiver> MakeSimReceiver(uint16_t vendorId, uint16_t productId, bool running) {
    sim::StickOptions options;
    options.vendorId = vendorId;
    options.productId = productId;
    options.state = running ? sim::StickState::Running : sim::StickState::Boot;
    return std::make_shared<SimReceiver>(options);
}

}  // namespace kvstest
