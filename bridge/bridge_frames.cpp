// Command frame builders. Each checks that its arguments fit the layout before writing anything,
// so a caller that gets 0 back has nothing to send.
#include "bridge/bridge_frames.h"

using namespace bridge_frame;

namespace {

UCHAR PidControlValue(ULONG entries, ULONG mode) {
    // The control register carries the index of the last filled register pair.
    const UCHAR last = static_cast<UCHAR>(2 * (entries - 1));
    if (mode == 0) return static_cast<UCHAR>(kPidControlMode0 + last);
    if (mode == 2) return static_cast<UCHAR>(kPidControlMode2 + last);
    return kPidControlOther;
}

}  // namespace

ULONG BuildPidTableFrame(const UCHAR* pids, ULONG entries, ULONG mode,
                         UCHAR (&frame)[kPidTableFrameCapacity]) {
    if (entries == 0 || entries > kPidTableMaxEntries || pids == nullptr) return 0;
    const ULONG length = PidTableFrameBytes(entries);
    frame[kCodeOffset] = kRegisterWrite;
    frame[kCountOffset] = static_cast<UCHAR>(length - kHeaderBytes);
    ULONG at = kHeaderBytes;
    for (ULONG i = 0; i < entries; ++i) {
        frame[at++] = static_cast<UCHAR>(2 * i);
        frame[at++] = pids[2 * i];
        frame[at++] = static_cast<UCHAR>(2 * i + 1);
        frame[at++] = pids[2 * i + 1];
    }
    frame[at++] = kPidControlRegister;
    frame[at++] = PidControlValue(entries, mode);
    return length;
}

ULONG BuildI2cWriteFrame(UCHAR address, const UCHAR* bytes, ULONG count,
                         UCHAR (&frame)[kI2cWriteFrameCapacity]) {
    if (count > kI2cWriteMaxPayload || (count != 0 && bytes == nullptr)) return 0;
    frame[kCodeOffset] = kI2cBlockWrite;
    frame[kCountOffset] = static_cast<UCHAR>(count + 1);
    frame[kI2cAddressOffset] = address;
    if (count != 0) RtlCopyMemory(frame + kI2cWritePayloadOffset, bytes, count);
    return kI2cWritePayloadOffset + count;
}

ULONG BuildI2cRegisterWriteFrame(UCHAR address, UCHAR registerNumber, UCHAR value,
                                 UCHAR (&frame)[kI2cRegisterWriteFrameBytes]) {
    frame[kCodeOffset] = kI2cRegisterWrite;
    frame[kCountOffset] = 3;  // one triplet
    frame[kI2cAddressOffset] = address;
    frame[kTripletRegisterOffset] = registerNumber;
    frame[kTripletValueOffset] = value;
    return kI2cRegisterWriteFrameBytes;
}

ULONG BuildI2cReadFrame(UCHAR address, UCHAR registerNumber, ULONG count,
                        UCHAR (&frame)[kI2cReadFrameBytes]) {
    if (count == 0 || count > kI2cReadMaxCount) return 0;
    frame[kCodeOffset] = kI2cRead;
    frame[kCountOffset] = kI2cReadOperandBytes;
    frame[kI2cAddressOffset] = address;
    frame[kI2cReadRegisterOffset] = registerNumber;
    frame[kI2cReadCountOffset] = static_cast<UCHAR>(count);
    return kI2cReadFrameBytes;
}

ULONG BuildPassWriteFrame(UCHAR address, UCHAR registerNumber, const UCHAR* data, ULONG count,
                          UCHAR (&frame)[kPassFrameBytes]) {
    if (count > kPassWriteMaxData || (count != 0 && data == nullptr)) return 0;
    RtlZeroMemory(frame, kPassFrameBytes);
    frame[kCodeOffset] = kI2cBlockWrite;
    frame[kCountOffset] = static_cast<UCHAR>(count + 2);
    frame[kI2cAddressOffset] = address;
    frame[kI2cWritePayloadOffset] = registerNumber;
    if (count != 0) RtlCopyMemory(frame + kPassWriteDataOffset, data, count);
    return kPassFrameBytes;
}

ULONG BuildPassReadFrame(UCHAR address, UCHAR registerNumber, ULONG count,
                         UCHAR (&frame)[kPassFrameBytes]) {
    if (count > kPassReadMaxCount) return 0;
    RtlZeroMemory(frame, kPassFrameBytes);
    frame[kCodeOffset] = kI2cRead;
    frame[kCountOffset] = kI2cReadOperandBytes;
    frame[kI2cAddressOffset] = address;
    frame[kI2cReadRegisterOffset] = registerNumber;
    frame[kI2cReadCountOffset] = static_cast<UCHAR>(count);
    return kPassFrameBytes;
}
