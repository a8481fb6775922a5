// Signal strength and quality from the status record or, unlocked, from the demodulator.
#include "bridge/signal_figures.h"

#include "bridge/bridge_channel.h"
#include "bridge/signal_status.h"
#include "demod/demod_control.h"

namespace {

constexpr UCHAR kRegisterLatch = 0x00;
constexpr UCHAR kRegisterStrengthLow = 0x3E;
constexpr UCHAR kRegisterStrengthHigh = 0x3F;

// Strength bands of the raw reading, tested in this order.
struct StrengthBand {
    USHORT lowest;
    USHORT highest;
    UCHAR base;
};
constexpr StrengthBand kStrengthBands[] = {
    {7936, 8191, 80},
    {88, 255, 70},
    {256, 384, 60},
    {385, 512, 50},
};
constexpr UCHAR kLockedOutsideBands = 69;
constexpr UCHAR kUnlockedBase = 15;

constexpr UCHAR kQualityUnlockedBase = 5;
constexpr UCHAR kQualityZeroBase = 30;
constexpr UCHAR kQualityTop = 30;

}  // namespace

UCHAR SignalStrengthFromRaw(USHORT raw, UCHAR low, bool locked) {
    for (const StrengthBand& band : kStrengthBands) {
        if (raw >= band.lowest && raw <= band.highest) return static_cast<UCHAR>(band.base + low);
    }
    return locked ? kLockedOutsideBands : static_cast<UCHAR>(kUnlockedBase + low);
}

UCHAR SignalQualityFromByte(UCHAR quality, bool locked) {
    const ULONG remainder = quality % 15u;
    const ULONG percent = quality * 100u / 255u;
    if (!locked) return static_cast<UCHAR>(kQualityUnlockedBase + remainder);
    if (percent == 0) return static_cast<UCHAR>(kQualityZeroBase + remainder);
    if (percent <= 40) return static_cast<UCHAR>(90 - percent);
    if (percent <= 89) return static_cast<UCHAR>(100 - percent * 3 / 4);
    return kQualityTop;
}

UCHAR GetSignalStrength(PKSDEVICE device) {
    const bool locked = GetLockFlag() != 0;
    USHORT raw = 0;
    UCHAR low = 0;
    if (locked) {
        UCHAR strengthLow = 0;
        UCHAR strengthHigh = 0;
        ConsumeStrengthBytes(&strengthLow, &strengthHigh);
        raw = static_cast<USHORT>(strengthHigh * 256 + strengthLow);
        low = strengthLow & 7;
    } else {
        // Register 0x00 is read twice before the strength pair. A failed read leaves its byte as
        // it was, and the figure is made of whatever the bytes hold.
        UCHAR a = 0;
        UCHAR b = 0;
        (void)DemodReadRegister(kRegisterLatch, &a);
        (void)DemodReadRegister(kRegisterLatch, &a);
        (void)DemodReadRegister(kRegisterStrengthLow, &a);
        (void)DemodReadRegister(kRegisterStrengthHigh, &b);
        (void)SendCommand06(device);
        // The high register is shifted by seven, so its bit 0 meets bit 7 of the low one.
        raw = static_cast<USHORT>((b << 7) | a);
        low = a & 7;
        ConsumeStrengthBytes(nullptr, nullptr);
    }
    return SignalStrengthFromRaw(raw, low, locked);
}

UCHAR GetSignalQuality(PKSDEVICE device) {
    const UCHAR quality = ConsumeStatusByte(kStatusQuality);
    const bool locked = GetLockFlag() != 0;
    if (!locked) (void)SendCommand06(device);
    return SignalQualityFromByte(quality, locked);
}
