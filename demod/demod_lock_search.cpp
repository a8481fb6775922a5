// Lock search: try the settings of the step table until the demodulator reports lock.
#include "demod/demod_control.h"
#include "demod/demod_register_access.h"
#include "demod/demod_registers.h"
#include "platform/delay.h"

namespace {

enum class AttemptResult { NotDetected, NotLocked, Locked };

// Writes the step's settings into registers 0x04 and 0x37; false when an access failed.
bool ApplyStep(const LockSearchStep& step) {
    UCHAR searchMode = 0;
    UCHAR searchOption = 0;
    if (DemodReadRegister(demod_reg::kSearchMode, &searchMode) != kDemodOk) return false;
    if (DemodReadRegister(demod_reg::kSearchOption, &searchOption) != kDemodOk) return false;
    searchMode = static_cast<UCHAR>((searchMode & ~kSearchModeMask) | step.searchModeBits);
    searchOption = step.searchOptionSet ? static_cast<UCHAR>(searchOption | kSearchOptionBit)
                                        : static_cast<UCHAR>(searchOption & ~kSearchOptionBit);
    return DemodWriteRegister(demod_reg::kSearchMode, searchMode) &&
           DemodWriteRegister(demod_reg::kSearchOption, searchOption);
}

// Polls a register until (value AND mask) == expected. A failed read keeps the value last read
// in this stage, which starts as 0: a value seen under earlier settings never counts.
bool PollRegister(UCHAR registerNumber, UCHAR mask, UCHAR expected, ULONG polls, LONG intervalMs) {
    UCHAR last = 0;
    for (ULONG i = 0; i < polls; ++i) {
        DelayMilliseconds(intervalMs);
        (void)DemodReadRegister(registerNumber, &last);
        if ((last & mask) == expected) return true;
    }
    return false;
}

AttemptResult RunAttempt() {
    if (!PollRegister(demod_reg::kDetect, kDetectBit, kDetectBit, kFirstStagePolls,
                      kFirstStageIntervalMs)) {
        return AttemptResult::NotDetected;
    }
    if (!PollRegister(demod_reg::kLockStatus, kLockStatusMask, kLockStatusLocked, kSecondStagePolls,
                      kSecondStageIntervalMs)) {
        return AttemptResult::NotLocked;
    }
    return AttemptResult::Locked;
}

bool FlipInversion() {
    UCHAR value = 0;
    if (DemodReadRegister(demod_reg::kInversion, &value) != kDemodOk) return false;
    return DemodWriteRegister(demod_reg::kInversion, static_cast<UCHAR>(value ^ kInversionBit));
}

}  // namespace

UCHAR DemodAcquireLock() {
    // The retry counter is not reset when a step is left after a first-stage time-out, so the
    // attempts a step gets depend on how the previous one ended.
    ULONG retries = 0;
    ULONG step = 0;
    while (step < kLockSearchStepCount) {
        const LockSearchStep& settings = kLockSearchSteps[step];
        if (!settings.tried) {
            ++step;
            continue;
        }
        if (!ApplyStep(settings)) return kDemodNoLock;
        (void)DemodSoftReset();

        switch (RunAttempt()) {
            case AttemptResult::NotDetected:
                ++step;
                break;
            case AttemptResult::NotLocked:
                if (!FlipInversion()) return kDemodNoLock;
                if (++retries == kAttemptsPerStep) {
                    retries = 0;
                    ++step;
                }
                break;
            case AttemptResult::Locked: {
                UCHAR lockValue = 0;
                if (DemodReadRegister(demod_reg::kLockValue, &lockValue) != kDemodOk) {
                    return kDemodNoLock;
                }
                if (!DemodWriteRegister(demod_reg::kLockCopy, lockValue)) {
                    ++step;
                    break;
                }
                (void)DemodSoftReset();
                return kDemodOk;
            }
        }
    }
    return kDemodNoLock;
}
