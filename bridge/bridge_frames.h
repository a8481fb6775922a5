#pragma once
// Layouts of the command frames the bridge firmware understands and the reply length the driver
// reads after each. Byte 0 is the command code; for the I2C and register-list commands byte 1
// counts the bytes that follow it, and the firmware reads exactly that many.
#include "platform/kernel.h"

namespace bridge_frame {

// Command codes.
constexpr UCHAR kRegisterWrite = 0x03;     // bridge registers: pairs (register, value)
constexpr UCHAR kI2cBlockWrite = 0x04;     // address, register, data...
constexpr UCHAR kI2cRegisterWrite = 0x05;  // triplets (address, register, value)
constexpr UCHAR kCommand06 = 0x06;
constexpr UCHAR kI2cRead = 0x84;  // address, register, count
constexpr UCHAR kStartFirmware = 0x8A;

// Common header.
constexpr ULONG kCodeOffset = 0;
constexpr ULONG kCountOffset = 1;
constexpr ULONG kHeaderBytes = 2;

// Reply lengths read after each command.
constexpr ULONG kRegisterWriteReplyBytes = 5;
constexpr ULONG kI2cWriteReplyBytes = 4;
constexpr ULONG kCommandReplyBytes = 5;  // 0x06, 0x8A and raw frames

// I2C block write (0x04): 04, k+1, address, k bytes (register first).
constexpr ULONG kI2cAddressOffset = 2;
constexpr ULONG kI2cWritePayloadOffset = 3;
constexpr ULONG kI2cWriteFrameCapacity = 128;
constexpr ULONG kI2cWriteMaxPayload = kI2cWriteFrameCapacity - kI2cWritePayloadOffset;  // 125

// I2C register write list (0x05) with the one triplet the driver sends.
constexpr ULONG kTripletRegisterOffset = 3;
constexpr ULONG kTripletValueOffset = 4;
constexpr ULONG kI2cRegisterWriteFrameBytes = 5;

// I2C read (0x84): 84 03 address register count; the reply is a leading byte, then the data.
constexpr UCHAR kI2cReadOperandBytes = 3;
constexpr ULONG kI2cReadRegisterOffset = 3;
constexpr ULONG kI2cReadCountOffset = 4;
constexpr ULONG kI2cReadFrameBytes = 5;
constexpr ULONG kReplyDataOffset = 1;  // the leading byte (0x55) is skipped
constexpr ULONG kReplyCapacity = 64;
constexpr ULONG kI2cReadMaxCount = kReplyCapacity - kReplyDataOffset;  // 63

// Pass-through forms: the same commands sent as a fixed 64-byte frame.
constexpr ULONG kPassFrameBytes = 64;
constexpr ULONG kPassWriteDataOffset = 4;  // after code, count, address, register
constexpr ULONG kPassWriteMaxData = kPassFrameBytes - kPassWriteDataOffset;  // 60
constexpr ULONG kPassReadMaxCount = kI2cReadMaxCount;                        // 63

// PID filter load (0x03): pairs (register, value); entry i fills registers 2i and 2i+1, the
// control register 0x20 closes the frame.
constexpr ULONG kPidTableMaxEntries = 16;
constexpr UCHAR kPidControlRegister = 0x20;
constexpr UCHAR kPidControlMode0 = 0x80;
constexpr UCHAR kPidControlMode2 = 0x81;
constexpr UCHAR kPidControlOther = 0xA0;
constexpr ULONG PidTableFrameBytes(ULONG entries) {
    return 4 * entries + 4;
}
constexpr ULONG kPidTableFrameCapacity = PidTableFrameBytes(kPidTableMaxEntries);  // 68

// Two-byte commands (0x06, 0x8A).
constexpr ULONG kShortCommandBytes = 2;

}  // namespace bridge_frame

// Builders: each fills `frame` and returns the number of bytes to send, or 0 when the arguments
// do not fit the layout (nothing should then be sent).
ULONG BuildPidTableFrame(const UCHAR* pids, ULONG entries, ULONG mode,
                         UCHAR (&frame)[bridge_frame::kPidTableFrameCapacity]);
ULONG BuildI2cWriteFrame(UCHAR address, const UCHAR* bytes, ULONG count,
                         UCHAR (&frame)[bridge_frame::kI2cWriteFrameCapacity]);
ULONG BuildI2cRegisterWriteFrame(UCHAR address, UCHAR registerNumber, UCHAR value,
                                 UCHAR (&frame)[bridge_frame::kI2cRegisterWriteFrameBytes]);
ULONG BuildI2cReadFrame(UCHAR address, UCHAR registerNumber, ULONG count,
                        UCHAR (&frame)[bridge_frame::kI2cReadFrameBytes]);
ULONG BuildPassWriteFrame(UCHAR address, UCHAR registerNumber, const UCHAR* data, ULONG count,
                          UCHAR (&frame)[bridge_frame::kPassFrameBytes]);
ULONG BuildPassReadFrame(UCHAR address, UCHAR registerNumber, ULONG count,
                         UCHAR (&frame)[bridge_frame::kPassFrameBytes]);
