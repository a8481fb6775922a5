#pragma once
#include <gtest/gtest.h>

#include "platform/host/clock.h"
#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/kernel_state.h"

// Every test starts with a clean emulation on the virtual clock.
class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernelState();
        host::SetClockMode(host::ClockMode::Virtual);
        host::ClearProgressProbe();
    }
    void TearDown() override {
        host::ClearProgressProbe();
        host::SetClockMode(host::ClockMode::Virtual);
    }
    static LARGE_INTEGER RelativeMs(LONGLONG ms) {
        LARGE_INTEGER value;
        value.QuadPart = -ms * 10000;
        return value;
    }
    static size_t ErrorsMentioning(const std::string& text) {
        size_t count = 0;
        for (const std::string& error : host::KernelErrors())
            count += error.find(text) != std::string::npos;
        return count;
    }
};
