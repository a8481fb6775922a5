// Download frame builder and the frame-by-frame send loop.
#include "bridge/download_frames.h"

#include "bridge/bridge_channel.h"

using namespace download_frame;

namespace {

UCHAR ImageByte(const DownloadImage& image, ULONG offset) {
    if (image.patched && offset == image.patchOffset)
        return static_cast<UCHAR>(image.patchWord & 0xFF);
    if (image.patched && offset == image.patchOffset + 1)
        return static_cast<UCHAR>(image.patchWord >> 8);
    return image.bytes[offset];
}

bool IsAccepted(UCHAR reply) {
    return reply == kAccepted || reply == kAcceptedAlternative;
}

}  // namespace

ULONG DownloadFrameCount(const DownloadImage& image) {
    return (image.length + kMaxDataBytes - 1) / kMaxDataBytes;
}

ULONG BuildDownloadFrame(const DownloadImage& image, ULONG index, UCHAR (&frame)[kFrameCapacity]) {
    if (image.bytes == nullptr || index >= DownloadFrameCount(image)) return 0;
    const ULONG start = index * kMaxDataBytes;
    const ULONG remaining = image.length - start;
    const bool last = remaining <= kMaxDataBytes;
    const ULONG count = last ? remaining : kMaxDataBytes;
    frame[kCodeOffset] = last ? image.finalCode : image.dataCode;
    frame[kCountOffset] = static_cast<UCHAR>(count - 1);
    UCHAR checksum = 0;
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR byte = ImageByte(image, start + i);
        frame[kDataOffset + i] = byte;
        checksum = static_cast<UCHAR>(checksum + byte);
    }
    frame[kDataOffset + count] = checksum;
    return count + kOverheadBytes;
}

bool SendDownloadImage(const DownloadImage& image, bool* repliesLost) {
    const ULONG frames = DownloadFrameCount(image);
    if (frames == 0) return false;
    for (ULONG index = 0; index < frames; ++index) {
        UCHAR frame[kFrameCapacity];
        const ULONG length = BuildDownloadFrame(image, index, frame);
        UCHAR reply = 0;
        ULONG received = 0;
        const BridgeExchangeResult result =
            BridgeExchange(frame, length, &reply, kReplyBytes, &received);
        if (result == BridgeExchangeResult::NotSent) return false;
        if (result == BridgeExchangeResult::ReplyLost) {
            if (repliesLost != nullptr) *repliesLost = true;
        } else if (received != 0 && !IsAccepted(reply)) {
            return false;
        }
    }
    return true;
}
