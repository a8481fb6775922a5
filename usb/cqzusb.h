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
    // selects its configuration. Returns STATUS_INSUFFICIENT_RESOURCES when the descriptors
    // record or the staging buffer cannot be allocated (the object cannot work without them);
    // otherwise the descriptor chain's status, which does not stop the object from being used.
    // The object must be released with ReleaseBuffers in every case.
    NTSTATUS Construct(PKSDEVICE owningDevice);
    void ReleaseBuffers();

    NTSTATUS CallUSBD(PURB urb);
    NTSTATUS BulkWrite(const void* data, ULONG length, ULONG* bytesMoved);
    NTSTATUS BulkRead(void* buffer, ULONG length, ULONG* bytesMoved);
    NTSTATUS GetDeviceDescriptor();
    NTSTATUS GetConfigurationDescriptor();
    NTSTATUS SelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                 UCHAR alternateSetting);
    NTSTATUS ProbeFirmware();

    // Transport-stream reader.
    void StartReader();
    void StopReader();
    NTSTATUS SubmitIsoRead();
    NTSTATUS SubmitBulkRead();
    NTSTATUS ResubmitBulkRead(PURB urb, PIRP irp, PUCHAR buffer);
    void AbortStreamPipe();
    // Waits (passive level) until no stream read, no synchronous request and no interrupt read
    // is left.
    void WaitForIdle();
    // Returns once no completion is still handing data to an output pin it looked up before the
    // call: pin close calls it after clearing the DeviceContext's outputPin.
    void FlushStreamDelivery();

    // Interrupt reader. SubmitInterruptRead keeps at most one read pending; CancelInterruptRead
    // returns once no read is pending and none will be submitted until the next
    // SubmitInterruptRead. WaitForIdle ends with CancelInterruptRead.
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

    // Interrupt reader bookkeeping, so that a cancel loop never reaches a released packet:
    // interruptLock guards interruptIrp and the four words that follow it.
    KSPIN_LOCK interruptLock;
    // Cancel loops that hold the packet they are cancelling; while above 0, a completed packet is
    // parked on interruptRetired instead of being released.
    LONG interruptCancelers;
    // Completed packets waiting for the cancel loops to let go (linked through DriverContext[3]).
    PIRP interruptRetired;
    // 1 while a completion has decided to submit the next read and has not stored it yet.
    ULONG interruptResubmitting;
    // 1 from CancelInterruptRead until the next SubmitInterruptRead: completions do not resubmit.
    ULONG interruptStopping;

    // Transport-stream reader bookkeeping.
    // Serialises what stream completions share: the discard state, the staging buffer with the
    // gather-and-deliver step of isochronous reads, the ring put and frame take of bulk reads.
    KSPIN_LOCK streamLock;
    // Raised by every start of an isochronous stream; each read carries the value it was
    // submitted under, so reads of an earlier run that still drain are neither resubmitted nor
    // delivered.
    LONG streamRun;
};
