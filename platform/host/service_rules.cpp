// The rule table of the kernel services, as Microsoft documents them. Each row names the page
// its IRQL range and call rules come from (learn.microsoft.com/windows-hardware/drivers/...):
// ddi/<header>/nf-<header>-<function> is the function's reference page, whose Requirements table
// gives the IRQL; devtest/... are Driver Verifier's and Static Driver Verifier's rule pages.
#include "platform/host/service_rules.h"

#include <cstring>
#include <string>

#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"

namespace host {
namespace {

// "Any level": the service may be called at any IRQL.
constexpr KIRQL kAnyLevel = 15;  // HIGH_LEVEL
constexpr KIRQL P = PASSIVE_LEVEL;
constexpr KIRQL A = APC_LEVEL;
constexpr KIRQL D = DISPATCH_LEVEL;

// Driver Verifier's automatic checks: IRQL raised by KeLowerIrql or lowered by KeRaiseIrql,
// pool freed or allocated above its level, spin locks taken or released at another IRQL than
// DISPATCH_LEVEL, a spin lock released twice.
#define KVS_DV \
    "devtest/automatic-checks; debugger/bug-check-0xc4--driver-verifier-detected-violation"

const ServiceRule kRules[] = {
    // ---- ntoskrnl.exe: debugging and bug checks ----
    {"DbgPrint", P, kAnyLevel, kNoCallRule, "ddi/wdm/nf-wdm-dbgprint (IRQL <= DIRQL)"},
    {"KeBugCheckEx", P, kAnyLevel, kNoCallRule, "ddi/wdm/nf-wdm-kebugcheckex (any level)"},
    {"RtlAssert", P, kAnyLevel, kNoCallRule, "ddi/wdm/nf-wdm-rtlassert (any level)"},
    // ---- pool ----
    {"ExAllocatePoolWithTag", P, D, kNoCallRule,
     "ddi/wdm/nf-wdm-exallocatepoolwithtag (<= DISPATCH_LEVEL; paged pool <= APC_LEVEL); " KVS_DV},
    {"ExFreePoolWithTag", P, D, kNoCallRule,
     "ddi/wdm/nf-wdm-exfreepoolwithtag (<= DISPATCH_LEVEL); " KVS_DV},
    {"ExFreePool", P, D, kNoCallRule, "ddi/wdm/nf-wdm-exfreepool (<= DISPATCH_LEVEL); " KVS_DV},
    // ---- IRQL ----
    {"KeRaiseIrql", P, kAnyLevel, kIrqlDirectionRule,
     "ddi/wdm/nf-wdm-keraiseirql (<= HIGH_LEVEL, NewIrql >= current); " KVS_DV},
    {"KeLowerIrql", P, kAnyLevel, kIrqlDirectionRule,
     "ddi/wdm/nf-wdm-kelowerirql (any level, NewIrql <= current); " KVS_DV},
    {"KeGetCurrentIrql", P, kAnyLevel, kNoCallRule, "ddi/wdm/nf-wdm-kegetcurrentirql (any level)"},
    // ---- spin locks ----
    {"KeInitializeSpinLock", P, kAnyLevel, kNoCallRule,
     "ddi/wdm/nf-wdm-keinitializespinlock (any level)"},
    {"KeAcquireSpinLockRaiseToDpc", P, D, kNoRecursionRule,
     "ddi/wdm/nf-wdm-keacquirespinlock (<= DISPATCH_LEVEL); " KVS_DV},
    {"KeReleaseSpinLock", D, D, kSpinLockReleaseRule | kOwnerReleasesRule,
     "ddi/wdm/nf-wdm-kereleasespinlock (DISPATCH_LEVEL; NewIrql = the value KeAcquireSpinLock "
     "returned); " KVS_DV},
    {"KeAcquireSpinLockAtDpcLevel", D, D, kNoRecursionRule,
     "ddi/wdm/nf-wdm-keacquirespinlockatdpclevel (DISPATCH_LEVEL); " KVS_DV},
    {"KeReleaseSpinLockFromDpcLevel", D, D, kOwnerReleasesRule,
     "ddi/wdm/nf-wdm-kereleasespinlockfromdpclevel (DISPATCH_LEVEL); " KVS_DV},
    // ---- mutexes, events, timers, waits ----
    {"KeInitializeMutex", P, P, kNoCallRule, "ddi/wdm/nf-wdm-keinitializemutex (PASSIVE_LEVEL)"},
    {"KeReleaseMutex", P, D, kOwnerReleasesRule,
     "ddi/wdm/nf-wdm-kereleasemutex (<= DISPATCH_LEVEL; only the holding thread releases, else "
     "STATUS_MUTEX_NOT_OWNED)"},
    {"KeInitializeEvent", P, kAnyLevel, kNoCallRule,
     "ddi/wdm/nf-wdm-keinitializeevent (any level)"},
    {"KeSetEvent", P, D, kNoCallRule, "ddi/wdm/nf-wdm-kesetevent (<= DISPATCH_LEVEL, Wait FALSE)"},
    {"KeClearEvent", P, D, kNoCallRule, "ddi/wdm/nf-wdm-keclearevent (<= DISPATCH_LEVEL)"},
    {"KeReadStateEvent", P, D, kNoCallRule, "ddi/wdm/nf-wdm-kereadstateevent (<= DISPATCH_LEVEL)"},
    {"KeInitializeTimer", P, D, kNoCallRule,
     "ddi/wdm/nf-wdm-keinitializetimer (<= DISPATCH_LEVEL)"},
    {"KeInitializeTimerEx", P, D, kNoCallRule,
     "ddi/wdm/nf-wdm-keinitializetimerex (<= DISPATCH_LEVEL)"},
    {"KeSetTimer", P, D, kNoCallRule, "ddi/wdm/nf-wdm-kesettimer (<= DISPATCH_LEVEL)"},
    {"KeCancelTimer", P, D, kNoCallRule, "ddi/wdm/nf-wdm-kecanceltimer (<= DISPATCH_LEVEL)"},
    {"KeWaitForSingleObject", P, D, kWaitTimeoutRule,
     "ddi/wdm/nf-wdm-kewaitforsingleobject (<= DISPATCH_LEVEL); "
     "devtest/wdm-irqlkewaitformutexobject "
     "and wdm-irqlkewaitformultipleobjects (a NULL or non-zero Timeout <= APC_LEVEL, a zero one at "
     "DISPATCH_LEVEL)"},
    {"KeDelayExecutionThread", P, A, kNoCallRule,
     "ddi/wdm/nf-wdm-kedelayexecutionthread (<= APC_LEVEL)"},
    {"KeEnterCriticalRegion", P, A, kBalancedRule,
     "ddi/wdm/nf-wdm-keentercriticalregion (<= APC_LEVEL; each paired with KeLeaveCriticalRegion)"},
    {"KeLeaveCriticalRegion", P, A, kBalancedRule,
     "ddi/wdm/nf-wdm-keleavecriticalregion (<= APC_LEVEL)"},
    {"KeQuerySystemTime", P, kAnyLevel, kNoCallRule,
     "ddi/wdm/nf-wdm-kequerysystemtime-r1 (any level)"},
    // ---- strings ----
    {"RtlFreeUnicodeString", P, P, kNoCallRule,
     "ddi/wdm/nf-wdm-rtlfreeunicodestring (PASSIVE_LEVEL)"},
    {"memcpy", P, kAnyLevel, kNoCallRule, "C runtime in ntoskrnl (any level, resident memory)"},
    {"memmove", P, kAnyLevel, kNoCallRule, "C runtime in ntoskrnl (any level, resident memory)"},
    {"memset", P, kAnyLevel, kNoCallRule, "C runtime in ntoskrnl (any level, resident memory)"},
    {"memcmp", P, kAnyLevel, kNoCallRule, "C runtime in ntoskrnl (any level, resident memory)"},
    // ---- request packets ----
    {"IoAllocateIrp", P, D, kNoCallRule, "ddi/wdm/nf-wdm-ioallocateirp (<= DISPATCH_LEVEL)"},
    {"IoInitializeIrp", P, D, kNoCallRule, "ddi/wdm/nf-wdm-ioinitializeirp (<= DISPATCH_LEVEL)"},
    {"IoReuseIrp", P, D, kNoCallRule, "ddi/wdm/nf-wdm-ioreuseirp (<= DISPATCH_LEVEL)"},
    {"IoFreeIrp", P, D, kNoCallRule, "ddi/wdm/nf-wdm-iofreeirp (<= DISPATCH_LEVEL)"},
    {"IofCallDriver", P, D, kNoCallRule, "ddi/wdm/nf-wdm-iofcalldriver (<= DISPATCH_LEVEL)"},
    {"IofCompleteRequest", P, D, kNoCallRule,
     "ddi/wdm/nf-wdm-iocompleterequest (<= DISPATCH_LEVEL)"},
    {"IoCancelIrp", P, D, kNoCallRule, "ddi/wdm/nf-wdm-iocancelirp (<= DISPATCH_LEVEL)"},
    {"IoBuildDeviceIoControlRequest", P, P, kNoCallRule,
     "ddi/wdm/nf-wdm-iobuilddeviceiocontrolrequest (PASSIVE_LEVEL)"},
    // ---- device interfaces ----
    {"IoRegisterDeviceInterface", P, P, kNoCallRule,
     "ddi/wdm/nf-wdm-ioregisterdeviceinterface (PASSIVE_LEVEL)"},
    {"IoSetDeviceInterfaceState", P, P, kNoCallRule,
     "ddi/wdm/nf-wdm-iosetdeviceinterfacestate (PASSIVE_LEVEL)"},
    // ---- ks.sys ----
    {"KsInitializeDriver", P, P, kNoCallRule, "ddi/ks/nf-ks-ksinitializedriver (PASSIVE_LEVEL)"},
    {"KsGetDevice", P, kAnyLevel, kNoCallRule, "ddi/ks/nf-ks-ksgetdevice (any level)"},
    {"KsGetFilterFromIrp", P, kAnyLevel, kNoCallRule,
     "ddi/ks/nf-ks-ksgetfilterfromirp (any level)"},
    {"KsGetPinFromIrp", P, kAnyLevel, kNoCallRule, "ddi/ks/nf-ks-ksgetpinfromirp (any level)"},
    {"KsPinGetLeadingEdgeStreamPointer", P, D, kNoCallRule,
     "ddi/ks/nf-ks-kspingetleadingedgestreampointer (<= DISPATCH_LEVEL)"},
    {"KsStreamPointerAdvanceOffsetsAndUnlock", P, D, kNoCallRule,
     "ddi/ks/nf-ks-ksstreampointeradvanceoffsetsandunlock (<= DISPATCH_LEVEL)"},
    // ---- bdasup.sys: the BDA support library runs at PASSIVE_LEVEL only ----
    {"BdaCreateFilterFactory", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdacreatefilterfactory (PASSIVE_LEVEL)"},
    {"BdaInitFilter", P, P, kNoCallRule, "ddi/bdasup/nf-bdasup-bdainitfilter (PASSIVE_LEVEL)"},
    {"BdaUninitFilter", P, P, kNoCallRule, "ddi/bdasup/nf-bdasup-bdauninitfilter (PASSIVE_LEVEL)"},
    {"BdaStartChanges", P, P, kNoCallRule, "ddi/bdasup/nf-bdasup-bdastartchanges (PASSIVE_LEVEL)"},
    {"BdaCheckChanges", P, P, kNoCallRule, "ddi/bdasup/nf-bdasup-bdacheckchanges (PASSIVE_LEVEL)"},
    {"BdaCommitChanges", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdacommitchanges (PASSIVE_LEVEL)"},
    {"BdaGetChangeState", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdagetchangestate (PASSIVE_LEVEL)"},
    {"BdaMethodCreateTopology", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdamethodcreatetopology (PASSIVE_LEVEL)"},
    {"BdaPropertyNodeTypes", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertynodetypes (PASSIVE_LEVEL)"},
    {"BdaPropertyPinTypes", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertypintypes (PASSIVE_LEVEL)"},
    {"BdaPropertyTemplateConnections", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertytemplateconnections (PASSIVE_LEVEL)"},
    {"BdaPropertyNodeMethods", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertynodemethods (PASSIVE_LEVEL)"},
    {"BdaPropertyNodeProperties", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertynodeproperties (PASSIVE_LEVEL)"},
    {"BdaPropertyNodeEvents", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertynodeevents (PASSIVE_LEVEL)"},
    {"BdaPropertyNodeDescriptors", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertynodedescriptors (PASSIVE_LEVEL)"},
    {"BdaPropertyGetControllingPinId", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertygetcontrollingpinid (PASSIVE_LEVEL)"},
    {"BdaPropertyGetPinControl", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdapropertygetpincontrol (PASSIVE_LEVEL)"},
    {"BdaValidateNodeProperty", P, P, kNoCallRule,
     "ddi/bdasup/nf-bdasup-bdavalidatenodeproperty (PASSIVE_LEVEL)"},
    // ---- usbd.sys ----
    {"USBD_ParseConfigurationDescriptorEx", P, D, kNoCallRule,
     "ddi/usbdlib/nf-usbdlib-usbd_parseconfigurationdescriptorex (<= DISPATCH_LEVEL)"},
    {"USBD_CreateConfigurationRequestEx", P, D, kNoCallRule,
     "ddi/usbdlib/nf-usbdlib-usbd_createconfigurationrequestex (<= DISPATCH_LEVEL)"},
    // ---- USB requests with rules of their own (IOCTL_INTERNAL_USB_SUBMIT_URB) ----
    {"URB_FUNCTION_ABORT_PIPE", P, P, kNoCallRule,
     "ddi/usb/ns-usb-_urb_header and ns-usb-_urb_pipe_request (pipe requests at PASSIVE_LEVEL)"},
    {"URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL", P, P, kNoCallRule,
     "ddi/usb/ns-usb-_urb_header and ns-usb-_urb_pipe_request (pipe requests at PASSIVE_LEVEL)"},
};

#undef KVS_DV

}  // namespace

const ServiceRule* ServiceRules(size_t* count) {
    *count = sizeof kRules / sizeof kRules[0];
    return kRules;
}

const ServiceRule* FindServiceRule(const char* service) {
    for (const ServiceRule& rule : kRules)
        if (std::strcmp(rule.service, service) == 0) return &rule;
    return nullptr;
}

const ServiceRule& RuleOf(const char* service) {
    static const ServiceRule kUnknown{"?", P, P, kNoCallRule, "no row in the rule table"};
    const ServiceRule* rule = FindServiceRule(service);
    if (rule == nullptr) {
        RecordKernelError(std::string(service) + " has no row in the service rule table");
        return kUnknown;
    }
    return *rule;
}

const char* IrqlName(KIRQL irql) {
    switch (irql) {
        case PASSIVE_LEVEL:
            return "PASSIVE_LEVEL";
        case APC_LEVEL:
            return "APC_LEVEL";
        case DISPATCH_LEVEL:
            return "DISPATCH_LEVEL";
        case kAnyLevel:
            return "HIGH_LEVEL";
        default:
            return "a device IRQL";
    }
}

void CheckServiceIrql(const ServiceRule& rule) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql >= rule.minIrql && irql <= rule.maxIrql) return;
    std::string text = std::string(rule.service) + " called at IRQL " + std::to_string(irql) +
                       " (" + IrqlName(irql) + "); its IRQL is ";
    if (rule.minIrql == rule.maxIrql)
        text += IrqlName(rule.maxIrql);
    else if (irql < rule.minIrql)
        text += std::string(">= ") + IrqlName(rule.minIrql);
    else
        text += std::string("<= ") + IrqlName(rule.maxIrql);
    text += std::string(" [") + rule.documentation + "]";
    RecordIrqlViolation(text);
}

}  // namespace host
