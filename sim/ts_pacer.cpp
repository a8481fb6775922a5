#include "sim/ts_pacer.h"

#include "platform/host/clock.h"

namespace sim {

namespace {
// A consumer that falls behind catches up by at most this much time in one burst.
constexpr uint64_t kMaxBacklogMs = 1000;
constexpr long double kTicksPerSecond = 1e7L;
}  // namespace

TsPacer::TsPacer(uint64_t bitsPerSecond, bool paced)
    : bitsPerSecond_(bitsPerSecond),
      paced_(paced && bitsPerSecond != 0),
      start_(host::NowTicks()) {}

size_t TsPacer::Allowance(size_t wanted) {
    if (!paced_) return wanted;
    const long long now = host::NowTicks();
    const long long elapsed = now > start_ ? now - start_ : 0;
    const auto due = static_cast<uint64_t>(static_cast<long double>(elapsed) * bitsPerSecond_ / 8 /
                                           kTicksPerSecond);
    const uint64_t backlogCap = bitsPerSecond_ / 8 * kMaxBacklogMs / 1000;
    if (due > sent_ + backlogCap) sent_ = due - backlogCap;  // forget time nobody read in
    const uint64_t allowed = due > sent_ ? due - sent_ : 0;
    return allowed < wanted ? static_cast<size_t>(allowed) : wanted;
}

}  // namespace sim
