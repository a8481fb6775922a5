// The receiver as the platform's network provider finds it: the BDA topology property set on the
// filter, pin control on both pins, and node requests that reach a node only through its
// controlling pin (or through the filter).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/host/bda_network_provider.h"
#include "platform/host/ks_services.h"
#include "receiver_stack.h"

namespace bda_test {
namespace {

using ::testing::ElementsAre;

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

class BdaTopologyTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(app->Open(), STATUS_SUCCESS); }
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

TEST_F(BdaTopologyTest, NetworkProviderLearnsTheTemplateFromTheFilter) {
    host::BdaTemplateTopology topology;
    ASSERT_EQ(host::LearnBdaTopology(*app->Filter(), &topology), STATUS_SUCCESS);
    EXPECT_THAT(topology.nodeTypes, ElementsAre(0u, 1u));
    EXPECT_THAT(topology.pinTypes, ElementsAre(0u, 1u));
    ASSERT_EQ(topology.nodeDescriptors.size(), 2u);
    EXPECT_TRUE(SameGuid(topology.nodeDescriptors[0].guidFunction, KSNODE_BDA_RF_TUNER));
    EXPECT_TRUE(SameGuid(topology.nodeDescriptors[1].guidFunction, KSNODE_BDA_COFDM_DEMODULATOR));
    EXPECT_EQ(topology.nodeDescriptors[1].ulBdaNodeType, 1u);
    // antenna pin -> tuner -> demodulator -> transport pin
    const ULONG expected[3][4] = {{KSFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, KSFILTER_NODE, 1}};
    ASSERT_EQ(topology.connections.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(topology.connections[i].FromNodeType, expected[i][0]);
        EXPECT_EQ(topology.connections[i].FromNodePinType, expected[i][1]);
        EXPECT_EQ(topology.connections[i].ToNodeType, expected[i][2]);
        EXPECT_EQ(topology.connections[i].ToNodePinType, expected[i][3]);
    }
    EXPECT_EQ(topology.inputPin, 0u);
    EXPECT_EQ(topology.outputPin, 1u);
    EXPECT_EQ(topology.ControllingPinOf(0), 0u);
    EXPECT_EQ(topology.ControllingPinOf(1), 1u);
    EXPECT_THAT(topology.joints, ElementsAre(1u));
    // Each node's property sets; no methods or events.
    ASSERT_EQ(topology.nodeProperties.size(), 2u);
    ASSERT_EQ(topology.nodeProperties[0].size(), 2u);
    EXPECT_TRUE(SameGuid(topology.nodeProperties[0][0], KSPROPSETID_BdaFrequencyFilter));
    EXPECT_TRUE(SameGuid(topology.nodeProperties[1][0], KSPROPSETID_BdaDigitalDemodulator));
    EXPECT_TRUE(SameGuid(topology.nodeProperties[1][1], KSPROPSETID_BdaSignalStats));
    EXPECT_TRUE(topology.nodeMethods[0].empty() && topology.nodeEvents[1].empty());
    // The application's controlling pins are the pins those types were created from.
    EXPECT_EQ(app->TunerPin(), app->InputPin());
    EXPECT_EQ(app->DemodulatorPin(), app->OutputPinHandle());
}

struct ListCase {
    const char* name;
    ULONG id;
    std::optional<ULONG> nodeType;  // for the node-set lists
    ULONG bytes;                    // the whole list
};

class TopologyLists : public BdaTopologyTest, public ::testing::WithParamInterface<ListCase> {};

// An empty buffer asks the size; one byte short is too small; the exact size gets the list.
TEST_P(TopologyLists, AnswerSizeQueriesAndRefuseShortBuffers) {
    const ListCase& c = GetParam();
    host::KsRequestHeader header{KSPROPSETID_BdaTopology, c.id, KSPROPERTY_TYPE_GET, {}, {}};
    if (c.nodeType) {
        const ULONG tail[2] = {*c.nodeType, 0};
        header.instance.assign(reinterpret_cast<const uint8_t*>(tail),
                               reinterpret_cast<const uint8_t*>(tail) + sizeof(tail));
    }
    host::KsFilterHandle& filter = *app->Filter();
    ULONG returned = 0xFFFF;
    EXPECT_EQ(filter.Property(header, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, c.bytes);
    std::vector<uint8_t> buffer(c.bytes, 0xEE);
    EXPECT_EQ(filter.Property(header, buffer.data(), c.bytes - 1, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer, std::vector<uint8_t>(c.bytes, 0xEE)) << "a refused list wrote nothing";
    EXPECT_EQ(filter.Property(header, buffer.data(), c.bytes, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Items, TopologyLists,
    ::testing::Values(
        ListCase{"node_types", KSPROPERTY_BDA_NODE_TYPES, {}, 2 * sizeof(ULONG)},
        ListCase{"pin_types", KSPROPERTY_BDA_PIN_TYPES, {}, 2 * sizeof(ULONG)},
        ListCase{"template_connections",
                 KSPROPERTY_BDA_TEMPLATE_CONNECTIONS,
                 {},
                 3 * sizeof(BDA_TEMPLATE_CONNECTION)},
        ListCase{"node_descriptors",
                 KSPROPERTY_BDA_NODE_DESCRIPTORS,
                 {},
                 2 * sizeof(BDANODE_DESCRIPTOR)},
        ListCase{"tuner_properties", KSPROPERTY_BDA_NODE_PROPERTIES, 0u, 2 * sizeof(GUID)},
        ListCase{"demodulator_properties", KSPROPERTY_BDA_NODE_PROPERTIES, 1u, 2 * sizeof(GUID)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BdaTopologyTest, RefusesNodesAndPinPairsTheTemplateDoesNotHave) {
    host::KsFilterHandle& filter = *app->Filter();
    auto nodeSet = [&](ULONG id, ULONG nodeType, ULONG* returned) {
        host::KsRequestHeader header{KSPROPSETID_BdaTopology, id, KSPROPERTY_TYPE_GET, {}, {}};
        const ULONG tail[2] = {nodeType, 0};
        header.instance.assign(reinterpret_cast<const uint8_t*>(tail),
                               reinterpret_cast<const uint8_t*>(tail) + sizeof(tail));
        GUID sets[4];
        return filter.Property(header, sets, sizeof(sets), returned);
    };
    ULONG returned = 0xFFFF;
    EXPECT_EQ(nodeSet(KSPROPERTY_BDA_NODE_METHODS, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u) << "a node without methods has an empty list";
    EXPECT_EQ(nodeSet(KSPROPERTY_BDA_NODE_PROPERTIES, 2, &returned), STATUS_NOT_FOUND);

    auto controlling = [&](ULONG nodeType, ULONG input, ULONG output, ULONG* pin) {
        host::KsRequestHeader header{KSPROPSETID_BdaTopology,
                                     KSPROPERTY_BDA_CONTROLLING_PIN_ID,
                                     KSPROPERTY_TYPE_GET,
                                     {},
                                     {}};
        const ULONG tail[3] = {nodeType, input, output};
        header.instance.assign(sizeof(KSP_BDA_NODE_PIN) - sizeof(KSPROPERTY), 0);
        std::memcpy(header.instance.data(), tail, sizeof(tail));
        return filter.Property(header, pin, sizeof(ULONG));
    };
    ULONG pin = 0xFFFF;
    EXPECT_EQ(controlling(1, 0, 1, &pin), STATUS_SUCCESS);
    EXPECT_EQ(pin, 1u);
    EXPECT_EQ(controlling(0, 1, 0, &pin), STATUS_INVALID_PARAMETER) << "no such pin pairing";
    EXPECT_EQ(controlling(5, 0, 1, &pin), STATUS_NOT_FOUND) << "no such node";
    // The set is get-only, and it belongs to the filter, not to its pins.
    ULONG types[2] = {};
    EXPECT_EQ(filter.Set(KSPROPSETID_BdaTopology, KSPROPERTY_BDA_NODE_TYPES, types, sizeof(types)),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(app->InputPin()->Get(KSPROPSETID_BdaTopology, KSPROPERTY_BDA_NODE_TYPES, types,
                                   sizeof(types)),
              STATUS_PROPSET_NOT_FOUND);
}

TEST_F(BdaTopologyTest, EachPinReportsItsIdAndTypeAndTheFilterHasNoPinControl) {
    for (auto [pin, expected] : {std::pair{app->InputPin(), 0u}, {app->OutputPinHandle(), 1u}}) {
        ULONG id = 0xFFFF, type = 0xFFFF;
        ASSERT_EQ(host::QueryPinControl(*pin, &id, &type), STATUS_SUCCESS);
        EXPECT_EQ(id, expected);
        EXPECT_EQ(type, expected);
        EXPECT_EQ(pin->SetULong(KSPROPSETID_BdaPinControl, KSPROPERTY_BDA_PIN_ID, 5),
                  STATUS_INVALID_DEVICE_REQUEST);
    }
    ULONG id = 0;
    EXPECT_EQ(app->Filter()->GetULong(KSPROPSETID_BdaPinControl, KSPROPERTY_BDA_PIN_ID, &id),
              STATUS_PROPSET_NOT_FOUND);
}

struct NodeRouteCase {
    const char* name;
    int handle;  // 0 the filter, 1 the antenna pin, 2 the transport pin
    const GUID* set;
    ULONG id;
    ULONG node;
    NTSTATUS status;
};

class NodeRoutes : public BdaTopologyTest, public ::testing::WithParamInterface<NodeRouteCase> {};

// A set of the frequency (or, for the signal statistics, a get) on each route: a node is reached
// through its controlling pin or the filter; another pin refuses it, whether its table lacks the
// set or it does not control the node the request names. A refused set stores nothing.
TEST_P(NodeRoutes, ReachTheNodeOnlyThroughItsControllingPinOrTheFilter) {
    const NodeRouteCase& c = GetParam();
    host::KsHandle* handles[] = {app->Filter(), app->InputPin(), app->OutputPinHandle()};
    host::KsHandle* handle = handles[c.handle];
    Context()->frequency = 530000;
    Context()->modulationType = BDA_MOD_64QAM;
    if (SameGuid(*c.set, KSPROPSETID_BdaSignalStats)) {
        ULONG value = 0;
        EXPECT_EQ(handle->GetULong(*c.set, c.id, &value, c.node), c.status);
        return;
    }
    const ULONG value =
        SameGuid(*c.set, KSPROPSETID_BdaFrequencyFilter) ? 618000u : ULONG{BDA_MOD_QPSK};
    EXPECT_EQ(handle->SetULong(*c.set, c.id, value, c.node), c.status);
    const bool stored = NT_SUCCESS(c.status);
    EXPECT_EQ(Context()->frequency, stored && c.id == KSPROPERTY_BDA_RF_TUNER_FREQUENCY &&
                                            SameGuid(*c.set, KSPROPSETID_BdaFrequencyFilter)
                                        ? 618000u
                                        : 530000u);
    EXPECT_EQ(Context()->modulationType,
              stored && SameGuid(*c.set, KSPROPSETID_BdaDigitalDemodulator) ? BDA_MOD_QPSK
                                                                            : BDA_MOD_64QAM);
}

const GUID* const kFrequency = &KSPROPSETID_BdaFrequencyFilter;
const GUID* const kDemodulator = &KSPROPSETID_BdaDigitalDemodulator;
const GUID* const kSignal = &KSPROPSETID_BdaSignalStats;
constexpr ULONG kFreq = KSPROPERTY_BDA_RF_TUNER_FREQUENCY;
constexpr ULONG kModulation = KSPROPERTY_BDA_MODULATION_TYPE;
INSTANTIATE_TEST_SUITE_P(
    Cases, NodeRoutes,
    ::testing::Values(
        NodeRouteCase{"tuner_through_antenna_pin", 1, kFrequency, kFreq, 0, STATUS_SUCCESS},
        NodeRouteCase{"tuner_through_filter", 0, kFrequency, kFreq, 0, STATUS_SUCCESS},
        NodeRouteCase{"tuner_through_transport_pin_refused", 2, kFrequency, kFreq, 0,
                      STATUS_PROPSET_NOT_FOUND},
        NodeRouteCase{"demodulator_node_named_on_antenna_pin_refused", 1, kFrequency, kFreq, 1,
                      STATUS_NOT_FOUND},
        NodeRouteCase{"demodulator_through_transport_pin", 2, kDemodulator, kModulation, 1,
                      STATUS_SUCCESS},
        NodeRouteCase{"demodulator_through_filter", 0, kDemodulator, kModulation, 1,
                      STATUS_SUCCESS},
        NodeRouteCase{"demodulator_through_antenna_pin_refused", 1, kDemodulator, kModulation, 1,
                      STATUS_PROPSET_NOT_FOUND},
        NodeRouteCase{"tuner_node_named_on_transport_pin_refused", 2, kDemodulator, kModulation, 0,
                      STATUS_NOT_FOUND},
        NodeRouteCase{"no_such_node_on_a_pin", 1, kFrequency, kFreq, 2, STATUS_NOT_FOUND},
        NodeRouteCase{"strength_through_antenna_pin", 1, kSignal, KSPROPERTY_BDA_SIGNAL_STRENGTH, 0,
                      STATUS_SUCCESS},
        NodeRouteCase{"strength_of_demodulator_on_antenna_pin_refused", 1, kSignal,
                      KSPROPERTY_BDA_SIGNAL_STRENGTH, 1, STATUS_NOT_FOUND},
        NodeRouteCase{"locked_through_transport_pin", 2, kSignal, KSPROPERTY_BDA_SIGNAL_LOCKED, 1,
                      STATUS_SUCCESS},
        NodeRouteCase{"locked_of_tuner_on_transport_pin_refused", 2, kSignal,
                      KSPROPERTY_BDA_SIGNAL_LOCKED, 0, STATUS_NOT_FOUND},
        NodeRouteCase{"quality_on_antenna_pin_refused", 1, kSignal, KSPROPERTY_BDA_SIGNAL_QUALITY,
                      0, STATUS_NOT_FOUND}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bda_test
