// The private property set's items and their handlers. Every item's request and value must each
// be at least its minimum size (516 bytes; 1032 for the message items 11 and 14; 16396 for the
// mutex items 15 and 16); an item without a handler for a direction refuses it.
#include "driver/private_property_table.h"

#include "driver/ks_table_builders.h"
#include "driver/private_property_handlers.h"

namespace {

constexpr ULONG kRecordBytes = 516;
constexpr ULONG kMessageBytes = 1032;
constexpr ULONG kMutexItemBytes = 16396;

constexpr ULONG SizeOfItem(ULONG id) {
    if (id == 11 || id == 14) return kMessageBytes;
    if (id == 15 || id == 16) return kMutexItemBytes;
    return kRecordBytes;
}

constexpr KSPROPERTY_ITEM Item(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set) {
    return PropertyItem(id, get, set, SizeOfItem(id), SizeOfItem(id));
}

}  // namespace

constinit const KSPROPERTY_ITEM kvsbdaPrivatePropertyItems[kPrivatePropertyItemCount] = {
    Item(0, PrivateVersionGet, PrivateAcceptSet),
    Item(1, PrivateRemoteKeyGet, PrivateRemoteKeySet),
    Item(2, nullptr, PrivatePidFilterSet),
    Item(3, nullptr, PrivateAcceptSet),
    Item(4, PrivateI2cGet, PrivateI2cSet),
    Item(5, nullptr, PrivateSettingSet),
    Item(6, nullptr, PrivateSettingSet),
    Item(7, nullptr, PrivateSettingSet),
    Item(8, nullptr, PrivateSettingSet),
    Item(9, nullptr, PrivateTuneSet),
    Item(10, PrivateStatusGet, PrivateAcceptSet),
    Item(11, PrivateMessageGet, PrivateMessageSet),
    Item(12, nullptr, PrivateRawFrameSet),
    Item(13, nullptr, PrivateTuneParamsSet),
    Item(14, PrivateMessageGet, PrivateMessageSet),
    Item(15, PrivateSyncHandler, PrivateSyncHandler),
    Item(16, PrivateSyncHandler, PrivateSyncHandler),
};
