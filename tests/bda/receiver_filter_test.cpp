// The receiver as an application finds it: the filter's categories, pins, ranges and topology,
// the intersection of both pins, and what creating, running and closing the pins does to the
// stick.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver/receiver_guids.h"
#include "platform/host/debug_log.h"
#include "platform/host/ks_services.h"
#include "receiver_stack.h"
#include "usb/cqzusb.h"

namespace bda_test {
namespace {

using ::testing::ElementsAre;

MATCHER_P(GuidIs, text, "") {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  arg.Data1, arg.Data2, arg.Data3, arg.Data4[0], arg.Data4[1], arg.Data4[2],
                  arg.Data4[3], arg.Data4[4], arg.Data4[5], arg.Data4[6], arg.Data4[7]);
    *result_listener << buffer;
    return std::string(buffer) == text;
}

class ReceiverFilterTest : public ::testing::Test {
  protected:
    void TearDown() override {
        app.reset();
        stack.reset();
        EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
        EXPECT_EQ(host::BdaFilterContextsAlive(), 0u);
        EXPECT_EQ(host::KsFiltersOpen(), 0u);
    }
    DeviceContext* Context() { return stack->Hosted()->Context(); }

    std::unique_ptr<ReceiverStack> stack = std::make_unique<ReceiverStack>();
    std::unique_ptr<host::BdaReceiverApplication> app =
        std::make_unique<host::BdaReceiverApplication>(stack->Device());
};

TEST_F(ReceiverFilterTest, ShowsItselfAsABdaReceiverWithTwoPinsAndTwoNodes) {
    NTSTATUS status;
    auto filter = host::KsFilterHandle::Open(stack->Device(), &status);
    ASSERT_NE(filter, nullptr) << std::hex << status;

    std::vector<GUID> categories;
    ASSERT_EQ(filter->Categories(&categories), STATUS_SUCCESS);
    EXPECT_THAT(categories, ElementsAre(GuidIs("FD0A5AF4-B41D-11D2-9C95-00C04F7971E0"),
                                        GuidIs("71985F48-1CA1-11D3-9CC8-00C04F7971E0")));
    std::vector<GUID> nodes;
    ASSERT_EQ(filter->NodeTypes(&nodes), STATUS_SUCCESS);
    EXPECT_THAT(nodes, ElementsAre(GuidIs("71985F4C-1CA1-11D3-9CC8-00C04F7971E0"),
                                   GuidIs("2DAC6E05-EDBE-4B9C-B387-1B6FAD7D6495")));
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    ASSERT_EQ(filter->Connections(&connections), STATUS_SUCCESS);
    ASSERT_EQ(connections.size(), 3u);
    const ULONG expected[3][4] = {{KSFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, KSFILTER_NODE, 1}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(connections[i].FromNode, expected[i][0]);
        EXPECT_EQ(connections[i].FromNodePin, expected[i][1]);
        EXPECT_EQ(connections[i].ToNode, expected[i][2]);
        EXPECT_EQ(connections[i].ToNodePin, expected[i][3]);
    }
    KSCOMPONENTID id{};
    ASSERT_EQ(filter->Get(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, sizeof(id)),
              STATUS_SUCCESS);
    EXPECT_THAT(id.Manufacturer, GuidIs("00000000-0000-0000-0001-000000000000"));
    EXPECT_THAT(id.Product, GuidIs("00000000-0000-0000-0000-000000000000"));

    ULONG pins = 0;
    ASSERT_EQ(filter->PinFactoryCount(&pins), STATUS_SUCCESS);
    ASSERT_EQ(pins, 2u);
    struct PinFacts {
        ULONG dataFlow;
        const char* category;
        ULONG possible;
        ULONG necessary;
        size_t rangeBytes;
        const char* major;
        const char* sub;
        const char* specifier;
    };
    const PinFacts facts[] = {
        {KSPIN_DATAFLOW_IN, "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52", 1, 0, 64,
         "71985F41-1CA1-11D3-9CC8-00C04F7971E0", "E436EB8E-524F-11CE-9F53-0020AF0BA770",
         "0F6417D6-C318-11D0-A43F-00A0C9223196"},
        {KSPIN_DATAFLOW_OUT, "78216A81-CFA8-493E-9711-36A61C08BD9D", 1, 1, 88,
         "E436EB83-524F-11CE-9F53-0020AF0BA770", "F4AEB342-0329-4FDD-A8FD-4AFF4926C978",
         "8DEDA6FD-AC5F-4334-8ECF-A4BA8FA7D0F0"},
    };
    for (ULONG pin = 0; pin < 2; ++pin) {
        SCOPED_TRACE(pin);
        const PinFacts& f = facts[pin];
        ULONG value = 0;
        ASSERT_EQ(filter->PinDataFlow(pin, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, f.dataFlow);
        GUID category{};
        ASSERT_EQ(filter->PinCategory(pin, &category), STATUS_SUCCESS);
        EXPECT_THAT(category, GuidIs(f.category));
        KSPIN_CINSTANCES instances{};
        ASSERT_EQ(filter->PinInstances(pin, &instances), STATUS_SUCCESS);
        EXPECT_EQ(instances.PossibleCount, f.possible);
        EXPECT_EQ(instances.CurrentCount, 0u);
        ASSERT_EQ(filter->NecessaryInstances(pin, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, f.necessary);
        std::vector<std::vector<uint8_t>> ranges;
        ASSERT_EQ(filter->DataRanges(pin, &ranges), STATUS_SUCCESS);
        ASSERT_EQ(ranges.size(), 1u);
        ASSERT_EQ(ranges[0].size(), f.rangeBytes);
        KS_DATARANGE_BDA_TRANSPORT range{};
        std::memcpy(&range, ranges[0].data(), ranges[0].size());
        EXPECT_EQ(range.DataRange.FormatSize, f.rangeBytes);
        EXPECT_EQ(range.DataRange.Flags | range.DataRange.SampleSize | range.DataRange.Reserved,
                  0u);
        EXPECT_THAT(range.DataRange.MajorFormat, GuidIs(f.major));
        EXPECT_THAT(range.DataRange.SubFormat, GuidIs(f.sub));
        EXPECT_THAT(range.DataRange.Specifier, GuidIs(f.specifier));
        if (pin == 1) {
            EXPECT_EQ(range.BdaTransportInfo.ulcbPhyiscalPacket, 188u);
            EXPECT_EQ(range.BdaTransportInfo.ulcbPhyiscalFrame, 96256u);
            EXPECT_EQ(range.BdaTransportInfo.ulcbPhyiscalFrameAlignment, 0u);
            EXPECT_EQ(range.BdaTransportInfo.AvgTimePerFrame, 0);
        }
    }
    EXPECT_EQ(filter->Close(), STATUS_SUCCESS);
}

struct IntersectionCase {
    const char* name;
    ULONG pin;
    ULONG requestedBytes;  // the application's range (its FormatSize)
    ULONG bufferBytes;
    NTSTATUS status;
    ULONG returned;
};

class Intersection : public ReceiverFilterTest,
                     public ::testing::WithParamInterface<IntersectionCase> {};

// The requested range itself comes back, whatever the application put in its fields; a buffer
// too small for it is told the size; a larger one gets the data and the format's size. No
// answer reaches an assertion: the buffer is the application's choice.
TEST_P(Intersection, AnswersTheSizeAndCopiesTheRequestedRange) {
    const IntersectionCase& c = GetParam();
    NTSTATUS status;
    auto filter = host::KsFilterHandle::Open(stack->Device(), &status);
    ASSERT_NE(filter, nullptr);
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(filter->DataRanges(c.pin, &ranges), STATUS_SUCCESS);
    std::vector<uint8_t> requested(c.requestedBytes, 0);
    std::memcpy(requested.data(), ranges[0].data(), std::min<size_t>(64, ranges[0].size()));
    for (size_t i = 64; i < requested.size(); ++i) requested[i] = static_cast<uint8_t>(0xA0 + i);
    requested[8] = 0x5A;  // sample size: the driver does not look at it
    std::memcpy(requested.data(), &c.requestedBytes, sizeof(ULONG));

    host::KsRequestHeader header{
        KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, std::nullopt, {}};
    const ULONG pinAndReserved[2] = {c.pin, 0};
    const KSMULTIPLE_ITEM list{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + requested.size()), 1};
    header.instance.resize(sizeof(pinAndReserved) + sizeof(list) + requested.size());
    std::memcpy(header.instance.data(), pinAndReserved, sizeof(pinAndReserved));
    std::memcpy(header.instance.data() + 8, &list, sizeof(list));
    std::memcpy(header.instance.data() + 16, requested.data(), requested.size());

    host::ClearAssertions();
    std::vector<uint8_t> buffer(c.bufferBytes, 0xEE);
    ULONG returned = 0;
    EXPECT_EQ(filter->Property(header, buffer.empty() ? nullptr : buffer.data(), c.bufferBytes,
                               &returned),
              c.status);
    EXPECT_EQ(returned, c.returned);
    if (c.status == STATUS_SUCCESS) {
        EXPECT_TRUE(std::equal(requested.begin(), requested.begin() + c.returned, buffer.begin()));
    } else {
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), static_cast<long>(buffer.size()));
    }
    EXPECT_TRUE(host::Assertions().empty());
    host::ClearAssertions();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Intersection,
    ::testing::Values(IntersectionCase{"antenna_size_query", 0, 64, 0, STATUS_BUFFER_OVERFLOW, 64},
                      IntersectionCase{"antenna_short", 0, 64, 63, STATUS_BUFFER_OVERFLOW, 64},
                      IntersectionCase{"antenna_exact", 0, 64, 64, STATUS_SUCCESS, 64},
                      IntersectionCase{"antenna_larger", 0, 64, 100, STATUS_SUCCESS, 64},
                      IntersectionCase{"antenna_long_request", 0, 72, 64, STATUS_SUCCESS, 64},
                      IntersectionCase{"transport_size_query", 1, 88, 0, STATUS_BUFFER_OVERFLOW,
                                       88},
                      IntersectionCase{"transport_short", 1, 88, 87, STATUS_BUFFER_OVERFLOW, 88},
                      IntersectionCase{"transport_exact", 1, 88, 88, STATUS_SUCCESS, 88},
                      IntersectionCase{"transport_larger", 1, 88, 120, STATUS_SUCCESS, 88},
                      // A plain range for the transport pin: shorter than the format, so it matches
                      // nothing (the format is never read from past the application's range).
                      IntersectionCase{"transport_plain_range", 1, 64, 88, STATUS_NO_MATCH, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bda_test

namespace bda_test {
namespace {

// Writes of the tuner's register 9 (power and operation control), in order.
std::vector<uint8_t> TunerRegister9Writes(const sim::TunerChip& tuner) {
    std::vector<uint8_t> values;
    for (const auto& write : tuner.Writes())
        if (write.bytes.size() >= 2 && write.bytes[0] == 9) values.push_back(write.bytes[1]);
    return values;
}

ULONG AntennaState(DeviceContext* context) {
    return static_cast<ULONG>(
        ReadLongAcquire(reinterpret_cast<LONG const volatile*>(&context->antennaPinState)));
}

ULONG StreamActive(CQZUSB* transport) {
    return static_cast<ULONG>(
        ReadLongAcquire(reinterpret_cast<LONG const volatile*>(&transport->streamActive)));
}

TEST_F(ReceiverFilterTest, OutputPinCreateWakesTheTunerAndCloseStopsAndSleepsIt) {
    ASSERT_EQ(app->Open(), STATUS_SUCCESS);
    // Creating the output pin woke the tuner (register 9 = 0xF0) and made the pin the stream's
    // destination with the antenna stopped; the antenna pin itself changed nothing.
    EXPECT_THAT(TunerRegister9Writes(stack->tuner), ElementsAre(0xF0));
    EXPECT_EQ(Context()->outputPin, app->OutputPinHandle()->KsPin());
    EXPECT_EQ(AntennaState(Context()), static_cast<ULONG>(KSSTATE_STOP));

    ASSERT_EQ(app->Run(), STATUS_SUCCESS);
    EXPECT_EQ(StreamActive(stack->Hosted()->Transport()), 1u);
    stack->tuner.ClearWrites();
    stack->ClearFrames();

    // Closing it stops the stream, sleeps the tuner and tells the bridge (06 00).
    ASSERT_EQ(app->OutputPinHandle()->Close(), STATUS_SUCCESS);
    EXPECT_EQ(StreamActive(stack->Hosted()->Transport()), 0u);
    EXPECT_THAT(TunerRegister9Writes(stack->tuner), ElementsAre(0x00));
    EXPECT_FALSE(stack->tuner.Awake());
    const auto frames = stack->Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_THAT(frames.back(), ElementsAre(0x06, 0x00));
    EXPECT_EQ(Context()->outputPin, nullptr);
}

// The antenna pin's state drives the stream reader; acquire and pause change nothing but the
// state the driver keeps. Creating the output pin while the antenna runs stops delivery until
// the antenna is set to run again.
TEST_F(ReceiverFilterTest, AntennaStateDrivesTheStreamReader) {
    NTSTATUS status;
    auto filter = host::KsFilterHandle::Open(stack->Device(), &status);
    ASSERT_NE(filter, nullptr);
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(filter->DataRanges(0, &ranges), STATUS_SUCCESS);
    auto antenna = filter->CreatePin(0, ranges[0], nullptr, &status);
    ASSERT_NE(antenna, nullptr) << std::hex << status;
    CQZUSB* transport = stack->Hosted()->Transport();

    struct Step {
        KSSTATE state;
        ULONG streamActive;
    };
    for (const Step& step : {Step{KSSTATE_ACQUIRE, 0}, Step{KSSTATE_PAUSE, 0}, Step{KSSTATE_RUN, 1},
                             Step{KSSTATE_PAUSE, 1}, Step{KSSTATE_RUN, 1}, Step{KSSTATE_STOP, 0},
                             Step{KSSTATE_RUN, 1}}) {
        ASSERT_EQ(antenna->SetState(step.state), STATUS_SUCCESS);
        EXPECT_EQ(antenna->State(), step.state);
        EXPECT_EQ(AntennaState(Context()), static_cast<ULONG>(step.state));
        EXPECT_EQ(StreamActive(transport), step.streamActive) << "state " << step.state;
    }
    // The stream runs before any output pin exists; the output pin's creation sets the antenna
    // state the driver keeps back to stop.
    EXPECT_EQ(Context()->outputPin, nullptr);
    host::OutputPin frames;
    ASSERT_EQ(filter->DataRanges(1, &ranges), STATUS_SUCCESS);
    std::vector<uint8_t> format;
    ASSERT_EQ(filter->Intersect(1, ranges[0], &format), STATUS_SUCCESS);
    auto output = filter->CreatePin(1, format, &frames, &status);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(AntennaState(Context()), static_cast<ULONG>(KSSTATE_STOP));
    EXPECT_EQ(StreamActive(transport), 1u);
    // One instance of each pin factory.
    EXPECT_EQ(filter->CreatePin(1, format, &frames, &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    // Closing the antenna pin takes it down to stop on the way.
    ASSERT_EQ(antenna->Close(), STATUS_SUCCESS);
    EXPECT_EQ(StreamActive(transport), 0u);
    output.reset();
    EXPECT_EQ(filter->Close(), STATUS_SUCCESS);
}

// Without its DeviceContext (the stick has been removed) the filter and the output pin refuse to
// be created, and a filter closed after the removal gives its BDA context back.
TEST_F(ReceiverFilterTest, FilterAndPinsFindNoStickAfterRemoval) {
    NTSTATUS status;
    auto early = host::KsFilterHandle::Open(stack->Device(), &status);
    ASSERT_NE(early, nullptr);
    kvstest::HostedDevice* device = stack->Hosted();
    stack->System().Stop(*device);
    stack->System().Remove(*device);
    EXPECT_EQ(host::KsFilterHandle::Open(device->Device(), &status), nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    host::OutputPin frames;
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(early->DataRanges(1, &ranges), STATUS_SUCCESS);
    host::ClearDebugLines();
    EXPECT_EQ(early->CreatePin(1, ranges[0], &frames, &status), nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(kvstest::HostSystem::CountDebugLines(
                  "KVS.BDA_DEBUG:  OutputCreate: STATUS_DEVICE_NOT_CONNECTED"),
              1u);
    EXPECT_EQ(early->Close(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(host::BdaFilterContextsAlive(), 0u);
}

}  // namespace
}  // namespace bda_test
