#pragma once
// The tshark command line that reads a capture written with --pcap through the stick's Wireshark
// dissector, printed after every command that wrote one.
#include <string>

namespace kvssim {

// Empty when no capture was asked for.
std::string CaptureReadCommand(const std::string& pcapPath);
// Prints "capture: FILE" and the line that reads it (text output only).
void PrintCaptureHint(const std::string& pcapPath);

}  // namespace kvssim
