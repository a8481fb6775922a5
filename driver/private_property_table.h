#pragma once
// The items of the receiver's private property set on the filter (ids 0 to 16), with the
// minimum request and value sizes kernel streaming enforces before a handler runs.
#include "platform/ks.h"

constexpr ULONG kPrivatePropertyItemCount = 17;
extern const KSPROPERTY_ITEM kvsbdaPrivatePropertyItems[kPrivatePropertyItemCount];
