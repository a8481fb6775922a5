// The transport's descriptor chain against a hostile stick: construction reads the device
// descriptor, classifies the stick, reads the configuration descriptor twice (its header, then
// wTotalLength + 16 bytes, where the second reply may claim another length), selects the
// configuration, probes the bridge firmware and picks the stream pipe. The input decides, request
// by request, whether the stick answers, with how many bytes and with which; the select result
// may carry a failed header status, fewer pipes than the interface has, a NumberOfPipes beyond
// its records or a shortened Length.
//
// Checked per input: the kind follows the ids that arrived; the firmware counts as running only
// for kind 3 or a "GGG" probe answer after a successful selection; a chosen stream pipe lies
// inside the stored interface copy; the interrupt reader and the bridge transfers, which index
// that copy, stay inside it; everything is back in the pool after ReleaseBuffers.
#include <cstdint>
#include <cstring>
#include <vector>

#include "bridge/firmware_download.h"
#include "platform/host/usbd_descriptor_walk.h"
#include "support/fake_stick.h"
#include "support/fuzz_input.h"
#include "support/kernel_checks.h"
#include "usb/device_classification.h"

namespace {

constexpr const char* kTarget = "configuration_chain";

using fuzz::Expect;

class Script {
  public:
    Script(const uint8_t* data, size_t size) : in_(data, size) {}

    void Run() {
        fuzz::FakeStick stick(kDeviceKindUnknown);
        stick.handler = [this](PURB urb) { return Answer(urb); };
        CQZUSB& transport = stick.Transport();
        stick_ = &stick;

        transport.Construct(stick.Device());
        CheckChain(transport);
        RunReaders(transport);
        transport.ReleaseBuffers();
    }

  private:
    NTSTATUS Answer(PURB urb) {
        switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
                return Descriptor(urb);
            case URB_FUNCTION_SELECT_CONFIGURATION:
                return Select(urb);
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                return Transfer(urb);
            default:
                fuzz::Fail(kTarget, "unexpected request block function");
        }
    }

    // Reads a reply from the input (a length, then that many bytes) and moves as much of it as
    // fits into `buffer`; returns the bytes moved.
    ULONG Reply(void* buffer, ULONG capacity, bool wide) {
        const size_t wanted = wide ? in_.U16() : in_.Byte();
        std::vector<UCHAR> bytes(wanted);
        bytes.resize(in_.Take(bytes.data(), bytes.size()));
        const size_t moved = std::min<size_t>(bytes.size(), capacity);
        if (moved != 0) std::memcpy(buffer, bytes.data(), moved);
        return static_cast<ULONG>(moved);
    }

    static NTSTATUS Failed(PURB urb) {
        urb->UrbHeader.Status = host::kUsbdStatusStallPid;
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS Descriptor(PURB urb) {
        auto& request = urb->UrbControlDescriptorRequest;
        const UCHAR fate = in_.Byte();
        if (fate % 8 == 0) return Failed(urb);
        const ULONG moved = Reply(request.TransferBuffer, request.TransferBufferLength,
                                  request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE);
        if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
            deviceReply_.assign(18, 0);
            std::memcpy(deviceReply_.data(), request.TransferBuffer, std::min<ULONG>(moved, 18));
            // Only a whole descriptor classifies the stick.
            deviceAnswered_ = moved >= 18;
        }
        if (request.DescriptorType == USB_STRING_DESCRIPTOR_TYPE) {
            const auto* reply = static_cast<const UCHAR*>(request.TransferBuffer);
            probeSaysRunning_ = moved >= 5 && reply[2] == 'G' && reply[3] == 'G' && reply[4] == 'G';
        }
        request.TransferBufferLength = moved;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }

    // What the bus does with a select-configuration block, then what a hostile input makes of it.
    NTSTATUS Select(PURB urb) {
        const UCHAR fate = in_.Byte();
        if (fate % 8 == 0) return Failed(urb);
        if (fate % 8 == 1) {
            // The packet succeeds, the request block says it failed.
            urb->UrbHeader.Status = host::kUsbdStatusInvalidParameter;
            return STATUS_SUCCESS;
        }
        auto& select = urb->UrbSelectConfiguration;
        PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
        PUSBD_INTERFACE_INFORMATION information = &select.Interface;
        const auto* interface = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, information->InterfaceNumber,
            information->AlternateSetting, -1, -1, -1);
        Expect(interface != nullptr, kTarget, "selected interface not in the configuration");
        const size_t capacity = information->NumberOfPipes;
        std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints(capacity);
        const size_t pipes =
            host::usbd::CollectEndpoints(configuration, interface, endpoints.data(), capacity);
        PUSBD_PIPE_INFORMATION pipe = information->Pipes;
        for (size_t i = 0; i < pipes; ++i) {
            pipe[i].EndpointAddress = endpoints[i]->bEndpointAddress;
            pipe[i].MaximumPacketSize = endpoints[i]->wMaxPacketSize;
            pipe[i].Interval = endpoints[i]->bInterval;
            pipe[i].PipeType = static_cast<USBD_PIPE_TYPE>(endpoints[i]->bmAttributes & 3);
            pipe[i].PipeHandle = fuzz::PipeHandleAt(i);
        }
        information->NumberOfPipes = static_cast<ULONG>(pipes);
        information->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x2000);
        select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x3000);

        // Hostile variations of the result: more pipes claimed than recorded, a shorter Length.
        if (fate & 0x10) information->NumberOfPipes += in_.Byte();
        if (fate & 0x20) information->Length = std::min<USHORT>(information->Length, in_.U16());
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        selected_ = true;
        return STATUS_SUCCESS;
    }

    NTSTATUS Transfer(PURB urb) {
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        const size_t position = fuzz::PipePositionOf(transfer.PipeHandle);
        PUSBD_PIPE_INFORMATION pipe = stick_->Transport().Pipe(static_cast<ULONG>(position));
        Expect(pipe != nullptr && pipe->PipeHandle == transfer.PipeHandle, kTarget,
               "transfer on a pipe the interface does not have");
        if (position == kPipeInterrupt) return STATUS_PENDING;
        const UCHAR fate = in_.Byte();
        if (fate % 8 == 0) return Failed(urb);
        if (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN)
            transfer.TransferBufferLength =
                Reply(transfer.TransferBuffer, transfer.TransferBufferLength, false);
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }

    void CheckChain(CQZUSB& transport) {
        const DeviceContext& context = stick_->Context();
        if (deviceAnswered_) {
            const DeviceClassification expected =
                ClassifyDevice(static_cast<USHORT>(deviceReply_[8] | deviceReply_[9] << 8),
                               static_cast<USHORT>(deviceReply_[10] | deviceReply_[11] << 8));
            Expect(context.deviceKind == expected.kind, kTarget, "kind does not follow the ids");
        } else {
            Expect(context.deviceKind == kDeviceKindUnknown, kTarget, "kind without a descriptor");
        }

        PUSBD_INTERFACE_INFORMATION stored =
            transport.descriptors != nullptr ? transport.descriptors->interfaceInfo : nullptr;
        Expect(stored == nullptr || selected_, kTarget, "interface stored without a selection");
        if (transport.firmwareNeeded == 0) {
            const bool running = context.deviceKind == kDeviceKind6688 ||
                                 ((context.deviceKind == kDeviceKindKvs1122 ||
                                   context.deviceKind == kDeviceKindKvs) &&
                                  probeSaysRunning_);
            Expect(stored != nullptr && running, kTarget,
                   "firmware taken as running without a selection and its answer");
        }
        if (transport.streamPipeType != 0) {
            Expect(transport.firmwareNeeded == 0, kTarget, "stream pipe chosen without firmware");
            PUSBD_PIPE_INFORMATION pipe = transport.Pipe(transport.streamPipeIndex);
            Expect(
                pipe != nullptr && static_cast<ULONG>(pipe->PipeType) == transport.streamPipeType,
                kTarget, "stream pipe outside the stored interface");
        }
        // Every pipe the transport hands out lies inside the stored copy.
        for (ULONG position = 0; position < 64; ++position) {
            PUSBD_PIPE_INFORMATION pipe = transport.Pipe(position);
            if (pipe == nullptr) continue;
            const auto* begin = reinterpret_cast<const UCHAR*>(stored);
            const auto* end = begin + stored->Length;
            Expect(reinterpret_cast<const UCHAR*>(pipe) >= begin &&
                       reinterpret_cast<const UCHAR*>(pipe + 1) <= end,
                   kTarget, "pipe outside the stored interface");
        }
    }

    void RunReaders(CQZUSB& transport) {
        // The bridge transfers and the interrupt reader index the stored interface.
        UCHAR reply[8] = {};
        ULONG moved = 0;
        const UCHAR frame[2] = {0x06, 0x00};
        if (NT_SUCCESS(transport.BulkWrite(frame, sizeof(frame), &moved)))
            Expect(moved <= sizeof(frame), kTarget, "write moved more than it had");
        if (NT_SUCCESS(transport.BulkRead(reply, sizeof(reply), &moved)))
            Expect(moved <= sizeof(reply), kTarget, "read moved more than it asked for");
        transport.SubmitInterruptRead();
        if (PIRP irp = stick_->TakeParked())
            fuzz::FakeStick::Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
        Expect(transport.interruptIrp == nullptr, kTarget, "interrupt read left behind");
    }

    fuzz::InputReader in_;
    fuzz::FakeStick* stick_ = nullptr;
    std::vector<UCHAR> deviceReply_;
    bool deviceAnswered_ = false;
    bool probeSaysRunning_ = false;
    bool selected_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::BeginInput();
    InitializeFirmwareDownload();
    Script(data, size).Run();
    fuzz::EndInput(kTarget);
    return 0;
}
