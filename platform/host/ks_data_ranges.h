#pragma once
// Data-range matching as kernel streaming does it: the major format, sub-format and specifier
// GUIDs must each be equal, or be the wildcard (the null GUID) on either side.
#include "platform/ks.h"

namespace host {

inline bool GuidsMatch(const GUID& a, const GUID& b) {
    return IsEqualGUID(a, b) || IsEqualGUID(a, GUID_NULL) || IsEqualGUID(b, GUID_NULL);
}

inline bool RangesMatch(const KSDATARANGE& a, const KSDATARANGE& b) {
    return GuidsMatch(a.MajorFormat, b.MajorFormat) && GuidsMatch(a.SubFormat, b.SubFormat) &&
           GuidsMatch(a.Specifier, b.Specifier);
}

// Items of a KSMULTIPLE_ITEM list of data ranges start on 8-byte boundaries.
constexpr ULONG AlignRange(ULONG size) {
    return (size + 7u) & ~7u;
}

}  // namespace host
