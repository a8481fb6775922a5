#include "platform/host/kernel_errors.h"

#include <mutex>

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

}  // namespace

std::vector<std::string> KernelErrors() {
    std::lock_guard guard(Log().lock);
    return Log().entries;
}

void ClearKernelErrors() {
    std::lock_guard guard(Log().lock);
    Log().entries.clear();
}

void RecordKernelError(const std::string& description) {
    std::lock_guard guard(Log().lock);
    Log().entries.push_back(description);
}

}  // namespace host
