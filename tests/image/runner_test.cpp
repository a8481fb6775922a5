// The runner on small images built here: the calling convention in both directions, relocation,
// the inline IRQL accessors, nested calls, guest code on several threads, and every kind of
// fault with its report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "image/pe_builder.h"
#include "platform/host/irql.h"
#include "platform/host/kernel_state.h"
#include "platform/image/image_runner.h"

namespace {

using image::ImageRunner;
using kvstest::Concat;
using kvstest::Le32;
using kvstest::PeBuilder;

// Bytes of one function, with RIP-relative operands resolved against the function's RVA.
class Assembler {
  public:
    explicit Assembler(uint32_t rva) : rva_(rva) {}
    Assembler& Raw(std::vector<uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // An instruction whose last four bytes are a RIP-relative displacement to `targetRva`.
    Assembler& RipRelative(std::vector<uint8_t> opcode, uint32_t targetRva) {
        Raw(std::move(opcode));
        const uint32_t end = rva_ + static_cast<uint32_t>(bytes_.size()) + 4;
        return Raw(Le32(targetRva - end));
    }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

  private:
    uint32_t rva_;
    std::vector<uint8_t> bytes_;
};

const std::vector<uint8_t> kRet = {0xC3};
const std::vector<uint8_t> kReserveHome = {0x48, 0x83, 0xEC, 0x28};           // sub rsp, 0x28
const std::vector<uint8_t> kReleaseHome = {0x48, 0x83, 0xC4, 0x28};           // add rsp, 0x28
const std::vector<uint8_t> kRaiseToDispatch = {0xB8, 0x02, 0x00, 0x00, 0x00,  // mov eax, 2
                                               0x44, 0x0F, 0x22, 0xC0};       // mov cr8, rax
const std::vector<uint8_t> kLowerToPassive = {0x31, 0xC9,                     // xor ecx, ecx
                                              0x44, 0x0F, 0x22, 0xC1};        // mov cr8, rcx

class RunnerTest : public ::testing::Test {
  protected:
    void SetUp() override { host::ResetKernelState(); }
    void TearDown() override {
        host::SetForeignCodeRunner(nullptr);
        runner_.reset();
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    }

    // Loads the built image and installs it as the runner of foreign code; faults are recorded.
    // The file is this process's own: ctest runs the cases of this suite as parallel processes,
    // and one must not load an image another is writing or has removed.
    ImageRunner& Load(const PeBuilder& builder) {
        const std::string path =
            ::testing::TempDir() + "runner_test_image_" + std::to_string(getpid()) + ".sys";
        const std::vector<uint8_t> bytes = builder.Build();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        std::string error;
        runner_ = ImageRunner::Load(path, &error);
        std::remove(path.c_str());
        if (runner_ == nullptr) {
            ADD_FAILURE() << "the test image did not load: " << error;
            std::abort();  // every caller goes on to run the image
        }
        runner_->SetFaultHandler(
            [this](const image::GuestFault& fault) { faults_.push_back(fault); });
        host::SetForeignCodeRunner(runner_.get());
        return *runner_;
    }

    template <typename Function>
    Function At(uint32_t rva) const {
        return reinterpret_cast<Function>(runner_->Image().Base() + rva);
    }
    template <typename T>
    T DataAt(uint32_t rva) const {
        T value;
        std::memcpy(&value, reinterpret_cast<const void*>(runner_->Image().Base() + rva),
                    sizeof value);
        return value;
    }

    std::unique_ptr<ImageRunner> runner_;
    std::vector<image::GuestFault> faults_;
};

TEST_F(RunnerTest, HostCallsPassArgumentsInRegistersAndOnTheStack) {
    PeBuilder builder;
    const uint32_t slots = builder.Data(std::vector<uint8_t>(48, 0));
    Assembler code(builder.NextFunctionRva());
    code.RipRelative({0x48, 0x89, 0x0D}, slots)       // mov [slot0], rcx
        .RipRelative({0x48, 0x89, 0x15}, slots + 8)   // mov [slot1], rdx
        .RipRelative({0x4C, 0x89, 0x05}, slots + 16)  // mov [slot2], r8
        .RipRelative({0x4C, 0x89, 0x0D}, slots + 24)  // mov [slot3], r9
        .Raw({0x48, 0x8B, 0x44, 0x24, 0x28})          // mov rax, [rsp+0x28]
        .RipRelative({0x48, 0x89, 0x05}, slots + 32)  // mov [slot4], rax
        .Raw({0x48, 0x8B, 0x44, 0x24, 0x30})          // mov rax, [rsp+0x30]
        .RipRelative({0x48, 0x89, 0x05}, slots + 40)  // mov [slot5], rax
        .Raw(kRet);
    const uint32_t store = builder.Function("StoreArguments", code.Bytes());
    Load(builder);

    using Six = uint64_t (*)(uint64_t, PVOID, LONG, ULONG, UCHAR, uint64_t);
    const uint64_t result = host::CallDriver(At<Six>(store), uint64_t{0x1111222233334444},
                                             reinterpret_cast<PVOID>(0x5000), LONG{-2},
                                             ULONG{0xFFFFFFFF}, UCHAR{7}, uint64_t{66});
    EXPECT_EQ(result, 66u);
    EXPECT_EQ(DataAt<uint64_t>(slots), 0x1111222233334444u);
    EXPECT_EQ(DataAt<uint64_t>(slots + 8), 0x5000u);
    EXPECT_EQ(static_cast<int32_t>(DataAt<uint64_t>(slots + 16)), -2);
    EXPECT_EQ(static_cast<uint32_t>(DataAt<uint64_t>(slots + 24)), 0xFFFFFFFFu);
    EXPECT_EQ(DataAt<uint64_t>(slots + 32) & 0xFF, 7u);
    EXPECT_TRUE(faults_.empty());
    EXPECT_EQ(runner_->GuestCalls(), 1u);
}

// A guest that passes nine arguments on to an import: the host function gets the five past the
// registers from the caller's stack.
TEST_F(RunnerTest, ImportsTakeTheirArgumentsWhereTheCallerPutThem) {
    PeBuilder builder;
    const uint32_t slot = builder.Import("ntoskrnl.exe", "IoBuildDeviceIoControlRequest");
    Assembler code(builder.NextFunctionRva());
    code.RipRelative({0xFF, 0x25}, slot);  // jmp [IoBuildDeviceIoControlRequest]
    const uint32_t forward = builder.Function("Forward", code.Bytes());
    ImageRunner& runner = Load(builder);
    EXPECT_TRUE(runner.UnboundImports().empty());

    DEVICE_OBJECT target{};
    target.StackSize = 2;
    KEVENT event;
    IO_STATUS_BLOCK status{};
    UCHAR input[4], output[8];
    using Build = PIRP (*)(ULONG, PDEVICE_OBJECT, PVOID, ULONG, PVOID, ULONG, BOOLEAN, PKEVENT,
                           PIO_STATUS_BLOCK);
    PIRP irp =
        host::CallDriver(At<Build>(forward), ULONG{0x220003}, &target, input, ULONG{sizeof input},
                         output, ULONG{sizeof output}, BOOLEAN{TRUE}, &event, &status);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x220003u);
    EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, sizeof input);
    EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, sizeof output);
    EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, input);
    EXPECT_EQ(irp->UserBuffer, output);
    EXPECT_EQ(irp->UserEvent, &event);
    EXPECT_EQ(irp->UserIosb, &status);
    EXPECT_EQ(irp->StackCount, 2);
    IoFreeIrp(irp);
    EXPECT_EQ(runner.ImportCalls(), 1u);
}

TEST_F(RunnerTest, AbsoluteAddressesAreRelocatedToWhereTheImageLies) {
    PeBuilder builder;
    const uint32_t target = builder.Data({1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<uint8_t> pointer(8);
    const uint64_t linked = PeBuilder::kImageBase + target;
    std::memcpy(pointer.data(), &linked, 8);
    const uint32_t word = builder.Data(pointer);
    builder.Relocate(word);
    Assembler code(builder.NextFunctionRva());
    code.RipRelative({0x48, 0x8B, 0x05}, word).Raw(kRet);  // mov rax, [word]
    const uint32_t read = builder.Function("ReadPointer", code.Bytes());
    ImageRunner& runner = Load(builder);

    ASSERT_NE(runner.Image().Base(), PeBuilder::kImageBase);
    EXPECT_EQ(host::CallDriver(At<uint64_t (*)()>(read)), runner.Image().Base() + target);
}

// The DDK's inline IRQL accessors move to and from CR8; the host's IRQL tracking sees them.
TEST_F(RunnerTest, Cr8IsTheHostThreadsIrql) {
    PeBuilder builder;
    const uint32_t slot = builder.Import("ntoskrnl.exe", "KeGetCurrentIrql");
    Assembler raise(builder.NextFunctionRva());
    raise.Raw(kRaiseToDispatch).Raw(kReserveHome).RipRelative({0xFF, 0x15}, slot);
    raise.Raw(kReleaseHome).Raw(kLowerToPassive).Raw(kRet);
    const uint32_t raiseAndAsk = builder.Function("RaiseAndAsk", raise.Bytes());
    const uint32_t readIrql = builder.Function("ReadIrql", {0x44, 0x0F, 0x20, 0xC0, 0xC3});
    Load(builder);

    EXPECT_EQ(host::CallDriver(At<KIRQL (*)()>(raiseAndAsk)), DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(host::CallDriver(At<KIRQL (*)()>(readIrql)), DISPATCH_LEVEL);
    }
    EXPECT_TRUE(host::IrqlViolations().empty());
    EXPECT_TRUE(faults_.empty());
}

// A service the image calls against its rules is a bug check whose report names the image
// function that called it.
TEST_F(RunnerTest, ServiceCalledAgainstItsRulesStopsNamingTheImageFunction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PeBuilder builder;
    const uint32_t slot = builder.Import("ntoskrnl.exe", "IoSetDeviceInterfaceState");
    Assembler code(builder.NextFunctionRva());
    code.Raw(kRaiseToDispatch).Raw(kReserveHome).RipRelative({0xFF, 0x15}, slot);
    code.Raw(kReleaseHome).Raw(kLowerToPassive).Raw(kRet);
    const uint32_t rva = builder.Function("EnablesAtDispatch", code.Bytes());
    EXPECT_DEATH(
        {
            Load(builder);
            host::CallDriver(At<NTSTATUS (*)(PUNICODE_STRING, BOOLEAN)>(rva),
                             static_cast<PUNICODE_STRING>(nullptr), BOOLEAN{TRUE});
        },
        "IoSetDeviceInterfaceState called at IRQL 2(.|\n)*caller: EnablesAtDispatch"
        "(.|\n)*calling ntoskrnl.exe!IoSetDeviceInterfaceState");
}

// IofCallDriver dispatches to the image again: the inner call runs on the same guest stack,
// below the outer frame, and the outer call goes on with the inner one's result.
TEST_F(RunnerTest, ImportsCallBackIntoTheImageBelowTheCallersFrame) {
    PeBuilder builder;
    const uint32_t slot = builder.Import("ntoskrnl.exe", "IofCallDriver");
    const uint32_t stackPointers = builder.Data(std::vector<uint8_t>(16, 0));
    Assembler outer(builder.NextFunctionRva());
    outer
        .RipRelative({0x48, 0x89, 0x25}, stackPointers)  // mov [outer rsp], rsp
        .Raw(kReserveHome)
        .RipRelative({0xFF, 0x15}, slot)
        .Raw(kReleaseHome)
        .Raw(kRet);
    const uint32_t send = builder.Function("Send", outer.Bytes());
    Assembler inner(builder.NextFunctionRva());
    inner
        .RipRelative({0x48, 0x89, 0x25}, stackPointers + 8)  // mov [inner rsp], rsp
        .Raw({0xB8, 0x34, 0x12, 0x00, 0x00})                 // mov eax, 0x1234
        .Raw(kRet);
    const uint32_t dispatch = builder.Function("Dispatch", inner.Bytes());
    Load(builder);

    DRIVER_OBJECT driver{};
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = At<PDRIVER_DISPATCH>(dispatch);
    DEVICE_OBJECT device{};
    device.DriverObject = &driver;
    device.StackSize = 1;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    using SendFunction = NTSTATUS (*)(PDEVICE_OBJECT, PIRP);
    EXPECT_EQ(host::CallDriver(At<SendFunction>(send), &device, irp), 0x1234);
    const auto outerStack = DataAt<uint64_t>(stackPointers);
    const auto innerStack = DataAt<uint64_t>(stackPointers + 8);
    EXPECT_LT(innerStack, outerStack - 0x28 - ImageRunner::kHostFrameAllowance);
    EXPECT_GT(innerStack + ImageRunner::kStackBytes, outerStack);
    EXPECT_EQ(runner_->GuestCalls(), 2u);
    IoFreeIrp(irp);
    EXPECT_TRUE(faults_.empty());
}

// The emulator does not make a locked increment atomic across engines; the guest lock lets only
// one engine run at a time, so none of the increments from several threads is lost.
TEST_F(RunnerTest, GuestCodeOnSeveralThreadsRunsOneEngineAtATime) {
    PeBuilder builder;
    const uint32_t count =
        builder.Function("Count", {0xF0, 0xFF, 0x01,  // loop: lock inc dword [rcx]
                                   0xFF, 0xCA,        //       dec edx
                                   0x75, 0xF9,        //       jnz loop
                                   0xC3});
    Load(builder);

    constexpr int kThreads = 4, kCalls = 40, kIncrements = 20000;
    alignas(64) LONG counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i)
                host::CallDriver(At<void (*)(LONG*, LONG)>(count), &counter, LONG{kIncrements});
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(__atomic_load_n(&counter, __ATOMIC_SEQ_CST), kThreads * kCalls * kIncrements);
    EXPECT_TRUE(faults_.empty());
}

struct FaultCase {
    const char* name;
    std::vector<uint8_t> (*code)(uint32_t rva, uint32_t unknownSlot, uint32_t bugCheckSlot);
    const char* kind;
    const char* description;
};

std::string CaseName(const ::testing::TestParamInfo<FaultCase>& info) {
    return info.param.name;
}

class RunnerFaultTest : public RunnerTest, public ::testing::WithParamInterface<FaultCase> {};

// Every fault stops the run with a report that names the kind, what happened and the function
// it happened in; after it, calls into the image return at once.
TEST_P(RunnerFaultTest, StopsTheRunWithAReport) {
    const FaultCase& c = GetParam();
    PeBuilder builder;
    const uint32_t unknown = builder.Import("ntoskrnl.exe", "NoSuchExport");
    const uint32_t bugCheck = builder.Import("ntoskrnl.exe", "KeBugCheckEx");
    const uint32_t rva = builder.NextFunctionRva();
    builder.Function("Faulty", c.code(rva, unknown, bugCheck));
    ImageRunner& runner = Load(builder);
    ASSERT_EQ(runner.UnboundImports(), std::vector<std::string>{"ntoskrnl.exe!NoSuchExport"});

    const uint64_t result = host::CallDriver(At<uint64_t (*)(ULONG)>(rva), ULONG{0xDEAD});
    EXPECT_EQ(result, ImageRunner::kFaultResult);
    ASSERT_EQ(faults_.size(), 1u);
    const image::GuestFault& fault = faults_.front();
    EXPECT_EQ(fault.kind, c.kind);
    EXPECT_NE(fault.description.find(c.description), std::string::npos) << fault.description;
    const std::string report = fault.Report();
    EXPECT_NE(report.find("Faulty"), std::string::npos) << report;
    EXPECT_NE(report.find("host call stack"), std::string::npos) << report;
    EXPECT_EQ(host::CallDriver(At<uint64_t (*)(ULONG)>(rva), ULONG{0}), ImageRunner::kFaultResult);
    EXPECT_EQ(faults_.size(), 1u);
    EXPECT_EQ(runner.GuestCalls(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RunnerFaultTest,
    ::testing::Values(
        FaultCase{"ReadOfUnmappedMemory",
                  [](uint32_t, uint32_t, uint32_t) {
                      return std::vector<uint8_t>{0x48, 0x8B, 0x04, 0x25, 0x10, 0, 0, 0, 0xC3};
                  },
                  "invalid memory access", "read of unmapped memory at 0x10"},
        FaultCase{"WriteToTheImagesCode",
                  [](uint32_t rva, uint32_t, uint32_t) {
                      Assembler a(rva);
                      a.RipRelative({0x48, 0x8D, 0x05}, rva).Raw({0xC6, 0x00, 0x90, 0xC3});
                      return a.Bytes();
                  },
                  "invalid memory access", "write to read-only memory"},
        FaultCase{"ExecutionOutsideTheImage",
                  [](uint32_t, uint32_t, uint32_t) {
                      // mov rax, rsp; call rax: the stack is data, not code.
                      return std::vector<uint8_t>{0x48, 0x89, 0xE0, 0xFF, 0xD0};
                  },
                  "invalid memory access", "not the image's code"},
        FaultCase{"EndlessRecursion",
                  [](uint32_t, uint32_t, uint32_t) {
                      return std::vector<uint8_t>{0xE8, 0xFB, 0xFF, 0xFF, 0xFF};  // call self
                  },
                  "guest stack overflow", "24 KB stack"},
        FaultCase{"UnknownImport",
                  [](uint32_t rva, uint32_t unknown, uint32_t) {
                      Assembler a(rva);
                      a.Raw(kReserveHome).RipRelative({0xFF, 0x15}, unknown).Raw(kReleaseHome);
                      return a.Raw(kRet).Bytes();
                  },
                  "unknown import", "ntoskrnl.exe!NoSuchExport"},
        FaultCase{"ReturnAtRaisedIrql",
                  [](uint32_t, uint32_t, uint32_t) {
                      return Concat({kRaiseToDispatch, kRet});
                  },
                  "unbalanced IRQL", "called at IRQL 0 and returned at IRQL 2"},
        FaultCase{"InvalidInstruction",
                  [](uint32_t, uint32_t, uint32_t) {
                      return std::vector<uint8_t>{0x0F, 0x0B};
                  },
                  "processor exception", "invalid instruction"},
        FaultCase{"BugCheck",
                  [](uint32_t rva, uint32_t, uint32_t bugCheck) {
                      Assembler a(rva);
                      a.Raw(kReserveHome).RipRelative({0xFF, 0x15}, bugCheck).Raw(kReleaseHome);
                      return a.Raw(kRet).Bytes();
                  },
                  "fault in ntoskrnl.exe!KeBugCheckEx", "KeBugCheckEx(0x0000DEAD"}),
    CaseName);

}  // namespace
