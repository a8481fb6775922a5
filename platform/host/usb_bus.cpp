// The USB bus emulation: request intake, per-pipe queues, worker threads, cancel, abort, unplug
// and plug-and-play notifications.
//
// Every accepted request is in exactly one place: the queue of its pipe (waiting, or parked as
// the pipe's head) or with a worker. While it waits or is parked it carries a cancel routine;
// whoever takes the routine back out of the packet (a worker, an abort, an unplug, or
// IoCancelIrp) is the only one allowed to complete it, which makes completion exactly-once.
#include "platform/host/usb_bus.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "platform/host/clock.h"
#include "platform/host/clock_internal.h"
#include "platform/host/irql.h"
#include "platform/host/service_rules.h"
#include "platform/host/usbd_descriptor_walk.h"

namespace host {
namespace {

constexpr SHORT kIoTypeDevice = 3;
constexpr int kAbortQueueKey = 0x100;  // pipe aborts queue apart from the control pipe
constexpr size_t kMaximumEndpoints = 32;

// The time-keeper of the virtual clock: how often it looks, and how far it moves the clock in
// one step. Small steps give a thread that has just submitted a request, and is about to wait
// for it with a time-out, the time to begin that wait before the clock has gone far.
constexpr auto kKeeperStep = std::chrono::microseconds(100);
constexpr LONGLONG kKeeperHorizon = 10 * 10000;  // 10 ms in 100 ns units
// Longest real pause of WaitUntilQuiet between two looks when no progress report comes.
constexpr auto kQuietPause = std::chrono::microseconds(200);

// Actions that a model asked to run after the request it is answering has been completed.
thread_local std::vector<std::function<void()>>* currentDeferredActions = nullptr;

// All live buses, for the clock's single progress probe.
struct BusRegistry {
    std::mutex lock;
    std::vector<UsbBus*> buses;
};
BusRegistry& Registry() {
    static BusRegistry* registry = new BusRegistry;
    return *registry;
}

bool AnyBusWorking() {
    std::lock_guard guard(Registry().lock);
    for (UsbBus* bus : Registry().buses)
        if (bus->WorkInProgress()) return true;
    return false;
}

// Brings the earliest parked request's moment of all buses due, if it is no later than `limit`.
bool BringBusEventDue(LONGLONG limit) {
    std::lock_guard guard(Registry().lock);
    std::optional<LONGLONG> earliest;
    for (UsbBus* bus : Registry().buses) {
        std::optional<LONGLONG> next = bus->NextEventTime();
        if (next && (!earliest || *next < *earliest)) earliest = next;
    }
    if (!earliest || *earliest > limit) return false;
    AdvanceVirtualTimeTo(*earliest);
    for (UsbBus* bus : Registry().buses) bus->WakeDue();
    return true;
}

// The virtual clock's time-keeper: threads that wait in real time (an application, a test) do not
// move the virtual clock, so bus time would never pass for them. When no bus works, and on two
// looks in a row, the clock moves towards the next bus event, never up to the deadline of a
// timed kernel wait (that waiter moves the clock itself, and times out first). Returns whether it
// moved the clock.
bool KeepVirtualTime(unsigned& idleLooks) {
    if (GetClockMode() != ClockMode::Virtual || AnyBusWorking()) {
        idleLooks = 0;
        return false;
    }
    if (++idleLooks < 2) return false;
    std::optional<LONGLONG> earliest;
    {
        std::lock_guard guard(Registry().lock);
        for (UsbBus* bus : Registry().buses) {
            std::optional<LONGLONG> next = bus->NextEventTime();
            if (next && (!earliest || *next < *earliest)) earliest = next;
        }
    }
    if (!earliest) return false;
    const LONGLONG target = std::min(*earliest, NowTicks() + kKeeperHorizon);
    const std::optional<LONGLONG> deadline = EarliestTimedWaitDeadline();
    if (deadline && target >= *deadline) return false;
    if (target == *earliest) return BringBusEventDue(target);
    AdvanceVirtualTimeTo(target);
    return true;
}

bool IsTransfer(USHORT function) {
    return function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
           function == URB_FUNCTION_ISOCH_TRANSFER ||
           function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
}

// Submissions under way on this thread, one inside another's call (a completion routine that
// submits from inside an inline completion).
thread_local unsigned submissionNesting = 0;

// Bytes of this thread's stack in use below its top.
size_t StackInUse() {
    thread_local const char* top = nullptr;
    if (top == nullptr) {
        pthread_attr_t attributes;
        void* low = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstack(&attributes, &low, &size);
            pthread_attr_destroy(&attributes);
        }
        top = static_cast<const char*>(low) + size;
    }
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    return top > here ? static_cast<size_t>(top - here) : 0;
}

// Pipe abort and reset requests are sent at PASSIVE_LEVEL only (service_rules.cpp).
void CheckRequestIrql(const URB* urb) {
    if (urb == nullptr) return;
    static const ServiceRule& abortRule = RuleOf("URB_FUNCTION_ABORT_PIPE");
    static const ServiceRule& resetRule = RuleOf("URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL");
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) CheckServiceIrql(abortRule);
    if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
        CheckServiceIrql(resetRule);
}

struct NestedSubmission {
    NestedSubmission() { ++submissionNesting; }
    ~NestedSubmission() { --submissionNesting; }
};

}  // namespace

ULONG IsoPacketCapacity(const _URB_ISOCH_TRANSFER& transfer, ULONG index,
                        USHORT maximumPacketSize) {
    const USBD_ISO_PACKET_DESCRIPTOR* packet = transfer.IsoPacket;
    const ULONG end = index + 1 < transfer.NumberOfPackets ? packet[index + 1].Offset
                                                           : transfer.TransferBufferLength;
    return std::min<ULONG>(end - packet[index].Offset, maximumPacketSize);
}

class UsbBus::Node : public DeviceNode {
  public:
    explicit Node(UsbBus* bus) : bus_(bus) {}
    NTSTATUS Dispatch(PIRP irp) override {
        return bus_->Dispatch(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    }
    UsbBus* Bus() const { return bus_; }

  private:
    UsbBus* bus_;
};

struct UsbBus::Pipe {
    enum class Wait { None, ForWake, ForCancel };
    Device* device = nullptr;
    UsbEndpoint endpoint;
    std::deque<Request*> queue;  // the head is the one the model sees next
    bool busy = false;           // a worker has the head
    bool completing = false;     // the answered head's completion routine is running
    bool inReady = false;
    Wait wait = Wait::None;
    LONGLONG readyAt = 0;  // while parked for a wake: the moment it is offered again (0: none)
    uint64_t abortGeneration = 0;
};

struct UsbBus::Device {
    DEVICE_OBJECT object{};
    std::unique_ptr<Node> node;
    std::shared_ptr<UsbDeviceModel> model;
    UCHAR address = 0;
    UsbSpeed speed = UsbSpeed::High;
    bool connected = true;
    std::map<int, std::unique_ptr<Pipe>> pipes;  // by endpoint address, plus the abort queue
    std::unordered_map<USBD_PIPE_HANDLE, Pipe*> handles;

    Pipe* PipeFor(int key) {
        std::unique_ptr<Pipe>& pipe = pipes[key];
        if (!pipe) {
            pipe = std::make_unique<Pipe>();
            pipe->device = this;
            pipe->endpoint.address = static_cast<UCHAR>(key & 0xFF);
        }
        return pipe.get();
    }
};

struct UsbBus::Request {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Device* device = nullptr;
    Pipe* pipe = nullptr;
    Pipe* abortTarget = nullptr;  // pipe aborts only
    UsbEndpoint endpoint;         // as it was when the request was accepted
    UCHAR configurationValue = 0;
    uint32_t attempt = 0;
    uint64_t abortGeneration = 0;  // of its pipe when a worker took it
    LONGLONG submittedAt = 0;
    LONGLONG startedAt = 0;  // transfers: when a worker first took it up (0: not yet)
    bool inBusTime = false;  // parked until its bus time has passed, the device has not seen it
};

UsbBus::UsbBus(unsigned workerCount) {
    workerCount = std::max(workerCount, 3u);
    for (unsigned i = 0; i < workerCount; ++i) workers_.emplace_back([this] { WorkerLoop(); });
    poller_ = std::thread([this] { PollLoop(); });
    keeper_ = std::thread([this] { KeepTimeLoop(); });
    pnpThread_ = std::thread([this] { PnpLoop(); });
    {
        std::lock_guard guard(Registry().lock);
        Registry().buses.push_back(this);
    }
    SetProgressProbe(AnyBusWorking);
    SetEventSource(BringBusEventDue);
}

UsbBus::~UsbBus() {
    Shutdown();
    std::lock_guard guard(Registry().lock);
    auto& buses = Registry().buses;
    buses.erase(std::remove(buses.begin(), buses.end(), this), buses.end());
}

void UsbBus::SetArrivalCallback(DeviceCallback callback) {
    std::lock_guard guard(lock_);
    arrival_ = std::move(callback);
}

void UsbBus::SetDepartureCallback(DeviceCallback callback) {
    std::lock_guard guard(lock_);
    departure_ = std::move(callback);
}

void UsbBus::SetPollInterval(std::chrono::microseconds interval) {
    std::lock_guard guard(lock_);
    pollInterval_ = std::max(interval, std::chrono::microseconds(100));
}

void UsbBus::AddObserver(UsbTrafficObserver* observer) {
    std::lock_guard guard(observersLock_);
    observers_.push_back(observer);
}

void UsbBus::RemoveObserver(UsbTrafficObserver* observer) {
    std::lock_guard guard(observersLock_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void UsbBus::Notify(bool completed, const UsbTrafficRecord& record) {
    std::lock_guard guard(observersLock_);
    for (UsbTrafficObserver* observer : observers_) {
        if (completed)
            observer->RequestCompleted(record);
        else
            observer->RequestSubmitted(record);
    }
}

void UsbBus::WaitUntilQuiet() {
    unsigned idleLooks = 0;
    for (int quiet = 0; quiet < 2;) {
        WaitForPnpIdle();
        const uint64_t seen = ProgressReports();
        if (WorkInProgress() || TransfersInBusTime()) {
            quiet = 0;
            if (!WaitersServeBus()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            // Waiters serve the bus: transfers in bus time end when the virtual clock reaches
            // them, and this thread keeps the clock as the time-keeper would, rather than
            // waiting for the keeper's looks. Otherwise it waits for the bus's next progress
            // report (a short real pause at most covers what reports nothing, such as the
            // plug-and-play thread). This thread is the one that waits, so one idle look is
            // enough.
            idleLooks = std::max(idleLooks, 1u);
            if (!KeepVirtualTime(idleLooks)) WaitForProgress(seen, kQuietPause);
        } else {
            ++quiet;
        }
    }
}

void UsbBus::WaitForPnpIdle() {
    if (std::this_thread::get_id() == pnpThread_.get_id()) return;  // inside a notification
    std::unique_lock lock(lock_);
    pnpChanged_.wait(lock, [this] { return pnpEvents_.empty() && !pnpBusy_ && plugging_ == 0; });
}

PDEVICE_OBJECT UsbBus::Plug(std::shared_ptr<UsbDeviceModel> model) {
    auto device = std::make_unique<Device>();
    device->node = std::make_unique<Node>(this);
    device->model = std::move(model);
    device->speed = device->model->LinkSpeed();
    device->object.Type = kIoTypeDevice;
    device->object.Size = sizeof(DEVICE_OBJECT);
    device->object.StackSize = 1;
    SetDeviceNode(&device->object, device->node.get());
    device->PipeFor(0);
    PDEVICE_OBJECT object = &device->object;
    std::shared_ptr<UsbDeviceModel> attached = device->model;
    {
        std::lock_guard guard(lock_);
        device->connected = !stopping_;  // too late to serve anything
        device->address = nextAddress_;
        nextAddress_ = static_cast<UCHAR>(nextAddress_ % 127 + 1);
        devices_.push_back(std::move(device));
        ++plugging_;  // WaitForPnpIdle waits for the arrival that is about to be queued
    }
    // The model learns its device object before anyone can send it a request.
    attached->Attached(*this, object);
    std::lock_guard guard(lock_);
    if (!stopping_) QueuePnp(true, object);
    --plugging_;
    pnpChanged_.notify_all();
    return object;
}

void UsbBus::Unplug(PDEVICE_OBJECT object) {
    std::vector<Completion> done;
    std::shared_ptr<UsbDeviceModel> model;
    {
        std::lock_guard guard(lock_);
        Device* device = FindDevice(object);
        if (device == nullptr || !device->connected) return;
        device->connected = false;
        for (auto& [key, pipe] : device->pipes)
            CollectCancellable(pipe.get(), STATUS_DEVICE_NOT_CONNECTED, kUsbdStatusDeviceGone,
                               &done);
        device->handles.clear();
        model = device->model;
        QueuePnp(false, object);
    }
    for (const Completion& completion : done) Finish(completion);
    model->Detached(object);
}

bool UsbBus::IsConnected(PDEVICE_OBJECT object) {
    std::lock_guard guard(lock_);
    Device* device = FindDevice(object);
    return device != nullptr && device->connected;
}

std::shared_ptr<UsbDeviceModel> UsbBus::ModelOf(PDEVICE_OBJECT object) {
    std::lock_guard guard(lock_);
    Device* device = FindDevice(object);
    return device != nullptr ? device->model : nullptr;
}

void UsbBus::Wake(PDEVICE_OBJECT object, UCHAR endpointAddress) {
    std::lock_guard guard(lock_);
    Device* device = FindDevice(object);
    if (device == nullptr) return;
    auto found = device->pipes.find(endpointAddress);
    if (found == device->pipes.end()) return;
    Pipe* pipe = found->second.get();
    if (pipe->wait != Pipe::Wait::ForWake) return;
    pipe->wait = Pipe::Wait::None;
    pipe->readyAt = 0;
    MakeReady(pipe);
}

void UsbBus::RunAfterCurrentRequest(std::function<void()> action) {
    if (currentDeferredActions != nullptr)
        currentDeferredActions->push_back(std::move(action));
    else
        action();
}

std::optional<LONGLONG> UsbBus::NextEventTime() {
    std::lock_guard guard(lock_);
    std::optional<LONGLONG> earliest;
    for (auto& device : devices_)
        for (auto& [key, pipe] : device->pipes)
            if (pipe->wait == Pipe::Wait::ForWake && pipe->readyAt != 0 &&
                (!earliest || pipe->readyAt < *earliest))
                earliest = pipe->readyAt;
    return earliest;
}

void UsbBus::WakeDue() {
    std::lock_guard guard(lock_);
    const LONGLONG now = NowTicks();
    for (auto& device : devices_) {
        for (auto& [key, pipe] : device->pipes) {
            if (pipe->wait != Pipe::Wait::ForWake || pipe->readyAt == 0 || pipe->readyAt > now)
                continue;
            pipe->wait = Pipe::Wait::None;
            pipe->readyAt = 0;
            MakeReady(pipe.get());
        }
    }
}

bool UsbBus::WorkInProgress() {
    // Everything is looked at under the lock, in one go: a request moves from one of these
    // states to the next inside one locked section, so a reader that looked at them one after
    // the other could miss a request that is in between.
    std::lock_guard guard(lock_);
    if (processing_ > 0 || !ready_.empty() || completing_.load() > 0 || deferring_.load() > 0)
        return true;
    // A pipe with requests that is not parked is being served, or its head is being cancelled
    // (a worker that finds the cancel routine gone drops the pipe until the cancel routine has
    // removed the head and readied the pipe again). A parked head being cancelled counts too:
    // the requests behind it are served once it is gone.
    for (auto& device : devices_) {
        for (auto& [key, pipe] : device->pipes) {
            if (pipe->queue.empty()) continue;
            if (pipe->wait == Pipe::Wait::None) return true;
            if (__atomic_load_n(&pipe->queue.front()->irp->CancelRoutine, __ATOMIC_SEQ_CST) ==
                nullptr)
                return true;
        }
    }
    return false;
}

bool UsbBus::TransfersInBusTime() {
    std::lock_guard guard(lock_);
    for (auto& device : devices_)
        for (auto& [key, pipe] : device->pipes)
            if (!pipe->queue.empty() && pipe->queue.front()->inBusTime) return true;
    return false;
}

size_t UsbBus::OutstandingRequests() {
    std::lock_guard guard(lock_);
    return requests_.size();
}

void UsbBus::Shutdown() {
    std::vector<PDEVICE_OBJECT> objects;
    {
        std::lock_guard guard(lock_);
        if (stopped_) return;
        for (auto& device : devices_) objects.push_back(&device->object);
    }
    for (PDEVICE_OBJECT object : objects) Unplug(object);
    WaitForPnpIdle();
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    workAvailable_.notify_all();
    pollWake_.notify_all();
    keeperWake_.notify_all();
    pnpChanged_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    poller_.join();
    keeper_.join();
    pnpThread_.join();
    // Nothing serves requests any more: a device that arrived meanwhile (a re-enumeration that
    // was under way) is disconnected too, so that later submissions fail at once.
    std::vector<Completion> done;
    {
        std::lock_guard guard(lock_);
        for (auto& device : devices_) {
            device->connected = false;
            for (auto& [key, pipe] : device->pipes)
                CollectCancellable(pipe.get(), STATUS_DEVICE_NOT_CONNECTED, kUsbdStatusDeviceGone,
                                   &done);
        }
        stopped_ = true;
    }
    for (const Completion& completion : done) Finish(completion);
}

// ---- Intake ---------------------------------------------------------------------------------

NTSTATUS UsbBus::Dispatch(PDEVICE_OBJECT object, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) return QueryInterface(object, irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        ScopedIrql dispatchLevel(DISPATCH_LEVEL);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    CheckRequestIrql(urb);
    submitted_.fetch_add(1, std::memory_order_relaxed);
    auto request = std::make_unique<Request>();
    request->irp = irp;
    request->urb = urb;
    request->submittedAt = NowTicks();
    NTSTATUS refusal = STATUS_SUCCESS;
    USBD_STATUS usbdRefusal = USBD_STATUS_SUCCESS;
    {
        std::lock_guard guard(lock_);
        Device* device = FindDevice(object);
        request->device = device;
        const USHORT function = urb != nullptr ? urb->UrbHeader.Function : 0xFFFF;
        auto pipeOfHandle = [device](USBD_PIPE_HANDLE handle) -> Pipe* {
            auto found = device->handles.find(handle);
            return found == device->handles.end() ? nullptr : found->second;
        };
        if (device == nullptr || !device->connected) {
            refusal = STATUS_DEVICE_NOT_CONNECTED;
            usbdRefusal = kUsbdStatusDeviceGone;
        } else if (urb == nullptr) {
            refusal = STATUS_INVALID_PARAMETER;
        } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            const auto& descriptor = urb->UrbControlDescriptorRequest;
            if (urb->UrbHeader.Length != FixedUrbLength(function) ||
                (descriptor.TransferBufferLength > 0 && descriptor.TransferBuffer == nullptr)) {
                refusal = STATUS_INVALID_PARAMETER;
                usbdRefusal = kUsbdStatusInvalidParameter;
            }
            request->pipe = device->PipeFor(0);
        } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
            const auto& select = urb->UrbSelectConfiguration;
            size_t minimum = offsetof(_URB_SELECT_CONFIGURATION, Interface);
            if (select.ConfigurationDescriptor != nullptr)
                minimum += offsetof(USBD_INTERFACE_INFORMATION, Pipes);
            if (urb->UrbHeader.Length < minimum) refusal = STATUS_INVALID_PARAMETER;
            if (select.ConfigurationDescriptor != nullptr &&
                usbd::WalkableLength(select.ConfigurationDescriptor) != 0)
                request->configurationValue = select.ConfigurationDescriptor->bConfigurationValue;
            request->pipe = device->PipeFor(0);
        } else if (function == URB_FUNCTION_ABORT_PIPE ||
                   function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
            const bool sized = urb->UrbHeader.Length == FixedUrbLength(function);
            request->abortTarget = sized ? pipeOfHandle(urb->UrbPipeRequest.PipeHandle) : nullptr;
            if (!sized) {
                refusal = STATUS_INVALID_PARAMETER;
                usbdRefusal = kUsbdStatusInvalidParameter;
            } else if (request->abortTarget == nullptr) {
                refusal = STATUS_INVALID_PARAMETER;
                usbdRefusal = kUsbdStatusInvalidPipeHandle;
            } else {
                request->endpoint = request->abortTarget->endpoint;
            }
            request->pipe = device->PipeFor(kAbortQueueKey);
        } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
                   function == URB_FUNCTION_ISOCH_TRANSFER) {
            const bool isochronous = function == URB_FUNCTION_ISOCH_TRANSFER;
            // A pipe handle is read only from a block long enough to hold one.
            Pipe* pipe = urb->UrbHeader.Length >= offsetof(_URB_ISOCH_TRANSFER, TransferFlags)
                             ? pipeOfHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle)
                             : nullptr;
            UsbRefusal refused;
            if (pipe != nullptr) {
                if (isochronous != (pipe->endpoint.type == UsbdPipeTypeIsochronous))
                    refused = {STATUS_INVALID_PARAMETER, kUsbdStatusInvalidParameter};
                else
                    refused = CheckTransfer(*urb, isochronous, pipe->endpoint.IsIn(),
                                            pipe->endpoint.interval, device->speed);
            }
            if (pipe == nullptr) {
                refusal = STATUS_INVALID_PARAMETER;
                usbdRefusal = kUsbdStatusInvalidPipeHandle;
            } else if (refused.Refused()) {
                refusal = refused.status;
                usbdRefusal = refused.usbdStatus;
            } else {
                request->pipe = pipe;
                request->endpoint = pipe->endpoint;
            }
        } else {
            refusal = STATUS_INVALID_PARAMETER;
            usbdRefusal = kUsbdStatusInvalidUrbFunction;
        }
    }
    if (refusal != STATUS_SUCCESS)
        return CompleteAtOnce(request->device, irp, urb, request->endpoint, refusal, usbdRefusal);

    UsbTrafficRecord record;
    record.device = object;
    record.irp = irp;
    record.urb = urb;
    record.function = urb->UrbHeader.Function;
    record.deviceAddress = request->device->address;
    record.endpoint = request->endpoint;
    record.configurationValue = request->configurationValue;
    Notify(false, record);

    NTSTATUS inlineStatus = STATUS_PENDING;
    const NestedSubmission nested;
    if (inline_.load() && IsTransfer(record.function) &&
        record.function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
        TryServeInline(request, &inlineStatus))
        return inlineStatus;

    std::vector<Completion> done;
    {
        std::lock_guard guard(lock_);
        if (!request->device->connected) {
            done.push_back({request.release(), STATUS_DEVICE_NOT_CONNECTED, kUsbdStatusDeviceGone});
            ++completing_;
        } else {
            IoMarkIrpPending(irp);
            Request* queued = request.release();
            requests_[irp] = queued;
            queued->pipe->queue.push_back(queued);
            IoSetCancelRoutine(irp, CancelRoutine);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
                IoSetCancelRoutine(irp, nullptr) != nullptr)
                done.push_back(Detach(queued, STATUS_CANCELLED, kUsbdStatusCanceled));
            MakeReady(queued->pipe);
        }
    }
    if (done.empty()) return STATUS_PENDING;
    // Cancelled before it could wait (the caller sees STATUS_PENDING, as the packet was marked
    // so), or the device left between intake and queueing (refused at once).
    const bool markedPending = done.front().status == STATUS_CANCELLED;
    const NTSTATUS status = done.front().status;
    Finish(done.front());
    return markedPending ? STATUS_PENDING : status;
}

// IRP_MN_QUERY_INTERFACE ("IRP_MN_QUERY_INTERFACE", PnP reference): the bus driver answers
// for USB_BUS_INTERFACE_USBDI_GUID when the caller's Size and Version cover the version it
// offers, filling the caller's structure; any other query completes with the packet's status
// untouched (a driver that does not handle a PnP request leaves IoStatus as it is; the sender
// set it to STATUS_NOT_SUPPORTED). Other PnP requests are not sent to this bus by the driver.
NTSTATUS UsbBus::QueryInterface(PDEVICE_OBJECT object, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
        const auto& query = stack->Parameters.QueryInterface;
        if (query.InterfaceType != nullptr &&
            IsEqualGUID(*query.InterfaceType, kUsbBusInterfaceUsbdiGuid) &&
            query.Version >= USB_BUSIF_USBDI_VERSION_1 &&
            query.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V1) && query.Interface != nullptr) {
            auto* bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(query.Interface);
            std::memset(bus, 0, sizeof *bus);
            bus->Size = sizeof *bus;
            bus->Version = USB_BUSIF_USBDI_VERSION_1;
            bus->BusContext = object;
            bus->InterfaceReference = &UsbBus::InterfaceReference;
            bus->InterfaceDereference = &UsbBus::InterfaceDereference;
            bus->IsDeviceHighSpeed = &UsbBus::InterfaceIsDeviceHighSpeed;
            // "the driver that exports the interface must call InterfaceReference before
            // returning it" (INTERFACE): references are not counted here.
            status = STATUS_SUCCESS;
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

BOOLEAN UsbBus::InterfaceIsDeviceHighSpeed(PVOID busContext) {
    auto object = static_cast<PDEVICE_OBJECT>(busContext);
    auto* node = object != nullptr ? static_cast<Node*>(DeviceNodeOf(object)) : nullptr;
    return node != nullptr && node->Bus()->IsDeviceHighSpeed(object) ? TRUE : FALSE;
}

void UsbBus::InterfaceReference(PVOID) {}
void UsbBus::InterfaceDereference(PVOID) {}

bool UsbBus::IsDeviceHighSpeed(PDEVICE_OBJECT object) {
    std::lock_guard guard(lock_);
    Device* device = FindDevice(object);
    return device != nullptr && device->speed == UsbSpeed::High;
}

void UsbBus::SetInlineCompletion(bool enabled) {
    inline_.store(enabled);
}

InlineCompletionRecord UsbBus::InlineCompletions() {
    std::lock_guard guard(lock_);
    return inlineRecord_;
}

bool UsbBus::TryServeInline(std::unique_ptr<Request>& owned, NTSTATUS* status) {
    Request* request = owned.get();
    PIRP irp = request->irp;
    Pipe* pipe = request->pipe;
    {
        std::lock_guard guard(lock_);
        // A request submitted from the completion routine of the pipe's previous one (the pipe is
        // completing, nothing waits behind) comes next in order and may be served too.
        if (!request->device->connected || pipe->busy || pipe->inReady ||
            pipe->wait != Pipe::Wait::None || !pipe->queue.empty() ||
            __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST))
            return false;
        // The pipe is this thread's while the device looks; requests behind it queue as usual.
        pipe->busy = true;
        request->abortGeneration = pipe->abortGeneration;
        ++processing_;
    }
    request->startedAt = NowTicks();
    std::vector<std::function<void()>> deferred;
    auto* outerDeferred = currentDeferredActions;
    currentDeferredActions = &deferred;
    const UsbAnswer answer = request->device->model->Handle(ViewOf(request));
    currentDeferredActions = outerDeferred;
    const bool success = answer.kind == UsbAnswer::Kind::Complete && NT_SUCCESS(answer.status) &&
                         USBD_SUCCESS(answer.usbdStatus);
    bool completeHere = false;
    bool wasCompleting = false;
    {
        std::lock_guard guard(lock_);
        if (success && request->device->connected &&
            request->abortGeneration == pipe->abortGeneration) {
            completeHere = true;
            --processing_;
            pipe->busy = false;
            wasCompleting = pipe->completing;
            pipe->completing = true;  // the pipe's next request waits for this completion
            ++completing_;            // Finish counts it down
            ++inlineRecord_.completions;
            inlineRecord_.deepestNesting =
                std::max(inlineRecord_.deepestNesting, submissionNesting);
            inlineRecord_.deepestStackBytes =
                std::max(inlineRecord_.deepestStackBytes, StackInUse());
        } else {
            // Served the usual way from here on, as the pipe's head.
            IoMarkIrpPending(irp);
            requests_[irp] = request;
            pipe->queue.push_front(request);
        }
    }
    owned.release();
    const bool deferring = !deferred.empty();
    if (deferring) ++deferring_;
    if (completeHere) {
        Finish({request, answer.status, answer.usbdStatus});
        std::lock_guard guard(lock_);
        pipe->completing = wasCompleting;  // an outer completion of the pipe still runs
        MakeReady(pipe);
    } else {
        Settle(request, answer);
    }
    for (auto& action : deferred) action();
    if (deferring) --deferring_;
    *status = completeHere ? answer.status : STATUS_PENDING;
    return true;
}

NTSTATUS UsbBus::CompleteAtOnce(Device* device, PIRP irp, PURB urb, const UsbEndpoint& endpoint,
                                NTSTATUS status, USBD_STATUS usbdStatus) {
    UsbTrafficRecord record;
    record.device = device != nullptr ? &device->object : nullptr;
    record.irp = irp;
    record.urb = urb;
    record.function = urb != nullptr ? urb->UrbHeader.Function : 0;
    record.deviceAddress = device != nullptr ? device->address : 0;
    record.endpoint = endpoint;
    if (urb != nullptr) {
        urb->UrbHeader.Status = usbdStatus;
        if (IsTransfer(record.function)) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Notify(false, record);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    record.status = status;
    if (urb != nullptr) Notify(true, record);
    ScopedIrql dispatchLevel(DISPATCH_LEVEL);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void UsbBus::Finish(const Completion& completion) {
    Request* request = completion.request;
    PIRP irp = request->irp;
    PURB urb = request->urb;
    const USHORT function = urb->UrbHeader.Function;
    urb->UrbHeader.Status = completion.usbdStatus;
    const bool ended =
        completion.status == STATUS_CANCELLED || completion.status == STATUS_DEVICE_NOT_CONNECTED;
    if (ended && IsTransfer(function)) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    irp->IoStatus.Status = completion.status;
    irp->IoStatus.Information = 0;
    {
        UsbTrafficRecord record;
        record.device = &request->device->object;
        record.irp = irp;
        record.urb = urb;
        record.function = function;
        record.deviceAddress = request->device->address;
        record.endpoint = request->endpoint;
        record.configurationValue = request->configurationValue;
        record.status = completion.status;
        Notify(true, record);
    }
    delete request;
    {
        ScopedIrql dispatchLevel(DISPATCH_LEVEL);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    --completing_;
    ReportBusProgress();  // the bus may be idle now
}

void UsbBus::CancelRoutine(PDEVICE_OBJECT object, PIRP irp) {
    if (object == nullptr) object = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    auto* node = static_cast<Node*>(DeviceNodeOf(object));
    UsbBus* bus = node->Bus();
    Completion completion{};
    {
        std::lock_guard guard(bus->lock_);
        auto found = bus->requests_.find(irp);
        if (found == bus->requests_.end())
            return;  // cannot happen: a routine is set only while held
        Pipe* pipe = found->second->pipe;
        completion = bus->Detach(found->second, STATUS_CANCELLED, kUsbdStatusCanceled);
        bus->MakeReady(pipe);
    }
    bus->Finish(completion);
}

// ---- Workers --------------------------------------------------------------------------------

void UsbBus::WorkerLoop() {
    std::unique_lock lock(lock_);
    for (;;) {
        Request* request = nullptr;
        if (TakeWork(lock, &request)) {
            lock.unlock();
            Process(request);
            lock.lock();
            continue;
        }
        if (stopping_) return;
        workAvailable_.wait(lock);
    }
}

bool UsbBus::ServeOneHere() {
    Request* request = nullptr;
    {
        std::unique_lock lock(lock_);
        if (stopping_ || !TakeWork(lock, &request)) return false;
    }
    Process(request);
    return true;
}

bool UsbBus::TakeWork(std::unique_lock<std::mutex>&, Request** taken) {
    while (!ready_.empty()) {
        Pipe* pipe = ready_.front();
        ready_.pop_front();
        pipe->inReady = false;
        if (pipe->busy || pipe->wait != Pipe::Wait::None || pipe->queue.empty()) continue;
        Request* request = pipe->queue.front();
        // Without the routine the packet is being cancelled; the cancel routine removes it and
        // readies the pipe again.
        if (IoSetCancelRoutine(request->irp, nullptr) == nullptr) continue;
        pipe->busy = true;
        request->abortGeneration = pipe->abortGeneration;
        ++processing_;
        *taken = request;
        return true;
    }
    return false;
}

UsbRequest UsbBus::ViewOf(Request* request) {
    UsbRequest view;
    view.device = &request->device->object;
    view.irp = request->irp;
    view.urb = request->urb;
    view.function = request->urb->UrbHeader.Function;
    view.endpoint = request->endpoint;
    view.attempt = request->attempt;
    view.submittedAt = request->submittedAt;
    view.startedAt = request->startedAt;
    return view;
}

void UsbBus::Process(Request* request) {
    std::vector<std::function<void()>> deferred;
    // A thread that serves the bus while it waits may be inside a model call already: its
    // after-actions stay with that call.
    std::vector<std::function<void()>>* const outer = currentDeferredActions;
    currentDeferredActions = &deferred;
    const USHORT function = request->urb->UrbHeader.Function;
    UsbAnswer answer;
    if (function == URB_FUNCTION_ABORT_PIPE) {
        AbortPipe(request);
    } else if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
        // A host controller resets a pipe with nothing pending on it; what is still pending is
        // cancelled first. The device then sees CLEAR_FEATURE(ENDPOINT_HALT) for the endpoint.
        AbortPipe(request);
        answer = request->device->model->Handle(ViewOf(request));
    } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        answer = SelectConfiguration(request);
    } else {
        // A transfer spends the device's bus time before the device answers it.
        if (request->startedAt == 0) request->startedAt = NowTicks();
        const LONGLONG due = request->startedAt + request->device->model->TransferLatency();
        request->inBusTime = due > NowTicks();
        if (request->inBusTime) {
            currentDeferredActions = outer;
            Settle(request, UsbAnswer::WaitUntil(due), false);
            return;
        }
        UsbRequest view = ViewOf(request);
        {
            std::lock_guard guard(lock_);
            if (request->pipe != nullptr && !request->pipe->queue.empty())
                view.queuedBehind = request->pipe->queue.size() - 1;
        }
        answer = request->device->model->Handle(view);
    }
    currentDeferredActions = outer;
    // What the model asked to run after this request (a device leaving the bus and coming back)
    // is work in progress until it has run: otherwise the bus would look idle between the
    // completion and the departure and arrival it leads to.
    const bool deferring = !deferred.empty();
    if (deferring) ++deferring_;
    Settle(request, answer);
    for (auto& action : deferred) action();
    if (deferring) {
        --deferring_;
        ReportBusProgress();
    }
}

void UsbBus::Settle(Request* request, const UsbAnswer& answer, bool modelSaw) {
    Completion completion{};
    bool complete = true;
    {
        std::lock_guard guard(lock_);
        Pipe* pipe = request->pipe;
        --processing_;
        pipe->busy = false;
        if (!request->device->connected) {
            completion = Detach(request, STATUS_DEVICE_NOT_CONNECTED, kUsbdStatusDeviceGone);
        } else if (answer.kind == UsbAnswer::Kind::Complete) {
            completion = Detach(request, answer.status, answer.usbdStatus);
        } else if (request->abortGeneration != pipe->abortGeneration) {
            // The pipe was aborted while the model looked at this request.
            completion = Detach(request, STATUS_CANCELLED, kUsbdStatusCanceled);
        } else {
            pipe->wait = answer.kind == UsbAnswer::Kind::WaitForWake ? Pipe::Wait::ForWake
                                                                     : Pipe::Wait::ForCancel;
            pipe->readyAt = answer.kind == UsbAnswer::Kind::WaitForWake ? answer.readyAt : 0;
            if (modelSaw) ++request->attempt;
            if (pipe->readyAt != 0) keeperWake_.notify_one();
            complete = false;
            IoSetCancelRoutine(request->irp, CancelRoutine);
            if (__atomic_load_n(&request->irp->Cancel, __ATOMIC_SEQ_CST) &&
                IoSetCancelRoutine(request->irp, nullptr) != nullptr) {
                completion = Detach(request, STATUS_CANCELLED, kUsbdStatusCanceled);
                complete = true;
            }
            if (pipe->wait == Pipe::Wait::ForWake) pollWake_.notify_one();  // start the poll
        }
        // The next request of the pipe waits until this one's completion routine has run, so
        // that completions of one pipe run in order, as a host controller delivers them.
        if (complete) pipe->completing = true;
        MakeReady(pipe);
    }
    if (!complete) {
        ReportBusProgress();  // parked: the bus may be idle now, or have a moment to bring due
        return;
    }
    Pipe* pipe = request->pipe;  // Finish deletes the request
    // Count as work in progress until the pipe's next request is ready again, so that a timed
    // wait for that request cannot see an idle bus in between.
    ++completing_;
    Finish(completion);
    {
        std::lock_guard guard(lock_);
        pipe->completing = false;
        MakeReady(pipe);
    }
    --completing_;
    ReportBusProgress();
}

UsbAnswer UsbBus::SelectConfiguration(Request* request) {
    PURB urb = request->urb;
    _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    const PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;

    // Work out each interface's endpoints before asking the model, so that a block the bus
    // cannot fill fails without the device seeing it.
    struct InterfaceFill {
        PUSBD_INTERFACE_INFORMATION information;
        const USB_INTERFACE_DESCRIPTOR* descriptor;
        size_t count;
        const USB_ENDPOINT_DESCRIPTOR* endpoints[kMaximumEndpoints];
    };
    std::vector<InterfaceFill> fills;
    if (configuration != nullptr) {
        if (usbd::WalkableLength(configuration) == 0)
            return UsbAnswer::Failure(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidParameter);
        constexpr size_t kHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        auto* cursor = reinterpret_cast<UCHAR*>(&select.Interface);
        const UCHAR* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
        while (static_cast<size_t>(end - cursor) >= kHeader) {
            auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
            if (information->Length == 0) break;  // padding after the last entry
            if (information->Length < kHeader || information->Length > end - cursor)
                return UsbAnswer::Failure(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidParameter);
            InterfaceFill fill{};
            fill.information = information;
            usbd::InterfaceCriteria criteria;
            criteria.interfaceNumber = information->InterfaceNumber;
            criteria.alternateSetting = information->AlternateSetting;
            fill.descriptor = usbd::FindInterface(configuration, configuration, criteria);
            if (fill.descriptor == nullptr)
                return UsbAnswer::Failure(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidParameter);
            fill.count = usbd::CollectEndpoints(configuration, fill.descriptor, fill.endpoints,
                                                kMaximumEndpoints);
            if (information->Length < kHeader + fill.count * sizeof(USBD_PIPE_INFORMATION))
                return UsbAnswer::Failure(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidParameter);
            fills.push_back(fill);
            cursor += information->Length;
        }
        if (fills.empty())
            return UsbAnswer::Failure(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidParameter);
    }

    UsbRequest view;
    view.device = &request->device->object;
    view.irp = request->irp;
    view.urb = urb;
    view.function = URB_FUNCTION_SELECT_CONFIGURATION;
    view.attempt = request->attempt;
    const UsbAnswer answer = request->device->model->Handle(view);
    if (answer.kind != UsbAnswer::Kind::Complete || !NT_SUCCESS(answer.status) ||
        !USBD_SUCCESS(answer.usbdStatus))
        return answer;

    std::lock_guard guard(lock_);
    Device* device = request->device;
    device->handles.clear();
    if (configuration == nullptr) return answer;
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(nextHandle_ += 0x10);
    for (InterfaceFill& fill : fills) {
        PUSBD_INTERFACE_INFORMATION information = fill.information;
        information->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(nextHandle_ += 0x10);
        information->Class = fill.descriptor->bInterfaceClass;
        information->SubClass = fill.descriptor->bInterfaceSubClass;
        information->Protocol = fill.descriptor->bInterfaceProtocol;
        information->NumberOfPipes = static_cast<ULONG>(fill.count);
        PUSBD_PIPE_INFORMATION pipes = information->Pipes;
        for (size_t i = 0; i < fill.count; ++i) {
            const USB_ENDPOINT_DESCRIPTOR* descriptor = fill.endpoints[i];
            Pipe* pipe = device->PipeFor(descriptor->bEndpointAddress);
            pipe->endpoint.address = descriptor->bEndpointAddress;
            pipe->endpoint.type = static_cast<USBD_PIPE_TYPE>(descriptor->bmAttributes & 0x03);
            pipe->endpoint.maximumPacketSize = descriptor->wMaxPacketSize & 0x07FF;
            pipe->endpoint.interval = descriptor->bInterval;
            const auto handle = reinterpret_cast<USBD_PIPE_HANDLE>(nextHandle_ += 0x10);
            device->handles[handle] = pipe;
            pipes[i].PipeHandle = handle;
            pipes[i].PipeType = pipe->endpoint.type;
            pipes[i].MaximumPacketSize = pipe->endpoint.maximumPacketSize;
            pipes[i].EndpointAddress = pipe->endpoint.address;
            pipes[i].Interval = pipe->endpoint.interval;
        }
    }
    return answer;
}

void UsbBus::AbortPipe(Request* request) {
    std::vector<Completion> done;
    {
        std::lock_guard guard(lock_);
        Pipe* target = request->abortTarget;
        ++target->abortGeneration;
        CollectCancellable(target, STATUS_CANCELLED, kUsbdStatusCanceled, &done);
    }
    for (const Completion& completion : done) Finish(completion);
}

// ---- Polling and plug-and-play --------------------------------------------------------------

void UsbBus::PollLoop() {
    std::unique_lock lock(lock_);
    auto anyWaiting = [this] {
        for (auto& device : devices_)
            for (auto& [key, pipe] : device->pipes)
                if (pipe->wait == Pipe::Wait::ForWake) return true;
        return false;
    };
    while (!stopping_) {
        if (!anyWaiting()) {
            pollWake_.wait(lock);
            continue;
        }
        // A full interval between retries, whatever else happens meanwhile.
        const auto due = std::chrono::steady_clock::now() + pollInterval_;
        pollWake_.wait_until(lock, due, [this] { return stopping_; });
        for (auto& device : devices_) {
            for (auto& [key, pipe] : device->pipes) {
                if (pipe->wait != Pipe::Wait::ForWake) continue;
                pipe->wait = Pipe::Wait::None;
                pipe->readyAt = 0;
                MakeReady(pipe.get());
            }
        }
    }
}

void UsbBus::KeepTimeLoop() {
    std::unique_lock lock(lock_);
    auto anyTimed = [this] {
        for (auto& device : devices_)
            for (auto& [key, pipe] : device->pipes)
                if (pipe->wait == Pipe::Wait::ForWake && pipe->readyAt != 0) return true;
        return false;
    };
    unsigned idleLooks = 0;
    while (!stopping_) {
        if (GetClockMode() != ClockMode::Virtual || !anyTimed()) {
            idleLooks = 0;
            // The clock mode changes without a notification: look again now and then.
            keeperWake_.wait_for(lock, std::chrono::milliseconds(10));
            continue;
        }
        keeperWake_.wait_for(lock, kKeeperStep, [this] { return stopping_; });
        if (stopping_) return;
        lock.unlock();
        KeepVirtualTime(idleLooks);
        lock.lock();
    }
}

void UsbBus::PnpLoop() {
    std::unique_lock lock(lock_);
    for (;;) {
        if (pnpEvents_.empty()) {
            if (stopping_) return;
            pnpChanged_.wait(lock);
            continue;
        }
        const PnpEvent event = pnpEvents_.front();
        pnpEvents_.pop_front();
        pnpBusy_ = true;
        DeviceCallback callback = event.arrival ? arrival_ : departure_;
        lock.unlock();
        if (callback) callback(event.device);
        lock.lock();
        pnpBusy_ = false;
        pnpChanged_.notify_all();
    }
}

// ---- Bookkeeping under lock_ ----------------------------------------------------------------

UsbBus::Device* UsbBus::FindDevice(PDEVICE_OBJECT object) {
    for (auto& device : devices_)
        if (&device->object == object) return device.get();
    return nullptr;
}

void UsbBus::MakeReady(Pipe* pipe) {
    if (pipe->inReady || pipe->busy || pipe->completing || pipe->wait != Pipe::Wait::None ||
        pipe->queue.empty())
        return;
    pipe->inReady = true;
    ready_.push_back(pipe);
    workAvailable_.notify_one();
}

UsbBus::Completion UsbBus::Detach(Request* request, NTSTATUS status, USBD_STATUS usbdStatus) {
    Pipe* pipe = request->pipe;
    auto& queue = pipe->queue;
    if (!queue.empty() && queue.front() == request) pipe->wait = Pipe::Wait::None;
    queue.erase(std::remove(queue.begin(), queue.end(), request), queue.end());
    requests_.erase(request->irp);
    ++completing_;  // counted until the completion routine has run
    return {request, status, usbdStatus};
}

void UsbBus::CollectCancellable(Pipe* pipe, NTSTATUS status, USBD_STATUS usbdStatus,
                                std::vector<Completion>* out) {
    const std::deque<Request*> held = pipe->queue;
    for (size_t i = 0; i < held.size(); ++i) {
        if (i == 0 && pipe->busy) continue;  // with a worker: settled when the model answers
        if (IoSetCancelRoutine(held[i]->irp, nullptr) == nullptr) continue;  // being cancelled
        out->push_back(Detach(held[i], status, usbdStatus));
    }
    MakeReady(pipe);
}

void UsbBus::QueuePnp(bool arrival, PDEVICE_OBJECT device) {
    pnpEvents_.push_back({arrival, device});
    pnpChanged_.notify_all();
}

}  // namespace host
