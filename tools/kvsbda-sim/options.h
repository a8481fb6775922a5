#pragma once
// Options shared by every kvsbda-sim subcommand.
#include <cstdint>
#include <optional>
#include <string>

namespace kvssim {

struct StickId {
    uint16_t vendorId = 0x3344;
    uint16_t productId = 0x1120;
};

struct GlobalOptions {
    std::string stick = "3344:1120";
    bool boot = false;  // plug the stick without its firmware
    std::string pcapPath;
    std::string logPath;
    bool json = false;
    // Transmitters on the simulated air in the --air text form; empty for the default air.
    std::string air;
    // The bus speed the stick enumerates at: "high" or "full". The running firmware's
    // configuration for that speed decides how the stream moves (bulk at high speed,
    // isochronous at full speed).
    std::string speed = "high";
    // Only for a stick that presents built-in descriptors (plugged with its firmware running, no
    // image downloaded): "iso" or "bulk" overrides what the speed gives; "auto" follows it.
    std::string stream = "auto";
    // Bus time of every transfer in microseconds; negative: what a host controller gives at the
    // speed (one microframe, 125 us, at high speed; one frame, 1 ms, at full speed).
    long latencyMicroseconds = -1;
    // The bus completes a successful transfer inside the call that submits it whenever the
    // device has the answer at hand, as a lower filter driver may.
    bool inlineCompletion = false;
    // How often the stick's bridge sends a status report on its interrupt pipe, in real
    // milliseconds.
    unsigned statusPeriodMs = 250;
    // A Windows build of the driver (kvsbda.sys) to run under emulation in place of the
    // host-compiled core; empty for the host build.
    std::string image;
    // The low resources simulation, as Driver Verifier makes it: "1/N" fails about one in N of
    // the driver's pool allocations and request packets from the moment the receiver is open
    // (stick plugged and started, filter open) until it closes; empty for none.
    std::string lowResources;
    uint64_t seed = 1;  // the simulation's draws
};

// "1/N" with N from 1 to 1,000,000 gives N; nullopt when malformed.
std::optional<uint32_t> ParseOneIn(const std::string& text);

// "VID:PID" with four hex digits each; nullopt when malformed.
std::optional<StickId> ParseStickId(const std::string& text);
std::string FormatStickId(const StickId& id);

}  // namespace kvssim
