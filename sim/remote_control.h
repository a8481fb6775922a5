#pragma once
// The receiver's infrared remote control. A key press reaches the driver as a key report on the
// stick's interrupt pipe: 0xAA, then 0x01 (a press), then the four bytes of the remote's code.
// The remote speaks the NEC protocol, the usual one for remotes of receivers of this kind: an
// address byte and its complement, a command byte (the key) and its complement. Our documents fix
// only the report's first byte and that bytes 1 to 5 are key data; the rest is this choice.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace sim {

class Stick;

class RemoteControl {
  public:
    static constexpr uint8_t kReportType = 0xAA;
    static constexpr uint8_t kPress = 0x01;
    static constexpr uint8_t kAddress = 0x02;

    explicit RemoteControl(std::weak_ptr<Stick> stick) : stick_(std::move(stick)) {}

    // Queues the report of a press of `key` on the stick's interrupt pipe; false when the stick is
    // gone.
    bool Press(uint8_t key);

    // The report a press of `key` sends, and the four key bytes of it (report bytes 2 to 5).
    static std::vector<uint8_t> KeyReport(uint8_t key);
    static std::array<uint8_t, 4> KeyCode(uint8_t key);
    // The key of four key bytes; -1 when they are not a code of this remote.
    static int KeyOf(const uint8_t* code);

  private:
    std::weak_ptr<Stick> stick_;
};

}  // namespace sim
