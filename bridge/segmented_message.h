#pragma once
// The segmented message exchange through the bridge: an application's message of up to 1024
// bytes cut into 12-byte frames for the device at 0x50, and that device's answer collected in
// pieces of seven bytes from 0x51, with the driver-wide pending byte between the two. The driver
// does not interpret either message.
//
// Callers hold the device I/O mutex, so two message operations never interleave.
#include "platform/kernel.h"

// The message record: the property's data buffer, words 32-bit little-endian.
constexpr ULONG kMessageKindOffset = 0;     // send: kind; receive: the pending byte
constexpr ULONG kMessageLengthOffset = 4;   // payload length
constexpr ULONG kMessagePayloadOffset = 8;  // payload
constexpr ULONG kMessageMaxPayload = 1024;
constexpr ULONG kMessageRecordBytes = kMessagePayloadOffset + kMessageMaxPayload;  // 1032

// Kinds: 0x90 asks for nothing; 0 sends the short control frame; any other sends the payload.
constexpr ULONG kMessageIgnoredKind = 0x90;
constexpr ULONG kMessageControlKind = 0;

// An answer's length travels in one byte; its first two bytes are a header the driver drops.
constexpr ULONG kMessageMaxAnswerBytes = 255;
constexpr ULONG kMessageAnswerHeaderBytes = 2;

// Waits of the exchange, milliseconds.
constexpr LONG kMessageReceiveWaitMs = 300;  // before every receive
constexpr LONG kMessagePollWaitMs = 10;      // after a length poll without a length
constexpr LONG kMessagePaceWaitMs = 20;      // after every fifth continuation frame or piece
constexpr ULONG kMessagePaceEvery = 5;
constexpr ULONG kMessagePollAttempts = 8;

// The pending byte is 0 at load.
void InitializeSegmentedMessages();
// The low byte of the kind of the last send that was not ignored (0 at load).
UCHAR PendingMessageByte();

// Sends the record's message according to its kind. A payload whose length word is above 1024
// or runs past the record is refused with STATUS_INVALID_PARAMETER: nothing is sent and the
// pending byte keeps its value. Otherwise STATUS_SUCCESS, whatever the stick answered; a frame
// whose write or reply fails ends the send.
NTSTATUS SendMessage(const UCHAR* record, ULONG recordBytes);

// Fills the record: word 0 the pending byte, word 1 the payload length, then the payload (the
// answer less its two header bytes). Word 1 counts only bytes that really arrived: 0 when no
// length came, fewer than announced when a piece failed. Never writes past `recordBytes`.
// Returns the record bytes filled (8 plus the payload), 0 when the record cannot hold words 0
// and 1.
ULONG ReceiveMessage(UCHAR* record, ULONG recordBytes);
