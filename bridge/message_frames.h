#pragma once
// Frames of the segmented message exchange with the device at 0x50 (write) / 0x51 (read) on the
// stick's I2C bus. Every frame is 12 bytes on the wire and is answered by one 64-byte reply read.
// An outgoing message goes out as [length, 0x02, payload...] cut into pieces: the only frame
// (0xF4) or a first frame (0xF1), middle frames (0xF2) and a last frame (0xF3); an incoming one
// is asked for with 0xE5 frames, k bytes at a time.
#include "platform/kernel.h"

namespace message_frame {

// Codes.
constexpr UCHAR kOnly = 0xF4;
constexpr UCHAR kFirst = 0xF1;
constexpr UCHAR kMiddle = 0xF2;
constexpr UCHAR kLast = 0xF3;
constexpr UCHAR kRead = 0xE5;

// The device's two address forms and the message types the driver writes.
constexpr UCHAR kWriteAddress = 0x50;
constexpr UCHAR kReadAddress = 0x51;
constexpr UCHAR kDataType = 0x02;
constexpr UCHAR kControlType = 0x03;

// Sizes.
constexpr ULONG kFrameBytes = 12;
constexpr ULONG kReplyBytes = 64;
constexpr ULONG kFirstPayloadBytes = 7;   // payload bytes 0..6 ride in the first or only frame
constexpr ULONG kMiddlePayloadBytes = 8;  // and eight in each middle frame
constexpr ULONG kPieceBytes = 7;          // bytes asked for by each read request
constexpr ULONG kReplyDataOffset = 1;     // reply byte 0 is not looked at

// Positions.
constexpr ULONG kCodeOffset = 0;
constexpr ULONG kCountOffset = 1;
constexpr ULONG kAddressOffset = 2;
constexpr ULONG kLengthOffset = 3;     // first/only frame: (n + 1) mod 256; read request: k
constexpr ULONG kTypeOffset = 4;       // first/only frame
constexpr ULONG kFirstDataOffset = 5;  // first/only frame
constexpr ULONG kContinuationDataOffset = 2;

}  // namespace message_frame

using MessageFrame = UCHAR[message_frame::kFrameBytes];

// Builders; each fills all 12 bytes (positions without meaning are zero).
// The short control frame: F4 03 50 01 03.
void BuildMessageControlFrame(MessageFrame& frame);
// The first frame of an n-byte payload (0xF4 when n <= 7, else 0xF1). It carries seven payload
// bytes whatever n is, so `payload` must hold at least seven bytes.
void BuildMessageFirstFrame(const UCHAR* payload, ULONG n, MessageFrame& frame);
// A continuation: a middle frame of eight bytes, or the last frame of `count` (0..7) bytes.
void BuildMessageMiddleFrame(const UCHAR* bytes, MessageFrame& frame);
void BuildMessageLastFrame(const UCHAR* bytes, ULONG count, MessageFrame& frame);
// A read request for k bytes (1 for the length poll, 0..7 for a piece): E5 02 51 k.
void BuildMessageReadFrame(UCHAR k, MessageFrame& frame);
