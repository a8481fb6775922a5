// Soft reset of the demodulator: pulse bit 0 of register 0x02 low then high.
#include "demod/demod_control.h"
#include "demod/demod_register_access.h"
#include "demod/demod_registers.h"
#include "platform/delay.h"

UCHAR DemodSoftReset() {
    // The first reads wake the chip's register interface; their values mean nothing.
    for (ULONG i = 0; i < kSoftResetProbeReads; ++i) {
        UCHAR discarded = 0;
        (void)DemodReadRegister(demod_reg::kProbe, &discarded);
    }
    DelayMilliseconds(kSoftResetDelayMs);
    DelayMilliseconds(kSoftResetDelayMs);

    UCHAR value = 0;
    if (DemodReadRegister(demod_reg::kReset, &value) != kDemodOk) return kDemodReadFailed;
    const UCHAR low = value & static_cast<UCHAR>(~kResetBit);
    if (!DemodWriteRegister(demod_reg::kReset, low)) return kDemodWriteFailed;
    if (!DemodWriteRegister(demod_reg::kReset, low | kResetBit)) return kDemodWriteFailed;
    DelayMilliseconds(kSoftResetDelayMs);
    return kDemodOk;
}
