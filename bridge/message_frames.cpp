// Builders of the 12-byte message frames.
#include "bridge/message_frames.h"

using namespace message_frame;

namespace {

// Operand counts in byte 1: what follows byte 1 and counts for the bridge.
constexpr UCHAR kControlOperands = 3;     // address, length 1, control type
constexpr UCHAR kFirstFixedOperands = 3;  // address, length, type, then payload bytes
constexpr UCHAR kReadOperands = 2;        // address, k
constexpr UCHAR kControlLength = 1;       // the control message is its type byte alone

void Start(MessageFrame& frame, UCHAR code, UCHAR count) {
    RtlZeroMemory(frame, kFrameBytes);
    frame[kCodeOffset] = code;
    frame[kCountOffset] = count;
}

}  // namespace

void BuildMessageControlFrame(MessageFrame& frame) {
    Start(frame, kOnly, kControlOperands);
    frame[kAddressOffset] = kWriteAddress;
    frame[kLengthOffset] = kControlLength;
    frame[kTypeOffset] = kControlType;
}

void BuildMessageFirstFrame(const UCHAR* payload, ULONG n, MessageFrame& frame) {
    const bool only = n <= kFirstPayloadBytes;
    const ULONG counted = only ? n : kFirstPayloadBytes;
    Start(frame, only ? kOnly : kFirst, static_cast<UCHAR>(counted + kFirstFixedOperands));
    frame[kAddressOffset] = kWriteAddress;
    frame[kLengthOffset] = static_cast<UCHAR>(n + 1);  // type byte and payload, mod 256
    frame[kTypeOffset] = kDataType;
    RtlCopyMemory(frame + kFirstDataOffset, payload, kFirstPayloadBytes);
}

void BuildMessageMiddleFrame(const UCHAR* bytes, MessageFrame& frame) {
    Start(frame, kMiddle, static_cast<UCHAR>(kMiddlePayloadBytes));
    RtlCopyMemory(frame + kContinuationDataOffset, bytes, kMiddlePayloadBytes);
}

void BuildMessageLastFrame(const UCHAR* bytes, ULONG count, MessageFrame& frame) {
    if (count > kMiddlePayloadBytes - 1) count = kMiddlePayloadBytes - 1;
    Start(frame, kLast, static_cast<UCHAR>(count));
    if (count != 0) RtlCopyMemory(frame + kContinuationDataOffset, bytes, count);
}

void BuildMessageReadFrame(UCHAR k, MessageFrame& frame) {
    Start(frame, kRead, kReadOperands);
    frame[kAddressOffset] = kReadAddress;
    frame[kLengthOffset] = k;
}
