// The Windows build of the driver under emulation, against the host build: every import bound,
// the same allocations (the sizes the driver computes from its own structures and from the
// request packets and blocks it builds), and everything returned after removal. Skipped when the
// image has not been built (KVSBDA_SYS overrides the configured path).
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "image_fixture.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "support/host_system.h"
#include "support/sim_receiver.h"

namespace kvsbda_image_test {
namespace {

struct Allocation {
    ULONG tag;
    SIZE_T bytes;
    bool operator<(const Allocation& other) const {
        return tag != other.tag ? tag < other.tag : bytes < other.bytes;
    }
    bool operator==(const Allocation& other) const {
        return tag == other.tag && bytes == other.bytes;
    }
};

struct PlugRun {
    std::vector<Allocation> allocations;  // sorted: completions allocate on several threads
    NTSTATUS addStatus = STATUS_PENDING;
    NTSTATUS startStatus = STATUS_PENDING;
    size_t devices = 0;
    size_t driverPoolBytes = 0;
    size_t packetBlocks = 0;
    size_t linkBlocks = 0;
    std::vector<std::string> kernelErrors;
};

// Plugs a simulated stick, lets add and start (and a re-enumeration) run, unplugs it (remove)
// and records every allocation on the way.
PlugRun Plug(host::DriverEntryFunction entry, uint16_t vendor, uint16_t product, bool running) {
    PlugRun run;
    std::mutex lock;
    {
        kvstest::HostSystem system(host::ClockMode::Virtual, 4, entry);
        host::SetPoolFailurePredicate([&](ULONG tag, SIZE_T bytes) {
            std::lock_guard guard(lock);
            run.allocations.push_back({tag, bytes});
            return false;
        });
        auto receiver = kvstest::MakeSimReceiver(vendor, product, running);
        system.Plug(receiver->stick);
        run.devices = system.Devices().size();
        if (kvstest::HostedDevice* device = system.Current()) {
            run.addStatus = device->addStatus;
            run.startStatus = device->startStatus;
        }
        receiver->stick->Unplug();
        system.WaitForPnpIdle();
        host::SetPoolFailurePredicate({});
    }
    std::sort(run.allocations.begin(), run.allocations.end());
    run.driverPoolBytes = host::PoolBytesOutstanding(kDriverPoolTag);
    run.packetBlocks = host::PoolBlocksOutstanding(host::kIrpPoolTag);
    run.linkBlocks = host::PoolBlocksOutstanding(host::kInterfaceLinkPoolTag);
    run.kernelErrors = kvstest::HostSystem::KernelErrors();
    return run;
}

class KvsbdaImagePlug : public KvsbdaImageTest {
  protected:
    PlugRun PlugImage(uint16_t vendor, uint16_t product, bool running) {
        const host::DriverEntryFunction entry = InstallImage();
        PlugRun run = Plug(entry, vendor, product, running);
        UninstallImage();
        return run;
    }
};

TEST_F(KvsbdaImageTest, EveryImportHasAHostFunctionAndTheIrqlAccessorsAreFound) {
    EXPECT_TRUE(runner_->UnboundImports().empty())
        << ::testing::PrintToString(runner_->UnboundImports());
    // The driver itself no longer moves the IRQL; wherever the DDK's inline accessors (moves to
    // and from CR8) appear, they lie in the image's code, where the runner emulates them.
    for (uint64_t site : runner_->Image().IrqlAccessSites())
        EXPECT_TRUE(runner_->Image().IsCode(site)) << std::hex << site;
    EXPECT_NE(runner_->Find<void (*)()>("DriverEntry"), nullptr);
}

struct StickCase {
    const char* name;
    uint16_t vendor;
    uint16_t product;
    bool running;
};

class KvsbdaImagePlugTest : public KvsbdaImagePlug,
                            public ::testing::WithParamInterface<StickCase> {};

// The sizes of the driver's records (DeviceContext, CQZUSB, its descriptor copies), of the request
// blocks it sizes itself and of the packets (IoSizeOfIrp) come out the same in both builds only
// if the two header sets lay the shared structures out alike.
TEST_P(KvsbdaImagePlugTest, AllocatesAndReturnsWhatTheHostBuildDoes) {
    const StickCase& c = GetParam();
    const PlugRun hostRun = Plug(nullptr, c.vendor, c.product, c.running);
    const PlugRun imageRun = PlugImage(c.vendor, c.product, c.running);
    EXPECT_EQ(FirstFault(), "");
    EXPECT_EQ(imageRun.addStatus, hostRun.addStatus);
    EXPECT_EQ(imageRun.startStatus, hostRun.startStatus);
    EXPECT_EQ(imageRun.devices, hostRun.devices);
    EXPECT_FALSE(imageRun.allocations.empty());
    EXPECT_EQ(imageRun.allocations, hostRun.allocations);
    EXPECT_EQ(imageRun.driverPoolBytes, 0u);
    EXPECT_EQ(imageRun.packetBlocks, 0u);
    EXPECT_EQ(imageRun.linkBlocks, 0u);
    EXPECT_EQ(imageRun.kernelErrors, hostRun.kernelErrors);
    EXPECT_GT(runner_->ImportCalls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sticks, KvsbdaImagePlugTest,
                         ::testing::Values(StickCase{"Running1120", 0x3344, 0x1120, true},
                                           StickCase{"Boot1120", 0x3344, 0x1120, false},
                                           StickCase{"Running6688", 0x0572, 0x6688, true}),
                         [](const ::testing::TestParamInfo<StickCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace kvsbda_image_test
