#pragma once
// The stick's USB transport: configuration, synchronous requests with a one-second time-out,
// bridge bulk transfers, and the state of the stream and interrupt readers.
//
// Lock order of the whole driver (a thread that holds a lock only ever waits for locks further
// down this list; completion routines take spin locks only):
//   1. device I/O mutex (CQZUSB::ioMutex): stream starts and stops, multi-step private sequences
//   2. tune lock (demod/demod_tune_lock.h), then tuner lock (tuner/tuner_module.h)
//   3. bridge exchange lock (CQZUSB::exchangeMutex): one command frame and its reply
//   4. request mutex (CQZUSB::requestMutex): one synchronous USB request
//   5. spin locks: channel binding (bridge/bridge_channel.cpp), interruptLock, streamLock,
//      keyQueueLock, the status record lock; never two of these at once
//   6. innermost, one at a time, taken alone or inside streamLock: the stream ring's lock
//      (usb/stream_ring.h) and the output pin's leading edge (a locked stream pointer)
#include "platform/ks.h"
#include "platform/usb.h"

struct DeviceContext;

// Device kinds, derived from the stick's vendor and product ids.
constexpr UCHAR kDeviceKindUnknown = 0;
constexpr UCHAR kDeviceKindKvs1122 = 1;
constexpr UCHAR kDeviceKindKvs = 2;
constexpr UCHAR kDeviceKind6688 = 3;

// The stick's link speed as the bus driver reports it (CQZUSB::linkSpeed).
constexpr ULONG kLinkSpeedUnknown = 0;
constexpr ULONG kLinkSpeedFull = 1;
constexpr ULONG kLinkSpeedHigh = 2;

// Pipe positions in the selected interface.
constexpr ULONG kPipeCommandReply = 0;  // bulk IN 0x81
constexpr ULONG kPipeCommand = 1;       // bulk OUT 0x01
constexpr ULONG kPipeInterrupt = 6;     // interrupt IN

// The descriptors record: the device descriptor copy and the selected interface's information.
struct TransportDescriptors {
    PUSB_DEVICE_DESCRIPTOR deviceDescriptor;
    PUSBD_INTERFACE_INFORMATION interfaceInfo;
};

class CQZUSB {
  public:
    // Initialises the mutexes and spin locks; Construct calls it first.
    void InitializeLocks();
    // Construction on a zero-filled block: reads the descriptors, classifies the stick and
    // selects its configuration. Returns STATUS_INSUFFICIENT_RESOURCES when the descriptors
    // record, the abort request or the request packet cannot be allocated (the object cannot
    // work without them; IsWhole tells); otherwise the descriptor chain's status, which does not
    // stop the object from being used. The object must be released with ReleaseBuffers in every
    // case.
    NTSTATUS Construct(PKSDEVICE owningDevice);
    bool IsWhole() const;
    void ReleaseBuffers();

    // Refused (STATUS_UNSUCCESSFUL) once deviceActive is 0; a request is counted in
    // requestsInFlight from before that check until it has let go of the request mutex. The
    // request goes in the transport's own packet (requestIrp), reused under the request mutex,
    // so that no synchronous request, a stream stop's pipe abort included, depends on memory.
    NTSTATUS CallUSBD(PURB urb);
    NTSTATUS BulkWrite(const void* data, ULONG length, ULONG* bytesMoved);
    NTSTATUS BulkRead(void* buffer, ULONG length, ULONG* bytesMoved);
    // Resets the reply pipe (the stick sees CLEAR_FEATURE(ENDPOINT_HALT) on its endpoint and
    // empties the endpoint's buffer): what it holds or still prepares is never read.
    NTSTATUS ResetReplyPipe();
    NTSTATUS GetDeviceDescriptor();
    NTSTATUS GetConfigurationDescriptor();
    NTSTATUS SelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                 UCHAR alternateSetting);
    NTSTATUS ProbeFirmware();
    // Asks the bus driver below for its interface and the stick's link speed (passive level).
    ULONG QueryLinkSpeed();

    // Transport-stream reader.
    void StartReader();
    void StopReader();
    NTSTATUS SubmitIsoRead();
    // A fresh isochronous read of stream run `run`: a completion that replaces its read passes
    // that read's run, so a read of a stopped run never turns into one of the next run.
    NTSTATUS SubmitIsoReadForRun(LONG run);
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
    // Submits a read again if the reader rests after failing reads (and is not stopped).
    void ResumeInterruptReader();
    // True while the reader rests after failing reads (a hint: it may change at once after).
    bool InterruptReaderResting();

    DeviceContext* Context() const;
    // The pipe at `position` of the selected interface, or null when the interface is unknown or
    // has fewer pipes.
    PUSBD_PIPE_INFORMATION Pipe(ULONG position) const;
    // The pipes of the driver's roles, or null when the interface has no such pipe or the pipe at
    // the role's position is not of the role's type and direction: a request the bus refuses for
    // its pipe must never be sent, least of all from a completion routine.
    PUSBD_PIPE_INFORMATION ReplyPipe() const;      // bulk IN
    PUSBD_PIPE_INFORMATION CommandPipe() const;    // bulk OUT
    PUSBD_PIPE_INFORMATION InterruptPipe() const;  // interrupt IN
    // The stream pipe at `position`: bulk or isochronous IN.
    PUSBD_PIPE_INFORMATION StreamPipeAt(ULONG position) const;

    PKSDEVICE device;
    PDEVICE_OBJECT lowerDevice;
    ULONG streamActive;
    ULONG streamPipeType;
    ULONG streamPipeIndex;
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
    // Serialises what stream completions share: the discard state, the gather-and-deliver step
    // of isochronous reads, the ring put and frame take of bulk reads.
    KSPIN_LOCK streamLock;
    // Raised by every start of an isochronous stream; each read carries the value it was
    // submitted under, so reads of an earlier run that still drain are neither resubmitted nor
    // delivered.
    LONG streamRun;
    // The pipe abort of a stream stop, allocated with the transport so that a stop never
    // waits for memory: its block here, its packet requestIrp (at the end of the object).
    PURB abortRequest;

    // Bridge command channel (bridge/bridge_channel.cpp).
    // One command frame and its reply at a time, whoever sends them; it also guards the
    // DeviceContext's count of replies owed by the stick.
    KMUTEX exchangeMutex;
    // Channel exchanges that hold this transport; it is not freed while any does.
    LONG channelUsers;

    // Interrupt reads that failed in a row (guarded by interruptLock); the reader rests once
    // there have been too many, until it is started again.
    ULONG interruptFailures;

    // The packet of every synchronous request, the stream stop's pipe abort among them,
    // allocated with the transport; used under requestMutex only.
    PIRP requestIrp;

    // The link speed learnt at construction (kLinkSpeed*): the bus takes at most 255
    // isochronous packets per request from a full-speed device.
    ULONG linkSpeed;
};
