#pragma once
// The Windows build of the driver loaded under emulation for a test, with its faults collected
// instead of ending the process. Skipped when the image has not been built (KVSBDA_SYS overrides
// the configured path).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/driver_call.h"
#include "platform/host/ks_device_host.h"
#include "platform/image/image_runner.h"

#ifndef KVSBDA_WINDOWS_SYS
#define KVSBDA_WINDOWS_SYS "build/windows-kernel/kvsbda.sys"
#endif

namespace kvsbda_image_test {

inline std::string ImagePath() {
    const char* path = std::getenv("KVSBDA_SYS");
    return path != nullptr ? path : KVSBDA_WINDOWS_SYS;
}

class KvsbdaImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(ImagePath()))
            GTEST_SKIP() << "no driver image at " << ImagePath();
        std::string error;
        runner_ = image::ImageRunner::Load(ImagePath(), &error);
        ASSERT_NE(runner_, nullptr) << error;
        runner_->SetFaultHandler([this](const image::GuestFault& fault) {
            std::lock_guard guard(faultLock_);
            faults_.push_back(fault.Report());
        });
    }
    void TearDown() override {
        host::SetForeignCodeRunner(nullptr);
        runner_.reset();
    }

    // The image's entry, with the image installed as the runner of foreign code until
    // UninstallImage.
    host::DriverEntryFunction InstallImage() {
        host::SetForeignCodeRunner(runner_.get());
        return runner_->EntryPoint<host::DriverEntryFunction>();
    }
    void UninstallImage() { host::SetForeignCodeRunner(nullptr); }

    std::string FirstFault() {
        std::lock_guard guard(faultLock_);
        return faults_.empty() ? std::string() : faults_.front();
    }

    std::unique_ptr<image::ImageRunner> runner_;
    std::mutex faultLock_;
    std::vector<std::string> faults_;
};

}  // namespace kvsbda_image_test
