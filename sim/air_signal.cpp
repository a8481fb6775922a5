// Stream and status reports of the air, as the stick delivers them.
#include "sim/air_signal.h"

#include <chrono>

#include "sim/stick.h"

namespace sim {

namespace {
constexpr uint8_t kStatusReportType = 0xBB;
constexpr size_t kStatusReportBytes = 7;
constexpr size_t kMaxQueuedReports = 4;
}  // namespace

AirStreamSource::AirStreamSource(const DemodChip& demod, TsGeneratorOptions base)
    : demod_(demod), base_(base) {}

size_t AirStreamSource::Read(uint8_t* out, size_t capacity) {
    const Transmitter* locked = demod_.LockedTransmitter();
    if (locked == nullptr) return 0;
    std::shared_ptr<TsGenerator> generator;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto& slot = generators_[locked];
        if (!slot) {
            TsGeneratorOptions options = base_;
            options.programNumber = locked->programNumber;
            options.pmtPid = static_cast<uint16_t>(locked->videoPid - 0x10);
            options.pcrPid = static_cast<uint16_t>(locked->videoPid - 1);
            options.firstPayloadPid = locked->videoPid;
            if (locked->bitsPerSecond) options.bitsPerSecond = *locked->bitsPerSecond;
            options.packetLimit = locked->packets;
            slot = std::make_shared<TsGenerator>(options);
        }
        generator = slot;
    }
    return generator->Read(out, capacity);
}

bool AirStreamSource::Paced() const {
    const Transmitter* locked = demod_.LockedTransmitter();
    if (locked == nullptr) return false;
    return base_.realTime && locked->bitsPerSecond.value_or(base_.bitsPerSecond) != 0;
}

void AirStreamSource::Restart() {
    std::lock_guard<std::mutex> guard(lock_);
    generators_.clear();
}

std::vector<uint8_t> StatusReportFor(const DemodChip& demod) {
    std::vector<uint8_t> report(kStatusReportBytes, 0);
    report[0] = kStatusReportType;
    const Transmitter* locked = demod.LockedTransmitter();
    if (locked != nullptr) {
        // The bridge firmware reports the demodulator's strength reading, low byte first.
        const uint16_t strength = StrengthReadingOf(locked);
        report[2] = 1;
        report[3] = static_cast<uint8_t>(strength & 0xFF);
        report[4] = locked->quality;
        report[5] = static_cast<uint8_t>(strength >> 8);
    }
    return report;
}

AirStatusReporter::AirStatusReporter(std::weak_ptr<Stick> stick, const DemodChip& demod,
                                     unsigned periodMs)
    : stick_(std::move(stick)), demod_(demod), periodMs_(periodMs) {}

AirStatusReporter::~AirStatusReporter() {
    Stop();
}

void AirStatusReporter::Start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_) return;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
}

void AirStatusReporter::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!running_) return;
        running_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void AirStatusReporter::Run() {
    std::unique_lock<std::mutex> guard(lock_);
    while (running_) {
        guard.unlock();
        if (std::shared_ptr<Stick> stick = stick_.lock()) {
            if (stick->QueuedInterruptReports() < kMaxQueuedReports) {
                stick->QueueInterruptReport(StatusReportFor(demod_));
            }
        }
        guard.lock();
        wake_.wait_for(guard, std::chrono::milliseconds(periodMs_), [this] { return !running_; });
    }
}

}  // namespace sim
