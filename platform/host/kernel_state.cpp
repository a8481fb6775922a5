#include "platform/host/kernel_state.h"

#include "platform/host/clock.h"
#include "platform/host/debug_log.h"
#include "platform/host/device_interfaces.h"
#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/ks_device_host.h"
#include "platform/host/pool_accounting.h"

namespace host {

void ResetKernelState() {
    ClearKernelErrors();
    ClearIrqlViolations();
    ClearDebugLines();
    ClearAssertions();
    ClearRecordedDelays();
    ClearDeviceInterfaces();
    ClearFilterFactories();
    ResetPoolAccounting();
    SetWaitTimeoutHook(nullptr);
}

}  // namespace host
