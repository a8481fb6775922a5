#pragma once
// The air around the simulated stick: transmitters, each on a channel with a strength, a
// quality, the signal mode the demodulator must be set to, and the transport stream it carries.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Demodulator settings under which a transmitter's signal locks: register 0x04 bits 1..0,
// register 0x37 bit 7 and register 0x7C bit 7.
struct SignalMode {
    uint8_t searchModeBits = 0x02;
    bool searchOption = false;
    bool inversion = false;
};

struct Transmitter {
    std::string name;
    uint32_t frequencyKHz = 0;
    // The demodulator's strength reading (AGC level) for this signal; the chip saturates it at
    // 13 bits. Its registers 0x3E/0x3F and the status report carry that reading.
    uint16_t strength = 0;
    // Quality byte of the status report, 0..255.
    uint8_t quality = 0;
    SignalMode mode;
    // Time from reset (or retune) to the first-stage flag, and from there to lock.
    uint32_t detectMs = 20;
    uint32_t lockMs = 15;
    // Value the demodulator shows in register 0xA2 once locked.
    uint8_t lockValue = 0x5A;
    // Transport stream: programme number, video PID and the generator's start value.
    uint16_t programNumber = 1;
    uint16_t videoPid = 0x100;
    uint32_t streamVariant = 0;
    // Bit rate of the stream; 0: there whenever the stick reads (every read leaves full). Unset:
    // the rate the stream source was built with.
    std::optional<uint64_t> bitsPerSecond;
    // Packets the programme lasts, counted from the start of the stream; 0: endless.
    uint64_t packets = 0;
};

class Air {
  public:
    // A few channels of the UHF band with different strengths and modes.
    static Air Default();
    // Parses "KHZ[,key=value...][;KHZ...]"; keys: name, strength, quality, mode (0..4, the
    // demodulator step whose settings lock it), inversion (0/1), detect_ms, lock_ms, pid,
    // program, rate (bits per second, 0: as fast as it is read), packets (programme length).
    // Returns false and sets `error` when the text does not describe an air.
    static bool Parse(const std::string& text, Air& air, std::string& error);

    std::vector<Transmitter> transmitters;
    // How far the tuner may be from a channel's centre and still receive it.
    uint32_t toleranceKHz = 250;

    // The transmitter whose channel the tuned frequency falls on, or null.
    const Transmitter* Find(uint64_t tunedHz) const;
    std::string Describe() const;
};

// The settings of one row of the driver's lock-search table, by row number 0..4.
SignalMode SignalModeOfStep(unsigned step);
// The row whose settings (0x04 bits, 0x37 bit) these are, or -1.
int StepOfSettings(uint8_t searchModeBits, bool searchOption);

}  // namespace sim
