// kvsbda-sim message send / message receive: the segmented message exchange of the private
// property set (ids 11 and 14). A send cuts the message into 12-byte frames for the device at
// 0x50 on the stick's bus; a receive polls the device's answer at 0x51 and collects it in pieces.
// The simulated device keeps each message and answers with an echo of it (or, with --answer,
// with the bytes given). Shows the frames on the bridge channel and what the device took.
#include <cstdio>

#include "commands.h"
#include "private_args.h"
#include "receiver_run.h"

namespace kvssim {

namespace {

constexpr uint8_t kReadRequest = 0xE5;
constexpr size_t kReadCountOffset = 3;
constexpr uint64_t kWordMax = 0xFFFFFFFF;

struct MessageArguments {
    bool send = false;
    std::string kind = "1", data, item = "11", answer;
    bool answerGiven = false;
    ULONG kindValue = 0, itemValue = 11;
    Bytes payload, answerBytes;
};

bool CheckMessage(MessageArguments& args, std::string* error) {
    const auto item = ParseNumber(args.item, kWordMax, "--item", error);
    if (!item) return false;
    if (*item != 11 && *item != 14) {
        *error = "--item is 11 or 14";
        return false;
    }
    args.itemValue = static_cast<ULONG>(*item);
    if (!args.send) return true;
    const auto kind = ParseNumber(args.kind, kWordMax, "--kind", error);
    const auto data = kind ? ParseHexBytes(args.data, "--data", error) : std::nullopt;
    if (!data) return false;
    args.kindValue = static_cast<ULONG>(*kind);
    args.payload = *data;
    if (args.answerGiven) {
        const auto answer = ParseHexBytes(args.answer, "--answer", error);
        if (!answer) return false;
        args.answerBytes = *answer;
    }
    return true;
}

nlohmann::json FramesJson(const std::vector<Bytes>& frames) {
    nlohmann::json list = nlohmann::json::array();
    for (const Bytes& frame : frames) list.push_back(HexText(frame));
    return list;
}

StepResult RunSend(ReceiverRun& receiver, const MessageArguments& args) {
    sim::MessageDevice& device = receiver.GetSession().Messages();
    if (args.answerGiven) device.SetAnswer(args.answerBytes);
    const size_t taken = device.Messages().size();
    receiver.BeginBridgeLog();
    const NTSTATUS status =
        receiver.Private().SendMessage(args.kindValue, args.payload, args.itemValue);
    const std::vector<Bytes> frames = receiver.BridgeLog();
    const std::vector<Bytes> messages = device.Messages();
    const Bytes answer = device.PendingAnswer();
    const bool took = messages.size() > taken;

    StepResult result;
    if (receiver.Options().json) {
        result.json = {{"kind", args.kindValue},
                       {"item", args.itemValue},
                       {"length", args.payload.size()},
                       {"status", StatusName(status)},
                       {"frames", FramesJson(frames)},
                       {"deviceTook", took ? nlohmann::json(HexText(messages.back(), false))
                                           : nlohmann::json(nullptr)},
                       {"answerWaitingBytes", answer.size()}};
    } else {
        std::printf("\nmessage send, kind 0x%02lX, %zu bytes, item %lu: %s\n",
                    static_cast<unsigned long>(args.kindValue), args.payload.size(),
                    static_cast<unsigned long>(args.itemValue), StatusName(status).c_str());
        std::printf("  frames:%s\n", frames.empty() ? " none" : "");
        for (const Bytes& frame : frames) std::printf("    %s\n", HexText(frame).c_str());
        if (took) {
            std::printf("  the device took %zu bytes: %s\n", messages.back().size(),
                        HexText(messages.back()).c_str());
        } else {
            std::printf("  the device took no message\n");
        }
        std::printf("  its answer waiting: %zu bytes\n", answer.size());
    }
    result.exitCode = NT_SUCCESS(status) ? 0 : 1;
    return result;
}

StepResult RunReceive(ReceiverRun& receiver, const MessageArguments& args) {
    sim::MessageDevice& device = receiver.GetSession().Messages();
    const size_t pollsBefore = device.LengthPolls();
    receiver.BeginBridgeLog();
    host::ReceivedMessage message;
    const NTSTATUS status = receiver.Private().ReceiveMessage(&message, args.itemValue);
    const std::vector<Bytes> frames = receiver.BridgeLog();
    // The read requests: the length polls the device saw, then the pieces.
    const size_t polls = device.LengthPolls() - pollsBefore;
    std::vector<unsigned> pieces;
    size_t requests = 0;
    for (const Bytes& frame : frames) {
        if (frame.size() <= kReadCountOffset || frame[0] != kReadRequest) continue;
        if (requests++ >= polls) pieces.push_back(frame[kReadCountOffset]);
    }
    StepResult result;
    if (receiver.Options().json) {
        result.json = {{"item", args.itemValue},
                       {"status", StatusName(status)},
                       {"pending", message.pending},
                       {"length", message.length},
                       {"payload", HexText(message.payload, false)},
                       {"lengthPolls", polls},
                       {"pieces", pieces},
                       {"frames", FramesJson(frames)}};
    } else {
        std::printf("\nmessage receive, item %lu: %s\n", static_cast<unsigned long>(args.itemValue),
                    StatusName(status).c_str());
        std::printf("  pending 0x%02lX, length %lu\n", static_cast<unsigned long>(message.pending),
                    static_cast<unsigned long>(message.length));
        std::printf("  requests: %zu length poll%s", polls, polls == 1 ? "" : "s");
        if (!pieces.empty()) {
            std::printf(", pieces of");
            for (size_t i = 0; i < pieces.size(); ++i)
                std::printf("%s %u", i == 0 ? "" : ",", pieces[i]);
            std::printf(" bytes");
        }
        std::printf("\n  payload: %s\n",
                    message.payload.empty() ? "(none)" : HexText(message.payload).c_str());
    }
    result.exitCode = NT_SUCCESS(status) ? 0 : 1;
    return result;
}

void AddDirection(CLI::App& message, Steps& steps, bool send) {
    auto args = std::make_shared<MessageArguments>();
    args->send = send;
    CLI::App* command =
        message.add_subcommand(send ? "send" : "receive",
                               send ? "Send a message to the device at 0x50 (item 11 or 14, set)"
                                    : "Collect the device's answer from 0x51 (item 11 or 14, get)");
    command->add_option("--item", args->item, "11 or 14")->capture_default_str();
    if (send) {
        command
            ->add_option("--kind", args->kind,
                         "0x90 sends nothing, 0 the short control frame, any other the data")
            ->capture_default_str();
        command->add_option("--data", args->data, "the message in hex (up to 1024 bytes)");
        command
            ->add_option("--answer", args->answer,
                         "what the simulated device answers from now on (hex; default: an "
                         "echo of each message)")
            ->each([args](const std::string&) { args->answerGiven = true; });
    }
    command->callback([&steps, args] {
        steps.push_back({args->send ? "message send" : "message receive",
                         [args](std::string* error) { return CheckMessage(*args, error); },
                         [args](ReceiverRun& receiver) {
                             return args->send ? RunSend(receiver, *args)
                                               : RunReceive(receiver, *args);
                         },
                         {}});
    });
}

}  // namespace

void AddMessageCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    CLI::App* message =
        app.add_subcommand("message", "The segmented message exchange (items 11 and 14)");
    message->require_subcommand(1);
    AddDirection(*message, steps, true);
    AddDirection(*message, steps, false);
}

}  // namespace kvssim
