// kvsbda-sim graph: the receiver's template topology as the network provider learned it from
// the filter (the BDA topology property set), before it took the filter into its graph.
#include <cstdio>
#include <string>

#include "commands.h"
#include "receiver_run.h"

namespace kvssim {

namespace {

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

// The names of the node functions the platform defines for a receiver of this kind.
std::string FunctionName(const GUID& function) {
    if (IsEqualGUID(function, KSNODE_BDA_RF_TUNER)) return "RF tuner";
    if (IsEqualGUID(function, KSNODE_BDA_COFDM_DEMODULATOR)) return "COFDM demodulator";
    return "unknown";
}

// A pin of the filter is node type -1 in a template connection.
nlohmann::json NodeTypeJson(ULONG nodeType) {
    if (nodeType == KSFILTER_NODE) return -1;
    return nodeType;
}

std::string NodeTypeText(ULONG nodeType) {
    return nodeType == KSFILTER_NODE ? std::string("filter") : "node " + std::to_string(nodeType);
}

StepResult RunGraph(ReceiverRun& receiver) {
    const host::BdaTemplateTopology& topology = receiver.App().Topology();
    StepResult step;
    if (receiver.Options().json) {
        nlohmann::json nodes = nlohmann::json::array();
        for (const BDANODE_DESCRIPTOR& node : topology.nodeDescriptors)
            nodes.push_back({{"type", node.ulBdaNodeType},
                             {"guid", GuidText(node.guidFunction)},
                             {"name", FunctionName(node.guidFunction)}});
        nlohmann::json connections = nlohmann::json::array();
        for (const BDA_TEMPLATE_CONNECTION& c : topology.connections)
            connections.push_back({{"fromNodeType", NodeTypeJson(c.FromNodeType)},
                                   {"fromPinType", c.FromNodePinType},
                                   {"toNodeType", NodeTypeJson(c.ToNodeType)},
                                   {"toPinType", c.ToNodePinType}});
        nlohmann::json controlling = nlohmann::json::array();
        for (const host::BdaControllingPin& pin : topology.controllingPins)
            controlling.push_back({{"nodeType", pin.nodeType}, {"pinType", pin.pinType}});
        step.json = {{"nodeTypes", nodes},
                     {"pinTypes", topology.pinTypes},
                     {"templateConnections", connections},
                     {"controllingPins", controlling},
                     {"joints", topology.joints}};
        return step;
    }
    std::printf("\ngraph (the template topology the filter reports):\n  node types:\n");
    for (const BDANODE_DESCRIPTOR& node : topology.nodeDescriptors)
        std::printf("    %lu: %s %s\n", static_cast<unsigned long>(node.ulBdaNodeType),
                    FunctionName(node.guidFunction).c_str(), GuidText(node.guidFunction).c_str());
    std::printf("  pin types:");
    for (ULONG pin : topology.pinTypes) std::printf(" %lu", static_cast<unsigned long>(pin));
    std::printf(" (input %lu, output %lu)\n  template connections:\n",
                static_cast<unsigned long>(topology.inputPin),
                static_cast<unsigned long>(topology.outputPin));
    for (const BDA_TEMPLATE_CONNECTION& c : topology.connections)
        std::printf("    %s pin %lu -> %s pin %lu\n", NodeTypeText(c.FromNodeType).c_str(),
                    static_cast<unsigned long>(c.FromNodePinType),
                    NodeTypeText(c.ToNodeType).c_str(),
                    static_cast<unsigned long>(c.ToNodePinType));
    std::printf("  controlling pins:\n");
    for (const host::BdaControllingPin& pin : topology.controllingPins)
        std::printf("    node %lu -> pin %lu\n", static_cast<unsigned long>(pin.nodeType),
                    static_cast<unsigned long>(pin.pinType));
    std::printf("  joints (connections where control passes to the output pin):");
    for (ULONG joint : topology.joints) std::printf(" %lu", static_cast<unsigned long>(joint));
    std::printf("\n");
    return step;
}

}  // namespace

void AddGraphCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    CLI::App* graph = app.add_subcommand("graph", "The topology as the network provider sees it");
    graph->callback([&steps] { steps.push_back({"graph", {}, RunGraph, {}}); });
}

}  // namespace kvssim
