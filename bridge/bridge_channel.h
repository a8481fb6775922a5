#pragma once
// The bridge command channel: command frames on bulk OUT 0x01, one reply read on bulk IN 0x81
// per frame, and the driver-wide references to the one stick's device.
#include "platform/ks.h"

struct DeviceContext;
class CQZUSB;

constexpr UCHAR kBridgeEndpointOut = 0x01;
constexpr UCHAR kBridgeEndpointIn = 0x81;

// Clears the current-device references; DriverEntry calls it so that every load starts clean.
void InitializeBridgeChannel();

// Current-device references, driver-wide and read and written atomically. Only the channel's
// selects the transport.
bool BindChipDevices(PKSDEVICE device);
void SetChannelDevice(PKSDEVICE device);
void SetDemodDevice(PKSDEVICE device);
void SetTunerDevice(PKSDEVICE device);
// Clears whichever references still name `device`; removal calls it so that no reference
// outlives the device object it names.
void UnbindChipDevices(PKSDEVICE device);
PKSDEVICE ChannelDevice();
PKSDEVICE DemodDevice();
PKSDEVICE TunerDevice();

// The transport a stick's DeviceContext names, as the channel reaches it. Publish makes a built
// transport reachable; Withdraw makes it unreachable and returns it once no exchange holds it any
// more, so that it can be released (null when there was none).
void PublishTransport(DeviceContext* context, CQZUSB* transport);
CQZUSB* WithdrawTransport(DeviceContext* context);

// One command frame and its reply read as one exchange: nothing else of the channel comes between
// them, whichever thread sends it. Replies the stick still owes for earlier frames (their reads
// were lost) are read off first, so the reply read is this frame's answer. On the wire, a channel
// in step sends exactly the frame and one reply read of `replyLength` bytes.
enum class BridgeExchangeResult {
    NotSent,    // no channel device, the write failed or moved less than the frame, or an owed
                // reply could not be read off
    ReplyLost,  // the frame went out; its reply read failed (the reply is owed from now on)
    Answered,   // the reply read succeeded with `received` bytes, possibly none
};
BridgeExchangeResult BridgeExchange(const UCHAR* frame, ULONG length, UCHAR* reply,
                                    ULONG replyLength, ULONG* received);

// Transfer primitives, one transfer each; the device and endpoint arguments are ignored. 0 means
// failure: no channel device, or the transfer failed or (a write) moved less than the frame
// (reported on the debug output). A frame and its reply belong together: senders use
// BridgeExchange.
ULONG BridgeWrite(PKSDEVICE device, UCHAR endpoint, const UCHAR* frame, ULONG length);
ULONG BridgeRead(PKSDEVICE device, UCHAR endpoint, UCHAR* buffer, ULONG length);

bool BridgeCommand(const UCHAR* frame, ULONG length);
bool SendCommand06(PKSDEVICE device);
bool StartFirmware();
bool LoadPidTable(PKSDEVICE device, const UCHAR* pids, ULONG count, ULONG mode);

// I2C gateway. I2cWrite and I2cPassWrite answer 1 (acknowledged), 0xFF (reply lost) or 0 (write
// failed or arguments beyond the frame: at most 125 bytes after the address for I2cWrite, 60 data
// bytes for I2cPassWrite, 63 bytes read by I2cRead and I2cPassRead; nothing is sent then).
UCHAR I2cWrite(PKSDEVICE device, UCHAR address, const UCHAR* bytes, ULONG count, ULONG* written);
bool I2cWriteRegister(PKSDEVICE device, UCHAR address, const UCHAR* bytes, ULONG count,
                      ULONG* written);
bool I2cRead(PKSDEVICE device, UCHAR address, UCHAR* value, ULONG count);
UCHAR I2cPassWrite(PKSDEVICE device, UCHAR address, UCHAR registerNumber, ULONG count,
                   const UCHAR* data);
bool I2cPassRead(PKSDEVICE device, UCHAR address, UCHAR registerNumber, ULONG count, UCHAR* out);
