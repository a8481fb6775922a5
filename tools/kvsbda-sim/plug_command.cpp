// kvsbda-sim plug: the stick goes in, the driver adds and starts it (downloading the firmware
// first if needed), the tool shows what the driver did, then stops, removes and unplugs it and
// reports the driver pool still allocated.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "capture_hint.h"
#include "commands.h"
#include "platform/host/device_interfaces.h"
#include "platform/host/ks_device_host.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "session.h"
#include "usb/cqzusb.h"

namespace kvssim {

namespace {

struct PlugFacts {
    std::string stick;
    std::string pcapPath;
    bool plugState = false;  // firmware running when plugged
    size_t arrivals = 0;
    NTSTATUS addStatus = STATUS_PENDING;
    NTSTATUS startStatus = STATUS_PENDING;
    bool started = false;
    int kind = -1;
    bool firmwareRunning = false;  // start found the firmware running (and went on to the filter)
    bool firmwareSeenAtSelection =
        false;  // the configuration step saw it (chooses the stream pipe)
    bool hasStreamPipe = false;
    unsigned streamPipePosition = 0;
    std::string streamPipeType = "none";
    unsigned streamEndpoint = 0;
    unsigned streamPacketBytes = 0;
    std::string speed;
    unsigned latencyMicroseconds = 0;
    bool interruptReader = false;
    bool filterFactoryCreated = false;
    bool interfaceRegistered = false;
    bool interfaceEnabled = false;
    size_t poolBytes = 0;
    size_t packetBlocks = 0;
    size_t linkBlocks = 0;
    std::vector<std::string> debug;
};

std::string PipeTypeName(ULONG type) {
    switch (type) {
        case UsbdPipeTypeIsochronous:
            return "isochronous";
        case UsbdPipeTypeBulk:
            return "bulk";
        case UsbdPipeTypeInterrupt:
            return "interrupt";
        case UsbdPipeTypeControl:
            return "control";
        default:
            return "none";
    }
}

void Observe(Session& session, PlugFacts* facts) {
    facts->arrivals = session.Stick()->Arrivals();
    facts->speed = session.Stick()->Speed() == sim::BusSpeed::High ? "high" : "full";
    facts->latencyMicroseconds = static_cast<unsigned>(session.Stick()->TransferLatency() / 10);
    SessionDevice* device = session.Current();
    if (device == nullptr) {
        std::vector<SessionDevice*> all = session.Devices();
        if (!all.empty()) facts->addStatus = all.back()->addStatus;
        return;
    }
    facts->addStatus = device->addStatus;
    facts->startStatus = device->startStatus;
    facts->started = device->startStatus == STATUS_SUCCESS;
    DeviceContext* context = GetDeviceContext(device->ks->Device());
    if (context == nullptr) return;
    facts->kind = context->deviceKind;
    if (CQZUSB* transport = context->transport) {
        facts->firmwareSeenAtSelection = transport->firmwareNeeded == 0;
        facts->hasStreamPipe = transport->streamPipeType != 0;
        facts->streamPipePosition = transport->streamPipeIndex;
        facts->streamPipeType =
            facts->hasStreamPipe ? PipeTypeName(transport->streamPipeType) : "none";
        if (PUSBD_PIPE_INFORMATION pipe =
                facts->hasStreamPipe ? transport->Pipe(transport->streamPipeIndex) : nullptr) {
            facts->streamEndpoint = pipe->EndpointAddress;
            facts->streamPacketBytes = pipe->MaximumPacketSize;
        }
        facts->interruptReader =
            ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&transport->interruptIrp)) !=
            nullptr;
    }
    // Start creates the filter factory only on the firmware-running road.
    for (const host::FilterFactoryRecord& record : host::FilterFactories(device->ks->Device())) {
        facts->firmwareRunning = true;
        if (record.result == STATUS_SUCCESS) facts->filterFactoryCreated = true;
    }
    for (const host::DeviceInterface& entry :
         host::DeviceInterfaces(device->physicalDeviceObject)) {
        facts->interfaceRegistered = true;
        facts->interfaceEnabled = facts->interfaceEnabled || entry.enabled;
    }
}

void PrintText(const PlugFacts& f) {
    std::printf("\nstick %s plugged in %s\n", f.stick.c_str(),
                f.plugState ? "with its firmware running" : "in boot state");
    std::printf("  bus speed: %s\n", f.speed.c_str());
    std::printf("  bus latency per transfer: %u us\n", f.latencyMicroseconds);
    std::printf("  arrivals on the bus: %zu%s\n", f.arrivals,
                f.arrivals > 1 ? " (re-enumerated after the download)" : "");
    std::printf("  add: %s, start: %s\n", StatusText(f.addStatus).c_str(),
                StatusText(f.startStatus).c_str());
    std::printf("  kind: %d\n", f.kind);
    std::printf("  firmware running: %s (seen during configuration: %s)\n",
                f.firmwareRunning ? "yes" : "no", f.firmwareSeenAtSelection ? "yes" : "no");
    if (f.hasStreamPipe) {
        std::printf("  stream pipe: position %u, %s, endpoint 0x%02X, %u-byte packets\n",
                    f.streamPipePosition, f.streamPipeType.c_str(), f.streamEndpoint,
                    f.streamPacketBytes);
    } else {
        std::printf("  stream pipe: none\n");
    }
    std::printf("  interrupt reader: %s\n", f.interruptReader ? "yes" : "no");
    std::printf("  filter factory created: %s\n", f.filterFactoryCreated ? "yes" : "no");
    std::printf("  device interface registered: %s, enabled: %s\n",
                f.interfaceRegistered ? "yes" : "no", f.interfaceEnabled ? "yes" : "no");
    std::printf("stopped, removed, unplugged\n");
    std::printf("  pool bytes still allocated: %zu\n", f.poolBytes);
    if (f.packetBlocks != 0 || f.linkBlocks != 0) {
        std::printf("  request packets still allocated: %zu, link names: %zu\n", f.packetBlocks,
                    f.linkBlocks);
    }
    PrintCaptureHint(f.pcapPath);
}

void PrintJson(const PlugFacts& f) {
    nlohmann::json j;
    j["stick"] = f.stick;
    j["pluggedWithFirmware"] = f.plugState;
    j["arrivals"] = f.arrivals;
    j["addStatus"] = StatusText(f.addStatus);
    j["startStatus"] = StatusText(f.startStatus);
    j["kind"] = f.kind;
    j["firmwareRunning"] = f.firmwareRunning;
    j["firmwareSeenAtSelection"] = f.firmwareSeenAtSelection;
    j["speed"] = f.speed;
    j["latencyMicroseconds"] = f.latencyMicroseconds;
    j["streamPipe"] = f.hasStreamPipe ? nlohmann::json{{"position", f.streamPipePosition},
                                                       {"type", f.streamPipeType},
                                                       {"endpoint", f.streamEndpoint},
                                                       {"packetBytes", f.streamPacketBytes}}
                                      : nlohmann::json(nullptr);
    j["interruptReader"] = f.interruptReader;
    j["filterFactoryCreated"] = f.filterFactoryCreated;
    j["deviceInterface"] = {{"registered", f.interfaceRegistered}, {"enabled", f.interfaceEnabled}};
    j["poolBytesOutstanding"] = f.poolBytes;
    j["requestPacketsOutstanding"] = f.packetBlocks;
    j["debug"] = f.debug;
    if (!f.pcapPath.empty()) j["captureReadCommand"] = CaptureReadCommand(f.pcapPath);
    std::cout << j.dump(2) << std::endl;
}

int RunPlug(const GlobalOptions& options) {
    std::optional<StickId> id = ParseStickId(options.stick);
    if (!id) {
        std::fprintf(stderr,
                     "kvsbda-sim: --stick wants VID:PID in hex, e.g. 3344:1120 (got \"%s\")\n",
                     options.stick.c_str());
        return 2;
    }
    PlugFacts facts;
    facts.stick = FormatStickId(*id);
    facts.plugState = !options.boot;
    facts.pcapPath = options.pcapPath;
    {
        Session session(options, DebugLineSink(options, &facts.debug));
        std::string error;
        if (!session.Open(&error)) {
            std::fprintf(stderr, "kvsbda-sim: %s\n", error.c_str());
            return 2;
        }
        session.Plug(*id, options.boot);
        Observe(session, &facts);
        session.StopRemoveUnplug();
    }
    facts.poolBytes = host::PoolBytesOutstanding(kDriverPoolTag);
    facts.packetBlocks = host::PoolBlocksOutstanding(host::kIrpPoolTag);
    facts.linkBlocks = host::PoolBlocksOutstanding(host::kInterfaceLinkPoolTag);
    if (options.json) {
        PrintJson(facts);
    } else {
        PrintText(facts);
    }
    if (facts.poolBytes != 0 || facts.packetBlocks != 0 || facts.linkBlocks != 0) return 1;
    return facts.started ? 0 : 1;
}

}  // namespace

void AddPlugCommand(CLI::App& app, const GlobalOptions& options, Steps& steps) {
    CLI::App* plug = app.add_subcommand(
        "plug", "Plug the simulated stick in, show what the driver did, unplug it");
    plug->callback([&options, &steps] {
        steps.push_back({"plug", {}, {}, [&options] { return RunPlug(options); }});
    });
}

}  // namespace kvssim
