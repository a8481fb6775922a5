// Requests an application gets wrong: kernel streaming refuses them with its status before any
// handler of the driver runs, and nothing is stored or sent. Also what basic-support and
// set-support queries answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver/receiver_guids.h"
#include "receiver_stack.h"

namespace bda_test {
namespace {

constexpr ULONG kTunerNode = 0;
constexpr ULONG kDemodulatorNode = 1;

enum class Target { Filter, InputPin, OutputPin };

struct BadRequest {
    const char* name;
    Target target;
    ULONG ioControl;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG node;          // with KSPROPERTY_TYPE_TOPOLOGY in flags
    ULONG requestBytes;  // what the application hands over of the header (and node header)
    ULONG dataBytes;
    NTSTATUS status;
    ULONG returned;
};

class BadRequests : public ::testing::TestWithParam<BadRequest> {
  protected:
    void TearDown() override {
        app.reset();
        stack.reset();
        EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
    }
    std::unique_ptr<ReceiverStack> stack = std::make_unique<ReceiverStack>();
    std::unique_ptr<host::BdaReceiverApplication> app =
        std::make_unique<host::BdaReceiverApplication>(stack->Device());
};

TEST_P(BadRequests, AreRefusedBeforeAnyHandlerRuns) {
    const BadRequest& c = GetParam();
    ASSERT_EQ(app->Open(), STATUS_SUCCESS);
    DeviceContext* context = stack->Hosted()->Context();
    context->frequency = 474000;
    context->modulationType = BDA_MOD_64QAM;
    stack->ClearFrames();

    KSP_NODE request{};
    request.Property.Set = c.set;
    request.Property.Id = c.id;
    request.Property.Flags = c.flags;
    request.NodeId = c.node;
    std::vector<uint8_t> bytes(std::max<ULONG>(c.requestBytes, sizeof(request)), 0);
    std::memcpy(bytes.data(), &request, sizeof(request));
    // A value that would be stored if a setter ran.
    std::vector<uint8_t> data(c.dataBytes, 0x02);
    host::KsHandle* handle = c.target == Target::Filter ? app->Filter()
                             : c.target == Target::InputPin
                                 ? static_cast<host::KsHandle*>(app->InputPin())
                                 : app->OutputPinHandle();
    ULONG returned = 0xFFFF;
    EXPECT_EQ(handle->DeviceControl(c.ioControl, bytes.data(), c.requestBytes,
                                    data.empty() ? nullptr : data.data(), c.dataBytes, &returned),
              c.status);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(context->frequency, 474000u);
    EXPECT_EQ(context->modulationType, BDA_MOD_64QAM);
    EXPECT_EQ(context->changesPending, 0u);
    EXPECT_TRUE(stack->Frames().empty()) << "a handler reached the stick";
    EXPECT_EQ(std::count(data.begin(), data.end(), 0x02), static_cast<long>(data.size()));
}

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;
constexpr ULONG kNode = KSPROPERTY_TYPE_TOPOLOGY;
constexpr ULONG kFrequencyId = KSPROPERTY_BDA_RF_TUNER_FREQUENCY;
const GUID kFrequencySet = KSPROPSETID_BdaFrequencyFilter;
const GUID kSignalSet = KSPROPSETID_BdaSignalStats;
const GUID kChangeSync = KSMETHODSETID_BdaChangeSync;
const GUID kUnknownSet = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

INSTANTIATE_TEST_SUITE_P(
    Cases, BadRequests,
    ::testing::Values(
        BadRequest{"header_cut_short", Target::InputPin, IOCTL_KS_PROPERTY, kFrequencySet,
                   kFrequencyId, kSet | kNode, kTunerNode, 20, 4, STATUS_INVALID_BUFFER_SIZE, 0},
        BadRequest{"node_header_missing", Target::InputPin, IOCTL_KS_PROPERTY, kFrequencySet,
                   kFrequencyId, kSet | kNode, kTunerNode, 24, 4, STATUS_INVALID_BUFFER_SIZE, 0},
        BadRequest{"value_too_short", Target::InputPin, IOCTL_KS_PROPERTY, kFrequencySet,
                   kFrequencyId, kSet | kNode, kTunerNode, 32, 3, STATUS_BUFFER_TOO_SMALL, 0},
        BadRequest{"size_query_of_a_value", Target::InputPin, IOCTL_KS_PROPERTY, kFrequencySet,
                   kFrequencyId, kGet | kNode, kTunerNode, 32, 0, STATUS_BUFFER_OVERFLOW, 4},
        BadRequest{"no_such_node", Target::InputPin, IOCTL_KS_PROPERTY, kFrequencySet, kFrequencyId,
                   kSet | kNode, 2, 32, 4, STATUS_NOT_FOUND, 0},
        BadRequest{"set_not_on_that_node", Target::OutputPin, IOCTL_KS_PROPERTY, kFrequencySet,
                   kFrequencyId, kSet | kNode, kDemodulatorNode, 32, 4, STATUS_PROPSET_NOT_FOUND,
                   0},
        BadRequest{"node_set_without_node", Target::Filter, IOCTL_KS_PROPERTY, kFrequencySet,
                   kFrequencyId, kSet, 0, 32, 4, STATUS_PROPSET_NOT_FOUND, 0},
        BadRequest{"unknown_item", Target::InputPin, IOCTL_KS_PROPERTY, kFrequencySet,
                   KSPROPERTY_BDA_RF_TUNER_POLARITY, kSet | kNode, kTunerNode, 32, 4,
                   STATUS_NOT_FOUND, 0},
        BadRequest{"unknown_set", Target::Filter, IOCTL_KS_PROPERTY, kUnknownSet, 0, kGet, 0, 24, 4,
                   STATUS_PROPSET_NOT_FOUND, 0},
        BadRequest{"set_of_get_only_strength", Target::InputPin, IOCTL_KS_PROPERTY, kSignalSet,
                   KSPROPERTY_BDA_SIGNAL_STRENGTH, kSet | kNode, kTunerNode, 32, 4,
                   STATUS_INVALID_DEVICE_REQUEST, 0},
        BadRequest{"strength_into_two_bytes", Target::InputPin, IOCTL_KS_PROPERTY, kSignalSet,
                   KSPROPERTY_BDA_SIGNAL_STRENGTH, kGet | kNode, kTunerNode, 32, 2,
                   STATUS_BUFFER_TOO_SMALL, 0},
        BadRequest{"get_and_set_at_once", Target::OutputPin, IOCTL_KS_PROPERTY,
                   KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_MODULATION_TYPE,
                   kGet | kSet | kNode, kDemodulatorNode, 32, 4, STATUS_INVALID_PARAMETER, 0},
        BadRequest{"get_of_set_only_private_item", Target::Filter, IOCTL_KS_PROPERTY,
                   PrivatePropertySet, 2, kGet, 0, 516, 516, STATUS_INVALID_DEVICE_REQUEST, 0},
        BadRequest{"private_item_short", Target::Filter, IOCTL_KS_PROPERTY, PrivatePropertySet, 9,
                   kSet, 0, 100, 516, STATUS_INVALID_BUFFER_SIZE, 0},
        BadRequest{"method_header_cut_short", Target::Filter, IOCTL_KS_METHOD, kChangeSync,
                   KSMETHOD_BDA_CHECK_CHANGES, KSMETHOD_TYPE_SEND, 0, 16, 0,
                   STATUS_INVALID_BUFFER_SIZE, 0},
        BadRequest{"topology_without_pin_pair", Target::Filter, IOCTL_KS_METHOD,
                   KSMETHODSETID_BdaDeviceConfiguration, KSMETHOD_BDA_CREATE_TOPOLOGY,
                   KSMETHOD_TYPE_SEND, 0, 24, 0, STATUS_INVALID_BUFFER_SIZE, 0},
        BadRequest{"unknown_method", Target::Filter, IOCTL_KS_METHOD, kChangeSync, 9,
                   KSMETHOD_TYPE_SEND, 0, 24, 0, STATUS_NOT_FOUND, 0},
        BadRequest{"method_set_on_a_pin", Target::InputPin, IOCTL_KS_METHOD, kChangeSync,
                   KSMETHOD_BDA_CHECK_CHANGES, KSMETHOD_TYPE_SEND, 0, 24, 0,
                   STATUS_PROPSET_NOT_FOUND, 0},
        BadRequest{"other_control_code", Target::Filter, 0x002F0007, kChangeSync,
                   KSMETHOD_BDA_CHECK_CHANGES, KSMETHOD_TYPE_SEND, 0, 24, 0,
                   STATUS_INVALID_DEVICE_REQUEST, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Support queries are answered from the tables: set support for a set that is there, access
// flags or a description for a property, the buffer type of a method.
TEST(SupportQueries, AnswerFromTheAutomationTables) {
    ReceiverStack stack;
    host::BdaReceiverApplication app(stack.Device());
    ASSERT_EQ(app.Open(), STATUS_SUCCESS);
    host::KsPinHandle* input = app.InputPin();
    const ULONG node = app.TunerNode();
    using Header = host::KsRequestHeader;

    EXPECT_EQ(
        input->Property(Header{KSPROPSETID_BdaSignalStats, 0, KSPROPERTY_TYPE_SETSUPPORT, node, {}},
                        nullptr, 0),
        STATUS_SUCCESS);
    ULONG access = 0;
    ASSERT_EQ(input->Property(Header{KSPROPSETID_BdaFrequencyFilter,
                                     KSPROPERTY_BDA_RF_TUNER_FREQUENCY,
                                     KSPROPERTY_TYPE_BASICSUPPORT,
                                     node,
                                     {}},
                              &access, sizeof(access)),
              STATUS_SUCCESS);
    EXPECT_EQ(access, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
    KSPROPERTY_DESCRIPTION description{};
    ASSERT_EQ(input->Property(Header{KSPROPSETID_BdaSignalStats,
                                     KSPROPERTY_BDA_SIGNAL_STRENGTH,
                                     KSPROPERTY_TYPE_BASICSUPPORT,
                                     node,
                                     {}},
                              &description, sizeof(description)),
              STATUS_SUCCESS);
    EXPECT_EQ(description.AccessFlags, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT);
    EXPECT_EQ(description.DescriptionSize, sizeof(KSPROPERTY_DESCRIPTION));
    ULONG size = 0;
    EXPECT_EQ(input->Property(Header{KSPROPSETID_BdaSignalStats,
                                     KSPROPERTY_BDA_SIGNAL_STRENGTH,
                                     KSPROPERTY_TYPE_BASICSUPPORT,
                                     node,
                                     {}},
                              nullptr, 0, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, sizeof(KSPROPERTY_DESCRIPTION));
    ULONG flags = 0;
    ASSERT_EQ(app.Filter()->Method(Header{KSMETHODSETID_BdaChangeSync,
                                          KSMETHOD_BDA_GET_CHANGE_STATE,
                                          KSMETHOD_TYPE_BASICSUPPORT,
                                          {},
                                          {}},
                                   &flags, sizeof(flags)),
              STATUS_SUCCESS);
    EXPECT_EQ(flags, static_cast<ULONG>(KSMETHOD_TYPE_READ));
}

// The topology method of the BDA support library: the template's pair is accepted, any other
// is not.
TEST(TopologyMethod, CreatesOnlyTheTemplatesPinPairing) {
    ReceiverStack stack;
    host::BdaReceiverApplication app(stack.Device());
    ASSERT_EQ(app.Open(), STATUS_SUCCESS);
    auto createTopology = [&](ULONG input, ULONG output) {
        host::KsRequestHeader header{KSMETHODSETID_BdaDeviceConfiguration,
                                     KSMETHOD_BDA_CREATE_TOPOLOGY,
                                     KSMETHOD_TYPE_SEND,
                                     {},
                                     {}};
        const ULONG pair[2] = {input, output};
        header.instance.assign(reinterpret_cast<const uint8_t*>(pair),
                               reinterpret_cast<const uint8_t*>(pair) + sizeof(pair));
        return app.Filter()->Method(header, nullptr, 0);
    };
    EXPECT_EQ(createTopology(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(createTopology(1, 0), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace bda_test
