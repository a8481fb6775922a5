// The private-property handlers called directly with buffers kernel streaming would never pass
// (it enforces each item's minimum): each handler checks presence and size before it reads or
// writes a byte. The buffers are exactly as large as stated, so that AddressSanitizer sees any
// access beyond them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/private_property_handlers.h"
#include "driver/receiver_guids.h"
#include "platform/host/host_request.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct HandlerCase {
    const char* name;
    PFNKSHANDLER handler;
    ULONG id;
    ULONG needed;   // bytes the handler reads or writes for these contents
    Bytes leading;  // the first bytes of the buffer (the rest is zero)
    // What it answers with `needed` bytes when no filter stands behind the request.
    NTSTATUS withoutFilter;
};

Bytes Words(std::initializer_list<ULONG> words, Bytes tail = {}) {
    Bytes bytes;
    for (ULONG word : words) {
        const auto* at = reinterpret_cast<const uint8_t*>(&word);
        bytes.insert(bytes.end(), at, at + 4);
    }
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

class HandlerBuffers : public ::testing::TestWithParam<HandlerCase> {
  protected:
    NTSTATUS Call(const HandlerCase& c, ULONG size, ULONG* information = nullptr) {
        auto buffer = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
        std::memset(buffer.get(), 0, size);
        const size_t leading = std::min<size_t>(c.leading.size(), size);
        if (leading != 0) std::memcpy(buffer.get(), c.leading.data(), leading);
        host::HostRequest request(1, 0x0E, 0);
        request.Stack()->Parameters.DeviceIoControl.OutputBufferLength = size;
        KSPROPERTY property{};
        property.Set = PrivatePropertySet;
        property.Id = c.id;
        const NTSTATUS status = c.handler(request.Irp(), &property, buffer.get());
        if (information != nullptr)
            *information = static_cast<ULONG>(request.Irp()->IoStatus.Information);
        return status;
    }
};

TEST_P(HandlerBuffers, RefuseMissingAndShortBuffersBeforeTouchingThem) {
    const HandlerCase& c = GetParam();
    KSPROPERTY property{};
    host::HostRequest request(1, 0x0E, 0);
    uint8_t byte = 0;
    EXPECT_EQ(c.handler(nullptr, &property, &byte), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.handler(request.Irp(), nullptr, &byte), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.handler(request.Irp(), &property, nullptr), STATUS_UNSUCCESSFUL);

    if (c.needed > 0) {
        for (ULONG size : {0u, c.needed / 2, c.needed - 1})
            EXPECT_EQ(Call(c, size), STATUS_BUFFER_TOO_SMALL) << size << " bytes";
    }
    ULONG information = 0;
    EXPECT_EQ(Call(c, c.needed, &information), c.withoutFilter);
    EXPECT_LE(information, c.needed);
}

constexpr NTSTATUS kNoDevice = STATUS_DEVICE_NOT_CONNECTED;

INSTANTIATE_TEST_SUITE_P(
    Items, HandlerBuffers,
    ::testing::Values(
        HandlerCase{"version_get", PrivateVersionGet, 0, 104, {}, STATUS_SUCCESS},
        HandlerCase{"accept_set", PrivateAcceptSet, 3, 0, {}, STATUS_SUCCESS},
        HandlerCase{"key_get", PrivateRemoteKeyGet, 1, 8, {}, kNoDevice},
        HandlerCase{"key_set", PrivateRemoteKeySet, 1, 0, {}, kNoDevice},
        HandlerCase{"pid_set_five_entries", PrivatePidFilterSet, 2, 20, Words({40, 0}, {5}),
                    kNoDevice},
        HandlerCase{"pid_set_sixteen_entries", PrivatePidFilterSet, 2, 42, Words({40, 0}, {16}),
                    kNoDevice},
        // Seventeen entries are never read: the header is all that must be there.
        HandlerCase{"pid_set_seventeen_entries", PrivatePidFilterSet, 2, 10, Words({40, 0}, {17}),
                    kNoDevice},
        HandlerCase{"pass_get", PrivateI2cGet, 4, 276, {}, STATUS_SUCCESS},
        HandlerCase{"pass_set", PrivateI2cSet, 4, 276, Words({272}), kNoDevice},
        HandlerCase{"setting_set", PrivateSettingSet, 6, 5, Words({1}, {9}), kNoDevice},
        HandlerCase{"tune_set", PrivateTuneSet, 9, 16, Words({24, 474000, 8, 0}), kNoDevice},
        HandlerCase{"status_get", PrivateStatusGet, 10, 7, {}, kNoDevice},
        HandlerCase{"message_get", PrivateMessageGet, 11, 1032, {}, kNoDevice},
        HandlerCase{"message_set", PrivateMessageSet, 14, 1032, Words({1, 20}), kNoDevice},
        HandlerCase{
            "raw_frame_set_length_word", PrivateRawFrameSet, 12, 4, {}, STATUS_UNSUCCESSFUL},
        HandlerCase{"tune_params_set", PrivateTuneParamsSet, 13, 32, Words({1}), kNoDevice},
        HandlerCase{"sync", PrivateSyncHandler, 15, 0, {}, kNoDevice}),
    [](const auto& info) { return info.param.name; });

TEST(RawFrameBuffer, TheFrameMustLieWithinTheBuffer) {
    for (ULONG length : {10u, 11u, 0xFFFFFFFFu}) {
        auto buffer = std::make_unique<uint8_t[]>(14);
        std::memcpy(buffer.get(), &length, 4);
        host::HostRequest request(1, 0x0E, 0);
        request.Stack()->Parameters.DeviceIoControl.OutputBufferLength = 14;
        KSPROPERTY property{};
        EXPECT_EQ(PrivateRawFrameSet(request.Irp(), &property, buffer.get()),
                  length == 10 ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_PARAMETER)
            << length;
    }
}

}  // namespace
