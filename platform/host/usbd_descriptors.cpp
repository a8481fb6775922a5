// The usbd library's configuration-descriptor calls, over a bounded descriptor walk.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/host/service_rules.h"
#include "platform/host/usbd_descriptor_walk.h"

namespace host::usbd {
namespace {

constexpr size_t kDescriptorHeaderBytes = 2;

const UCHAR* Bytes(const void* pointer) {
    return static_cast<const UCHAR*>(pointer);
}

// Steps through the descriptors of [begin, end), refusing any that is malformed.
class DescriptorCursor {
  public:
    DescriptorCursor(const UCHAR* begin, const UCHAR* end) : at_(begin), end_(end) {}

    // The descriptor under the cursor, or null when none is left or it is malformed.
    const UCHAR* Current() const {
        if (at_ >= end_ || static_cast<size_t>(end_ - at_) < kDescriptorHeaderBytes) return nullptr;
        const size_t length = at_[0];
        if (length < kDescriptorHeaderBytes || length > static_cast<size_t>(end_ - at_))
            return nullptr;
        return at_;
    }
    void Next() { at_ += at_[0]; }

  private:
    const UCHAR* at_;
    const UCHAR* end_;
};

bool IsInterfaceDescriptor(const UCHAR* descriptor) {
    return descriptor[1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
           descriptor[0] >= sizeof(USB_INTERFACE_DESCRIPTOR);
}

bool IsEndpointDescriptor(const UCHAR* descriptor) {
    return descriptor[1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
           descriptor[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR);
}

bool Matches(LONG wanted, UCHAR actual) {
    return wanted == -1 || wanted == actual;
}

bool Matches(const USB_INTERFACE_DESCRIPTOR* interface, const InterfaceCriteria& criteria) {
    return Matches(criteria.interfaceNumber, interface->bInterfaceNumber) &&
           Matches(criteria.alternateSetting, interface->bAlternateSetting) &&
           Matches(criteria.interfaceClass, interface->bInterfaceClass) &&
           Matches(criteria.interfaceSubClass, interface->bInterfaceSubClass) &&
           Matches(criteria.interfaceProtocol, interface->bInterfaceProtocol);
}

// Walks from the start of the configuration and returns a cursor positioned at `target`, or
// false when the walk never lands on it (a pointer into the middle of a descriptor or outside).
bool CursorAt(const USB_CONFIGURATION_DESCRIPTOR* configuration, const void* target,
              DescriptorCursor* cursor) {
    const size_t total = WalkableLength(configuration);
    if (total == 0) return false;
    const UCHAR* begin = Bytes(configuration);
    DescriptorCursor walk(begin, begin + total);
    for (const UCHAR* at = walk.Current(); at != nullptr; walk.Next(), at = walk.Current()) {
        if (at == target) {
            *cursor = walk;
            return true;
        }
    }
    return false;
}

}  // namespace

size_t WalkableLength(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
    if (configuration == nullptr) return 0;
    const size_t total = configuration->wTotalLength;
    return total < sizeof(USB_CONFIGURATION_DESCRIPTOR) ? 0 : total;
}

const USB_INTERFACE_DESCRIPTOR* FindInterface(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                              const void* start,
                                              const InterfaceCriteria& criteria) {
    const size_t total = WalkableLength(configuration);
    const UCHAR* begin = Bytes(configuration);
    const UCHAR* from = Bytes(start);
    if (total == 0 || from < begin || from >= begin + total) return nullptr;
    // The start need not sit on a descriptor boundary the walk reaches: callers pass positions
    // they found themselves, so the walk begins right there and stays bounded by wTotalLength.
    DescriptorCursor cursor(from, begin + total);
    for (const UCHAR* at = cursor.Current(); at != nullptr; cursor.Next(), at = cursor.Current()) {
        if (!IsInterfaceDescriptor(at)) continue;
        const auto* interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(at);
        if (Matches(interface, criteria)) return interface;
    }
    return nullptr;
}

bool IsInterfaceOf(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                   const USB_INTERFACE_DESCRIPTOR* interface) {
    DescriptorCursor cursor(nullptr, nullptr);
    return interface != nullptr && CursorAt(configuration, interface, &cursor) &&
           IsInterfaceDescriptor(Bytes(interface));
}

size_t CollectEndpoints(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                        const USB_INTERFACE_DESCRIPTOR* interface,
                        const USB_ENDPOINT_DESCRIPTOR** endpoints, size_t capacity) {
    DescriptorCursor cursor(nullptr, nullptr);
    if (!IsInterfaceOf(configuration, interface) || !CursorAt(configuration, interface, &cursor))
        return 0;
    const size_t wanted = interface->bNumEndpoints;
    size_t found = 0;
    cursor.Next();
    for (const UCHAR* at = cursor.Current(); at != nullptr && found < wanted && found < capacity;
         cursor.Next(), at = cursor.Current()) {
        if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (!IsEndpointDescriptor(at)) continue;  // class descriptors, truncated endpoints
        if (endpoints != nullptr)
            endpoints[found] = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(at);
        ++found;
    }
    return found;
}

size_t CountEndpoints(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                      const USB_INTERFACE_DESCRIPTOR* interface) {
    return CollectEndpoints(configuration, interface, nullptr, SIZE_MAX);
}

}  // namespace host::usbd

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol) {
    static const host::ServiceRule& rule = host::RuleOf("USBD_ParseConfigurationDescriptorEx");
    host::CheckServiceIrql(rule);
    const host::usbd::InterfaceCriteria criteria{interfaceNumber, alternateSetting, interfaceClass,
                                                 interfaceSubClass, interfaceProtocol};
    return const_cast<PUSB_INTERFACE_DESCRIPTOR>(
        host::usbd::FindInterface(configurationDescriptor, startPosition, criteria));
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
    static const host::ServiceRule& rule = host::RuleOf("USBD_CreateConfigurationRequestEx");
    host::CheckServiceIrql(rule);
    if (host::usbd::WalkableLength(configurationDescriptor) == 0 || interfaceList == nullptr)
        return nullptr;

    // Size the block: the fixed part of the request, then one interface information record per
    // list entry with room for the endpoints the interface really has.
    constexpr size_t kInterfaceHeaderBytes = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    size_t bytes = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    size_t slack = 0;
    size_t entries = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry, ++entries) {
        if (!host::usbd::IsInterfaceOf(configurationDescriptor, entry->InterfaceDescriptor))
            return nullptr;
        const size_t pipes =
            host::usbd::CountEndpoints(configurationDescriptor, entry->InterfaceDescriptor);
        bytes += kInterfaceHeaderBytes + pipes * sizeof(USBD_PIPE_INFORMATION);
        // Room behind the records for pipes an interface claims but does not have, so that a
        // caller who walks bNumEndpoints pipe records stays inside the block.
        const size_t claimed = entry->InterfaceDescriptor->bNumEndpoints;
        if (claimed > pipes)
            slack = std::max(slack, (claimed - pipes) * sizeof(USBD_PIPE_INFORMATION));
    }
    if (entries == 0) return nullptr;
    // The header of a request block counts its length in 16 bits.
    if (bytes > 0xFFFF) return nullptr;
    const size_t length = std::max(bytes, sizeof(_URB_SELECT_CONFIGURATION));
    bytes = std::max(bytes + slack, length);

    auto* urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, bytes, host::usbd::kUsbdPoolTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, bytes);

    urb->UrbHeader.Length = static_cast<USHORT>(length);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;

    // Default transfer size of a pipe until the caller says otherwise: one page.
    constexpr ULONG kDefaultMaximumTransferSize = 4096;
    auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        const PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        const size_t pipes = host::usbd::CountEndpoints(configurationDescriptor, descriptor);
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        information->Length =
            static_cast<USHORT>(kInterfaceHeaderBytes + pipes * sizeof(USBD_PIPE_INFORMATION));
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = static_cast<ULONG>(pipes);
        // Pipes[] is sized by the block, not by its declaration: index through a pointer.
        PUSBD_PIPE_INFORMATION pipe = information->Pipes;
        for (size_t i = 0; i < pipes; ++i)
            pipe[i].MaximumTransferSize = kDefaultMaximumTransferSize;
        entry->Interface = information;
        cursor += information->Length;
    }
    return urb;
}
