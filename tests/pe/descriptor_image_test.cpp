// The receiver's descriptors as the Windows build put them into kvsbda.sys: starting from the
// filter descriptor and the BDA template (found by name in the image's symbol table), every
// pointer is followed through the image as kernel streaming would follow it, and what it finds is
// compared with the documented values: categories, pins and their data ranges and framing,
// nodes, connections, the property and method sets of the filter and the nodes, and the pin
// pairing. The structures are read with the layouts the host build shares with Windows x64.
//
// The image is taken from KVSBDA_SYS, else from the configured path; without one the test is
// skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/ks.h"

#ifndef KVSBDA_WINDOWS_SYS
#define KVSBDA_WINDOWS_SYS "build/windows-kernel/kvsbda.sys"
#endif

namespace {

// The parts of a PE32+ image needed to follow pointers: image base, sections, COFF symbols.
class ImageView {
  public:
    explicit ImageView(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) { Parse(); }

    bool Valid() const { return valid_; }

    // The RVA of a named symbol.
    std::optional<uint32_t> Symbol(const std::string& name) const {
        for (const auto& [symbol, rva] : symbols_)
            if (symbol == name) return rva;
        return std::nullopt;
    }

    // Reads a structure at an RVA; nullopt when the image does not hold it.
    template <typename T>
    std::optional<T> At(uint32_t rva) const {
        for (const Section& s : sections_) {
            if (rva < s.rva || rva - s.rva + sizeof(T) > s.rawSize) continue;
            T value;
            std::memcpy(&value, bytes_.data() + s.rawOffset + (rva - s.rva), sizeof(T));
            return value;
        }
        return std::nullopt;
    }

    // The RVA a pointer stored in the image points to (pointers hold addresses at the image's
    // preferred base).
    template <typename P>
    uint32_t Rva(P* pointer) const {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer) - imageBase_);
    }

  private:
    struct Section {
        uint32_t rva;
        uint32_t rawOffset;
        uint32_t rawSize;
    };

    template <typename T>
    T Raw(size_t offset) const {
        T value{};
        if (offset + sizeof(T) <= bytes_.size())
            std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }

    void Parse() {
        if (bytes_.size() < 0x40 || bytes_[0] != 'M' || bytes_[1] != 'Z') return;
        const uint32_t nt = Raw<uint32_t>(0x3C);
        if (Raw<uint32_t>(nt) != 0x00004550) return;
        const size_t file = nt + 4;
        const uint16_t sectionCount = Raw<uint16_t>(file + 2);
        const uint32_t symbolTable = Raw<uint32_t>(file + 8);
        const uint32_t symbolCount = Raw<uint32_t>(file + 12);
        const uint16_t optionalSize = Raw<uint16_t>(file + 16);
        const size_t optional = file + 20;
        if (Raw<uint16_t>(optional) != 0x20B) return;
        imageBase_ = Raw<uint64_t>(optional + 24);
        for (uint16_t i = 0; i < sectionCount; ++i) {
            const size_t at = optional + optionalSize + size_t{i} * 40;
            sections_.push_back(
                {Raw<uint32_t>(at + 12), Raw<uint32_t>(at + 20), Raw<uint32_t>(at + 16)});
        }
        const size_t strings = size_t{symbolTable} + size_t{symbolCount} * 18;
        for (uint32_t i = 0; symbolTable != 0 && i < symbolCount; ++i) {
            const size_t at = size_t{symbolTable} + size_t{i} * 18;
            std::string name;
            if (Raw<uint32_t>(at) == 0) {
                for (size_t p = strings + Raw<uint32_t>(at + 4); p < bytes_.size() && bytes_[p];
                     ++p)
                    name.push_back(static_cast<char>(bytes_[p]));
            } else {
                for (size_t p = at; p < at + 8 && bytes_[p]; ++p)
                    name.push_back(static_cast<char>(bytes_[p]));
            }
            const int16_t section = Raw<int16_t>(at + 12);
            if (section >= 1 && static_cast<size_t>(section) <= sections_.size())
                symbols_.emplace_back(name, sections_[section - 1].rva + Raw<uint32_t>(at + 8));
            i += bytes_[at + 17];
        }
        valid_ = true;
    }

    std::vector<uint8_t> bytes_;
    std::vector<Section> sections_;
    std::vector<std::pair<std::string, uint32_t>> symbols_;
    uint64_t imageBase_ = 0;
    bool valid_ = false;
};

std::string Text(const GUID& guid) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return buffer;
}

class DescriptorImage : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* path = std::getenv("KVSBDA_SYS");
        const std::string image = path != nullptr && *path != '\0' ? path : KVSBDA_WINDOWS_SYS;
        std::ifstream file(image, std::ios::binary);
        if (!file) GTEST_SKIP() << "no Windows driver image at " << image;
        view_.emplace(std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                                           std::istreambuf_iterator<char>()));
        ASSERT_TRUE(view_->Valid());
        const auto filter = view_->Symbol("kvsbdaReceiverFilterDescriptor");
        if (!filter) GTEST_SKIP() << "image has no symbol table";
        filterRva_ = *filter;
    }

    // A structure the image points to; fails the test when the image does not hold it.
    template <typename T, typename P>
    T Follow(P* pointer) {
        auto value = view_->At<T>(view_->Rva(pointer));
        EXPECT_TRUE(value.has_value()) << "pointer outside the image";
        return value.value_or(T{});
    }
    template <typename T, typename P>
    T Element(P* array, size_t index, size_t size = sizeof(T)) {
        auto value = view_->At<T>(view_->Rva(array) + static_cast<uint32_t>(index * size));
        EXPECT_TRUE(value.has_value()) << "array outside the image";
        return value.value_or(T{});
    }
    std::string GuidAt(const GUID* pointer) { return Text(Follow<GUID>(pointer)); }

    // The GUIDs of a table's property sets with their item counts, then its method sets.
    std::vector<std::pair<std::string, ULONG>> SetsOf(const KSAUTOMATION_TABLE* pointer) {
        const auto table = Follow<KSAUTOMATION_TABLE>(pointer);
        EXPECT_EQ(table.PropertyItemSize, sizeof(KSPROPERTY_ITEM));
        std::vector<std::pair<std::string, ULONG>> sets;
        for (ULONG i = 0; i < table.PropertySetsCount; ++i) {
            const auto set = Element<KSPROPERTY_SET>(table.PropertySets, i);
            sets.emplace_back("property " + GuidAt(set.Set), set.PropertiesCount);
        }
        for (ULONG i = 0; i < table.MethodSetsCount; ++i) {
            const auto set = Element<KSMETHOD_SET>(table.MethodSets, i);
            sets.emplace_back("method " + GuidAt(set.Set), set.MethodsCount);
        }
        return sets;
    }

    std::optional<ImageView> view_;
    uint32_t filterRva_ = 0;
};

using Sets = std::vector<std::pair<std::string, ULONG>>;

TEST_F(DescriptorImage, FilterDescriptorCarriesCategoriesPinsNodesAndSets) {
    const auto filter = view_->At<KSFILTER_DESCRIPTOR>(filterRva_).value();
    EXPECT_EQ(filter.Version, 0xFFFFFFFFu);
    EXPECT_EQ(filter.Flags, 0u);
    EXPECT_EQ(GuidAt(filter.ReferenceGuid), "9B365890-165F-11D0-A195-0020AFD156E4");
    ASSERT_EQ(filter.CategoriesCount, 2u);
    EXPECT_EQ(Text(Element<GUID>(filter.Categories, 0)), "FD0A5AF4-B41D-11D2-9C95-00C04F7971E0");
    EXPECT_EQ(Text(Element<GUID>(filter.Categories, 1)), "71985F48-1CA1-11D3-9CC8-00C04F7971E0");

    // Filter automation: the private set (17 items), the BDA topology set (8 items) and the two
    // BDA method sets.
    EXPECT_EQ(SetsOf(filter.AutomationTable),
              (Sets{{"property DD26211E-88D1-44F9-B0E1-E3198532F60D", 17},
                    {"property A14EE835-0A23-11D3-9CC7-00C04F7971E0", 8},
                    {"method 71985F45-1CA1-11D3-9CC8-00C04F7971E0", 1},
                    {"method FD0A5AF3-B41D-11D2-9C95-00C04F7971E0", 4}}));

    // Pins: ranges of 64 and 88 bytes with their formats, flags, instances and the framing.
    ASSERT_EQ(filter.PinDescriptorsCount, 2u);
    ASSERT_EQ(filter.PinDescriptorSize, sizeof(KSPIN_DESCRIPTOR_EX));
    struct PinFacts {
        ULONG rangeBytes;
        const char* major;
        const char* sub;
        const char* specifier;
        const char* name;
        ULONG flags;
        ULONG necessary;
        ULONG dataFlow;
    };
    const PinFacts facts[] = {
        {64, "71985F41-1CA1-11D3-9CC8-00C04F7971E0", "E436EB8E-524F-11CE-9F53-0020AF0BA770",
         "0F6417D6-C318-11D0-A43F-00A0C9223196", "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52", 0x00180040,
         0, 1},
        {88, "E436EB83-524F-11CE-9F53-0020AF0BA770", "F4AEB342-0329-4FDD-A8FD-4AFF4926C978",
         "8DEDA6FD-AC5F-4334-8ECF-A4BA8FA7D0F0", "78216A81-CFA8-493E-9711-36A61C08BD9D", 0x00100010,
         1, 2},
    };
    for (ULONG i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto pin = Element<KSPIN_DESCRIPTOR_EX>(filter.PinDescriptors, i);
        const PinFacts& f = facts[i];
        EXPECT_EQ(pin.Flags, f.flags);
        EXPECT_EQ(pin.InstancesPossible, 1u);
        EXPECT_EQ(pin.InstancesNecessary, f.necessary);
        EXPECT_EQ(static_cast<ULONG>(pin.PinDescriptor.DataFlow), f.dataFlow);
        EXPECT_EQ(static_cast<ULONG>(pin.PinDescriptor.Communication), 3u);
        EXPECT_EQ(GuidAt(pin.PinDescriptor.Category), f.name);
        EXPECT_EQ(GuidAt(pin.PinDescriptor.Name), f.name);
        EXPECT_NE(pin.IntersectHandler, nullptr);
        EXPECT_NE(pin.Dispatch, nullptr);
        // Pin control, then the sets of the node the pin controls.
        const Sets pinSets[] = {
            {{"property 0DED49D5-A8B7-4D5D-97A1-12B0C195874D", 2},
             {"property 71985F47-1CA1-11D3-9CC8-00C04F7971E0", 3},
             {"property 1347D106-CF3A-428A-A5CB-AC0D9A2A4338", 2}},
            {{"property 0DED49D5-A8B7-4D5D-97A1-12B0C195874D", 2},
             {"property EF30F379-985B-4D10-B640-A79D5E04E1E0", 9},
             {"property 1347D106-CF3A-428A-A5CB-AC0D9A2A4338", 2}},
        };
        EXPECT_EQ(SetsOf(pin.AutomationTable), pinSets[i]);
        ASSERT_EQ(pin.PinDescriptor.DataRangesCount, 1u);
        const auto rangePointer = Element<PKSDATARANGE>(pin.PinDescriptor.DataRanges, 0);
        const auto range = Follow<KS_DATARANGE_BDA_TRANSPORT>(rangePointer);
        EXPECT_EQ(range.DataRange.FormatSize, f.rangeBytes);
        EXPECT_EQ(Text(range.DataRange.MajorFormat), f.major);
        EXPECT_EQ(Text(range.DataRange.SubFormat), f.sub);
        EXPECT_EQ(Text(range.DataRange.Specifier), f.specifier);
        if (i == 1) {
            EXPECT_EQ(range.BdaTransportInfo.ulcbPhyiscalPacket, 188u);
            EXPECT_EQ(range.BdaTransportInfo.ulcbPhyiscalFrame, 96256u);
            ASSERT_EQ(pin.PinDescriptor.InterfacesCount, 1u);
            const auto framing = Follow<KSALLOCATOR_FRAMING_EX>(pin.AllocatorFraming);
            EXPECT_EQ(framing.CountItems, 1u);
            EXPECT_EQ(framing.FramingItem[0].Frames, 64u);
            EXPECT_EQ(framing.FramingItem[0].Flags, 2u);
            EXPECT_EQ(Text(framing.FramingItem[0].MemoryType),
                      "4A6D5FC4-7895-11D1-B069-00A0C9062802");
            EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, 96256u);
            EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, 96256u);
            EXPECT_EQ(framing.FramingItem[0].PhysicalRange.MaxFrameSize, 0xFFFFFFFFu);
        } else {
            EXPECT_EQ(pin.AllocatorFraming, nullptr);
        }
    }

    // Nodes: the tuner with the frequency filter and signal statistics, the demodulator with the
    // digital demodulator set and signal statistics.
    ASSERT_EQ(filter.NodeDescriptorsCount, 2u);
    ASSERT_EQ(filter.NodeDescriptorSize, sizeof(KSNODE_DESCRIPTOR));
    const auto tuner = Element<KSNODE_DESCRIPTOR>(filter.NodeDescriptors, 0);
    const auto demodulator = Element<KSNODE_DESCRIPTOR>(filter.NodeDescriptors, 1);
    EXPECT_EQ(GuidAt(tuner.Type), "71985F4C-1CA1-11D3-9CC8-00C04F7971E0");
    EXPECT_EQ(GuidAt(tuner.Name), "1A9333B6-3704-4B18-A6DD-E1979FC56970");
    EXPECT_EQ(GuidAt(demodulator.Type), "2DAC6E05-EDBE-4B9C-B387-1B6FAD7D6495");
    EXPECT_EQ(GuidAt(demodulator.Name), "F65394A2-A018-4307-8D12-35AA494A406F");
    EXPECT_EQ(SetsOf(tuner.AutomationTable),
              (Sets{{"property 71985F47-1CA1-11D3-9CC8-00C04F7971E0", 3},
                    {"property 1347D106-CF3A-428A-A5CB-AC0D9A2A4338", 2}}));
    EXPECT_EQ(SetsOf(demodulator.AutomationTable),
              (Sets{{"property EF30F379-985B-4D10-B640-A79D5E04E1E0", 9},
                    {"property 1347D106-CF3A-428A-A5CB-AC0D9A2A4338", 2}}));

    ASSERT_EQ(filter.ConnectionsCount, 3u);
    const auto middle = Element<KSTOPOLOGY_CONNECTION>(filter.Connections, 1);
    EXPECT_EQ(middle.FromNode, 0u);
    EXPECT_EQ(middle.ToNode, 1u);
    EXPECT_EQ(middle.ToNodePin, 1u);
    const auto component = Follow<KSCOMPONENTID>(filter.ComponentId);
    EXPECT_EQ(Text(component.Manufacturer), "00000000-0000-0000-0001-000000000000");
}

TEST_F(DescriptorImage, BdaTemplatePairsTheAntennaWithTheTransportAcrossTheNodes) {
    const auto templateRva = view_->Symbol("kvsbdaReceiverBdaTemplate");
    ASSERT_TRUE(templateRva.has_value());
    const auto filterTemplate = view_->At<BDA_FILTER_TEMPLATE>(*templateRva).value();
    EXPECT_EQ(view_->Rva(filterTemplate.pFilterDescriptor), filterRva_);
    ASSERT_EQ(filterTemplate.ulcPinPairs, 1u);
    const auto pairing = Follow<BDA_PIN_PAIRING>(filterTemplate.pPinPairs);
    EXPECT_EQ(pairing.ulInputPin, 0u);
    EXPECT_EQ(pairing.ulOutputPin, 1u);
    EXPECT_EQ(pairing.ulcMaxInputsPerOutput + pairing.ulcMinInputsPerOutput +
                  pairing.ulcMaxOutputsPerInput + pairing.ulcMinOutputsPerInput,
              4u);
    ASSERT_EQ(pairing.ulcTopologyJoints, 1u);
    EXPECT_EQ(Follow<ULONG>(pairing.pTopologyJoints), 1u);
}

}  // namespace
