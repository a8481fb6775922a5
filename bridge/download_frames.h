#pragma once
// Frames of the firmware download: an image goes out in frames of 50 data bytes with a checksum,
// the last frame with the image's final block code. Each frame is answered with one byte.
#include "platform/kernel.h"

namespace download_frame {

constexpr ULONG kCodeOffset = 0;
constexpr ULONG kCountOffset = 1;  // data bytes less one
constexpr ULONG kDataOffset = 2;
constexpr ULONG kMaxDataBytes = 50;
constexpr ULONG kOverheadBytes = 3;                               // code, count, checksum
constexpr ULONG kFrameCapacity = kMaxDataBytes + kOverheadBytes;  // 53

constexpr ULONG kReplyBytes = 1;
constexpr UCHAR kAccepted = 0x88;
constexpr UCHAR kAcceptedAlternative = 0x77;

constexpr UCHAR kRomDataCode = 0x01;
constexpr UCHAR kRomFinalCode = 0x81;
constexpr UCHAR kFwDataCode = 0x02;
constexpr UCHAR kFwFinalCode = 0x82;

}  // namespace download_frame

// One image as it goes on the wire. When `patched` is set, the two bytes at `patchOffset` are
// replaced by `patchWord`, low byte first; the image itself stays untouched.
struct DownloadImage {
    const UCHAR* bytes;
    ULONG length;
    UCHAR dataCode;
    UCHAR finalCode;
    bool patched;
    ULONG patchOffset;
    USHORT patchWord;
};

ULONG DownloadFrameCount(const DownloadImage& image);
// Fills frame `index` of the image and returns its length on the wire (0 past the end).
ULONG BuildDownloadFrame(const DownloadImage& image, ULONG index,
                         UCHAR (&frame)[download_frame::kFrameCapacity]);
// Sends every frame of the image over the bridge channel, each as one exchange with a one-byte
// reply. Stops with false on a failed write or a reply other than 0x88/0x77. A reply that was
// lost does not stop the sending, but the frame may have been refused: `repliesLost` is set then.
// An empty reply is no verdict either way and goes on.
bool SendDownloadImage(const DownloadImage& image, bool* repliesLost);
