#pragma once
// Which stick this is, from the vendor and product ids of its device descriptor. The kind decides
// the stream pipe, whether the bridge firmware is probed, whether the firmware image carries the
// stick's product id and whether an interrupt reader runs.
#include "platform/kernel.h"

enum class ProductMatch : UCHAR {
    Exact,      // the product id equals productIds[0]
    AnyExcept,  // the product id is neither of productIds
};

struct ClassificationRule {
    USHORT vendorId;
    ProductMatch match;
    USHORT productIds[2];
    UCHAR kind;
    bool patchProductId;  // the product id goes into the firmware image before a download
};

// Tested in order; the first match wins. Anything else (0x3344:0x1111 included) is kind 0.
constexpr ClassificationRule kClassificationRules[] = {
    {0x3344, ProductMatch::Exact, {0x1122, 0x1122}, 1, false},
    {0x3344, ProductMatch::Exact, {0x1120, 0x1120}, 2, true},
    {0x0572, ProductMatch::Exact, {0x6688, 0x6688}, 3, false},
    {0x3344, ProductMatch::AnyExcept, {0x1120, 0x1111}, 2, true},
};

struct DeviceClassification {
    UCHAR kind;
    bool patchProductId;
};

constexpr bool RuleMatches(const ClassificationRule& rule, USHORT vendorId, USHORT productId) {
    if (rule.vendorId != vendorId) return false;
    if (rule.match == ProductMatch::Exact) return productId == rule.productIds[0];
    return productId != rule.productIds[0] && productId != rule.productIds[1];
}

constexpr DeviceClassification ClassifyDevice(USHORT vendorId, USHORT productId) {
    for (const ClassificationRule& rule : kClassificationRules) {
        if (RuleMatches(rule, vendorId, productId)) return {rule.kind, rule.patchProductId};
    }
    return {0, false};
}

static_assert(ClassifyDevice(0x3344, 0x1111).kind == 0);
static_assert(ClassifyDevice(0x3344, 0x2000).kind == 2);
