// Fixed register set-up of the demodulator before a lock search.
#include "demod/demod_control.h"
#include "demod/demod_register_access.h"
#include "demod/demod_registers.h"

UCHAR DemodSetMode07(UCHAR mode) {
    UCHAR value = 0;
    if (DemodReadRegister(demod_reg::kMode, &value) != kDemodOk) return kDemodSetupFailed;
    if (mode == 0) {
        value &= kMode07ClearMaskMode0;
    } else if (mode == 1) {
        value |= kMode07SetBitsMode1;
    }
    if (!DemodWriteRegister(demod_reg::kMode, value)) return kDemodWriteFailed;
    return kDemodOk;
}

UCHAR DemodLoadDefaults(UCHAR mode) {
    // Only modes 0 and 1 have register values; anything else is refused before touching the chip.
    if (mode > 1) return kDemodSetupFailed;
    UCHAR value = 0;
    if (DemodReadRegister(demod_reg::kMode, &value) != kDemodOk) return kDemodSetupFailed;
    value = mode == 0 ? static_cast<UCHAR>(value & kDefaultsMode07AndMode0)
                      : static_cast<UCHAR>(value | kDefaultsMode07OrMode1);
    if (!DemodWriteRegister(demod_reg::kMode, value)) return kDemodSetupFailed;
    for (const DemodDefault& entry : kDemodDefaults) {
        const UCHAR defaultValue = mode == 0 ? entry.valueMode0 : entry.valueMode1;
        if (!DemodWriteRegister(entry.registerNumber, defaultValue)) return kDemodSetupFailed;
    }
    return kDemodOk;
}

UCHAR DemodConfigure() {
    for (const DemodConfigStep& step : kDemodConfigSteps) {
        UCHAR value = 0;
        if (DemodReadRegister(step.registerNumber, &value) != kDemodOk) return kDemodSetupFailed;
        value = static_cast<UCHAR>((value & step.keepMask) | step.setBits);
        if (!DemodWriteRegister(step.registerNumber, value)) return kDemodSetupFailed;
    }
    return kDemodOk;
}
