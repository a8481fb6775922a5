// The filter descriptor and BDA template that the Windows image hands to BdaCreateFilterFactory
// when it starts a stick, read out of guest memory and compared field by field with the host
// build's tables: every count, size, flag, identifier and GUID, every data range, framing and
// connection, and every handler by the name of the function it points to. The host reads the
// image's tables with its own declarations of the kernel-streaming structures, so a structure
// that the two header sets lay out differently shows here as a field that does not match.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/filter_descriptors.h"
#include "image_fixture.h"
#include "platform/host/ks_device_host.h"
#include "support/host_system.h"
#include "support/sim_receiver.h"

namespace kvsbda_image_test {
namespace {

// A function's name without its parameter list: the two builds mangle their own spellings of
// the kernel types (_KSPIN against KSPIN).
std::string BareName(std::string name) {
    const size_t open = name.find('(');
    return open == std::string::npos ? name : name.substr(0, open);
}

std::string HostFunctionName(const void* code) {
    Dl_info info{};
    if (dladdr(code, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr != code) return "?";
    int status = 0;
    char* readable = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = readable != nullptr ? readable : info.dli_sname;
    std::free(readable);
    return BareName(name);
}

// Walks an image table and the host table of the same kind side by side and notes every field
// that differs, by its path from the filter descriptor.
class TableComparison {
  public:
    explicit TableComparison(const image::MappedImage& image) : image_(image) {}

    const std::vector<std::string>& Differences() const { return differences_; }
    size_t FieldsCompared() const { return fields_; }

    void Template(const std::string& path, const BDA_FILTER_TEMPLATE* image,
                  const BDA_FILTER_TEMPLATE* host) {
        if (!Pointers(path, image, host)) return;
        Filter(path + ".pFilterDescriptor", image->pFilterDescriptor, host->pFilterDescriptor);
        Value(path + ".ulcPinPairs", image->ulcPinPairs, host->ulcPinPairs);
        Array(path + ".pPinPairs", image->pPinPairs, host->pPinPairs, image->ulcPinPairs,
              host->ulcPinPairs, [&](const std::string& at, const auto& a, const auto& b) {
                  Value(at + ".ulInputPin", a.ulInputPin, b.ulInputPin);
                  Value(at + ".ulOutputPin", a.ulOutputPin, b.ulOutputPin);
                  Value(at + ".ulcMaxInputsPerOutput", a.ulcMaxInputsPerOutput,
                        b.ulcMaxInputsPerOutput);
                  Value(at + ".ulcMinInputsPerOutput", a.ulcMinInputsPerOutput,
                        b.ulcMinInputsPerOutput);
                  Value(at + ".ulcMaxOutputsPerInput", a.ulcMaxOutputsPerInput,
                        b.ulcMaxOutputsPerInput);
                  Value(at + ".ulcMinOutputsPerInput", a.ulcMinOutputsPerInput,
                        b.ulcMinOutputsPerInput);
                  Value(at + ".ulcTopologyJoints", a.ulcTopologyJoints, b.ulcTopologyJoints);
                  Array(at + ".pTopologyJoints", a.pTopologyJoints, b.pTopologyJoints,
                        a.ulcTopologyJoints, b.ulcTopologyJoints,
                        [&](const std::string& j, ULONG x, ULONG y) { Value(j, x, y); });
              });
    }

    void Filter(const std::string& path, const KSFILTER_DESCRIPTOR* image,
                const KSFILTER_DESCRIPTOR* host) {
        if (!Pointers(path, image, host)) return;
        if (const KSFILTER_DISPATCH* a = image->Dispatch;
            Pointers(path + ".Dispatch", a, host->Dispatch)) {
            const KSFILTER_DISPATCH* b = host->Dispatch;
            Code(path + ".Dispatch.Create", a->Create, b->Create);
            Code(path + ".Dispatch.Close", a->Close, b->Close);
            Code(path + ".Dispatch.Process", a->Process, b->Process);
            Code(path + ".Dispatch.Reset", a->Reset, b->Reset);
        }
        Automation(path + ".AutomationTable", image->AutomationTable, host->AutomationTable);
        Value(path + ".Version", image->Version, host->Version);
        Value(path + ".Flags", image->Flags, host->Flags);
        Guid(path + ".ReferenceGuid", image->ReferenceGuid, host->ReferenceGuid);
        Value(path + ".PinDescriptorSize", image->PinDescriptorSize, host->PinDescriptorSize);
        Value(path + ".PinDescriptorsCount", image->PinDescriptorsCount, host->PinDescriptorsCount);
        if (image->PinDescriptorSize == sizeof(KSPIN_DESCRIPTOR_EX) &&
            host->PinDescriptorSize == sizeof(KSPIN_DESCRIPTOR_EX)) {
            Array(path + ".PinDescriptors", image->PinDescriptors, host->PinDescriptors,
                  image->PinDescriptorsCount, host->PinDescriptorsCount,
                  [&](const std::string& at, const auto& a, const auto& b) { Pin(at, a, b); });
        }
        Value(path + ".CategoriesCount", image->CategoriesCount, host->CategoriesCount);
        Array(path + ".Categories", image->Categories, host->Categories, image->CategoriesCount,
              host->CategoriesCount,
              [&](const std::string& at, const GUID& a, const GUID& b) { GuidValue(at, a, b); });
        Value(path + ".NodeDescriptorSize", image->NodeDescriptorSize, host->NodeDescriptorSize);
        Value(path + ".NodeDescriptorsCount", image->NodeDescriptorsCount,
              host->NodeDescriptorsCount);
        if (image->NodeDescriptorSize == sizeof(KSNODE_DESCRIPTOR) &&
            host->NodeDescriptorSize == sizeof(KSNODE_DESCRIPTOR)) {
            Array(path + ".NodeDescriptors", image->NodeDescriptors, host->NodeDescriptors,
                  image->NodeDescriptorsCount, host->NodeDescriptorsCount,
                  [&](const std::string& at, const auto& a, const auto& b) {
                      Automation(at + ".AutomationTable", a.AutomationTable, b.AutomationTable);
                      Guid(at + ".Type", a.Type, b.Type);
                      Guid(at + ".Name", a.Name, b.Name);
                  });
        }
        Value(path + ".ConnectionsCount", image->ConnectionsCount, host->ConnectionsCount);
        Array(path + ".Connections", image->Connections, host->Connections, image->ConnectionsCount,
              host->ConnectionsCount, [&](const std::string& at, const auto& a, const auto& b) {
                  Value(at + ".FromNode", a.FromNode, b.FromNode);
                  Value(at + ".FromNodePin", a.FromNodePin, b.FromNodePin);
                  Value(at + ".ToNode", a.ToNode, b.ToNode);
                  Value(at + ".ToNodePin", a.ToNodePin, b.ToNodePin);
              });
        if (Pointers(path + ".ComponentId", image->ComponentId, host->ComponentId))
            Bytes(path + ".ComponentId", image->ComponentId, host->ComponentId,
                  sizeof(KSCOMPONENTID));
    }

  private:
    void Pin(const std::string& path, const KSPIN_DESCRIPTOR_EX& image,
             const KSPIN_DESCRIPTOR_EX& host) {
        if (Pointers(path + ".Dispatch", image.Dispatch, host.Dispatch)) {
            const KSPIN_DISPATCH* a = image.Dispatch;
            const KSPIN_DISPATCH* b = host.Dispatch;
            Code(path + ".Dispatch.Create", a->Create, b->Create);
            Code(path + ".Dispatch.Close", a->Close, b->Close);
            Code(path + ".Dispatch.Process", a->Process, b->Process);
            Code(path + ".Dispatch.Reset", a->Reset, b->Reset);
            Code(path + ".Dispatch.SetDataFormat", a->SetDataFormat, b->SetDataFormat);
            Code(path + ".Dispatch.SetDeviceState", a->SetDeviceState, b->SetDeviceState);
            Code(path + ".Dispatch.Connect", a->Connect, b->Connect);
            Code(path + ".Dispatch.Disconnect", a->Disconnect, b->Disconnect);
            Pointers(path + ".Dispatch.Clock", a->Clock, b->Clock);
            Pointers(path + ".Dispatch.Allocator", a->Allocator, b->Allocator);
        }
        Automation(path + ".AutomationTable", image.AutomationTable, host.AutomationTable);
        const KSPIN_DESCRIPTOR& a = image.PinDescriptor;
        const KSPIN_DESCRIPTOR& b = host.PinDescriptor;
        const std::string at = path + ".PinDescriptor";
        Value(at + ".InterfacesCount", a.InterfacesCount, b.InterfacesCount);
        Array(at + ".Interfaces", a.Interfaces, b.Interfaces, a.InterfacesCount, b.InterfacesCount,
              [&](const std::string& i, const auto& x, const auto& y) { Identifier(i, x, y); });
        Value(at + ".MediumsCount", a.MediumsCount, b.MediumsCount);
        Array(at + ".Mediums", a.Mediums, b.Mediums, a.MediumsCount, b.MediumsCount,
              [&](const std::string& i, const auto& x, const auto& y) { Identifier(i, x, y); });
        Value(at + ".DataRangesCount", a.DataRangesCount, b.DataRangesCount);
        Array(at + ".DataRanges", a.DataRanges, b.DataRanges, a.DataRangesCount, b.DataRangesCount,
              [&](const std::string& i, PKSDATARANGE x, PKSDATARANGE y) { DataRange(i, x, y); });
        Value(at + ".DataFlow", a.DataFlow, b.DataFlow);
        Value(at + ".Communication", a.Communication, b.Communication);
        Guid(at + ".Category", a.Category, b.Category);
        Guid(at + ".Name", a.Name, b.Name);
        Value(at + ".ConstrainedDataRangesCount", a.ConstrainedDataRangesCount,
              b.ConstrainedDataRangesCount);
        Array(at + ".ConstrainedDataRanges", a.ConstrainedDataRanges, b.ConstrainedDataRanges,
              a.ConstrainedDataRangesCount, b.ConstrainedDataRangesCount,
              [&](const std::string& i, PKSDATARANGE x, PKSDATARANGE y) { DataRange(i, x, y); });
        Value(path + ".Flags", image.Flags, host.Flags);
        Value(path + ".InstancesPossible", image.InstancesPossible, host.InstancesPossible);
        Value(path + ".InstancesNecessary", image.InstancesNecessary, host.InstancesNecessary);
        if (Pointers(path + ".AllocatorFraming", image.AllocatorFraming, host.AllocatorFraming))
            Framing(path + ".AllocatorFraming", *image.AllocatorFraming, *host.AllocatorFraming);
        Code(path + ".IntersectHandler", image.IntersectHandler, host.IntersectHandler);
    }

    void DataRange(const std::string& path, PKSDATARANGE image, PKSDATARANGE host) {
        if (!Pointers(path, image, host)) return;
        Value(path + ".FormatSize", image->FormatSize, host->FormatSize);
        Value(path + ".Flags", image->Flags, host->Flags);
        Value(path + ".SampleSize", image->SampleSize, host->SampleSize);
        Value(path + ".Reserved", image->Reserved, host->Reserved);
        GuidValue(path + ".MajorFormat", image->MajorFormat, host->MajorFormat);
        GuidValue(path + ".SubFormat", image->SubFormat, host->SubFormat);
        GuidValue(path + ".Specifier", image->Specifier, host->Specifier);
        // What follows the header (the transport's BDA_TRANSPORT_INFO) is plain data.
        if (image->FormatSize == host->FormatSize && host->FormatSize > sizeof(KSDATARANGE))
            Bytes(path + "+header", reinterpret_cast<const uint8_t*>(image) + sizeof(KSDATARANGE),
                  reinterpret_cast<const uint8_t*>(host) + sizeof(KSDATARANGE),
                  host->FormatSize - sizeof(KSDATARANGE));
    }

    void Framing(const std::string& path, const KSALLOCATOR_FRAMING_EX& image,
                 const KSALLOCATOR_FRAMING_EX& host) {
        Value(path + ".CountItems", image.CountItems, host.CountItems);
        Value(path + ".PinFlags", image.PinFlags, host.PinFlags);
        Bytes(path + ".OutputCompression", &image.OutputCompression, &host.OutputCompression,
              sizeof(KS_COMPRESSION));
        Value(path + ".PinWeight", image.PinWeight, host.PinWeight);
        if (image.CountItems != host.CountItems) return;
        for (ULONG i = 0; i < host.CountItems; ++i) {
            const KS_FRAMING_ITEM& a = image.FramingItem[i];
            const KS_FRAMING_ITEM& b = host.FramingItem[i];
            const std::string at = path + ".FramingItem[" + std::to_string(i) + "]";
            GuidValue(at + ".MemoryType", a.MemoryType, b.MemoryType);
            GuidValue(at + ".BusType", a.BusType, b.BusType);
            Value(at + ".MemoryFlags", a.MemoryFlags, b.MemoryFlags);
            Value(at + ".BusFlags", a.BusFlags, b.BusFlags);
            Value(at + ".Flags", a.Flags, b.Flags);
            Value(at + ".Frames", a.Frames, b.Frames);
            Value(at + ".FileAlignment", a.FileAlignment, b.FileAlignment);
            Value(at + ".MemoryTypeWeight", a.MemoryTypeWeight, b.MemoryTypeWeight);
            Bytes(at + ".PhysicalRange", &a.PhysicalRange, &b.PhysicalRange,
                  sizeof(KS_FRAMING_RANGE));
            Bytes(at + ".FramingRange", &a.FramingRange, &b.FramingRange,
                  sizeof(KS_FRAMING_RANGE_WEIGHTED));
        }
    }

    void Automation(const std::string& path, const KSAUTOMATION_TABLE* image,
                    const KSAUTOMATION_TABLE* host) {
        if (!Pointers(path, image, host)) return;
        Value(path + ".PropertyItemSize", image->PropertyItemSize, host->PropertyItemSize);
        Value(path + ".PropertySetsCount", image->PropertySetsCount, host->PropertySetsCount);
        Array(path + ".PropertySets", image->PropertySets, host->PropertySets,
              image->PropertySetsCount, host->PropertySetsCount,
              [&](const std::string& at, const KSPROPERTY_SET& a, const KSPROPERTY_SET& b) {
                  Guid(at + ".Set", a.Set, b.Set);
                  Value(at + ".PropertiesCount", a.PropertiesCount, b.PropertiesCount);
                  Array(at + ".PropertyItem", a.PropertyItem, b.PropertyItem, a.PropertiesCount,
                        b.PropertiesCount, [&](const std::string& i, const auto& x, const auto& y) {
                            PropertyItem(i, x, y);
                        });
                  Value(at + ".FastIoCount", a.FastIoCount, b.FastIoCount);
                  Pointers(at + ".FastIoTable", a.FastIoTable, b.FastIoTable);
              });
        Value(path + ".MethodItemSize", image->MethodItemSize, host->MethodItemSize);
        Value(path + ".MethodSetsCount", image->MethodSetsCount, host->MethodSetsCount);
        Array(path + ".MethodSets", image->MethodSets, host->MethodSets, image->MethodSetsCount,
              host->MethodSetsCount,
              [&](const std::string& at, const KSMETHOD_SET& a, const KSMETHOD_SET& b) {
                  Guid(at + ".Set", a.Set, b.Set);
                  Value(at + ".MethodsCount", a.MethodsCount, b.MethodsCount);
                  Array(at + ".MethodItem", a.MethodItem, b.MethodItem, a.MethodsCount,
                        b.MethodsCount, [&](const std::string& i, const auto& x, const auto& y) {
                            Value(i + ".MethodId", x.MethodId, y.MethodId);
                            Code(i + ".MethodHandler", x.MethodHandler, y.MethodHandler);
                            Value(i + ".MinMethod", x.MinMethod, y.MinMethod);
                            Value(i + ".MinData", x.MinData, y.MinData);
                            Code(i + ".SupportHandler", x.SupportHandler, y.SupportHandler);
                            Value(i + ".Flags", x.Flags, y.Flags);
                        });
                  Value(at + ".FastIoCount", a.FastIoCount, b.FastIoCount);
                  Pointers(at + ".FastIoTable", a.FastIoTable, b.FastIoTable);
              });
        Value(path + ".EventItemSize", image->EventItemSize, host->EventItemSize);
        Value(path + ".EventSetsCount", image->EventSetsCount, host->EventSetsCount);
        Array(path + ".EventSets", image->EventSets, host->EventSets, image->EventSetsCount,
              host->EventSetsCount,
              [&](const std::string& at, const KSEVENT_SET& a, const KSEVENT_SET& b) {
                  Guid(at + ".Set", a.Set, b.Set);
                  Value(at + ".EventsCount", a.EventsCount, b.EventsCount);
              });
    }

    void PropertyItem(const std::string& path, const KSPROPERTY_ITEM& image,
                      const KSPROPERTY_ITEM& host) {
        Value(path + ".PropertyId", image.PropertyId, host.PropertyId);
        Code(path + ".GetPropertyHandler", image.GetPropertyHandler, host.GetPropertyHandler);
        Value(path + ".MinProperty", image.MinProperty, host.MinProperty);
        Value(path + ".MinData", image.MinData, host.MinData);
        Code(path + ".SetPropertyHandler", image.SetPropertyHandler, host.SetPropertyHandler);
        Pointers(path + ".Values", image.Values, host.Values);
        Value(path + ".RelationsCount", image.RelationsCount, host.RelationsCount);
        Array(path + ".Relations", image.Relations, host.Relations, image.RelationsCount,
              host.RelationsCount,
              [&](const std::string& at, const auto& a, const auto& b) { Identifier(at, a, b); });
        Code(path + ".SupportHandler", image.SupportHandler, host.SupportHandler);
        Value(path + ".SerializedSize", image.SerializedSize, host.SerializedSize);
    }

    void Identifier(const std::string& path, const KSIDENTIFIER& image, const KSIDENTIFIER& host) {
        GuidValue(path + ".Set", image.Set, host.Set);
        Value(path + ".Id", image.Id, host.Id);
        Value(path + ".Flags", image.Flags, host.Flags);
    }

    template <typename T>
    void Value(const std::string& path, const T& image, const T& host) {
        ++fields_;
        if (image != host) {
            differences_.push_back(path + ": image " + std::to_string(+image) + ", host " +
                                   std::to_string(+host));
        }
    }

    void GuidValue(const std::string& path, const GUID& image, const GUID& host) {
        ++fields_;
        if (std::memcmp(&image, &host, sizeof(GUID)) != 0)
            differences_.push_back(path + ": the GUIDs differ");
    }

    void Guid(const std::string& path, const GUID* image, const GUID* host) {
        if (Pointers(path, image, host)) GuidValue(path, *image, *host);
    }

    void Bytes(const std::string& path, const void* image, const void* host, size_t size) {
        ++fields_;
        if (std::memcmp(image, host, size) != 0) differences_.push_back(path + ": bytes differ");
    }

    // Both null, or both set; what the image points to must lie in the image.
    bool Pointers(const std::string& path, const void* image, const void* host) {
        ++fields_;
        if ((image == nullptr) != (host == nullptr)) {
            differences_.push_back(path + (image == nullptr ? ": null in the image only"
                                                            : ": null in the host build only"));
            return false;
        }
        if (image == nullptr) return false;
        if (!image_.Contains(reinterpret_cast<uint64_t>(image))) {
            differences_.push_back(path + ": the image points outside itself");
            return false;
        }
        return true;
    }

    // Both null, or the image's code and the host's function have the same name.
    template <typename Function>
    void Code(const std::string& path, Function image, Function host) {
        const void* a = reinterpret_cast<const void*>(image);
        const void* b = reinterpret_cast<const void*>(host);
        if (!Pointers(path, a, b)) return;
        const std::optional<std::string> name = image_.FunctionAt(reinterpret_cast<uint64_t>(a));
        const std::string imageName = name ? BareName(*name) : "?";
        if (imageName == "?" || imageName != HostFunctionName(b))
            differences_.push_back(path + ": image " + imageName + ", host " + HostFunctionName(b));
    }

    template <typename T, typename Compare>
    void Array(const std::string& path, const T* image, const T* host, ULONG imageCount,
               ULONG hostCount, Compare compare) {
        if (!Pointers(path, image, host) || imageCount != hostCount) return;
        for (ULONG i = 0; i < hostCount; ++i)
            compare(path + "[" + std::to_string(i) + "]", image[i], host[i]);
    }

    const image::MappedImage& image_;
    std::vector<std::string> differences_;
    size_t fields_ = 0;
};

TEST_F(KvsbdaImageTest, FilterTablesHandedToTheFactoryMatchTheHostBuildFieldByField) {
    const host::DriverEntryFunction entry = InstallImage();
    kvstest::HostSystem system(host::ClockMode::Virtual, 4, entry);
    auto receiver = kvstest::MakeSimReceiver(0x3344, 0x1120, true);
    system.Plug(receiver->stick);
    kvstest::HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
    const std::vector<host::FilterFactoryRecord> factories =
        host::FilterFactories(device->Device());
    ASSERT_EQ(factories.size(), 1u);
    const host::FilterFactoryRecord& factory = factories.front();
    EXPECT_EQ(factory.result, STATUS_SUCCESS);
    // The image's own tables, not the host build's.
    ASSERT_TRUE(runner_->Image().Contains(reinterpret_cast<uint64_t>(factory.filterDescriptor)));
    ASSERT_TRUE(runner_->Image().Contains(reinterpret_cast<uint64_t>(factory.filterTemplate)));

    TableComparison comparison(runner_->Image());
    comparison.Filter("filter", factory.filterDescriptor, &kvsbdaReceiverFilterDescriptor);
    comparison.Template("template", factory.filterTemplate, &kvsbdaReceiverBdaTemplate);
    EXPECT_TRUE(comparison.Differences().empty())
        << ::testing::PrintToString(comparison.Differences());
    // Both pins, both nodes with their property sets, the private set, both method sets, the
    // template's pairing (with the filter descriptor it names again).
    EXPECT_GT(comparison.FieldsCompared(), 1000u);

    receiver->stick->Unplug();
    system.WaitForPnpIdle();
    EXPECT_EQ(FirstFault(), "");
}

}  // namespace
}  // namespace kvsbda_image_test
