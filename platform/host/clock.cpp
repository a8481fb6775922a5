// Real and virtual clock, recorded delays and the progress probe.
#include "platform/host/clock.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace host {
namespace {

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochTicks = 116444736000000000LL;
// The virtual clock starts at 2009-02-05 16:46:04 UTC.
constexpr LONGLONG kVirtualStartTicks = kUnixEpochTicks + 1233852364LL * 10000000LL;
// Recording stops growing here, so that an endless polling loop cannot exhaust memory.
constexpr size_t kMaxRecordedDelays = 1u << 20;

struct Clock {
    std::atomic<ClockMode> mode{ClockMode::Virtual};
    std::atomic<LONGLONG> virtualTicks{kVirtualStartTicks};
    std::mutex lock;  // guards delays and probe
    std::vector<RecordedDelay> delays;
    std::shared_ptr<const std::function<bool()>> probe;
    std::shared_ptr<const std::function<bool(LONGLONG)>> events;
    std::shared_ptr<const std::function<bool()>> service;
};

Clock& TheClock() {
    static Clock* clock = new Clock;  // never destroyed: threads may wait during process exit
    return *clock;
}

}  // namespace

void SetClockMode(ClockMode mode) {
    TheClock().mode.store(mode);
}
ClockMode GetClockMode() {
    return TheClock().mode.load();
}

LONGLONG NowTicks() {
    if (GetClockMode() == ClockMode::Virtual) return TheClock().virtualTicks.load();
    auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochTicks +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100;
}

void AdvanceVirtualTime(LONGLONG ticks) {
    if (ticks > 0 && GetClockMode() == ClockMode::Virtual) TheClock().virtualTicks.fetch_add(ticks);
}

// Moves the virtual clock to `ticks` unless it is already there or beyond.
void AdvanceVirtualTimeTo(LONGLONG ticks) {
    if (GetClockMode() != ClockMode::Virtual) return;
    LONGLONG current = TheClock().virtualTicks.load();
    while (current < ticks && !TheClock().virtualTicks.compare_exchange_weak(current, ticks)) {
    }
}

void RecordDelay(DelayKind kind, LONGLONG ticks) {
    std::lock_guard guard(TheClock().lock);
    if (TheClock().delays.size() < kMaxRecordedDelays) TheClock().delays.push_back({kind, ticks});
}

std::vector<RecordedDelay> RecordedDelays() {
    std::lock_guard guard(TheClock().lock);
    return TheClock().delays;
}

std::vector<LONGLONG> RecordedDelayMilliseconds(DelayKind kind) {
    std::vector<LONGLONG> result;
    for (const RecordedDelay& delay : RecordedDelays())
        if (delay.kind == kind) result.push_back(delay.Milliseconds());
    return result;
}

void ClearRecordedDelays() {
    std::lock_guard guard(TheClock().lock);
    TheClock().delays.clear();
}

void SetProgressProbe(std::function<bool()> workInProgress) {
    std::lock_guard guard(TheClock().lock);
    TheClock().probe =
        workInProgress ? std::make_shared<const std::function<bool()>>(std::move(workInProgress))
                       : nullptr;
}

void ClearProgressProbe() {
    SetProgressProbe(nullptr);
}

bool WorkInProgress() {
    std::shared_ptr<const std::function<bool()>> probe;
    {
        std::lock_guard guard(TheClock().lock);
        probe = TheClock().probe;
    }
    return probe && (*probe)();
}

void SetEventSource(std::function<bool(LONGLONG)> source) {
    std::lock_guard guard(TheClock().lock);
    TheClock().events =
        source ? std::make_shared<const std::function<bool(LONGLONG)>>(std::move(source)) : nullptr;
}

bool BringNextEventDue(LONGLONG limit) {
    if (GetClockMode() != ClockMode::Virtual) return false;
    std::shared_ptr<const std::function<bool(LONGLONG)>> source;
    {
        std::lock_guard guard(TheClock().lock);
        source = TheClock().events;
    }
    return source && (*source)(limit);
}

void SetWaiterService(std::function<bool()> serve) {
    std::lock_guard guard(TheClock().lock);
    TheClock().service =
        serve ? std::make_shared<const std::function<bool()>>(std::move(serve)) : nullptr;
}

void ClearWaiterService() {
    SetWaiterService(nullptr);
}

bool WaitersServeBus() {
    if (GetClockMode() != ClockMode::Virtual) return false;
    std::lock_guard guard(TheClock().lock);
    return TheClock().service != nullptr;
}

bool ServeOnWaitingThread() {
    if (GetClockMode() != ClockMode::Virtual) return false;
    std::shared_ptr<const std::function<bool()>> service;
    {
        std::lock_guard guard(TheClock().lock);
        service = TheClock().service;
    }
    return service && (*service)();
}

}  // namespace host
