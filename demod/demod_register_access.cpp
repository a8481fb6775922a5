// Register reads and writes of the demodulator, each one bridge command frame and its reply.
#include "demod/demod_register_access.h"

#include "bridge/bridge_channel.h"
#include "demod/demod_control.h"
#include "demod/demod_registers.h"

UCHAR DemodReadRegister(UCHAR registerNumber, UCHAR* value) {
    if (value == nullptr) return kDemodReadFailed;
    // The gateway takes the register number in the value byte and returns the data there; a
    // local byte keeps the caller's value untouched when the read fails.
    UCHAR data = registerNumber;
    if (!I2cRead(DemodDevice(), DemodAddressFor(registerNumber), &data, 1)) return kDemodReadFailed;
    *value = data;
    return kDemodOk;
}

bool DemodWriteRegister(UCHAR registerNumber, UCHAR value) {
    const UCHAR bytes[2] = {registerNumber, value};
    ULONG written = 0;
    return I2cWriteRegister(DemodDevice(), DemodAddressFor(registerNumber), bytes, 2, &written);
}
