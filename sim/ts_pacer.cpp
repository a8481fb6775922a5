#include "sim/ts_pacer.h"

namespace sim {

namespace {
// A consumer that falls behind catches up by at most this much time in one burst.
constexpr std::chrono::milliseconds kMaxBacklog{1000};
}  // namespace

TsPacer::TsPacer(uint64_t bitsPerSecond, bool realTime)
    : bitsPerSecond_(bitsPerSecond), paced_(realTime && bitsPerSecond != 0), start_(Clock::now()) {}

size_t TsPacer::Allowance(size_t wanted) {
    if (!paced_) return wanted;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_);
    const auto due = static_cast<uint64_t>(static_cast<long double>(elapsed.count()) *
                                           bitsPerSecond_ / 8 / 1e9L);
    const uint64_t backlogCap =
        bitsPerSecond_ / 8 * static_cast<uint64_t>(kMaxBacklog.count()) / 1000;
    if (due > sent_ + backlogCap) sent_ = due - backlogCap;  // forget time nobody read in
    const uint64_t allowed = due > sent_ ? due - sent_ : 0;
    return allowed < wanted ? static_cast<size_t>(allowed) : wanted;
}

}  // namespace sim
