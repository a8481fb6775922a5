// The receiver filter's tables: constant data, the same on both builds, with the handlers of
// filter_dispatch.cpp, tuning_properties.cpp and change_sync_methods.cpp.
#include "driver/filter_descriptors.h"

#include "driver/bda_topology_properties.h"
#include "driver/change_sync_methods.h"
#include "driver/filter_dispatch.h"
#include "driver/ks_table_builders.h"
#include "driver/private_property_table.h"
#include "driver/receiver_guids.h"
#include "driver/tuning_properties.h"

namespace {

// ---- Filter automation: the private property set, the BDA topology set and two method sets ---
// The topology items take a bare property header, the node lists a node header and the
// controlling pin a node type with a pin pair. Lists have no minimum value size: the library
// answers an empty buffer with the size it needs.
constexpr KSPROPERTY_ITEM TopologyItem(ULONG id, PFNKSHANDLER get, ULONG minProperty,
                                       ULONG minData) {
    return PropertyItem(id, get, nullptr, minProperty, minData);
}
constexpr KSPROPERTY_ITEM kTopologyItems[] = {
    TopologyItem(KSPROPERTY_BDA_NODE_TYPES, TopologyNodeTypes, sizeof(KSPROPERTY), 0),
    TopologyItem(KSPROPERTY_BDA_PIN_TYPES, TopologyPinTypes, sizeof(KSPROPERTY), 0),
    TopologyItem(KSPROPERTY_BDA_TEMPLATE_CONNECTIONS, TopologyTemplateConnections,
                 sizeof(KSPROPERTY), 0),
    TopologyItem(KSPROPERTY_BDA_NODE_METHODS, TopologyNodeMethods, sizeof(KSP_NODE), 0),
    TopologyItem(KSPROPERTY_BDA_NODE_PROPERTIES, TopologyNodeProperties, sizeof(KSP_NODE), 0),
    TopologyItem(KSPROPERTY_BDA_NODE_EVENTS, TopologyNodeEvents, sizeof(KSP_NODE), 0),
    TopologyItem(KSPROPERTY_BDA_CONTROLLING_PIN_ID, TopologyControllingPinId,
                 sizeof(KSP_BDA_NODE_PIN), sizeof(ULONG)),
    TopologyItem(KSPROPERTY_BDA_NODE_DESCRIPTORS, TopologyNodeDescriptors, sizeof(KSPROPERTY), 0),
};

constexpr KSPROPERTY_SET kFilterPropertySets[] = {
    PropertySet(&PrivatePropertySet, kvsbdaPrivatePropertyItems),
    PropertySet(&KSPROPSETID_BdaTopology, kTopologyItems),
};

// A method header and a pin pair.
constexpr KSMETHOD_ITEM kDeviceConfigurationMethods[] = {
    MethodItem(KSMETHOD_BDA_CREATE_TOPOLOGY, BdaMethodCreateTopology, KSMETHOD_TYPE_WRITE,
               sizeof(KSM_BDA_PIN_PAIR), 0),
};
// A bare method header each.
constexpr KSMETHOD_ITEM kChangeSyncMethods[] = {
    MethodItem(KSMETHOD_BDA_START_CHANGES, StartChanges, KSMETHOD_TYPE_NONE, sizeof(KSMETHOD), 0),
    MethodItem(KSMETHOD_BDA_CHECK_CHANGES, CheckChanges, KSMETHOD_TYPE_NONE, sizeof(KSMETHOD), 0),
    MethodItem(KSMETHOD_BDA_COMMIT_CHANGES, CommitChanges, KSMETHOD_TYPE_NONE, sizeof(KSMETHOD), 0),
    MethodItem(KSMETHOD_BDA_GET_CHANGE_STATE, GetChangeState, KSMETHOD_TYPE_READ, sizeof(KSMETHOD),
               0),
};
constexpr KSMETHOD_SET kFilterMethodSets[] = {
    MethodSet(&KSMETHODSETID_BdaDeviceConfiguration, kDeviceConfigurationMethods),
    MethodSet(&KSMETHODSETID_BdaChangeSync, kChangeSyncMethods),
};

constexpr KSAUTOMATION_TABLE kFilterAutomation =
    AutomationTable(2, kFilterPropertySets, 2, kFilterMethodSets);

// ---- Node automation: a property header with node id and one 32-bit value per item ----------
constexpr KSPROPERTY_ITEM NodeItem(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set) {
    return PropertyItem(id, get, set, sizeof(KSP_NODE), sizeof(ULONG));
}

constexpr KSPROPERTY_ITEM kTunerFrequencyItems[] = {
    NodeItem(KSPROPERTY_BDA_RF_TUNER_FREQUENCY, FrequencyFilterGet, FrequencyFilterSet),
    NodeItem(KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, FrequencyFilterGet, FrequencyFilterSet),
    NodeItem(KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, FrequencyFilterGet, FrequencyFilterSet),
};
constexpr KSPROPERTY_ITEM kTunerSignalItems[] = {
    NodeItem(KSPROPERTY_BDA_SIGNAL_STRENGTH, SignalStatisticsGet, nullptr),
    NodeItem(KSPROPERTY_BDA_SIGNAL_PRESENT, SignalStatisticsGet, nullptr),
};
constexpr KSPROPERTY_SET kTunerPropertySets[] = {
    PropertySet(&KSPROPSETID_BdaFrequencyFilter, kTunerFrequencyItems),
    PropertySet(&KSPROPSETID_BdaSignalStats, kTunerSignalItems),
};

constexpr KSPROPERTY_ITEM DemodulatorItem(ULONG id) {
    return NodeItem(id, DigitalDemodulatorGet, DigitalDemodulatorSet);
}
constexpr KSPROPERTY_ITEM kDemodulatorItems[] = {
    DemodulatorItem(KSPROPERTY_BDA_MODULATION_TYPE),
    DemodulatorItem(KSPROPERTY_BDA_INNER_FEC_TYPE),
    DemodulatorItem(KSPROPERTY_BDA_INNER_FEC_RATE),
    DemodulatorItem(KSPROPERTY_BDA_OUTER_FEC_TYPE),
    DemodulatorItem(KSPROPERTY_BDA_OUTER_FEC_RATE),
    DemodulatorItem(KSPROPERTY_BDA_SYMBOL_RATE),
    DemodulatorItem(KSPROPERTY_BDA_GUARD_INTERVAL),
    DemodulatorItem(KSPROPERTY_BDA_TRANSMISSION_MODE),
    DemodulatorItem(KSPROPERTY_BDA_SPECTRAL_INVERSION),
};
constexpr KSPROPERTY_ITEM kDemodulatorSignalItems[] = {
    NodeItem(KSPROPERTY_BDA_SIGNAL_QUALITY, SignalStatisticsGet, nullptr),
    NodeItem(KSPROPERTY_BDA_SIGNAL_LOCKED, SignalStatisticsGet, nullptr),
};
constexpr KSPROPERTY_SET kDemodulatorPropertySets[] = {
    PropertySet(&KSPROPSETID_BdaDigitalDemodulator, kDemodulatorItems),
    PropertySet(&KSPROPSETID_BdaSignalStats, kDemodulatorSignalItems),
};

constexpr KSAUTOMATION_TABLE kTunerAutomation = AutomationTable(2, kTunerPropertySets, 0, nullptr);
constexpr KSAUTOMATION_TABLE kDemodulatorAutomation =
    AutomationTable(2, kDemodulatorPropertySets, 0, nullptr);

// ---- Pin automation: pin control, and the sets of the node each pin controls ----------------
// A node is reached through its controlling pin: the tuner (before the topology joint) through
// the antenna pin, the demodulator (after it) through the transport pin. Each pin carries the
// node sets of the node it controls; the handlers check the request's node against the pin.
constexpr KSPROPERTY_ITEM kPinControlItems[] = {
    PropertyItem(KSPROPERTY_BDA_PIN_ID, PinControlGet, nullptr, sizeof(KSPROPERTY), sizeof(ULONG)),
    PropertyItem(KSPROPERTY_BDA_PIN_TYPE, PinControlGet, nullptr, sizeof(KSPROPERTY),
                 sizeof(ULONG)),
};
constexpr KSPROPERTY_SET kAntennaPinPropertySets[] = {
    PropertySet(&KSPROPSETID_BdaPinControl, kPinControlItems),
    PropertySet(&KSPROPSETID_BdaFrequencyFilter, kTunerFrequencyItems),
    PropertySet(&KSPROPSETID_BdaSignalStats, kTunerSignalItems),
};
constexpr KSPROPERTY_SET kTransportPinPropertySets[] = {
    PropertySet(&KSPROPSETID_BdaPinControl, kPinControlItems),
    PropertySet(&KSPROPSETID_BdaDigitalDemodulator, kDemodulatorItems),
    PropertySet(&KSPROPSETID_BdaSignalStats, kDemodulatorSignalItems),
};
constexpr KSAUTOMATION_TABLE kAntennaPinAutomation =
    AutomationTable(3, kAntennaPinPropertySets, 0, nullptr);
constexpr KSAUTOMATION_TABLE kTransportPinAutomation =
    AutomationTable(3, kTransportPinPropertySets, 0, nullptr);

constexpr KSNODE_DESCRIPTOR Node(const KSAUTOMATION_TABLE* automation, const GUID* type,
                                 const GUID* name) {
    KSNODE_DESCRIPTOR node{};
    node.AutomationTable = automation;
    node.Type = type;
    node.Name = name;
    return node;
}
constexpr KSNODE_DESCRIPTOR kNodes[] = {
    Node(&kTunerAutomation, &KSNODE_BDA_RF_TUNER, &TunerNodeName),
    Node(&kDemodulatorAutomation, &KSNODE_BDA_COFDM_DEMODULATOR, &DemodulatorNodeName),
};

// ---- Topology: antenna -> tuner -> demodulator -> transport ---------------------------------
// A node's pin 1 is its input, pin 0 its output.
constexpr KSTOPOLOGY_CONNECTION kConnections[] = {
    {KSFILTER_NODE, kAntennaPinId, kTunerNodeId, 1},
    {kTunerNodeId, 0, kDemodulatorNodeId, 1},
    {kDemodulatorNodeId, 0, KSFILTER_NODE, kTransportPinId},
};
constexpr ULONG kTunerToDemodulatorConnection = 1;

// ---- Pins -----------------------------------------------------------------------------------
constexpr KSDATARANGE DataRangeHeader(ULONG size, const GUID& major, const GUID& sub,
                                      const GUID& specifier) {
    KSDATARANGE range{};
    range.FormatSize = size;
    range.Flags = 0;
    range.SampleSize = 0;
    range.Reserved = 0;
    range.MajorFormat = major;
    range.SubFormat = sub;
    range.Specifier = specifier;
    return range;
}

constexpr KS_DATARANGE_BDA_ANTENNA MakeAntennaRange() {
    KS_DATARANGE_BDA_ANTENNA range{};
    range.DataRange = DataRangeHeader(sizeof(KS_DATARANGE_BDA_ANTENNA),
                                      GuidValue(STATICGUIDOF(KSDATAFORMAT_TYPE_BDA_ANTENNA)),
                                      GuidValue(STATICGUIDOF(KSDATAFORMAT_SUBTYPE_NONE)),
                                      GuidValue(STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)));
    return range;
}

constexpr KS_DATARANGE_BDA_TRANSPORT MakeTransportRange() {
    KS_DATARANGE_BDA_TRANSPORT range{};
    range.DataRange = DataRangeHeader(
        sizeof(KS_DATARANGE_BDA_TRANSPORT), GuidValue(STATICGUIDOF(KSDATAFORMAT_TYPE_STREAM)),
        GuidValue(STATICGUIDOF(KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT)),
        GuidValue(STATICGUIDOF(KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT)));
    range.BdaTransportInfo.ulcbPhyiscalPacket = kTransportPacketBytes;
    range.BdaTransportInfo.ulcbPhyiscalFrame = kTransportFrameBytes;
    range.BdaTransportInfo.ulcbPhyiscalFrameAlignment = 0;
    range.BdaTransportInfo.AvgTimePerFrame = 0;
    return range;
}

constexpr KS_DATARANGE_BDA_ANTENNA kAntennaRange = MakeAntennaRange();
constexpr KS_DATARANGE_BDA_TRANSPORT kTransportRange = MakeTransportRange();
// Kernel streaming takes ranges through non-constant pointers; it does not write through them.
constexpr PKSDATARANGE kAntennaRanges[] = {const_cast<PKSDATARANGE>(&kAntennaRange.DataRange)};
constexpr PKSDATARANGE kTransportRanges[] = {const_cast<PKSDATARANGE>(&kTransportRange.DataRange)};

constexpr KSALLOCATOR_FRAMING_EX MakeTransportFraming() {
    KSALLOCATOR_FRAMING_EX framing{};
    framing.CountItems = 1;
    framing.PinFlags = 0;
    framing.OutputCompression.RatioNumerator = 1;
    framing.OutputCompression.RatioDenominator = 1;
    framing.OutputCompression.RatioConstantMargin = 0;
    framing.PinWeight = 0;
    KS_FRAMING_ITEM& item = framing.FramingItem[0];
    item.MemoryType = GuidValue(STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED));
    item.BusType = GuidValue(STATICGUIDOF(GUID_NULL));
    item.MemoryFlags = 0;
    item.BusFlags = 0;
    item.Flags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY;
    item.Frames = kTransportFrames;
    item.FileAlignment = 0;
    item.MemoryTypeWeight = 0;
    item.PhysicalRange.MinFrameSize = 0;
    item.PhysicalRange.MaxFrameSize = 0xFFFFFFFF;
    item.PhysicalRange.Stepping = 1;
    item.FramingRange.Range.MinFrameSize = kTransportFrameBytes;
    item.FramingRange.Range.MaxFrameSize = kTransportFrameBytes;
    item.FramingRange.Range.Stepping = 1;
    item.FramingRange.InPlaceWeight = 0;
    item.FramingRange.NotInPlaceWeight = 0;
    return framing;
}
constexpr KSALLOCATOR_FRAMING_EX kTransportFraming = MakeTransportFraming();

constexpr KSPIN_INTERFACE MakeStreamingInterface() {
    KSPIN_INTERFACE interface {};
    interface.Set = GuidValue(STATICGUIDOF(KSINTERFACESETID_Standard));
    interface.Id = KSINTERFACE_STANDARD_STREAMING;
    interface.Flags = 0;
    return interface;
}
constexpr KSPIN_INTERFACE kTransportInterfaces[] = {MakeStreamingInterface()};

constexpr KSPIN_DISPATCH MakePinDispatch(NTSTATUS (*create)(PKSPIN, PIRP),
                                         NTSTATUS (*close)(PKSPIN, PIRP),
                                         NTSTATUS (*process)(PKSPIN),
                                         NTSTATUS (*setDeviceState)(PKSPIN, KSSTATE, KSSTATE)) {
    KSPIN_DISPATCH dispatch{};
    dispatch.Create = create;
    dispatch.Close = close;
    dispatch.Process = process;
    dispatch.Reset = nullptr;
    dispatch.SetDataFormat = nullptr;
    dispatch.SetDeviceState = setDeviceState;
    dispatch.Connect = nullptr;
    dispatch.Disconnect = nullptr;
    dispatch.Clock = nullptr;
    dispatch.Allocator = nullptr;
    return dispatch;
}
constexpr KSPIN_DISPATCH kAntennaDispatch =
    MakePinDispatch(AntennaPinCreate, AntennaPinClose, nullptr, AntennaSetDeviceState);
constexpr KSPIN_DISPATCH kTransportDispatch =
    MakePinDispatch(OutputCreate, OutputClose, OutputProcess, OutputSetDeviceState);

constexpr ULONG kAntennaPinFlags = KSPIN_FLAG_FIXED_FORMAT |
                                   KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT |
                                   KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING;
constexpr ULONG kTransportPinFlags =
    KSPIN_FLAG_FIXED_FORMAT | KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING;

struct PinTraits {
    const KSPIN_DISPATCH* dispatch;
    const KSAUTOMATION_TABLE* automation;
    ULONG interfacesCount;
    const KSPIN_INTERFACE* interfaces;
    const PKSDATARANGE* ranges;
    KSPIN_DATAFLOW dataFlow;
    const GUID* categoryAndName;
    ULONG flags;
    ULONG instancesNecessary;
    const KSALLOCATOR_FRAMING_EX* framing;
    PFNKSINTERSECTHANDLEREX intersect;
};

constexpr KSPIN_DESCRIPTOR_EX Pin(const PinTraits& traits) {
    KSPIN_DESCRIPTOR_EX pin{};
    pin.Dispatch = traits.dispatch;
    pin.AutomationTable = traits.automation;
    pin.PinDescriptor.InterfacesCount = traits.interfacesCount;
    pin.PinDescriptor.Interfaces = traits.interfaces;
    pin.PinDescriptor.MediumsCount = 0;
    pin.PinDescriptor.Mediums = nullptr;
    pin.PinDescriptor.DataRangesCount = 1;
    pin.PinDescriptor.DataRanges = traits.ranges;
    pin.PinDescriptor.DataFlow = traits.dataFlow;
    pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
    pin.PinDescriptor.Category = traits.categoryAndName;
    pin.PinDescriptor.Name = traits.categoryAndName;
    pin.PinDescriptor.Reserved = 0;
    pin.Flags = traits.flags;
    pin.InstancesPossible = 1;
    pin.InstancesNecessary = traits.instancesNecessary;
    pin.AllocatorFraming = traits.framing;
    pin.IntersectHandler = traits.intersect;
    return pin;
}

constexpr KSPIN_DESCRIPTOR_EX kPins[] = {
    Pin({&kAntennaDispatch, &kAntennaPinAutomation, 0, nullptr, kAntennaRanges, KSPIN_DATAFLOW_IN,
         &AntennaPinName, kAntennaPinFlags, 0, nullptr, AntennaIntersect}),
    Pin({&kTransportDispatch, &kTransportPinAutomation, 1, kTransportInterfaces, kTransportRanges,
         KSPIN_DATAFLOW_OUT, &PINNAME_BDA_TRANSPORT, kTransportPinFlags, 1, &kTransportFraming,
         TransportIntersect}),
};

// ---- Filter ---------------------------------------------------------------------------------
constexpr GUID kFilterCategories[] = {
    GuidValue(STATICGUIDOF(KSCATEGORY_BDA_RECEIVER_COMPONENT)),
    GuidValue(STATICGUIDOF(KSCATEGORY_BDA_NETWORK_TUNER)),
};

constexpr KSCOMPONENTID MakeComponentId() {
    KSCOMPONENTID id{};
    id.Manufacturer =
        GuidValue(0x00000000, 0x0000, 0x0000, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
    id.Product = GuidValue(STATICGUIDOF(GUID_NULL));
    id.Component = GuidValue(STATICGUIDOF(GUID_NULL));
    id.Name = GuidValue(STATICGUIDOF(GUID_NULL));
    id.Version = 0;
    id.Revision = 0;
    return id;
}
constexpr KSCOMPONENTID kComponentId = MakeComponentId();

constexpr KSFILTER_DISPATCH MakeFilterDispatch() {
    KSFILTER_DISPATCH dispatch{};
    dispatch.Create = FilterCreate;
    dispatch.Close = FilterClose;
    dispatch.Process = nullptr;
    dispatch.Reset = nullptr;
    return dispatch;
}
constexpr KSFILTER_DISPATCH kFilterDispatch = MakeFilterDispatch();

constexpr KSFILTER_DESCRIPTOR MakeFilterDescriptor() {
    KSFILTER_DESCRIPTOR descriptor{};
    descriptor.Dispatch = &kFilterDispatch;
    descriptor.AutomationTable = &kFilterAutomation;
    descriptor.Version = KSFILTER_DESCRIPTOR_VERSION;
    descriptor.Flags = 0;
    descriptor.ReferenceGuid = &KSNAME_Filter;
    descriptor.PinDescriptorsCount = sizeof(kPins) / sizeof(kPins[0]);
    descriptor.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
    descriptor.PinDescriptors = kPins;
    descriptor.CategoriesCount = sizeof(kFilterCategories) / sizeof(kFilterCategories[0]);
    descriptor.Categories = kFilterCategories;
    descriptor.NodeDescriptorsCount = sizeof(kNodes) / sizeof(kNodes[0]);
    descriptor.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
    descriptor.NodeDescriptors = kNodes;
    descriptor.ConnectionsCount = sizeof(kConnections) / sizeof(kConnections[0]);
    descriptor.Connections = kConnections;
    descriptor.ComponentId = &kComponentId;
    return descriptor;
}

// ---- BDA template: the filter above and one pin pairing ------------------------------------
constexpr ULONG kTopologyJoints[] = {kTunerToDemodulatorConnection};

constexpr BDA_PIN_PAIRING MakePinPairing() {
    BDA_PIN_PAIRING pairing{};
    pairing.ulInputPin = kAntennaPinId;
    pairing.ulOutputPin = kTransportPinId;
    pairing.ulcMaxInputsPerOutput = 1;
    pairing.ulcMinInputsPerOutput = 1;
    pairing.ulcMaxOutputsPerInput = 1;
    pairing.ulcMinOutputsPerInput = 1;
    pairing.ulcTopologyJoints = sizeof(kTopologyJoints) / sizeof(kTopologyJoints[0]);
    pairing.pTopologyJoints = kTopologyJoints;
    return pairing;
}
constexpr BDA_PIN_PAIRING kPinPairings[] = {MakePinPairing()};

}  // namespace

constinit const KSFILTER_DESCRIPTOR kvsbdaReceiverFilterDescriptor = MakeFilterDescriptor();

namespace {

constexpr BDA_FILTER_TEMPLATE MakeBdaTemplate() {
    BDA_FILTER_TEMPLATE filterTemplate{};
    filterTemplate.pFilterDescriptor = &kvsbdaReceiverFilterDescriptor;
    filterTemplate.ulcPinPairs = sizeof(kPinPairings) / sizeof(kPinPairings[0]);
    filterTemplate.pPinPairs = kPinPairings;
    return filterTemplate;
}

}  // namespace

constinit const BDA_FILTER_TEMPLATE kvsbdaReceiverBdaTemplate = MakeBdaTemplate();

const KSFILTER_DESCRIPTOR* ReceiverFilterDescriptor() {
    return &kvsbdaReceiverFilterDescriptor;
}

const BDA_FILTER_TEMPLATE* ReceiverBdaTemplate() {
    return &kvsbdaReceiverBdaTemplate;
}
