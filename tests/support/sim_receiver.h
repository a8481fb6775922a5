#pragma once
// A simulated receiver stick as the driver meets it: the stick on the bus with its bridge
// firmware behind the command pipes. A stick in the boot state takes the firmware download and
// comes back running, presenting the descriptors of the downloaded rom image.
#include <cstdint>
#include <memory>

#include "sim/bridge_firmware.h"
#include "sim/i2c_bus.h"
#include "sim/stick.h"

namespace kvstest {

struct SimReceiver {
    explicit SimReceiver(const sim::StickOptions& options);

    sim::I2cBus i2c;
    std::shared_ptr<sim::BridgeFirmware> firmware;
    std::shared_ptr<sim::Stick> stick;
};

// Builds a receiver with the given ids; `running` selects the state it is plugged in.
std::shared_ptr<SimReceiver> MakeSimReceiver(uint16_t vendorId, uint16_t productId, bool running);

}  // namespace kvstest
