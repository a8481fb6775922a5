#include "kernel_checks.h"

#include <cstdio>
#include <cstdlib>

#include "platform/host/clock.h"
#include "platform/host/debug_log.h"
#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/kernel_state.h"
#include "platform/host/pool_accounting.h"

namespace fuzz {

void BeginInput() {
    host::ResetKernelState();
}

namespace {

void FailOnRecords(const char* target) {
    for (const std::string& error : host::KernelErrors()) Fail(target, "kernel error: " + error);
    for (const host::IrqlViolation& violation : host::IrqlViolations())
        Fail(target, "IRQL violation: " + violation.description);
    for (const host::AssertionRecord& assertion : host::Assertions())
        Fail(target, "assertion failed: " + assertion.expression + " at " + assertion.file + ":" +
                         std::to_string(assertion.line));
}

}  // namespace

void EndInput(const char* target) {
    FailOnRecords(target);
    for (const auto& [tag, usage] : host::PoolOutstanding())
        Fail(target, "pool left outstanding: tag " + host::PoolTagName(tag) + ", " +
                         std::to_string(usage.blocks) + " blocks, " + std::to_string(usage.bytes) +
                         " bytes");
    // The debug output of a long run would otherwise grow without bound.
    host::ClearDebugLines();
}

void BeginInputOnRunningSystem() {
    host::ClearKernelErrors();
    host::ClearIrqlViolations();
    host::ClearDebugLines();
    host::ClearAssertions();
    host::ClearRecordedDelays();
}

void EndInputOnRunningSystem(const char* target,
                             const std::map<ULONG, host::PoolUsage>& poolBefore) {
    FailOnRecords(target);
    const std::map<ULONG, host::PoolUsage> now = host::PoolOutstanding();
    for (const auto& [tag, usage] : now) {
        const auto before = poolBefore.find(tag);
        const host::PoolUsage was = before != poolBefore.end() ? before->second : host::PoolUsage{};
        if (usage.blocks != was.blocks || usage.bytes != was.bytes)
            Fail(target, "pool not back to where it was: tag " + host::PoolTagName(tag) + ", " +
                             std::to_string(usage.blocks) + " blocks, " +
                             std::to_string(usage.bytes) + " bytes (was " +
                             std::to_string(was.blocks) + " blocks, " + std::to_string(was.bytes) +
                             " bytes)");
    }
    for (const auto& [tag, was] : poolBefore)
        if (now.find(tag) == now.end())
            Fail(target, "pool below where it was: tag " + host::PoolTagName(tag));
    host::ClearDebugLines();
}

void Fail(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
