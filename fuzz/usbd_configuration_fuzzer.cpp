// The usbd library's configuration-descriptor calls on whatever configuration descriptor a stick
// sends. The input is the descriptor as it arrived; its wTotalLength may claim more or fewer
// bytes than came. The block handed to the library holds what arrived and, when wTotalLength
// claims more, filler standing in for the uninitialised rest of the caller's buffer, so a read
// past wTotalLength lands outside the allocation.
//
// Checked per input: every interface the library returns lies inside the walkable bytes and
// matches the criteria asked for; a search from just behind a found interface finds the next
// one; the select-configuration block holds, for each interface, exactly its pipes, and a caller
// that walks bNumEndpoints pipe records of the last interface (as the transport does with its
// one-entry list) stays inside the block.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/usb.h"
#include "support/kernel_checks.h"

namespace {

constexpr const char* kTarget = "usbd_configuration";
constexpr size_t kHeaderBytes = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr size_t kMostInterfacesInOneRequest = 8;
constexpr UCHAR kFiller = 0xA5;

using fuzz::Expect;

const UCHAR* Bytes(const void* pointer) {
    return static_cast<const UCHAR*>(pointer);
}

bool Inside(const void* pointer, size_t length, const UCHAR* begin, size_t total) {
    const UCHAR* p = Bytes(pointer);
    return p >= begin && p <= begin + total && length <= static_cast<size_t>(begin + total - p);
}

void CheckFound(PUSB_INTERFACE_DESCRIPTOR found, const UCHAR* begin, size_t total, LONG number,
                LONG alternate, LONG cls, LONG subclass, LONG protocol) {
    if (found == nullptr) return;
    Expect(Inside(found, sizeof(USB_INTERFACE_DESCRIPTOR), begin, total), kTarget,
           "interface returned outside wTotalLength");
    Expect(found->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE, kTarget,
           "returned descriptor is not an interface");
    Expect(found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
               Inside(found, found->bLength, begin, total),
           kTarget, "returned interface runs past wTotalLength");
    Expect(number == -1 || found->bInterfaceNumber == number, kTarget, "wrong interface number");
    Expect(alternate == -1 || found->bAlternateSetting == alternate, kTarget,
           "wrong alternate setting");
    Expect(cls == -1 || found->bInterfaceClass == cls, kTarget, "wrong class");
    Expect(subclass == -1 || found->bInterfaceSubClass == subclass, kTarget, "wrong subclass");
    Expect(protocol == -1 || found->bInterfaceProtocol == protocol, kTarget, "wrong protocol");
}

// Builds the select-configuration block for `interfaces` and walks it as the transport does.
void SelectInterfaces(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                      const std::vector<PUSB_INTERFACE_DESCRIPTOR>& interfaces) {
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (PUSB_INTERFACE_DESCRIPTOR interface : interfaces) list.push_back({interface, nullptr});
    list.push_back({nullptr, nullptr});

    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list.data());
    if (interfaces.empty()) {
        Expect(urb == nullptr, kTarget, "block built for an empty interface list");
        return;
    }
    if (urb == nullptr) return;  // refusing an interface is allowed; building a bad block is not
    Expect(urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION, kTarget,
           "block is not a select-configuration request");
    const size_t length = urb->UrbHeader.Length;
    Expect(length >= sizeof(_URB_SELECT_CONFIGURATION), kTarget, "block header too short");
    const UCHAR* block = Bytes(urb);

    const UCHAR* expected = Bytes(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < interfaces.size(); ++i) {
        PUSBD_INTERFACE_INFORMATION information = list[i].Interface;
        Expect(information != nullptr, kTarget, "interface entry left without information");
        Expect(Bytes(information) == expected, kTarget, "interface records not back to back");
        Expect(Inside(information, offsetof(USBD_INTERFACE_INFORMATION, Pipes), block, length),
               kTarget, "interface information outside the block");
        const size_t pipes = information->NumberOfPipes;
        Expect(information->Length == offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                          pipes * sizeof(USBD_PIPE_INFORMATION),
               kTarget, "interface Length disagrees with its pipes");
        Expect(pipes <= interfaces[i]->bNumEndpoints, kTarget, "more pipes than bNumEndpoints");
        Expect(information->InterfaceNumber == interfaces[i]->bInterfaceNumber &&
                   information->AlternateSetting == interfaces[i]->bAlternateSetting,
               kTarget, "interface information names another interface");
        expected += information->Length;
    }
    Expect(static_cast<size_t>(expected - block) <= length, kTarget,
           "interface records run past the block length");
    // A caller sets the transfer size of every pipe; one that walks bNumEndpoints pipe records of
    // the last interface (as the transport does with its one-entry list) stays inside the block.
    for (size_t i = 0; i < interfaces.size(); ++i) {
        PUSBD_PIPE_INFORMATION pipe = list[i].Interface->Pipes;
        const size_t walked = i + 1 == interfaces.size() ? interfaces[i]->bNumEndpoints
                                                         : list[i].Interface->NumberOfPipes;
        for (size_t p = 0; p < walked; ++p) pipe[p].MaximumTransferSize = 0xFFFF;
    }
    ExFreePool(urb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::BeginInput();

    // The caller's buffer: what arrived, then filler up to wTotalLength when that claims more.
    std::vector<UCHAR> arrived(data, data + size);
    if (arrived.size() < kHeaderBytes) arrived.resize(kHeaderBytes, kFiller);
    const size_t claimed = static_cast<size_t>(arrived[2] | (arrived[3] << 8));
    std::vector<UCHAR> buffer(std::max(arrived.size(), claimed), kFiller);
    std::copy(arrived.begin(), arrived.end(), buffer.begin());
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer.data());
    const UCHAR* begin = buffer.data();
    const size_t total = claimed < kHeaderBytes ? 0 : claimed;

    // The transport's own question: the first interface with alternate setting 1.
    PUSB_INTERFACE_DESCRIPTOR wanted =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, 1, -1, -1, -1);
    CheckFound(wanted, begin, total, -1, 1, -1, -1, -1);
    Expect(total != 0 || wanted == nullptr, kTarget, "interface found in an empty configuration");

    // Every interface in turn, each search starting just behind the last one found; each must
    // also be found again by its own identity.
    std::vector<PUSB_INTERFACE_DESCRIPTOR> all;
    const UCHAR* start = begin;
    for (size_t guard = 0; guard <= total; ++guard) {
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            configuration, const_cast<UCHAR*>(start), -1, -1, -1, -1, -1);
        if (found == nullptr) break;
        CheckFound(found, begin, total, -1, -1, -1, -1, -1);
        Expect(Bytes(found) >= start, kTarget, "search went backwards");
        PUSB_INTERFACE_DESCRIPTOR again = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, found->bInterfaceNumber, found->bAlternateSetting,
            found->bInterfaceClass, found->bInterfaceSubClass, found->bInterfaceProtocol);
        Expect(again != nullptr, kTarget, "interface not found by its own identity");
        CheckFound(again, begin, total, found->bInterfaceNumber, found->bAlternateSetting,
                   found->bInterfaceClass, found->bInterfaceSubClass, found->bInterfaceProtocol);
        Expect(Bytes(again) <= Bytes(found), kTarget, "identity search skipped a match");
        all.push_back(found);
        start = Bytes(found) + found->bLength;
    }

    // Searches that start in the middle of a descriptor or at the very end.
    if (total != 0) {
        const UCHAR* middle = begin + (size * 7 + 3) % total;
        CheckFound(USBD_ParseConfigurationDescriptorEx(configuration, const_cast<UCHAR*>(middle),
                                                       -1, -1, -1, -1, -1),
                   begin, total, -1, -1, -1, -1, -1);
        Expect(USBD_ParseConfigurationDescriptorEx(configuration, const_cast<UCHAR*>(begin + total),
                                                   -1, -1, -1, -1, -1) == nullptr,
               kTarget, "interface found at the end of the configuration");
    }

    if (wanted != nullptr) SelectInterfaces(configuration, {wanted});
    if (all.size() > kMostInterfacesInOneRequest) all.resize(kMostInterfacesInOneRequest);
    SelectInterfaces(configuration, all);

    fuzz::EndInput(kTarget);
    return 0;
}
