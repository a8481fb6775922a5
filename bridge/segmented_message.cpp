// SendMessage and ReceiveMessage over the bridge channel. Every frame goes out as one exchange:
// the 12-byte frame written and its 64-byte reply read, before the next frame is built.
#include "bridge/segmented_message.h"

#include "bridge/bridge_channel.h"
#include "bridge/message_frames.h"
#include "bridge/record_words.h"
#include "platform/delay.h"

namespace {

using namespace message_frame;

// Driver-wide. Message operations run under the device I/O mutex; the byte is still read and
// written whole so that no caller ever sees a half-updated value.
LONG volatile gPendingByte;

// Pieces of the largest answer: 255 / 7 + 1 = 37, the last of 3 bytes.
constexpr ULONG kCollectionBytes = (kMessageMaxAnswerBytes / kPieceBytes + 1) * kPieceBytes;

struct Exchange {
    bool written;    // the frame went out
    ULONG received;  // reply bytes read; 0 when the read failed or came back empty
};

// One exchange on the bridge channel: the frame and its reply, nothing of another thread's in
// between.
Exchange ExchangeMessageFrame(const MessageFrame& frame, UCHAR (&reply)[kReplyBytes]) {
    ULONG received = 0;
    switch (BridgeExchange(frame, kFrameBytes, reply, kReplyBytes, &received)) {
        case BridgeExchangeResult::NotSent:
            return {false, 0};
        case BridgeExchangeResult::ReplyLost:
            return {true, 0};
        case BridgeExchangeResult::Answered:
            break;
    }
    return {true, received};
}

bool Exchanged(const MessageFrame& frame) {
    UCHAR reply[kReplyBytes];
    const Exchange result = ExchangeMessageFrame(frame, reply);
    return result.written && result.received != 0;
}

// Sends the continuation frames of a payload longer than seven bytes; stops at the first frame
// that fails.
void SendContinuation(const UCHAR* payload, ULONG n) {
    const ULONG rest = n - kFirstPayloadBytes;
    const ULONG frames = rest / kMiddlePayloadBytes + 1;
    for (ULONG i = 0; i < frames; ++i) {
        const UCHAR* bytes = payload + kFirstPayloadBytes + i * kMiddlePayloadBytes;
        MessageFrame frame;
        if (i + 1 < frames) {
            BuildMessageMiddleFrame(bytes, frame);
        } else {
            BuildMessageLastFrame(bytes, rest % kMiddlePayloadBytes, frame);
        }
        if (!Exchanged(frame)) return;
        if ((i + 1) % kMessagePaceEvery == 0) DelayMilliseconds(kMessagePaceWaitMs);
    }
}

// Polls the device for the length of its answer; 0 when none came within the attempts or the
// poll could not be written.
ULONG PollAnswerLength() {
    MessageFrame poll;
    BuildMessageReadFrame(1, poll);
    for (ULONG attempt = 0; attempt < kMessagePollAttempts; ++attempt) {
        UCHAR reply[kReplyBytes];
        const Exchange result = ExchangeMessageFrame(poll, reply);
        if (!result.written) return 0;
        // A reply without its data byte carries no length.
        const ULONG length = result.received > kReplyDataOffset ? reply[kReplyDataOffset] : 0;
        if (length != 0) return length;
        DelayMilliseconds(kMessagePollWaitMs);
    }
    return 0;
}

// Collects an answer of `length` bytes in pieces; returns the bytes that really arrived, in
// order. A piece that fails or comes back short ends the collection: what would follow it could
// not be placed.
ULONG CollectAnswer(ULONG length, UCHAR (&collection)[kCollectionBytes]) {
    const ULONG pieces = length / kPieceBytes + 1;
    ULONG collected = 0;
    for (ULONG j = 0; j < pieces; ++j) {
        const ULONG asked = j + 1 < pieces ? kPieceBytes : length % kPieceBytes;
        MessageFrame request;
        BuildMessageReadFrame(static_cast<UCHAR>(asked), request);
        UCHAR reply[kReplyBytes];
        const Exchange result = ExchangeMessageFrame(request, reply);
        if (!result.written || result.received == 0) break;
        const ULONG arrived = result.received - kReplyDataOffset;
        const ULONG taken = arrived < asked ? arrived : asked;
        RtlCopyMemory(collection + collected, reply + kReplyDataOffset, taken);
        collected += taken;
        if (taken < asked) break;
        if ((j + 1) % kMessagePaceEvery == 0) DelayMilliseconds(kMessagePaceWaitMs);
    }
    return collected;
}

}  // namespace

void InitializeSegmentedMessages() {
    InterlockedExchange(&gPendingByte, 0);
}

UCHAR PendingMessageByte() {
    return static_cast<UCHAR>(ReadLongAcquire(&gPendingByte));
}

NTSTATUS SendMessage(const UCHAR* record, ULONG recordBytes) {
    if (record == nullptr || recordBytes < kMessagePayloadOffset) return STATUS_INVALID_PARAMETER;
    const ULONG kind = ReadRecordWord(record, kMessageKindOffset);
    if (kind == kMessageIgnoredKind) return STATUS_SUCCESS;
    const ULONG n = ReadRecordWord(record, kMessageLengthOffset);
    const ULONG room = recordBytes - kMessagePayloadOffset;
    // The length word only matters when a payload goes out; then it must stay in the record.
    if (kind != kMessageControlKind && (n > kMessageMaxPayload || n > room))
        return STATUS_INVALID_PARAMETER;

    InterlockedExchange(&gPendingByte, static_cast<LONG>(kind & 0xFF));
    MessageFrame frame;
    if (kind == kMessageControlKind) {
        BuildMessageControlFrame(frame);
        (void)Exchanged(frame);
        return STATUS_SUCCESS;
    }

    // The first frame always carries seven payload positions; a record too short for them
    // (never one of the property's) fills the rest with zeros.
    const UCHAR* payload = record + kMessagePayloadOffset;
    UCHAR first[kFirstPayloadBytes] = {};
    RtlCopyMemory(first, payload, room < kFirstPayloadBytes ? room : kFirstPayloadBytes);
    BuildMessageFirstFrame(first, n, frame);
    if (!Exchanged(frame)) return STATUS_SUCCESS;
    if (n > kFirstPayloadBytes) SendContinuation(payload, n);
    return STATUS_SUCCESS;
}

ULONG ReceiveMessage(UCHAR* record, ULONG recordBytes) {
    if (record == nullptr || recordBytes < kMessagePayloadOffset) return 0;
    const UCHAR pending = PendingMessageByte();
    WriteRecordWord(record, kMessageKindOffset, pending);
    DelayMilliseconds(kMessageReceiveWaitMs);
    // Until an answer arrives there is no payload.
    WriteRecordWord(record, kMessageLengthOffset, 0);
    if (pending == 0) return kMessagePayloadOffset;

    const ULONG length = PollAnswerLength();
    if (length == 0) return kMessagePayloadOffset;
    UCHAR collection[kCollectionBytes];
    const ULONG collected = CollectAnswer(length, collection);
    if (collected <= kMessageAnswerHeaderBytes) return kMessagePayloadOffset;

    ULONG payload = collected - kMessageAnswerHeaderBytes;
    const ULONG room = recordBytes - kMessagePayloadOffset;
    if (payload > room) payload = room;
    RtlCopyMemory(record + kMessagePayloadOffset, collection + kMessageAnswerHeaderBytes, payload);
    WriteRecordWord(record, kMessageLengthOffset, payload);
    return kMessagePayloadOffset + payload;
}
