#pragma once
// The stick's USB transport: configuration, synchronous requests with a one-second time-out,
// bridge bulk transfers, and the state of the stream and interrupt readers.
#include "platform/ks.h"
#include "platform/usb.h"

struct DeviceContext;

// Device kinds, derived from the stick's vendor and product ids.
constexpr UCHAR kDeviceKindUnknown = 0;
constexpr UCHAR kDeviceKindKvs1122 = 1;
constexpr UCHAR kDeviceKindKvs = 2;
constexpr UCHAR kDeviceKind6688 = 3;

// Pipe positions in the selected interface.
constexpr ULONG kPipeCommandReply = 0;  // bulk IN 0x81
constexpr ULONG kPipeCommand = 1;       // bulk OUT 0x01
constexpr ULONG kPipeInterrupt = 6;     // interrupt IN

constexpr ULONG kStagingBufferBytes = 0x40000;

// The descriptors record: the device descriptor copy and the selected interface's information.
struct TransportDescriptors {
    PUSB_DEVICE_DESCRIPTOR deviceDescriptor;
    PUSBD_INTERFACE_INFORMATION interfaceInfo;
};

class CQZUSB {
public:
    // Construction on a zero-filled block: reads the descriptors, classifies the stick and
    // selects its configuration. The object is usable (and must be released) whatever the
    // chain reports.
    void Construct(PKSDEVICE owningDevice);
    void ReleaseBuffers();

    NTSTATUS CallUSBD(PURB urb);
    NTSTATUS BulkWrite(const void* data, ULONG length, ULONG* bytesMoved);
    NTSTATUS BulkRead(void* buffer, ULONG length, ULONG* bytesMoved);
    NTSTATUS GetDeviceDescriptor();
    NTSTATUS GetConfigurationDescriptor();
    NTSTATUS SelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration, UCHAR alternateSetting);
    NTSTATUS ProbeFirmware();

    // Transport-stream reader.
    void StartReader();
    void StopReader();
    NTSTATUS SubmitIsoRead();
    NTSTATUS SubmitBulkRead();
    NTSTATUS ResubmitBulkRead(PURB urb, PIRP irp, PUCHAR buffer);
    void AbortStreamPipe();
    void WaitForIdle();

    // Interrupt reader.
    NTSTATUS SubmitInterruptRead();
    void CancelInterruptRead();

    DeviceContext* Context() const;
    // The pipe at `position` of the selected interface, or null when the interface is unknown or
    // has fewer pipes.
    PUSBD_PIPE_INFORMATION Pipe(ULONG position) const;

    PKSDEVICE device;
    PDEVICE_OBJECT lowerDevice;
    ULONG streamActive;
    ULONG streamPipeType;
    ULONG streamPipeIndex;
    PUCHAR stagingBuffer;
    KMUTEX requestMutex;
    PIRP interruptIrp;
    LONG isoReadsOutstanding;
    LONG requestsInFlight;
    ULONG firmwareNeeded;
    TransportDescriptors* descriptors;
    KMUTEX ioMutex;
    ULONG discardPending;
    ULONG discardCount;
    LONG bulkReadsOutstanding;
};
