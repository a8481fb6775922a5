#include "platform/host/kernel_errors.h"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host/service_rules.h"
#include "platform/host/thread_state.h"

namespace host {
namespace {

struct ErrorLog {
    std::mutex lock;
    std::vector<std::string> entries;
};

// Deliberately never destroyed: threads may still report while the process exits.
ErrorLog& Log() {
    static ErrorLog* log = new ErrorLog;
    return *log;
}

std::atomic<int> gCaptures{0};
thread_local const ScopedCaller* tCaller = nullptr;

constexpr int kMaxFrames = 64;

}  // namespace

ScopedViolationCapture::ScopedViolationCapture() {
    gCaptures.fetch_add(1);
}

ScopedViolationCapture::~ScopedViolationCapture() {
    gCaptures.fetch_sub(1);
}

bool ViolationsCaptured() {
    return gCaptures.load() > 0;
}

ScopedCaller::ScopedCaller(Describer describe, const void* context)
    : describe_(describe), context_(context), previous_(tCaller) {
    tCaller = this;
}

ScopedCaller::~ScopedCaller() {
    tCaller = previous_;
}

void BugCheck(const char* kind, const std::string& description) {
    if (ViolationsCaptured()) return;
    BugCheckAt(kind, description, CurrentThreadState().irql);
}

void BugCheckAt(const char* kind, const std::string& description, KIRQL irql) {
    if (ViolationsCaptured()) return;
    std::fprintf(stderr, "\n*** BUG CHECK (%s): %s\n    caller's IRQL: %u (%s)\n", kind,
                 description.c_str(), static_cast<unsigned>(irql), IrqlName(irql));
    if (tCaller != nullptr) std::fprintf(stderr, "    caller: %s\n", tCaller->Describe().c_str());
    std::fprintf(stderr, "    host call stack:\n");
    std::fflush(stderr);
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    std::abort();
}

std::vector<std::string> KernelErrors() {
    std::lock_guard guard(Log().lock);
    return Log().entries;
}

void ClearKernelErrors() {
    std::lock_guard guard(Log().lock);
    Log().entries.clear();
}

void RecordKernelError(const std::string& description) {
    BugCheck("kernel service misuse", description);
    std::lock_guard guard(Log().lock);
    Log().entries.push_back(description);
}

void RecordThreadEndError(const std::string& description, KIRQL irql) {
    BugCheckAt("kernel service misuse", description, irql);
    std::lock_guard guard(Log().lock);
    Log().entries.push_back(description);
}

}  // namespace host
