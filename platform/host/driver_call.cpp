// The runner of foreign driver code that CallDriver consults.
#include "platform/host/driver_call.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel_errors.h"
#include "platform/host/thread_state.h"

namespace host {
namespace {

std::atomic<ForeignCodeRunner*> gRunner{nullptr};

}  // namespace

void SetForeignCodeRunner(ForeignCodeRunner* runner) {
    gRunner.store(runner, std::memory_order_release);
}

ForeignCodeRunner* CurrentForeignCodeRunner() {
    return gRunner.load(std::memory_order_acquire);
}

namespace {

std::string DescribeRoutine(const void* routine) {
    ForeignCodeRunner* runner = CurrentForeignCodeRunner();
    if (runner != nullptr && runner->Owns(routine)) {
        std::string name = runner->Describe(routine);
        if (!name.empty()) return name;
    }
    char text[64];
    std::snprintf(text, sizeof text, "driver routine %p", routine);
    Dl_info info{};
    if (dladdr(routine, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == routine) {
        int status = 0;
        char* readable = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = readable != nullptr ? readable : info.dli_sname;
        std::free(readable);
        return name + " (" + text + ")";
    }
    return text;
}

}  // namespace

DriverRoutineFrame::DriverRoutineFrame(const void* routine) : routine_(routine) {
    const ThreadState& state = CurrentThreadState();
    irql_ = state.irql;
    spinLocks_ = state.spinLocks.size();
    mutexes_ = state.mutexesHeld;
}

DriverRoutineFrame::~DriverRoutineFrame() {
    const ThreadState& state = CurrentThreadState();
    if (state.irql != irql_)
        RecordKernelError(DescribeRoutine(routine_) + " was called at IRQL " +
                          std::to_string(irql_) + " and returned at IRQL " +
                          std::to_string(state.irql));
    if (state.spinLocks.size() > spinLocks_)
        RecordKernelError(DescribeRoutine(routine_) + " returned holding " +
                          std::to_string(state.spinLocks.size() - spinLocks_) +
                          " spin lock(s) it acquired");
    if (state.spinLocks.size() < spinLocks_)
        RecordKernelError(DescribeRoutine(routine_) + " released " +
                          std::to_string(spinLocks_ - state.spinLocks.size()) +
                          " spin lock(s) its caller held");
    if (state.mutexesHeld > mutexes_)
        RecordKernelError(DescribeRoutine(routine_) + " returned holding " +
                          std::to_string(state.mutexesHeld - mutexes_) + " mutex(es) it acquired");
    if (state.mutexesHeld < mutexes_)
        RecordKernelError(DescribeRoutine(routine_) + " released " +
                          std::to_string(mutexes_ - state.mutexesHeld) +
                          " mutex(es) its caller held");
}

}  // namespace host
