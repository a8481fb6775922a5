// The private property set's items. Every item's request and value must each be at least its
// minimum size (516 bytes; 1032 for the message items 11 and 14; 16396 for the mutex items 15
// and 16). The handlers of the set are not part of the driver yet: until they are, kernel
// streaming refuses every get and set of these items.
#include "driver/private_property_table.h"

#include "driver/ks_table_builders.h"

namespace {

constexpr ULONG kRecordBytes = 516;
constexpr ULONG kMessageBytes = 1032;
constexpr ULONG kMutexItemBytes = 16396;

constexpr ULONG SizeOfItem(ULONG id) {
    if (id == 11 || id == 14) return kMessageBytes;
    if (id == 15 || id == 16) return kMutexItemBytes;
    return kRecordBytes;
}

constexpr KSPROPERTY_ITEM Item(ULONG id) {
    return PropertyItem(id, nullptr, nullptr, SizeOfItem(id), SizeOfItem(id));
}

}  // namespace

constinit const KSPROPERTY_ITEM kvsbdaPrivatePropertyItems[kPrivatePropertyItemCount] = {
    Item(0), Item(1),  Item(2),  Item(3),  Item(4),  Item(5),  Item(6),  Item(7),  Item(8),
    Item(9), Item(10), Item(11), Item(12), Item(13), Item(14), Item(15), Item(16),
};
