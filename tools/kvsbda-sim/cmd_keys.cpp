// kvsbda-sim keys: presses keys on the simulated remote control (each press a key report on the
// stick's interrupt pipe), then takes keys from the driver through the private property set
// (id 1) until a read comes back empty, as an application polling the remote does. --clear
// empties the driver's key queue (id 1, set) before the keys are taken.
#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "private_args.h"
#include "receiver_run.h"

namespace kvssim {

namespace {

constexpr size_t kMaxTakes = 257;  // a full queue and the empty read after it
constexpr auto kDeliveryLimit = std::chrono::seconds(5);
constexpr auto kCompletionAllowance = std::chrono::milliseconds(100);

struct KeysArguments {
    std::string press;
    bool clear = false;
    std::vector<uint64_t> keys;  // checked --press
};

// Waits until the stick has handed every queued report to the driver's interrupt read.
void WaitForReports(Session& session) {
    const auto limit = std::chrono::steady_clock::now() + kDeliveryLimit;
    while (session.Stick()->QueuedInterruptReports() != 0 &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

StepResult RunKeys(ReceiverRun& receiver, const KeysArguments& args) {
    Session& session = receiver.GetSession();
    for (uint64_t key : args.keys) (void)session.Remote()->Press(static_cast<uint8_t>(key));
    WaitForReports(session);

    StepResult result;
    NTSTATUS status = STATUS_SUCCESS;
    if (args.clear) {
        // The last report's completion may still be queueing its key.
        std::this_thread::sleep_for(kCompletionAllowance);
        status = receiver.Private().ClearKeys();
    }
    // Takes keys as an application polling the remote does: until as many as were pressed have
    // come (a key whose report is still completing may need another poll), then until a read
    // comes back empty.
    std::vector<std::array<uint8_t, 4>> taken;
    const std::array<uint8_t, 4> empty{};
    const size_t expected = args.clear ? 0 : args.keys.size();
    const auto limit = std::chrono::steady_clock::now() + kDeliveryLimit;
    while (NT_SUCCESS(status) && taken.size() < kMaxTakes) {
        std::array<uint8_t, 4> key{};
        status = receiver.Private().TakeKey(&key);
        if (!NT_SUCCESS(status)) break;
        if (key != empty) {
            taken.push_back(key);
            continue;
        }
        if (taken.size() >= expected || std::chrono::steady_clock::now() >= limit) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (receiver.Options().json) {
        nlohmann::json keys = nlohmann::json::array();
        for (const auto& key : taken) {
            const int code = sim::RemoteControl::KeyOf(key.data());
            keys.push_back({{"bytes", HexText(Bytes(key.begin(), key.end()), false)},
                            {"key", code >= 0 ? nlohmann::json(code) : nlohmann::json(nullptr)}});
        }
        result.json = {{"pressed", args.keys},
                       {"cleared", args.clear},
                       {"keys", keys},
                       {"emptyRead",
                        NT_SUCCESS(status) ? nlohmann::json("00000000") : nlohmann::json(nullptr)},
                       {"status", StatusName(status)}};
    } else {
        std::printf("\nkeys:");
        if (args.keys.empty()) std::printf(" none pressed");
        for (uint64_t key : args.keys) std::printf(" 0x%02X", static_cast<unsigned>(key));
        std::printf("%s\n", args.clear ? "; key queue cleared" : "");
        for (size_t i = 0; i < taken.size(); ++i) {
            const int code = sim::RemoteControl::KeyOf(taken[i].data());
            std::printf("  key %zu: %s", i + 1,
                        HexText(Bytes(taken[i].begin(), taken[i].end())).c_str());
            if (code >= 0) std::printf(" (remote key 0x%02X)", code);
            std::printf("\n");
        }
        if (NT_SUCCESS(status)) {
            std::printf("  empty read: 00 00 00 00\n");
        } else {
            std::printf("  the request failed: %s\n", StatusName(status).c_str());
        }
    }
    result.exitCode = NT_SUCCESS(status) && taken.size() == expected ? 0 : 1;
    return result;
}

}  // namespace

void AddKeysCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    auto args = std::make_shared<KeysArguments>();
    CLI::App* keys = app.add_subcommand(
        "keys", "Press keys on the simulated remote, then take them from the driver (item 1)");
    keys->add_option("--press", args->press, "keys to press, e.g. 0x12,0x34");
    keys->add_flag("--clear", args->clear, "empty the driver's key queue before taking keys");
    keys->callback([&steps, args] {
        steps.push_back({"keys",
                         [args](std::string* error) {
                             auto keys = ParseNumberList(args->press, 0xFF, "--press", error);
                             if (!keys) return false;
                             args->keys = *keys;
                             return true;
                         },
                         [args](ReceiverRun& receiver) { return RunKeys(receiver, *args); },
                         {}});
    });
}

}  // namespace kvssim
