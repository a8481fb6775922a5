#pragma once
// Builders for constant kernel-streaming tables. Each sets members by name, so that one source
// fills the platform's structures on both builds (whose unions and anonymous members differ in
// spelling) and every table stays constant data, initialised without code.
#include <cstddef>

#include "platform/ks.h"

// A GUID value from the initialiser list of the platform headers: GuidValue(STATICGUIDOF(name)).
constexpr GUID GuidValue(ULONG data1, USHORT data2, USHORT data3, UCHAR b0, UCHAR b1, UCHAR b2,
                         UCHAR b3, UCHAR b4, UCHAR b5, UCHAR b6, UCHAR b7) {
    GUID guid{};
    guid.Data1 = data1;
    guid.Data2 = data2;
    guid.Data3 = data3;
    guid.Data4[0] = b0;
    guid.Data4[1] = b1;
    guid.Data4[2] = b2;
    guid.Data4[3] = b3;
    guid.Data4[4] = b4;
    guid.Data4[5] = b5;
    guid.Data4[6] = b6;
    guid.Data4[7] = b7;
    return guid;
}

constexpr KSPROPERTY_ITEM PropertyItem(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set,
                                       ULONG minProperty, ULONG minData) {
    KSPROPERTY_ITEM item{};
    item.PropertyId = id;
    item.GetPropertyHandler = get;
    item.MinProperty = minProperty;
    item.MinData = minData;
    item.SetPropertyHandler = set;
    item.Values = nullptr;
    item.RelationsCount = 0;
    item.Relations = nullptr;
    item.SupportHandler = nullptr;
    item.SerializedSize = 0;
    return item;
}

constexpr KSMETHOD_ITEM MethodItem(ULONG id, PFNKSHANDLER handler, ULONG flags, ULONG minMethod,
                                   ULONG minData) {
    KSMETHOD_ITEM item{};
    item.MethodId = id;
    item.MethodHandler = handler;
    item.MinMethod = minMethod;
    item.MinData = minData;
    item.SupportHandler = nullptr;
    item.Flags = flags;
    return item;
}

template <size_t Count>
constexpr KSPROPERTY_SET PropertySet(const GUID* set, const KSPROPERTY_ITEM (&items)[Count]) {
    KSPROPERTY_SET entry{};
    entry.Set = set;
    entry.PropertiesCount = static_cast<ULONG>(Count);
    entry.PropertyItem = items;
    entry.FastIoCount = 0;
    entry.FastIoTable = nullptr;
    return entry;
}

template <size_t Count>
constexpr KSMETHOD_SET MethodSet(const GUID* set, const KSMETHOD_ITEM (&items)[Count]) {
    KSMETHOD_SET entry{};
    entry.Set = set;
    entry.MethodsCount = static_cast<ULONG>(Count);
    entry.MethodItem = items;
    entry.FastIoCount = 0;
    entry.FastIoTable = nullptr;
    return entry;
}

// An automation table of property and method sets (either may be absent) and no events.
constexpr KSAUTOMATION_TABLE AutomationTable(ULONG propertySetsCount,
                                             const KSPROPERTY_SET* propertySets,
                                             ULONG methodSetsCount,
                                             const KSMETHOD_SET* methodSets) {
    KSAUTOMATION_TABLE table{};
    table.PropertySetsCount = propertySetsCount;
    table.PropertyItemSize = sizeof(KSPROPERTY_ITEM);
    table.PropertySets = propertySets;
    table.MethodSetsCount = methodSetsCount;
    table.MethodItemSize = sizeof(KSMETHOD_ITEM);
    table.MethodSets = methodSets;
    table.EventSetsCount = 0;
    table.EventItemSize = sizeof(KSEVENT_ITEM);
    table.EventSets = nullptr;
    return table;
}
