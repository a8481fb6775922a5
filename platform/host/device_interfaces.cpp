// Device-interface registration: link names handed out as pool-allocated counted strings, and a
// record of every registration and state change.
#include "platform/host/device_interfaces.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/host/kernel_errors.h"
#include "platform/host/pool_accounting.h"
#include "platform/host/service_rules.h"

namespace host {
namespace {

constexpr NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);

struct Registry {
    std::mutex lock;
    std::vector<DeviceInterface> interfaces;
    std::vector<DeviceInterfaceEvent> history;
    std::map<PDEVICE_OBJECT, size_t> deviceNumbers;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed
    return *registry;
}

std::string Utf16ToUtf8(const WCHAR* text, size_t length) {
    std::string result;
    for (size_t i = 0; i < length; ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

std::string FromUnicodeString(const UNICODE_STRING* string) {
    if (string == nullptr || string->Buffer == nullptr) return {};
    return Utf16ToUtf8(string->Buffer, string->Length / sizeof(WCHAR));
}

// "\??\HOST#DEVICE#<n>#{guid}[\reference]", as the kernel builds a link from the device
// instance, the class and the reference string.
std::string MakeLinkName(size_t deviceNumber, const GUID& guid, const std::string& reference) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "\\??\\HOST#DEVICE#%zu#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  deviceNumber, guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                  guid.Data4[7]);
    std::string name = text;
    if (!reference.empty()) name += "\\" + reference;
    return name;
}

// Numbers physical devices in the order they first register an interface.
size_t DeviceNumber(Registry& registry, PDEVICE_OBJECT device) {
    auto [entry, added] =
        registry.deviceNumbers.try_emplace(device, registry.deviceNumbers.size() + 1);
    return entry->second;
}

}  // namespace

std::vector<DeviceInterface> DeviceInterfaces(PDEVICE_OBJECT physicalDeviceObject) {
    std::lock_guard guard(TheRegistry().lock);
    std::vector<DeviceInterface> result;
    for (const DeviceInterface& entry : TheRegistry().interfaces)
        if (physicalDeviceObject == nullptr || entry.physicalDeviceObject == physicalDeviceObject)
            result.push_back(entry);
    return result;
}

std::vector<DeviceInterfaceEvent> DeviceInterfaceHistory(PDEVICE_OBJECT physicalDeviceObject) {
    std::lock_guard guard(TheRegistry().lock);
    std::vector<DeviceInterfaceEvent> result;
    for (const DeviceInterfaceEvent& event : TheRegistry().history)
        if (physicalDeviceObject == nullptr || event.physicalDeviceObject == physicalDeviceObject)
            result.push_back(event);
    return result;
}

void ClearDeviceInterfaces() {
    std::lock_guard guard(TheRegistry().lock);
    TheRegistry().interfaces.clear();
    TheRegistry().history.clear();
    TheRegistry().deviceNumbers.clear();
}

}  // namespace host

void RtlFreeUnicodeString(PUNICODE_STRING string) {
    static const host::ServiceRule& rule = host::RuleOf("RtlFreeUnicodeString");
    host::CheckServiceIrql(rule);
    if (string == nullptr) return;
    if (string->Buffer != nullptr) ExFreePool(string->Buffer);
    string->Buffer = nullptr;
    string->Length = 0;
    string->MaximumLength = 0;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                   const GUID* interfaceClassGuid, PUNICODE_STRING referenceString,
                                   PUNICODE_STRING symbolicLinkName) {
    static const host::ServiceRule& rule = host::RuleOf("IoRegisterDeviceInterface");
    host::CheckServiceIrql(rule);
    using namespace host;
    if (physicalDeviceObject == nullptr || interfaceClassGuid == nullptr ||
        symbolicLinkName == nullptr) {
        RecordKernelError("IoRegisterDeviceInterface without a device, class or link name");
        return STATUS_INVALID_PARAMETER;
    }
    std::string reference = FromUnicodeString(referenceString);
    std::string linkName;
    {
        std::lock_guard guard(TheRegistry().lock);
        Registry& registry = TheRegistry();
        DeviceInterface* existing = nullptr;
        for (DeviceInterface& entry : registry.interfaces)
            if (entry.physicalDeviceObject == physicalDeviceObject &&
                IsEqualGUID(entry.interfaceClass, *interfaceClassGuid) &&
                entry.referenceString == reference)
                existing = &entry;
        if (existing != nullptr) {
            linkName = existing->linkName;  // registering again hands out the same name
        } else {
            linkName = MakeLinkName(DeviceNumber(registry, physicalDeviceObject),
                                    *interfaceClassGuid, reference);
            registry.interfaces.push_back(
                {physicalDeviceObject, *interfaceClassGuid, reference, linkName, false});
        }
        registry.history.push_back(
            {physicalDeviceObject, linkName, DeviceInterfaceChange::Registered});
    }
    size_t bytes = (linkName.size() + 1) * sizeof(WCHAR);
    auto buffer =
        static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, kInterfaceLinkPoolTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t i = 0; i < linkName.size(); ++i)
        buffer[i] = static_cast<unsigned char>(linkName[i]);
    buffer[linkName.size()] = 0;
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = static_cast<USHORT>(linkName.size() * sizeof(WCHAR));
    symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable) {
    static const host::ServiceRule& rule = host::RuleOf("IoSetDeviceInterfaceState");
    host::CheckServiceIrql(rule);
    using namespace host;
    std::string linkName = FromUnicodeString(symbolicLinkName);
    std::lock_guard guard(TheRegistry().lock);
    for (DeviceInterface& entry : TheRegistry().interfaces) {
        if (entry.linkName != linkName) continue;
        entry.enabled = enable != 0;
        TheRegistry().history.push_back(
            {entry.physicalDeviceObject, linkName,
             enable ? DeviceInterfaceChange::Enabled : DeviceInterfaceChange::Disabled});
        return STATUS_SUCCESS;
    }
    RecordKernelError("IoSetDeviceInterfaceState for a link that was never registered: " +
                      linkName);
    return kObjectNameNotFound;
}
