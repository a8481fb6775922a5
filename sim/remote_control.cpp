#include "sim/remote_control.h"

#include "sim/stick.h"

namespace sim {

std::array<uint8_t, 4> RemoteControl::KeyCode(uint8_t key) {
    return {kAddress, static_cast<uint8_t>(~kAddress), key, static_cast<uint8_t>(~key)};
}

std::vector<uint8_t> RemoteControl::KeyReport(uint8_t key) {
    const std::array<uint8_t, 4> code = KeyCode(key);
    return {kReportType, kPress, code[0], code[1], code[2], code[3]};
}

int RemoteControl::KeyOf(const uint8_t* code) {
    if (code[0] != kAddress || code[1] != static_cast<uint8_t>(~kAddress) ||
        code[3] != static_cast<uint8_t>(~code[2]))
        return -1;
    return code[2];
}

bool RemoteControl::Press(uint8_t key) {
    std::shared_ptr<Stick> stick = stick_.lock();
    if (!stick) return false;
    stick->QueueInterruptReport(KeyReport(key));
    return true;
}

}  // namespace sim
