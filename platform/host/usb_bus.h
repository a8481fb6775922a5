#pragma once
// The USB bus below the driver: one physical device object per plugged device, request blocks
// in, completions out.
//
// A device model (the simulated stick, or a test double) stands behind each physical device
// object. Accepted requests are answered by a pool of worker threads, which call the model
// without any bus lock held and complete the packet at DISPATCH_LEVEL, so completion routines
// of different pipes run on several threads at once. Requests of one pipe are handed to the
// model strictly in submission order (one at a time), and the next one is served only after the
// previous one's completion routine has returned, so one pipe's completions arrive in order, as
// a host controller delivers an endpoint's transfers.
//
// A model may leave a request unanswered: parked until the pipe is woken (a read waiting for
// data; also retried on a short real-time poll) or parked until cancelled (a device that never
// answers). Parked requests block the requests behind them on the same pipe. A parked or queued
// request carries a cancel routine: IoCancelIrp completes it with STATUS_CANCELLED exactly once.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/host/device_node.h"
#include "platform/host/usb_request_rules.h"
#include "platform/usb.h"

namespace host {

// USB status codes the bus writes into request block headers (values of the Windows headers).
constexpr USBD_STATUS kUsbdStatusStallPid = static_cast<USBD_STATUS>(0xC0000004);
constexpr USBD_STATUS kUsbdStatusDeviceNotResponding = static_cast<USBD_STATUS>(0xC0000005);
constexpr USBD_STATUS kUsbdStatusIsochRequestFailed = static_cast<USBD_STATUS>(0xC0000B00);
constexpr USBD_STATUS kUsbdStatusDeviceGone = static_cast<USBD_STATUS>(0xC0007000);
constexpr USBD_STATUS kUsbdStatusCanceled = static_cast<USBD_STATUS>(0xC0010000);
constexpr USBD_STATUS kUsbdStatusInvalidUrbFunction = static_cast<USBD_STATUS>(0x80000200);
constexpr USBD_STATUS kUsbdStatusInvalidParameter = static_cast<USBD_STATUS>(0x80000300);
constexpr USBD_STATUS kUsbdStatusInvalidPipeHandle = static_cast<USBD_STATUS>(0x80000600);

// An endpoint as the bus knows it after select configuration. Address 0 is the default control
// pipe, which carries descriptor requests, select configuration and pipe aborts.
struct UsbEndpoint {
    UCHAR address = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    USHORT maximumPacketSize = 64;
    UCHAR interval = 0;

    bool IsIn() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

// One request as a device model sees it.
struct UsbRequest {
    PDEVICE_OBJECT device = nullptr;  // the physical device object it was sent to
    PIRP irp = nullptr;
    PURB urb = nullptr;
    USHORT function = 0;  // urb->UrbHeader.Function
    UsbEndpoint endpoint;
    uint32_t attempt = 0;  // 0 the first time the model sees it, then counts retries
    // Host clock ticks at which the request was submitted, and (transfers) at which the bus first
    // took it up: the start of its bus time (a request queued behind others starts when they are
    // done).
    LONGLONG submittedAt = 0;
    LONGLONG startedAt = 0;
    // Requests queued behind this one on its pipe when the model is asked: a host controller
    // serves them next, so the device's data has somewhere to go.
    size_t queuedBehind = 0;
};

// What the model does with a request.
struct UsbAnswer {
    enum class Kind {
        Complete,      // complete now with `status`, header Status `usbdStatus`
        WaitForWake,   // park: retried when the pipe is woken or on the bus's poll
        WaitForCancel  // park: never answered; only cancel, abort or unplug end it
    };
    Kind kind = Kind::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    // WaitForWake only: host clock ticks at which the request is offered again at the latest
    // (0: no set moment). On the virtual clock this is a bus event that timed waits bring due.
    LONGLONG readyAt = 0;

    static UsbAnswer Success() { return {}; }
    static UsbAnswer Failure(NTSTATUS status, USBD_STATUS usbdStatus) {
        return {Kind::Complete, status, usbdStatus};
    }
    static UsbAnswer WaitForWake() { return {Kind::WaitForWake, STATUS_PENDING, 0}; }
    // Park until the clock reaches `ticks` (or an earlier wake).
    static UsbAnswer WaitUntil(LONGLONG ticks) {
        return {Kind::WaitForWake, STATUS_PENDING, 0, ticks};
    }
    static UsbAnswer WaitForCancel() { return {Kind::WaitForCancel, STATUS_PENDING, 0}; }
};

class UsbBus;

// A USB device behind the bus. Handle is called from worker threads, never with a bus lock held,
// and never for two requests of the same pipe at once.
class UsbDeviceModel {
  public:
    virtual ~UsbDeviceModel() = default;
    // Descriptor requests, bulk, interrupt and isochronous transfers, select configuration, and
    // pipe resets (endpoint: the pipe reset; what was pending on it has been cancelled).
    // For transfers the model fills the buffer and sets TransferBufferLength (and the packets of
    // an isochronous block). For select configuration it only decides whether the configuration
    // is acceptable; on success the bus fills in the handles and pipe information.
    virtual UsbAnswer Handle(const UsbRequest& request) = 0;
    // Bus time of every transfer (host clock ticks): the model sees a transfer only once this
    // much time has passed since the bus took it up.
    virtual LONGLONG TransferLatency() const { return 0; }
    // The speed the device works at on its link (asked once, when it is plugged).
    virtual UsbSpeed LinkSpeed() const { return UsbSpeed::High; }
    // The model is now on the bus as `device` / has left it.
    virtual void Attached(UsbBus& /*bus*/, PDEVICE_OBJECT /*device*/) {}
    virtual void Detached(PDEVICE_OBJECT /*device*/) {}
};

// Sees every request block the bus accepts or refuses, in order, for wire captures.
struct UsbTrafficRecord {
    PDEVICE_OBJECT device = nullptr;
    PIRP irp = nullptr;
    const URB* urb = nullptr;
    USHORT function = 0;
    UCHAR deviceAddress = 0;
    UsbEndpoint endpoint;
    UCHAR configurationValue = 0;      // select configuration: the value selected (0 = none)
    NTSTATUS status = STATUS_PENDING;  // completion records only
};
class UsbTrafficObserver {
  public:
    virtual ~UsbTrafficObserver() = default;
    // Called in Dispatch before the request is queued (OUT data is in the buffer).
    virtual void RequestSubmitted(const UsbTrafficRecord& record) = 0;
    // Called right before the packet is completed (IN data and results are in the block).
    virtual void RequestCompleted(const UsbTrafficRecord& record) = 0;
};

// Room of packet `index` of an isochronous block: up to the next packet's offset (the end of the
// buffer for the last one), at most the endpoint's packet size. The bus has checked the offsets.
ULONG IsoPacketCapacity(const _URB_ISOCH_TRANSFER& transfer, ULONG index, USHORT maximumPacketSize);

// What inline completion did (UsbBus::SetInlineCompletion).
struct InlineCompletionRecord {
    uint64_t completions = 0;  // transfers completed inside the submitting call
    // The most inline completions nested in one another on one thread (1: none inside another),
    // and the deepest stack under the outermost submission of such a nest, in bytes.
    unsigned deepestNesting = 0;
    size_t deepestStackBytes = 0;
};

class UsbBus {
  public:
    using DeviceCallback = std::function<void(PDEVICE_OBJECT)>;

    explicit UsbBus(unsigned workerCount = 4);
    ~UsbBus();  // Shutdown()
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Plug-and-play notifications, run one at a time in order on the bus's own plug-and-play
    // thread (so a model may plug and unplug from inside a request). Set them before plugging.
    void SetArrivalCallback(DeviceCallback callback);
    void SetDepartureCallback(DeviceCallback callback);
    // Returns when every notification queued so far, and the arrival of every Plug under way,
    // has been delivered.
    void WaitForPnpIdle();
    // Returns once no request is being served or spends its bus time and no notification is
    // pending, twice in a row: a device leaves the bus (and comes back) right after a request has
    // been answered, so its notifications may be queued only once the workers are done.
    void WaitUntilQuiet();

    // Creates a physical device object (StackSize 1) for the model and announces its arrival.
    // The object stays valid until the bus is destroyed.
    PDEVICE_OBJECT Plug(std::shared_ptr<UsbDeviceModel> model);
    // The device leaves: everything pending completes with STATUS_DEVICE_NOT_CONNECTED, later
    // submissions fail at once with that status, and the departure is announced. Callable from
    // any thread, also from inside the model; a second call does nothing.
    void Unplug(PDEVICE_OBJECT device);
    bool IsConnected(PDEVICE_OBJECT device);
    // The model behind a physical device object (null for an unknown object).
    std::shared_ptr<UsbDeviceModel> ModelOf(PDEVICE_OBJECT device);

    // Retries the parked request of an endpoint now (e.g. when data for it arrives).
    void Wake(PDEVICE_OBJECT device, UCHAR endpointAddress);
    // Runs `action` once the request whose model call is running on this thread has been
    // completed; outside a model call it runs at once. Lets a device leave the bus right after
    // answering the request that told it to.
    void RunAfterCurrentRequest(std::function<void()> action);

    // The bus driver's answer to IsDeviceHighSpeed (USB_BUS_INTERFACE_USBDI_V1) for a device.
    bool IsDeviceHighSpeed(PDEVICE_OBJECT device);

    // Inline completion, as a lower filter driver may do it: a transfer on an idle pipe is shown
    // to the device at once on the submitting thread (without bus time), and if the device
    // answers it with success it is completed inside the submitting call, which then returns the
    // packet's status instead of STATUS_PENDING. Any other answer is served as usual.
    void SetInlineCompletion(bool enabled);
    InlineCompletionRecord InlineCompletions();

    // Real-time interval of the poll that retries requests waiting for a wake.
    void SetPollInterval(std::chrono::microseconds interval);
    // Observers see every request; RemoveObserver returns once no call to it is under way.
    void AddObserver(UsbTrafficObserver* observer);
    void RemoveObserver(UsbTrafficObserver* observer);

    // True while any request is queued, being handled or being completed, while a parked
    // request is being cancelled, and until what a model asked to run after a request has run
    // (parked requests as such do not count).
    bool WorkInProgress();
    // The earliest moment a parked request asked to be offered again at, if any.
    std::optional<LONGLONG> NextEventTime();
    // Offers again every parked request whose moment has come (clock at or beyond it).
    void WakeDue();
    // True while a transfer spends its bus time before the device sees it (it completes on its
    // own; parked requests that wait for the device do not count).
    bool TransfersInBusTime();
    // Requests accepted and not yet completed, on all devices.
    size_t OutstandingRequests();
    // Request blocks submitted to the bus so far, accepted or refused.
    uint64_t RequestsSubmitted() const { return submitted_.load(std::memory_order_relaxed); }

    // Serves one ready request on the calling thread as a worker would (the model's answer, the
    // completion at DISPATCH_LEVEL); returns whether there was one. For ServeOnWaitingThread
    // (clock.h): a thread that would otherwise block until a worker has served the request it
    // waits for serves it itself.
    bool ServeOneHere();

    // Unplugs every device, delivers the notifications and stops all threads.
    void Shutdown();

    // The node behind every physical device object of the bus.
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

    // The routines of the bus interface handed out through IRP_MN_QUERY_INTERFACE; the context
    // is the device's physical device object.
    static BOOLEAN InterfaceIsDeviceHighSpeed(PVOID busContext);
    static void InterfaceReference(PVOID busContext);
    static void InterfaceDereference(PVOID busContext);

  private:
    struct Device;
    struct Pipe;
    struct Request;
    struct PnpEvent {
        bool arrival;
        PDEVICE_OBJECT device;
    };
    struct Completion {
        Request* request;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
    };
    class Node;

    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

    NTSTATUS CompleteAtOnce(Device* device, PIRP irp, PURB urb, const UsbEndpoint& endpoint,
                            NTSTATUS status, USBD_STATUS usbdStatus);
    NTSTATUS QueryInterface(PDEVICE_OBJECT device, PIRP irp);
    // Inline completion: serves `request` on this thread if its pipe is idle. True when the
    // request was settled that way (`*status` is what the submitting call returns).
    bool TryServeInline(std::unique_ptr<Request>& request, NTSTATUS* status);
    void Finish(const Completion& completion);  // without the lock: observer, completion, free
    void Notify(bool completed, const UsbTrafficRecord& record);
    void WorkerLoop();
    void PollLoop();
    void KeepTimeLoop();
    void PnpLoop();
    bool TakeWork(std::unique_lock<std::mutex>& lock, Request** taken);
    void Process(Request* request);
    UsbAnswer HandleOnBus(Request* request);
    UsbAnswer SelectConfiguration(Request* request);
    void AbortPipe(Request* request);
    static UsbRequest ViewOf(Request* request);
    // `modelSaw`: the model looked at the request (a retry then counts as a new attempt).
    void Settle(Request* request, const UsbAnswer& answer, bool modelSaw = true);
    // All of these run with lock_ held.
    Device* FindDevice(PDEVICE_OBJECT device);
    void MakeReady(Pipe* pipe);
    Completion Detach(Request* request, NTSTATUS status, USBD_STATUS usbdStatus);
    void CollectCancellable(Pipe* pipe, NTSTATUS status, USBD_STATUS usbdStatus,
                            std::vector<Completion>* out);
    void QueuePnp(bool arrival, PDEVICE_OBJECT device);

    std::mutex lock_;
    std::condition_variable workAvailable_;
    std::condition_variable pollWake_;
    std::condition_variable keeperWake_;
    std::condition_variable pnpChanged_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::unordered_map<PIRP, Request*> requests_;
    std::deque<Pipe*> ready_;
    std::deque<PnpEvent> pnpEvents_;
    bool pnpBusy_ = false;
    size_t plugging_ = 0;  // Plug calls whose arrival is not queued yet
    DeviceCallback arrival_;
    DeviceCallback departure_;
    std::mutex observersLock_;  // held while observers are called; never together with lock_
    std::vector<UsbTrafficObserver*> observers_;
    std::chrono::microseconds pollInterval_{2000};
    size_t processing_ = 0;
    std::atomic<size_t> completing_{0};
    std::atomic<size_t> deferring_{0};  // requests whose after-actions have not run yet
    std::atomic<uint64_t> submitted_{0};
    uintptr_t nextHandle_ = 0x10000;
    UCHAR nextAddress_ = 1;
    bool stopping_ = false;
    bool stopped_ = false;
    std::atomic<bool> inline_{false};
    InlineCompletionRecord inlineRecord_;  // under lock_
    std::vector<std::thread> workers_;
    std::thread poller_;
    std::thread keeper_;
    std::thread pnpThread_;
};

}  // namespace host
