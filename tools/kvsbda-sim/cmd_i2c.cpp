// kvsbda-sim i2c read / i2c write: the I2C pass-through of the private property set (id 4). A
// read asks the driver to read registers of a chip on the stick's bus and then takes the record
// it saved (id 4, get); a write sends data to a chip's register. Shows the gateway frame and, from
// the simulator, whether the chip answered.
#include <cstdio>

#include "commands.h"
#include "private_args.h"
#include "receiver_run.h"

namespace kvssim {

namespace {

constexpr size_t kRecordData = 256;
constexpr size_t kWriteHeader = 4;  // 04, count, address, register
constexpr size_t kReadFrame = 5;    // 84 03 address register count

struct I2cArguments {
    bool write = false;
    std::string address, reg, length, data;
    ULONG addressValue = 0, registerValue = 0, lengthValue = 0;
    Bytes dataValue;
};

bool CheckI2c(I2cArguments& args, std::string* error) {
    const auto address = ParseNumber(args.address, 0xFFFFFFFF, "--address", error);
    const auto reg =
        address ? ParseNumber(args.reg, 0xFFFFFFFF, "--register", error) : std::nullopt;
    if (!reg) return false;
    args.addressValue = static_cast<ULONG>(*address);
    args.registerValue = static_cast<ULONG>(*reg);
    if (args.write) {
        const auto data = ParseHexBytes(args.data, "--data", error);
        if (!data) return false;
        if (data->size() > kRecordData) {
            *error = "--data holds at most 256 bytes (the pass-through record's data area)";
            return false;
        }
        args.dataValue = *data;
        args.lengthValue = static_cast<ULONG>(data->size());
        return true;
    }
    const auto length = ParseNumber(args.length, 0xFFFFFFFF, "--length", error);
    if (!length) return false;
    args.lengthValue = static_cast<ULONG>(*length);
    return true;
}

StepResult RunI2c(ReceiverRun& receiver, const I2cArguments& args) {
    Session& session = receiver.GetSession();
    host::PassThroughRecord record;
    record.operation = args.write ? host::ReceiverPrivateProperties::kPassWrite
                                  : host::ReceiverPrivateProperties::kPassRead;
    record.address = args.addressValue;
    record.registerNumber = args.registerValue;
    record.length = args.lengthValue;
    std::copy(args.dataValue.begin(), args.dataValue.end(), record.data.begin());
    receiver.BeginBridgeLog();
    session.I2c().ClearLog();
    const NTSTATUS status = receiver.Private().PassThrough(record);
    const std::vector<Bytes> frames = receiver.BridgeLog();
    const std::vector<sim::I2cBus::Access> accesses = session.I2c().Log();
    host::PassThroughRecord saved;
    const NTSTATUS savedStatus = receiver.Private().SavedPassThrough(&saved);
    const size_t shown = std::min<size_t>(args.lengthValue, kRecordData);
    const Bytes data =
        args.write ? args.dataValue : Bytes(saved.data.begin(), saved.data.begin() + shown);
    const bool acknowledged = !accesses.empty() && accesses.back().acknowledged;

    StepResult result;
    if (receiver.Options().json) {
        result.json = {{"operation", args.write ? "write" : "read"},
                       {"address", args.addressValue},
                       {"register", args.registerValue},
                       {"length", args.lengthValue},
                       {"status", StatusName(status)},
                       {"frame", frames.empty() ? nlohmann::json(nullptr)
                                                : nlohmann::json(HexText(frames.front()))},
                       {"chipAcknowledged", acknowledged},
                       {"data", NT_SUCCESS(status) ? nlohmann::json(HexText(data, false))
                                                   : nlohmann::json(nullptr)},
                       {"saved",
                        {{"status", StatusName(savedStatus)},
                         {"address", saved.address},
                         {"register", saved.registerNumber},
                         {"length", saved.length}}}};
    } else {
        std::printf("\ni2c %s at 0x%02X, register 0x%02X, %lu byte%s: %s\n",
                    args.write ? "write" : "read", args.addressValue & 0xFF,
                    args.registerValue & 0xFF, static_cast<unsigned long>(args.lengthValue),
                    args.lengthValue == 1 ? "" : "s", StatusName(status).c_str());
        if (frames.empty()) {
            std::printf("  nothing was sent\n");
        } else {
            // What counts of the 64-byte frame: code, count, address, register, then the data
            // of a write or the count of a read.
            const size_t meaning = std::min<size_t>(frames.front().size(),
                                                    args.write ? kWriteHeader + shown : kReadFrame);
            std::printf(
                "  gateway frame: %s (sent as %zu bytes)\n",
                HexText(Bytes(frames.front().begin(), frames.front().begin() + meaning)).c_str(),
                frames.front().size());
            std::printf("  the chip %s\n", acknowledged ? "acknowledged" : "did not answer (NAK)");
        }
        if (!args.write && NT_SUCCESS(status))
            std::printf("  data (from the saved record): %s\n", HexText(data).c_str());
    }
    result.exitCode = NT_SUCCESS(status) ? 0 : 1;
    return result;
}

void AddDirection(CLI::App& i2c, Steps& steps, bool write) {
    auto args = std::make_shared<I2cArguments>();
    args->write = write;
    CLI::App* command = i2c.add_subcommand(
        write ? "write" : "read",
        write ? "Write bytes to a chip register through the driver"
              : "Read chip registers through the driver, then the record it saved");
    command->add_option("--address", args->address, "8-bit I2C address, e.g. 0x32")->required();
    command->add_option("--register", args->reg, "register number")->required();
    if (write) {
        command->add_option("--data", args->data, "bytes in hex, e.g. 01AB (at most 60)")
            ->required();
    } else {
        command->add_option("--length", args->length, "bytes to read (at most 63)")->required();
    }
    command->callback([&steps, args] {
        steps.push_back({args->write ? "i2c write" : "i2c read",
                         [args](std::string* error) { return CheckI2c(*args, error); },
                         [args](ReceiverRun& receiver) { return RunI2c(receiver, *args); },
                         {}});
    });
}

}  // namespace

void AddI2cCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    CLI::App* i2c =
        app.add_subcommand("i2c", "I2C pass-through to the chips on the stick (item 4)");
    i2c->require_subcommand(1);
    AddDirection(*i2c, steps, false);
    AddDirection(*i2c, steps, true);
}

}  // namespace kvssim
