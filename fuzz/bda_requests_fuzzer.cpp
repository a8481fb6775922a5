// Property and method requests of any set, id, flags, node, size and content through the host's
// kernel-streaming services into a started receiver filter, with a simulated stick (bridge
// firmware, tuner, demodulator, default air) behind it. The input is a script of requests, pin
// state changes, pin re-creation and tunes, run on a virtual clock.
//
// After every step: a request never reports more bytes than the application's buffer holds, and
// the values the driver keeps stay among those it accepts (a refused request stores nothing).
// At the end nothing may be left: no kernel error or IRQL violation, no filter but the
// application's, the pool back to what the started receiver holds; the only debug assertion
// allowed is the intersection's remark about a buffer larger than the format. One started
// receiver with its application open serves every input of a run, put back between inputs
// (fuzz/support/started_receiver.h).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "driver/receiver_guids.h"
#include "platform/host/bda_receiver_application.h"
#include "platform/host/debug_log.h"
#include "platform/host/ks_services.h"
#include "support/default_flags.h"
#include "support/fuzz_input.h"
#include "support/kernel_checks.h"
#include "support/started_receiver.h"

namespace {

constexpr const char* kTarget = "bda_requests";
constexpr ULONG kMaxBuffer = 1100;
constexpr size_t kMaxSteps = 256;

const GUID kUnknownSet = {0x0BADF00D, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID* const kSets[] = {&KSPROPSETID_BdaFrequencyFilter,
                             &KSPROPSETID_BdaSignalStats,
                             &KSPROPSETID_BdaDigitalDemodulator,
                             &KSMETHODSETID_BdaChangeSync,
                             &KSMETHODSETID_BdaDeviceConfiguration,
                             &PrivatePropertySet,
                             &KSPROPSETID_Pin,
                             &KSPROPSETID_Topology,
                             &KSPROPSETID_General,
                             &kUnknownSet,
                             &KSPROPSETID_BdaTopology,
                             &KSPROPSETID_BdaPinControl};
constexpr ULONG kFlags[] = {KSPROPERTY_TYPE_GET,
                            KSPROPERTY_TYPE_SET,
                            KSPROPERTY_TYPE_BASICSUPPORT,
                            KSPROPERTY_TYPE_SETSUPPORT,
                            KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
                            KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY,
                            KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY,
                            KSMETHOD_TYPE_SEND,
                            KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};
constexpr ULONG kNodes[] = {0, 1, 2, KSFILTER_NODE};
constexpr ULONG kChannelsKHz[] = {474000, 530000, 618000, 754000};  // the default air's

using fuzz::Expect;

bool OneOf(LONG value, std::initializer_list<LONG> allowed) {
    for (LONG a : allowed)
        if (value == a) return true;
    return false;
}

class Script {
  public:
    Script(const uint8_t* data, size_t size) : in_(data, size) {}

    void Run() {
        fuzz::StartedReceiver& receiver = fuzz::StartedReceiver::Shared();
        Expect(receiver.Started(), kTarget, "the stick did not start");
        receiver.BeginInput();
        device_ = receiver.Device();
        app_ = &receiver.Application();
        for (size_t step = 0; step < kMaxSteps && !in_.Empty() && !receiver.BusBudgetSpent();
             ++step) {
            Step();
            CheckStoredValues();
        }
        receiver.Settle();
    }

  private:
    host::KsHandle* Target(uint8_t choice) {
        switch (choice % 3) {
            case 1:
                if (app_->InputPin() != nullptr) return app_->InputPin();
                break;
            case 2:
                if (app_->OutputPinHandle() != nullptr) return app_->OutputPinHandle();
                break;
        }
        return app_->Filter();
    }

    void Request() {
        host::KsHandle* target = Target(in_.Byte());
        const bool method = in_.Bit();
        KSP_NODE header{};
        header.Property.Set = *kSets[in_.Byte() % (sizeof(kSets) / sizeof(kSets[0]))];
        header.Property.Id = in_.Byte() % 20;
        const uint8_t flagChoice = in_.Byte();
        header.Property.Flags = flagChoice < 0xF0
                                    ? kFlags[flagChoice % (sizeof(kFlags) / sizeof(kFlags[0]))]
                                    : static_cast<ULONG>(in_.U16()) << (flagChoice & 0xF);
        header.NodeId = kNodes[in_.Byte() % 4];
        const ULONG requestLength = in_.U16() % kMaxBuffer;
        const ULONG dataLength = in_.U16() % kMaxBuffer;
        std::vector<uint8_t> request(std::max<size_t>(requestLength, sizeof(header)), 0);
        std::memcpy(request.data(), &header, sizeof(header));
        if (request.size() > sizeof(header))
            in_.Take(request.data() + sizeof(header), request.size() - sizeof(header));
        std::vector<uint8_t> data(dataLength, 0);
        in_.Take(data.data(), std::min<size_t>(dataLength, 8));
        ULONG returned = 0;
        const NTSTATUS status = target->DeviceControl(
            method ? IOCTL_KS_METHOD : IOCTL_KS_PROPERTY, request.data(), requestLength,
            data.empty() ? nullptr : data.data(), dataLength, &returned);
        if (NT_SUCCESS(status))
            Expect(returned <= dataLength, kTarget, "a request reported more than its buffer");
    }

    void PinState() {
        host::KsPinHandle* pin = in_.Bit() ? app_->InputPin() : app_->OutputPinHandle();
        if (pin != nullptr) (void)pin->SetState(static_cast<KSSTATE>(in_.Byte() % 4));
    }

    // Mostly one of the air's four channels, which lock after different numbers of settings;
    // sometimes any frequency of the band, where a tune without a channel polls for a lock until
    // its time-out and costs twice the round trips to the stick.
    void Tune() {
        const uint8_t choice = in_.Byte();
        const ULONG kHz =
            choice < 0xE0 ? kChannelsKHz[choice % 4] : 440000 + static_cast<ULONG>(in_.U16()) * 8;
        (void)app_->Tune(kHz, in_.Byte() % 10);
        (void)app_->ReadSignal();
    }

    void Reopen() {
        app_->Close();
        Expect(app_->Open() == STATUS_SUCCESS, kTarget, "the application could not open again");
    }

    // Requests are what an application sends most and cost the least; pin state changes, tunes
    // and re-creating the pins each take the top sixteenth of the step byte's values in turn.
    void Step() {
        const uint8_t kind = in_.Byte();
        if (kind < 0xD0)
            Request();
        else if (kind < 0xE0)
            PinState();
        else if (kind < 0xF0)
            Tune();
        else
            Reopen();
    }

    // Values the driver keeps are the ones its setters accept.
    void CheckStoredValues() {
        const DeviceContext* context = GetDeviceContext(device_);
        Expect(context != nullptr, kTarget, "the DeviceContext went away");
        Expect(OneOf(context->modulationType, {0, BDA_MOD_QPSK, BDA_MOD_16QAM, BDA_MOD_64QAM}),
               kTarget, "modulation type stored outside the accepted values");
        for (LONG rate : {context->innerFecRate, context->outerFecRate})
            Expect(OneOf(rate, {0, 1, 2, 3, 6, 8}), kTarget,
                   "FEC rate stored outside the accepted values");
        Expect(context->frequency != 0xFFFFFFFF, kTarget, "the 'not set' frequency was stored");
        Expect(context->frequencyMultiplier == 0, kTarget, "the frequency multiplier changed");
    }

    fuzz::InputReader in_;
    PKSDEVICE device_ = nullptr;
    host::BdaReceiverApplication* app_ = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::UseStartedReceiverFlags(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::StartedReceiver& receiver = fuzz::StartedReceiver::Shared();
    fuzz::BeginInputOnRunningSystem();
    Script(data, size).Run();
    // No application request may reach an assertion of the driver.
    std::vector<host::AssertionRecord> assertions = host::Assertions();
    host::ClearAssertions();
    Expect(assertions.empty(), kTarget, "an application request reached an assertion");
    // The receiver's application holds the one filter and its BDA context.
    Expect(host::BdaFilterContextsAlive() == 1 && host::KsFiltersOpen() == 1, kTarget,
           "a filter or its BDA context was left");
    receiver.ResetForNextInput();
    fuzz::EndInputOnRunningSystem(kTarget, receiver.PoolAfterStart());
    return 0;
}
