#pragma once
// The rules Windows applies to each kernel service a driver may import: the highest IRQL it may
// be called at (the "IRQL" line of its documentation page), the lowest where the service itself
// demands a raised level, and the call rules Driver Verifier checks on top of that. Every
// emulated service checks its caller against its row, in the host build and in image runs alike
// (the image's imports are bound to the same host functions); a call that breaks a rule is a bug
// check (kernel_errors.h).
#include <cstddef>
#include <cstdint>

#include "platform/kernel.h"

namespace host {

// Call rules beyond the IRQL range, as Driver Verifier and the DDI compliance rules check them.
enum ServiceCallRule : uint32_t {
    kNoCallRule = 0,
    // A wait that may block (no time-out or a non-zero one) only at APC_LEVEL or below; a zero
    // time-out (a poll) up to DISPATCH_LEVEL.
    kWaitTimeoutRule = 1u << 0,
    // Released only by the thread that holds it.
    kOwnerReleasesRule = 1u << 1,
    // Spin lock release: at DISPATCH_LEVEL, back to the IRQL its acquisition raised from.
    kSpinLockReleaseRule = 1u << 2,
    // Never acquired again by the thread that holds it (the processor would spin for good).
    kNoRecursionRule = 1u << 3,
    // KeRaiseIrql never lowers, KeLowerIrql never raises.
    kIrqlDirectionRule = 1u << 4,
    // Entered and left in pairs on one thread; a thread ends outside every region.
    kBalancedRule = 1u << 5,
};

struct ServiceRule {
    const char* service;  // the export's name (or the request's function code)
    KIRQL minIrql;
    KIRQL maxIrql;
    uint32_t callRules;  // ServiceCallRule bits
    const char* documentation;
};

// The whole table, one row per service.
const ServiceRule* ServiceRules(size_t* count);

// The row of `service`, or nullptr when the table has none.
const ServiceRule* FindServiceRule(const char* service);

// The row of `service`; a service the table does not know is a bug check (a service without a
// rule must not be callable). Cache the reference in a function-local static at the call site.
const ServiceRule& RuleOf(const char* service);

// Bug check unless the calling thread's IRQL lies within the row's range.
void CheckServiceIrql(const ServiceRule& rule);

// The name of an IRQL ("PASSIVE_LEVEL", "DISPATCH_LEVEL", ...).
const char* IrqlName(KIRQL irql);

}  // namespace host
