// The runner of foreign driver code that CallDriver consults.
#include "platform/host/driver_call.h"

#include <atomic>

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

}  // namespace host
