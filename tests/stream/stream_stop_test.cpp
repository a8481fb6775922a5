// Stopping the stream reader against what may happen meanwhile: a stream start landing inside a
// device stop, reads still draining when stop clears deviceActive, a read of the stopped run
// completing across a quick stop and start, and a stop while the driver's pool is exhausted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/host/clock.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "stream_fixture.h"

namespace streamtest {
namespace {

using std::chrono::milliseconds;

template <typename Predicate>
bool WaitFor(Predicate done, milliseconds limit = milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

LONG Outstanding(CQZUSB* transport) {
    return ReadLongAcquire(&transport->isoReadsOutstanding) +
           ReadLongAcquire(&transport->bulkReadsOutstanding);
}

// Holds one allocation of the driver on the thread that makes it until released: a way to stop a
// thread at a known point inside the driver.
class AllocationGate {
  public:
    // Holds the first driver allocation for which `pick` is true.
    explicit AllocationGate(std::function<bool()> pick) : state_(std::make_shared<State>()) {
        host::SetPoolFailurePredicate([state = state_, pick = std::move(pick)](ULONG tag, SIZE_T) {
            if (tag != kDriverPoolTag || !pick()) return false;
            std::unique_lock lock(state->mutex);
            if (state->used) return false;
            state->used = true;
            state->held = true;
            state->changed.notify_all();
            state->changed.wait(lock, [&] { return state->released; });
            return false;
        });
    }
    ~AllocationGate() {
        Release();
        host::ClearPoolFaults();
    }
    bool WaitUntilHeld() {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, std::chrono::seconds(5),
                                        [this] { return state_->held; });
    }
    void Release() {
        std::lock_guard lock(state_->mutex);
        state_->released = true;
        state_->changed.notify_all();
    }

  private:
    // Shared with the predicate, which may still be on its way out when the gate goes.
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool used = false;
        bool held = false;
        bool released = false;
    };
    std::shared_ptr<State> state_;
};

thread_local bool tStartingStream = false;

class StopRace : public ::testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(BothPaths, StopRace, ::testing::Values(Path::Bulk, Path::Iso),
                         [](const ::testing::TestParamInfo<Path>& info) {
                             return PathName(info.param);
                         });

// A stream start that has passed its look at deviceActive when device stop begins: stop waits
// until the start is done and stops what it started; no read reaches the stick after stop.
TEST_P(StopRace, StreamStartInsideDeviceStopIsStoppedWithTheRest) {
    StreamFixture f(GetParam());
    AllocationGate gate([] { return tStartingStream; });
    std::thread starter([&] {
        tStartingStream = true;
        f.StartStream();  // held at its first read's allocation, the reader already marked active
    });
    ASSERT_TRUE(gate.WaitUntilHeld());
    f.system.SetRemoveOnDeparture(false);
    std::atomic<bool> stopped{false};
    std::thread stop([&] {
        f.system.Stop(*f.device);
        stopped = true;
    });
    std::this_thread::sleep_for(milliseconds(30));
    gate.Release();
    starter.join();
    stop.join();
    const uint64_t seenAtStop = f.stick.readsSeen;
    f.Settle();
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(f.stick.readsSeen, seenAtStop) << "reads reached the stick after stop returned";
    EXPECT_EQ(Outstanding(f.transport), 0);
    EXPECT_EQ(f.transport->streamActive, 0u);
    f.system.Remove(*f.device);
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
    EXPECT_EQ(kvstest::HostSystem::PacketPoolBlocks(), 0u);
}

// Reads still in flight when stop clears deviceActive complete with data: none of it reaches the
// pin, as on the bulk path.
TEST(IsoReader, DataOfReadsDrainingAfterDeviceActiveWasClearedIsNotDelivered) {
    std::atomic<bool> answering{true};  // outlives the fixture, whose bus calls the script
    StreamFixture f(Path::Iso);
    f.stick.script = [&](uint64_t, const host::UsbRequest& request) {
        if (!answering) return host::UsbAnswer::WaitForWake();
        FillIso(request, std::vector<ULONG>(512, 188), 0x47);
        return host::UsbAnswer::Success();
    };
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(2, 5000));
    answering = false;
    ASSERT_TRUE(WaitFor([&] {
        const uint64_t answered = f.stick.readsAnswered;
        std::this_thread::sleep_for(milliseconds(5));
        return f.stick.readsAnswered == answered;
    }));
    const uint64_t frames = f.pin.FramesCompleted();
    SetDeviceActive(f.context, 0);  // as device stop does once the reader is stopped
    const uint64_t answered = f.stick.readsAnswered;
    answering = true;
    ASSERT_TRUE(WaitFor([&] { return f.stick.readsAnswered >= answered + 10; }));
    EXPECT_EQ(f.pin.FramesCompleted(), frames);
}

// Holds the first isochronous read that a completion hands back to the bus (its run already
// decided), until released.
class ResubmissionGate : public host::UsbTrafficObserver {
  public:
    explicit ResubmissionGate(std::thread::id main) : main_(main) {}
    void RequestSubmitted(const host::UsbTrafficRecord& record) override {
        if (record.function != URB_FUNCTION_ISOCH_TRANSFER || std::this_thread::get_id() == main_)
            return;
        std::unique_lock lock(mutex_);
        if (used_) return;
        used_ = held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
    }
    void RequestCompleted(const host::UsbTrafficRecord&) override {}
    bool WaitUntilHeld() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return held_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::thread::id main_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool used_ = false, held_ = false, released_ = false;
};

// A completion of the stopped run resubmits its read while a stop and a start pass: the read
// belongs to the run it was decided under and ends at its completion (the stop's pipe abort, or
// the stick's answer should it land after the abort), so the new run keeps ten reads, not eleven.
TEST(IsoReader, ReadResubmittedAcrossAQuickStopAndStartDoesNotJoinTheNewRun) {
    StreamFixture f(Path::Iso);
    f.StartStream();
    ASSERT_TRUE(f.pin.WaitForFrames(1, 5000));
    ResubmissionGate gate(std::this_thread::get_id());
    f.system.Bus().AddObserver(&gate);
    ASSERT_TRUE(gate.WaitUntilHeld());  // a completion, handing its read back to the bus
    const LONG oldRun = ReadLongAcquire(&f.transport->streamRun);
    // The restart's own submissions wait behind the held one; the new run has begun once its
    // number is up.
    std::thread restart([&] {
        f.StopStream();
        StartStreamLocked(f.device->Device());
    });
    // The stop's pipe abort passes the bus's observers after the held read, so the read is let
    // go once the stop has begun.
    ASSERT_TRUE(WaitFor([&] { return ReadStreamActive(f.transport) == 0; }));
    EXPECT_EQ(ReadLongAcquire(&f.transport->streamRun), oldRun);
    gate.Release();
    restart.join();
    EXPECT_NE(ReadLongAcquire(&f.transport->streamRun), oldRun);
    f.system.Bus().RemoveObserver(&gate);
    const uint64_t answered = f.stick.readsAnswered;
    ASSERT_TRUE(WaitFor([&] { return f.stick.readsAnswered >= answered + 40; }));
    f.stick.holdReads = true;  // every read parks: what circulates is what is outstanding
    f.Settle();
    EXPECT_EQ(ReadLongAcquire(&f.transport->isoReadsOutstanding), 10);
}

// The bulk stop's pipe abort does not depend on memory: with the driver's pool exhausted it goes
// out at once instead of being retried until memory comes back.
TEST(BulkReader, StopWithThePoolExhaustedAbortsAtOnce) {
    StreamFixture f(Path::Bulk);
    f.stick.holdReads = true;
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return Outstanding(f.transport) == 10; }));
    f.Settle();  // the first read waits with the stick, the others behind it on the pipe
    auto failures = std::make_shared<std::atomic<int>>(0);
    host::SetPoolFailurePredicate([failures](ULONG tag, SIZE_T) {
        return tag == kDriverPoolTag && ++*failures <= 30;  // memory comes back eventually
    });
    host::ClearRecordedDelays();
    const LONGLONG before = host::NowTicks();
    f.StopStream();
    host::ClearPoolFaults();
    EXPECT_EQ(Outstanding(f.transport), 0);
    EXPECT_EQ(host::NowTicks(), before) << "the stop waited for memory";
    EXPECT_TRUE(host::RecordedDelays().empty());
}

// Counts the pipe aborts that reach the bus.
class AbortCounter : public host::UsbTrafficObserver {
  public:
    void RequestSubmitted(const host::UsbTrafficRecord& record) override {
        if (record.function == URB_FUNCTION_ABORT_PIPE) ++aborts;
    }
    void RequestCompleted(const host::UsbTrafficRecord&) override {}
    std::atomic<int> aborts{0};
};

class StopWithoutMemory : public ::testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(BothPaths, StopWithoutMemory, ::testing::Values(Path::Bulk, Path::Iso),
                         [](const ::testing::TestParamInfo<Path>& info) {
                             return PathName(info.param);
                         });

// With every allocation failing, request packets included, the stop's pipe abort still goes out
// at once, in the packet the transport keeps for its requests: one abort on the bus, no wait for
// memory.
TEST_P(StopWithoutMemory, PipeAbortGoesOutInTheTransportsOwnPacket) {
    StreamFixture f(GetParam());
    f.stick.holdReads = true;
    f.StartStream();
    ASSERT_TRUE(WaitFor([&] { return Outstanding(f.transport) == 10; }));
    f.Settle();
    AbortCounter counter;
    f.system.Bus().AddObserver(&counter);
    auto failures = std::make_shared<std::atomic<int>>(0);
    host::SetPoolFailurePredicate([failures](ULONG tag, SIZE_T) {
        // Memory comes back eventually, so that a stop that waits for it ends.
        return (tag == kDriverPoolTag || tag == host::kIrpPoolTag) && ++*failures <= 30;
    });
    host::ClearRecordedDelays();
    const LONGLONG before = host::NowTicks();
    f.StopStream();
    host::ClearPoolFaults();
    f.Settle();
    f.system.Bus().RemoveObserver(&counter);
    EXPECT_EQ(counter.aborts, 1);
    EXPECT_EQ(Outstanding(f.transport), 0);
    EXPECT_EQ(host::NowTicks(), before) << "the stop waited for memory";
    EXPECT_TRUE(host::RecordedDelays().empty());
}

}  // namespace
}  // namespace streamtest
