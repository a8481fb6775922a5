#pragma once
// Kernel-streaming (ks.h, ksmedia.h), BDA (bdatypes.h, bdamedia.h) and BDA support (bdasup.h)
// vocabulary, emulated on the host as far as the driver uses it.
//
// Every structure that the driver and the kernel-streaming services share has the Windows x64
// layout and the member names of the Windows headers, so that one set of descriptor tables serves
// both builds and host memory means the same to the real driver image; driver/ks_layout_checks.cpp
// checks the sizes and offsets on both builds. Nothing host-only lives inside these structures:
// the host services keep their own state beside them (platform/host/ks_objects.h).
#include <platform_impl/kernel.h>

// ---- Status codes of kernel streaming's answers ---------------------------------------------
constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = (NTSTATUS)0xC0000206;
constexpr NTSTATUS STATUS_NOT_FOUND = (NTSTATUS)0xC0000225;
constexpr NTSTATUS STATUS_PROPSET_NOT_FOUND = (NTSTATUS)0xC0000230;
constexpr NTSTATUS STATUS_NO_MATCH = (NTSTATUS)0xC0000272;

// ---- GUIDs ------------------------------------------------------------------------------------
// As in the Windows headers, each GUID comes as its STATIC_ initialiser list (for GUID values
// inside constant tables) and as an object (for GUID pointers).
#define STATICGUIDOF(guid) STATIC_##guid

constexpr GUID HostGuid(ULONG data1, USHORT data2, USHORT data3, UCHAR b0, UCHAR b1, UCHAR b2,
                        UCHAR b3, UCHAR b4, UCHAR b5, UCHAR b6, UCHAR b7) {
    return GUID{data1, data2, data3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}

#define STATIC_GUID_NULL 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
#define STATIC_KSNAME_Filter \
    0x9B365890, 0x165F, 0x11D0, 0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4
#define STATIC_KSINTERFACESETID_Standard \
    0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define STATIC_KSDATAFORMAT_TYPE_STREAM \
    0xE436EB83, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#define STATIC_KSDATAFORMAT_SUBTYPE_NONE \
    0xE436EB8E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#define STATIC_KSDATAFORMAT_SPECIFIER_NONE \
    0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED \
    0x4A6D5FC4, 0x7895, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02
#define STATIC_KSPROPSETID_General \
    0x1464EDA5, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSPROPTYPESETID_General \
    0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define STATIC_KSPROPSETID_Pin \
    0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00
#define STATIC_KSPROPSETID_Topology \
    0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define STATIC_KSCATEGORY_BDA_RECEIVER_COMPONENT \
    0xFD0A5AF4, 0xB41D, 0x11D2, 0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSCATEGORY_BDA_NETWORK_TUNER \
    0x71985F48, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSNODE_BDA_RF_TUNER \
    0x71985F4C, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSNODE_BDA_COFDM_DEMODULATOR \
    0x2DAC6E05, 0xEDBE, 0x4B9C, 0xB3, 0x87, 0x1B, 0x6F, 0xAD, 0x7D, 0x64, 0x95
#define STATIC_PINNAME_BDA_TRANSPORT \
    0x78216A81, 0xCFA8, 0x493E, 0x97, 0x11, 0x36, 0xA6, 0x1C, 0x08, 0xBD, 0x9D
#define STATIC_KSDATAFORMAT_TYPE_BDA_ANTENNA \
    0x71985F41, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT \
    0xF4AEB342, 0x0329, 0x4FDD, 0xA8, 0xFD, 0x4A, 0xFF, 0x49, 0x26, 0xC9, 0x78
#define STATIC_KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT \
    0x8DEDA6FD, 0xAC5F, 0x4334, 0x8E, 0xCF, 0xA4, 0xBA, 0x8F, 0xA7, 0xD0, 0xF0
#define STATIC_KSPROPSETID_BdaFrequencyFilter \
    0x71985F47, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSPROPSETID_BdaSignalStats \
    0x1347D106, 0xCF3A, 0x428A, 0xA5, 0xCB, 0xAC, 0x0D, 0x9A, 0x2A, 0x43, 0x38
#define STATIC_KSPROPSETID_BdaDigitalDemodulator \
    0xEF30F379, 0x985B, 0x4D10, 0xB6, 0x40, 0xA7, 0x9D, 0x5E, 0x04, 0xE1, 0xE0
#define STATIC_KSMETHODSETID_BdaDeviceConfiguration \
    0x71985F45, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSMETHODSETID_BdaChangeSync \
    0xFD0A5AF3, 0xB41D, 0x11D2, 0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSPROPSETID_BdaTopology \
    0xA14EE835, 0x0A23, 0x11D3, 0x9C, 0xC7, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSPROPSETID_BdaPinControl \
    0x0DED49D5, 0xA8B7, 0x4D5D, 0x97, 0xA1, 0x12, 0xB0, 0xC1, 0x95, 0x87, 0x4D

inline constexpr GUID GUID_NULL = HostGuid(STATIC_GUID_NULL);
inline constexpr GUID KSNAME_Filter = HostGuid(STATIC_KSNAME_Filter);
inline constexpr GUID KSINTERFACESETID_Standard = HostGuid(STATIC_KSINTERFACESETID_Standard);
inline constexpr GUID KSDATAFORMAT_TYPE_STREAM = HostGuid(STATIC_KSDATAFORMAT_TYPE_STREAM);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_NONE = HostGuid(STATIC_KSDATAFORMAT_SUBTYPE_NONE);
inline constexpr GUID KSDATAFORMAT_SPECIFIER_NONE = HostGuid(STATIC_KSDATAFORMAT_SPECIFIER_NONE);
inline constexpr GUID KSMEMORY_TYPE_KERNEL_NONPAGED =
    HostGuid(STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED);
inline constexpr GUID KSPROPSETID_General = HostGuid(STATIC_KSPROPSETID_General);
inline constexpr GUID KSPROPTYPESETID_General = HostGuid(STATIC_KSPROPTYPESETID_General);
inline constexpr GUID KSPROPSETID_Pin = HostGuid(STATIC_KSPROPSETID_Pin);
inline constexpr GUID KSPROPSETID_Topology = HostGuid(STATIC_KSPROPSETID_Topology);
inline constexpr GUID KSCATEGORY_BDA_RECEIVER_COMPONENT =
    HostGuid(STATIC_KSCATEGORY_BDA_RECEIVER_COMPONENT);
inline constexpr GUID KSCATEGORY_BDA_NETWORK_TUNER = HostGuid(STATIC_KSCATEGORY_BDA_NETWORK_TUNER);
inline constexpr GUID KSNODE_BDA_RF_TUNER = HostGuid(STATIC_KSNODE_BDA_RF_TUNER);
inline constexpr GUID KSNODE_BDA_COFDM_DEMODULATOR = HostGuid(STATIC_KSNODE_BDA_COFDM_DEMODULATOR);
inline constexpr GUID PINNAME_BDA_TRANSPORT = HostGuid(STATIC_PINNAME_BDA_TRANSPORT);
inline constexpr GUID KSDATAFORMAT_TYPE_BDA_ANTENNA =
    HostGuid(STATIC_KSDATAFORMAT_TYPE_BDA_ANTENNA);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT =
    HostGuid(STATIC_KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT);
inline constexpr GUID KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT =
    HostGuid(STATIC_KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT);
inline constexpr GUID KSPROPSETID_BdaFrequencyFilter =
    HostGuid(STATIC_KSPROPSETID_BdaFrequencyFilter);
inline constexpr GUID KSPROPSETID_BdaSignalStats = HostGuid(STATIC_KSPROPSETID_BdaSignalStats);
inline constexpr GUID KSPROPSETID_BdaDigitalDemodulator =
    HostGuid(STATIC_KSPROPSETID_BdaDigitalDemodulator);
inline constexpr GUID KSMETHODSETID_BdaDeviceConfiguration =
    HostGuid(STATIC_KSMETHODSETID_BdaDeviceConfiguration);
inline constexpr GUID KSMETHODSETID_BdaChangeSync = HostGuid(STATIC_KSMETHODSETID_BdaChangeSync);
inline constexpr GUID KSPROPSETID_BdaTopology = HostGuid(STATIC_KSPROPSETID_BdaTopology);
inline constexpr GUID KSPROPSETID_BdaPinControl = HostGuid(STATIC_KSPROPSETID_BdaPinControl);

// The wildcards of data-range matching are the null GUID.
#define KSDATAFORMAT_TYPE_WILDCARD GUID_NULL
#define KSDATAFORMAT_SUBTYPE_WILDCARD GUID_NULL
#define KSDATAFORMAT_SPECIFIER_WILDCARD GUID_NULL

// ---- Objects and power ------------------------------------------------------------------------
struct KSDEVICE;
using PKSDEVICE = KSDEVICE*;
struct KSFILTER;
using PKSFILTER = KSFILTER*;
struct KSPIN;
using PKSPIN = KSPIN*;
struct KSFILTER_DESCRIPTOR;
struct KSPIN_DESCRIPTOR_EX;
struct KSNODE_DESCRIPTOR;
struct KSAUTOMATION_TABLE;
struct KSSTREAM_HEADER;
using PKSSTREAM_HEADER = KSSTREAM_HEADER*;
struct KSPROCESSPIN_INDEXENTRY;
using PKSPROCESSPIN_INDEXENTRY = KSPROCESSPIN_INDEXENTRY*;
struct KSCLOCK_DISPATCH;
struct KSALLOCATOR_DISPATCH;
struct KSATTRIBUTE_LIST;
struct KSPROPERTY_VALUES;
struct KSFASTPROPERTY_ITEM;
struct KSFASTMETHOD_ITEM;
struct KSEVENTDATA;
using PKSEVENTDATA = KSEVENTDATA*;
struct KSEVENT_ENTRY;
struct DEVICE_CAPABILITIES;
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
struct CM_RESOURCE_LIST;
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;
using KSOBJECT_BAG = PVOID;
using REFERENCE_TIME = LONGLONG;

enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
};
enum SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking = 1 };

// Laid out as in wdm.h; the driver's QueryCapabilities handler leaves it unchanged.
struct DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG Flags;  // DeviceD1, DeviceD2, LockSupported, ... as bits
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[7];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
};

enum KSSTATE { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };
enum KSRESET { KSRESET_BEGIN = 0, KSRESET_END = 1 };

// ---- Identifiers, requests and data formats ---------------------------------------------------
// A property, method or event request header: set, item id and request flags.
struct KSIDENTIFIER {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
};
using PKSIDENTIFIER = KSIDENTIFIER*;
using KSPROPERTY = KSIDENTIFIER;
using PKSPROPERTY = KSIDENTIFIER*;
using KSMETHOD = KSIDENTIFIER;
using PKSMETHOD = KSIDENTIFIER*;
using KSEVENT = KSIDENTIFIER;
using KSPIN_INTERFACE = KSIDENTIFIER;
using KSPIN_MEDIUM = KSIDENTIFIER;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000
#define KSMETHOD_TYPE_NONE 0x00000000
#define KSMETHOD_TYPE_READ 0x00000001
#define KSMETHOD_TYPE_WRITE 0x00000002
#define KSMETHOD_TYPE_MODIFY 0x00000003
#define KSMETHOD_TYPE_SOURCE 0x00000004
#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_SETSUPPORT 0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200
#define KSMETHOD_TYPE_TOPOLOGY 0x10000000
#define KSFILTER_NODE ((ULONG)-1)
#define IOCTL_KS_PROPERTY 0x002F0003
#define IOCTL_KS_METHOD 0x002F000F

// A request addressed to a node of the filter's topology.
struct KSP_NODE {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
};
using PKSP_NODE = KSP_NODE*;
struct KSM_NODE {
    KSMETHOD Method;
    ULONG NodeId;
    ULONG Reserved;
};
using PKSM_NODE = KSM_NODE*;
// A request about one pin factory of a filter.
struct KSP_PIN {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
};
using PKSP_PIN = KSP_PIN*;

struct KSMULTIPLE_ITEM {
    ULONG Size;
    ULONG Count;
};
using PKSMULTIPLE_ITEM = KSMULTIPLE_ITEM*;

struct KSPROPERTY_DESCRIPTION {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
};

struct KSPRIORITY {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
};

struct KSCOMPONENTID {
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
};

struct KSPIN_CINSTANCES {
    ULONG PossibleCount;
    ULONG CurrentCount;
};

enum KSPROPERTY_GENERAL { KSPROPERTY_GENERAL_COMPONENTID = 0 };
enum KSPROPERTY_PIN {
    KSPROPERTY_PIN_CINSTANCES = 0,
    KSPROPERTY_PIN_CTYPES = 1,
    KSPROPERTY_PIN_DATAFLOW = 2,
    KSPROPERTY_PIN_DATARANGES = 3,
    KSPROPERTY_PIN_DATAINTERSECTION = 4,
    KSPROPERTY_PIN_INTERFACES = 5,
    KSPROPERTY_PIN_MEDIUMS = 6,
    KSPROPERTY_PIN_COMMUNICATION = 7,
    KSPROPERTY_PIN_GLOBALCINSTANCES = 8,
    KSPROPERTY_PIN_NECESSARYINSTANCES = 9,
    KSPROPERTY_PIN_PHYSICALCONNECTION = 10,
    KSPROPERTY_PIN_CATEGORY = 11,
    KSPROPERTY_PIN_NAME = 12,
};
enum KSPROPERTY_TOPOLOGY {
    KSPROPERTY_TOPOLOGY_CATEGORIES = 0,
    KSPROPERTY_TOPOLOGY_NODES = 1,
    KSPROPERTY_TOPOLOGY_CONNECTIONS = 2,
    KSPROPERTY_TOPOLOGY_NAME = 3,
};

enum KSPIN_DATAFLOW { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 };
enum KSPIN_COMMUNICATION {
    KSPIN_COMMUNICATION_NONE = 0,
    KSPIN_COMMUNICATION_SINK = 1,
    KSPIN_COMMUNICATION_SOURCE = 2,
    KSPIN_COMMUNICATION_BOTH = 3,
    KSPIN_COMMUNICATION_BRIDGE = 4,
};
enum KSINTERFACE_STANDARD {
    KSINTERFACE_STANDARD_STREAMING = 0,
    KSINTERFACE_STANDARD_LOOPED_STREAMING = 1,
    KSINTERFACE_STANDARD_CONTROL = 2,
};

// A data format, and the range of formats a pin accepts (the same header).
union KSDATAFORMAT {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
};
using PKSDATAFORMAT = KSDATAFORMAT*;
using KSDATARANGE = KSDATAFORMAT;
using PKSDATARANGE = KSDATAFORMAT*;

// The BDA data ranges: the antenna input's is a plain range; the transport output's adds the
// transport-stream framing.
struct KS_DATARANGE_BDA_ANTENNA {
    KSDATARANGE DataRange;
};
struct BDA_TRANSPORT_INFO {
    ULONG ulcbPhyiscalPacket;
    ULONG ulcbPhyiscalFrame;
    ULONG ulcbPhyiscalFrameAlignment;
    REFERENCE_TIME AvgTimePerFrame;
};
struct KS_DATARANGE_BDA_TRANSPORT {
    KSDATARANGE DataRange;
    BDA_TRANSPORT_INFO BdaTransportInfo;
};

// ---- Automation tables ----------------------------------------------------------------------
using PFNKSHANDLER = NTSTATUS (*)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

struct KSPROPERTY_ITEM {
    ULONG PropertyId;
    union {
        PFNKSHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    ULONG MinProperty;
    ULONG MinData;
    union {
        PFNKSHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
};
struct KSPROPERTY_SET {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM* FastIoTable;
};
struct KSMETHOD_ITEM {
    ULONG MethodId;
    union {
        PFNKSHANDLER MethodHandler;
        BOOLEAN MethodSupported;
    };
    ULONG MinMethod;
    ULONG MinData;
    PFNKSHANDLER SupportHandler;
    ULONG Flags;
};
struct KSMETHOD_SET {
    const GUID* Set;
    ULONG MethodsCount;
    const KSMETHOD_ITEM* MethodItem;
    ULONG FastIoCount;
    const KSFASTMETHOD_ITEM* FastIoTable;
};
using PFNKSADDEVENT = NTSTATUS (*)(PIRP Irp, PKSEVENTDATA EventData, KSEVENT_ENTRY* EventEntry);
using PFNKSREMOVEEVENT = void (*)(PVOID FileObject, KSEVENT_ENTRY* EventEntry);
struct KSEVENT_ITEM {
    ULONG EventId;
    ULONG DataInput;
    ULONG ExtraEntryData;
    PFNKSADDEVENT AddHandler;
    PFNKSREMOVEEVENT RemoveHandler;
    PFNKSHANDLER SupportHandler;
};
struct KSEVENT_SET {
    const GUID* Set;
    ULONG EventsCount;
    const KSEVENT_ITEM* EventItem;
};
struct KSAUTOMATION_TABLE {
    ULONG PropertySetsCount;
    ULONG PropertyItemSize;
    const KSPROPERTY_SET* PropertySets;
    ULONG MethodSetsCount;
    ULONG MethodItemSize;
    const KSMETHOD_SET* MethodSets;
    ULONG EventSetsCount;
    ULONG EventItemSize;
    const KSEVENT_SET* EventSets;
};

// ---- Topology ---------------------------------------------------------------------------------
struct KSTOPOLOGY_CONNECTION {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};
struct KSNODE_DESCRIPTOR {
    const KSAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
};

// ---- Allocator framing ------------------------------------------------------------------------
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
struct KS_FRAMING_RANGE {
    ULONG MinFrameSize;
    ULONG MaxFrameSize;
    ULONG Stepping;
};
struct KS_FRAMING_RANGE_WEIGHTED {
    KS_FRAMING_RANGE Range;
    ULONG InPlaceWeight;
    ULONG NotInPlaceWeight;
};
struct KS_COMPRESSION {
    ULONG RatioNumerator;
    ULONG RatioDenominator;
    ULONG RatioConstantMargin;
};
struct KS_FRAMING_ITEM {
    GUID MemoryType;
    GUID BusType;
    ULONG MemoryFlags;
    ULONG BusFlags;
    ULONG Flags;
    ULONG Frames;
    ULONG FileAlignment;
    ULONG MemoryTypeWeight;
    KS_FRAMING_RANGE PhysicalRange;
    KS_FRAMING_RANGE_WEIGHTED FramingRange;
};
struct KSALLOCATOR_FRAMING_EX {
    ULONG CountItems;
    ULONG PinFlags;
    KS_COMPRESSION OutputCompression;
    ULONG PinWeight;
    KS_FRAMING_ITEM FramingItem[1];
};

// ---- Filters, pins and their descriptors ------------------------------------------------------
#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)
#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING 0x00000010
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT 0x00080000
#define KSPIN_FLAG_FIXED_FORMAT 0x00100000

using PFNKSINTERSECTHANDLEREX = NTSTATUS (*)(PVOID Context, PIRP Irp, PKSP_PIN Pin,
                                             PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                             ULONG DataBufferSize, PVOID Data, PULONG DataSize);

struct KSFILTER_DISPATCH {
    NTSTATUS (*Create)(PKSFILTER Filter, PIRP Irp);
    NTSTATUS (*Close)(PKSFILTER Filter, PIRP Irp);
    NTSTATUS (*Process)(PKSFILTER Filter, PKSPROCESSPIN_INDEXENTRY ProcessPinsIndex);
    NTSTATUS (*Reset)(PKSFILTER Filter);
};

struct KSPIN_DISPATCH {
    NTSTATUS (*Create)(PKSPIN Pin, PIRP Irp);
    NTSTATUS (*Close)(PKSPIN Pin, PIRP Irp);
    NTSTATUS (*Process)(PKSPIN Pin);
    void (*Reset)(PKSPIN Pin);
    NTSTATUS(*SetDataFormat)
    (PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
     const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange);
    NTSTATUS (*SetDeviceState)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
    NTSTATUS (*Connect)(PKSPIN Pin);
    void (*Disconnect)(PKSPIN Pin);
    const KSCLOCK_DISPATCH* Clock;
    const KSALLOCATOR_DISPATCH* Allocator;
};

struct KSPIN_DESCRIPTOR {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
};

struct KSPIN_DESCRIPTOR_EX {
    const KSPIN_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR PinDescriptor;
    ULONG Flags;
    ULONG InstancesPossible;
    ULONG InstancesNecessary;
    const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
    PFNKSINTERSECTHANDLEREX IntersectHandler;
};

struct KSFILTER_DESCRIPTOR {
    const KSFILTER_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    ULONG Version;
    ULONG Flags;
    const GUID* ReferenceGuid;
    ULONG PinDescriptorsCount;
    ULONG PinDescriptorSize;
    const KSPIN_DESCRIPTOR_EX* PinDescriptors;
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG NodeDescriptorsCount;
    ULONG NodeDescriptorSize;
    const KSNODE_DESCRIPTOR* NodeDescriptors;
    ULONG ConnectionsCount;
    const KSTOPOLOGY_CONNECTION* Connections;
    const KSCOMPONENTID* ComponentId;
};

struct KSDEVICE_DISPATCH {
    NTSTATUS (*Add)(PKSDEVICE device);
    NTSTATUS(*Start)
    (PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
     PCM_RESOURCE_LIST untranslatedResources);
    NTSTATUS (*PostStart)(PKSDEVICE device);
    NTSTATUS (*QueryStop)(PKSDEVICE device, PIRP irp);
    void (*CancelStop)(PKSDEVICE device, PIRP irp);
    void (*Stop)(PKSDEVICE device, PIRP irp);
    NTSTATUS (*QueryRemove)(PKSDEVICE device, PIRP irp);
    void (*CancelRemove)(PKSDEVICE device, PIRP irp);
    void (*Remove)(PKSDEVICE device, PIRP irp);
    NTSTATUS (*QueryCapabilities)(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);
    void (*SurpriseRemoval)(PKSDEVICE device, PIRP irp);
    NTSTATUS(*QueryPower)
    (PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE deviceTo, DEVICE_POWER_STATE deviceFrom,
     SYSTEM_POWER_STATE systemTo, SYSTEM_POWER_STATE systemFrom, int action);
    void (*SetPower)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
    NTSTATUS (*QueryInterface)(PKSDEVICE device, PIRP irp);
};

struct KSDEVICE_DESCRIPTOR {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
    ULONG Version;
    ULONG Flags;
};

struct KSDEVICE {
    const KSDEVICE_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    BOOLEAN Started;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
};

struct KSFILTER {
    const KSFILTER_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
};

struct KSPIN {
    const KSPIN_DESCRIPTOR_EX* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    ULONG Id;
    KSPIN_COMMUNICATION Communication;
    BOOLEAN ConnectionIsExternal;
    KSPIN_INTERFACE ConnectionInterface;
    KSPIN_MEDIUM ConnectionMedium;
    KSPRIORITY ConnectionPriority;
    PKSDATAFORMAT ConnectionFormat;
    PKSMULTIPLE_ITEM AttributeList;
    ULONG StreamHeaderSize;
    KSPIN_DATAFLOW DataFlow;
    KSSTATE DeviceState;
    KSRESET ResetState;
    KSSTATE ClientState;
};

struct KSSTREAM_POINTER_OFFSET {
    PUCHAR Data;
    ULONG Count;
    ULONG Remaining;
};
using PKSSTREAM_POINTER_OFFSET = KSSTREAM_POINTER_OFFSET*;
struct KSSTREAM_POINTER {
    PVOID Context;
    PKSPIN Pin;
    PKSSTREAM_HEADER StreamHeader;
    PKSSTREAM_POINTER_OFFSET Offset;
    KSSTREAM_POINTER_OFFSET OffsetIn;
    KSSTREAM_POINTER_OFFSET OffsetOut;
};
using PKSSTREAM_POINTER = KSSTREAM_POINTER*;

enum KSSTREAM_POINTER_STATE {
    KSSTREAM_POINTER_STATE_UNLOCKED = 0,
    KSSTREAM_POINTER_STATE_LOCKED = 1
};

// ---- BDA --------------------------------------------------------------------------------------
enum KSPROPERTY_BDA_FREQUENCY_FILTER {
    KSPROPERTY_BDA_RF_TUNER_FREQUENCY = 0,
    KSPROPERTY_BDA_RF_TUNER_POLARITY = 1,
    KSPROPERTY_BDA_RF_TUNER_RANGE = 2,
    KSPROPERTY_BDA_RF_TUNER_TRANSPONDER = 3,
    KSPROPERTY_BDA_RF_TUNER_BANDWIDTH = 4,
    KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER = 5,
};
enum KSPROPERTY_BDA_SIGNAL_STATS {
    KSPROPERTY_BDA_SIGNAL_STRENGTH = 0,
    KSPROPERTY_BDA_SIGNAL_QUALITY = 1,
    KSPROPERTY_BDA_SIGNAL_PRESENT = 2,
    KSPROPERTY_BDA_SIGNAL_LOCKED = 3,
};
enum KSPROPERTY_BDA_DIGITAL_DEMODULATOR {
    KSPROPERTY_BDA_MODULATION_TYPE = 0,
    KSPROPERTY_BDA_INNER_FEC_TYPE = 1,
    KSPROPERTY_BDA_INNER_FEC_RATE = 2,
    KSPROPERTY_BDA_OUTER_FEC_TYPE = 3,
    KSPROPERTY_BDA_OUTER_FEC_RATE = 4,
    KSPROPERTY_BDA_SYMBOL_RATE = 5,
    KSPROPERTY_BDA_SPECTRAL_INVERSION = 6,
    KSPROPERTY_BDA_GUARD_INTERVAL = 7,
    KSPROPERTY_BDA_TRANSMISSION_MODE = 8,
};
enum KSMETHOD_BDA_DEVICE_CONFIGURATION {
    KSMETHOD_BDA_CREATE_PIN_FACTORY = 0,
    KSMETHOD_BDA_DELETE_PIN_FACTORY = 1,
    KSMETHOD_BDA_CREATE_TOPOLOGY = 2,
};
enum KSMETHOD_BDA_CHANGE_SYNC {
    KSMETHOD_BDA_START_CHANGES = 0,
    KSMETHOD_BDA_CHECK_CHANGES = 1,
    KSMETHOD_BDA_COMMIT_CHANGES = 2,
    KSMETHOD_BDA_GET_CHANGE_STATE = 3,
};
enum BDA_CHANGE_STATE { BDA_CHANGES_COMPLETE = 0, BDA_CHANGES_PENDING = 1 };
enum KSPROPERTY_BDA_TOPOLOGY {
    KSPROPERTY_BDA_NODE_TYPES = 0,
    KSPROPERTY_BDA_PIN_TYPES = 1,
    KSPROPERTY_BDA_TEMPLATE_CONNECTIONS = 2,
    KSPROPERTY_BDA_NODE_METHODS = 3,
    KSPROPERTY_BDA_NODE_PROPERTIES = 4,
    KSPROPERTY_BDA_NODE_EVENTS = 5,
    KSPROPERTY_BDA_CONTROLLING_PIN_ID = 6,
    KSPROPERTY_BDA_NODE_DESCRIPTORS = 7,
};
enum KSPROPERTY_BDA_PIN_CONTROL { KSPROPERTY_BDA_PIN_ID = 0, KSPROPERTY_BDA_PIN_TYPE = 1 };

// The controlling-pin request: a node type and the pin pair whose path holds it.
struct KSP_BDA_NODE_PIN {
    KSPROPERTY Property;
    ULONG ulNodeType;
    ULONG ulInputPinId;
    ULONG ulOutputPinId;
};
using PKSP_BDA_NODE_PIN = KSP_BDA_NODE_PIN*;
// A connection of the template topology, by node type (KSFILTER_NODE for a pin) and pin type.
struct BDA_TEMPLATE_CONNECTION {
    ULONG FromNodeType;
    ULONG FromNodePinType;
    ULONG ToNodeType;
    ULONG ToNodePinType;
};
// A node type with its function and name.
struct BDANODE_DESCRIPTOR {
    ULONG ulBdaNodeType;
    GUID guidFunction;
    GUID guidName;
};

// Values of the digital demodulator properties (bdatypes.h).
enum ModulationType { BDA_MOD_16QAM = 1, BDA_MOD_32QAM = 2, BDA_MOD_64QAM = 3, BDA_MOD_QPSK = 20 };
enum FECMethod { BDA_FEC_VITERBI = 1 };
enum BinaryConvolutionCodeRate {
    BDA_BCC_RATE_1_2 = 1,
    BDA_BCC_RATE_2_3 = 2,
    BDA_BCC_RATE_3_4 = 3,
    BDA_BCC_RATE_5_6 = 6,
    BDA_BCC_RATE_7_8 = 8,
};

// The method of topology creation: a method header and a pair of pins.
struct KSM_BDA_PIN_PAIR {
    KSMETHOD Method;
    ULONG InputPinId;
    ULONG OutputPinId;
};

struct BDA_PIN_PAIRING {
    ULONG ulInputPin;
    ULONG ulOutputPin;
    ULONG ulcMaxInputsPerOutput;
    ULONG ulcMinInputsPerOutput;
    ULONG ulcMaxOutputsPerInput;
    ULONG ulcMinOutputsPerInput;
    ULONG ulcTopologyJoints;
    const ULONG* pTopologyJoints;
};

struct BDA_FILTER_TEMPLATE {
    const KSFILTER_DESCRIPTOR* pFilterDescriptor;
    ULONG ulcPinPairs;
    const BDA_PIN_PAIRING* pPinPairs;
};

// ---- Kernel-streaming services ------------------------------------------------------------------
NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                            const KSDEVICE_DESCRIPTOR* descriptor);
// The device of a device, filter or pin object.
PKSDEVICE KsGetDevice(PVOID Object);
inline PKSDEVICE KsFilterGetDevice(PKSFILTER Filter) {
    return KsGetDevice(Filter);
}
inline PKSDEVICE KsPinGetDevice(PKSPIN Pin) {
    return KsGetDevice(Pin);
}
// The filter a request was sent to (for a request sent to a pin, the pin's filter).
PKSFILTER KsGetFilterFromIrp(PIRP Irp);
// The pin a request was sent to, or null when it was sent to a filter.
PKSPIN KsGetPinFromIrp(PIRP Irp);
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state);
NTSTATUS KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER streamPointer, ULONG inUsed,
                                                ULONG outUsed, BOOLEAN eject);

// ---- BDA support services -----------------------------------------------------------------------
NTSTATUS BdaCreateFilterFactory(PKSDEVICE device,
                                const KSFILTER_DESCRIPTOR* initialFilterDescriptor,
                                const BDA_FILTER_TEMPLATE* bdaFilterTemplate);
NTSTATUS BdaInitFilter(PKSFILTER pKSFilter, const BDA_FILTER_TEMPLATE* pBdaFilterTemplate);
NTSTATUS BdaUninitFilter(PKSFILTER pKSFilter);
NTSTATUS BdaStartChanges(PIRP Irp);
NTSTATUS BdaCheckChanges(PIRP Irp);
NTSTATUS BdaCommitChanges(PIRP Irp);
NTSTATUS BdaGetChangeState(PIRP Irp, BDA_CHANGE_STATE* pChangeState);
NTSTATUS BdaMethodCreateTopology(PIRP Irp, KSMETHOD* pKSMethod, PVOID pvIgnored);
// The default handlers of the topology and pin-control property sets, and the check that a pin
// controls the node a node request names.
NTSTATUS BdaPropertyNodeTypes(PIRP Irp, KSPROPERTY* pKSProperty, ULONG* pulProperty);
NTSTATUS BdaPropertyPinTypes(PIRP Irp, KSPROPERTY* pKSProperty, ULONG* pulProperty);
NTSTATUS BdaPropertyTemplateConnections(PIRP Irp, KSPROPERTY* pKSProperty,
                                        KSTOPOLOGY_CONNECTION* pConnectionProperty);
NTSTATUS BdaPropertyNodeMethods(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty);
NTSTATUS BdaPropertyNodeProperties(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty);
NTSTATUS BdaPropertyNodeEvents(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty);
NTSTATUS BdaPropertyNodeDescriptors(PIRP Irp, KSPROPERTY* pKSProperty,
                                    BDANODE_DESCRIPTOR* pNodeDescriptorProperty);
NTSTATUS BdaPropertyGetControllingPinId(PIRP Irp, KSP_BDA_NODE_PIN* pProperty,
                                        ULONG* pulControllingPinId);
NTSTATUS BdaPropertyGetPinControl(PIRP Irp, KSPROPERTY* pKSProperty, ULONG* pulProperty);
NTSTATUS BdaValidateNodeProperty(PIRP Irp, KSPROPERTY* pKSProperty);
