// The usbd configuration calls against well-formed and hostile configuration descriptors.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/host/pool_accounting.h"
#include "platform/host/usbd_descriptor_walk.h"
#include "platform/usb.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Configuration: interface 0 alternate 0 (no endpoints), alternate 1 with three endpoints and a
// class descriptor between the first two, then interface 1 with one endpoint.
Bytes WellFormed() {
    Bytes bytes = {
        0x09, 0x02, 0x00, 0x00, 0x02, 0x01, 0x00, 0x80, 0xFA,  //
        0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  //
        0x09, 0x04, 0x00, 0x01, 0x03, 0xFF, 0x01, 0x02, 0x00,  //
        0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              //
        0x05, 0x24, 0x01, 0x02, 0x03,                          // a class descriptor
        0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
        0x07, 0x05, 0x87, 0x01, 0xFC, 0x03, 0x01,              //
        0x09, 0x04, 0x01, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00,  //
        0x07, 0x05, 0x8A, 0x03, 0x40, 0x00, 0x0B,              //
    };
    bytes[2] = static_cast<uint8_t>(bytes.size());
    return bytes;
}

constexpr size_t kAlternate1 = 18;
constexpr size_t kInterface1 = 53;

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(Bytes& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

PUSB_INTERFACE_DESCRIPTOR Find(Bytes& bytes, LONG number, LONG alternate,
                               LONG interfaceClass = -1) {
    return USBD_ParseConfigurationDescriptorEx(AsConfiguration(bytes), bytes.data(), number,
                                               alternate, interfaceClass, -1, -1);
}

TEST(UsbdParse, FindsInterfacesByEachCriterion) {
    Bytes bytes = WellFormed();
    EXPECT_EQ(reinterpret_cast<uint8_t*>(Find(bytes, -1, 1)), bytes.data() + kAlternate1);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(Find(bytes, 1, -1)), bytes.data() + kInterface1);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(Find(bytes, -1, -1, 0x03)), bytes.data() + kInterface1);
    EXPECT_EQ(Find(bytes, 0, 2), nullptr);
    // A start position after the first match finds the next one.
    EXPECT_EQ(reinterpret_cast<uint8_t*>(USBD_ParseConfigurationDescriptorEx(
                  AsConfiguration(bytes), bytes.data() + kAlternate1 + 9, -1, 0, -1, -1, -1)),
              bytes.data() + kInterface1);
}

struct HostileCase {
    const char* name;
    void (*corrupt)(Bytes&);
    bool alternate1Found;
    size_t pipesOfAlternate1;  // when found
};

const HostileCase kHostileCases[] = {
    {"zero length in the middle", [](Bytes& b) { b[27] = 0; }, true, 0},
    {"zero length before the interface", [](Bytes& b) { b[9] = 0; }, false, 0},
    {"total length below the header", [](Bytes& b) { b[2] = 8; }, false, 0},
    {"total length ends inside the interface", [](Bytes& b) { b[2] = kAlternate1 + 5; }, false, 0},
    {"total length ends after two endpoints", [](Bytes& b) { b[2] = 44; }, true, 1},
    {"more endpoints claimed than present", [](Bytes& b) { b[kAlternate1 + 4] = 30; }, true, 3},
    {"fewer endpoints claimed than present", [](Bytes& b) { b[kAlternate1 + 4] = 2; }, true, 2},
    // The walk then lands on the descriptor's zero bytes and ends there.
    {"truncated endpoint descriptor", [](Bytes& b) { b[39] = 0x05; }, true, 1},
    {"descriptor length past the end", [](Bytes& b) { b[46] = 0xF0; }, true, 2},
    {"truncated interface descriptor", [](Bytes& b) { b[kAlternate1] = 0x04; }, false, 0},
};

class UsbdHostileDescriptor : public testing::TestWithParam<HostileCase> {};

TEST_P(UsbdHostileDescriptor, ParsesOnlyWhatIsReallyThere) {
    Bytes bytes = WellFormed();
    GetParam().corrupt(bytes);
    PUSB_INTERFACE_DESCRIPTOR interface = Find(bytes, -1, 1);
    ASSERT_EQ(interface != nullptr, GetParam().alternate1Found);
    if (interface == nullptr) return;

    USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), list);
    ASSERT_NE(urb, nullptr);
    const size_t pipes = GetParam().pipesOfAlternate1;
    EXPECT_EQ(list[0].Interface->NumberOfPipes, pipes);
    EXPECT_EQ(list[0].Interface->Length, 24 + 24 * pipes);
    EXPECT_GE(urb->UrbHeader.Length, 40 + list[0].Interface->Length);
    // A caller that sizes pipes by the descriptor's claim stays inside the block.
    PUSBD_PIPE_INFORMATION claimed = list[0].Interface->Pipes;
    for (size_t i = 0; i < interface->bNumEndpoints; ++i) claimed[i].MaximumTransferSize = 0xFFFF;
    ExFreePool(urb);
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbdHostileDescriptor, testing::ValuesIn(kHostileCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(UsbdCreateRequest, BuildsOneRecordPerListEntryInPoolOfItsOwnTag) {
    Bytes bytes = WellFormed();
    const size_t before = host::PoolBlocksOutstanding(host::usbd::kUsbdPoolTag);
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {Find(bytes, -1, 1), nullptr}, {Find(bytes, 1, 0), nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(host::PoolBlocksOutstanding(host::usbd::kUsbdPoolTag), before + 1);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + (24 + 3 * 24) + (24 + 24));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfiguration(bytes));
    // The records lie back to back in the block.
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface),
              reinterpret_cast<uint8_t*>(list[0].Interface) + list[0].Interface->Length);
    EXPECT_EQ(list[0].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    ExFreePool(urb);
    EXPECT_EQ(host::PoolBlocksOutstanding(host::usbd::kUsbdPoolTag), before);
}

TEST(UsbdCreateRequest, RefusesInterfacesThatAreNotPartOfTheConfiguration) {
    Bytes bytes = WellFormed();
    Bytes other = WellFormed();
    USBD_INTERFACE_LIST_ENTRY foreign[2] = {{Find(other, -1, 1), nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), foreign), nullptr);
    // A pointer into the middle of a descriptor is no interface either.
    USBD_INTERFACE_LIST_ENTRY inside[2] = {
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + kAlternate1 + 2), nullptr},
        {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), inside), nullptr);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), empty), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfiguration(bytes), other.data(), -1, -1, -1,
                                                  -1, -1),
              nullptr);
}

// Random corruption of a good descriptor: the walk must stay inside wTotalLength (the sanitizer
// builds turn any stray read into a failure) and never loop.
TEST(UsbdParse, SurvivesRandomCorruption) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = WellFormed();
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        // wTotalLength never claims more than the buffer holds: that is the caller's promise.
        const size_t total = bytes[2] | bytes[3] << 8;
        if (total > bytes.size()) {
            bytes[2] = static_cast<uint8_t>(bytes.size());
            bytes[3] = 0;
        }
        for (LONG alternate = -1; alternate <= 1; ++alternate) {
            PUSB_INTERFACE_DESCRIPTOR interface = Find(bytes, -1, alternate);
            if (interface == nullptr) continue;
            USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
            PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), list);
            ASSERT_NE(urb, nullptr);
            ASSERT_LE(list[0].Interface->NumberOfPipes, interface->bNumEndpoints);
            ExFreePool(urb);
        }
    }
}

}  // namespace
