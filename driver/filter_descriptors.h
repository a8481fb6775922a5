#pragma once
// The receiver filter's descriptor and BDA template, handed to the filter factory at start: an
// antenna input pin and a transport output pin, an RF tuner node followed by a COFDM demodulator
// node, and one pin pairing whose topology joint lies between the two nodes.
#include "platform/ks.h"

constexpr ULONG kAntennaPinId = 0;
constexpr ULONG kTransportPinId = 1;
constexpr ULONG kTunerNodeId = 0;
constexpr ULONG kDemodulatorNodeId = 1;

// The transport output's frames: 512 transport packets of 188 bytes, 64 frames allocated.
constexpr ULONG kTransportPacketBytes = 188;
constexpr ULONG kTransportFrameBytes = 512 * kTransportPacketBytes;
constexpr ULONG kTransportFrames = 64;

const KSFILTER_DESCRIPTOR* ReceiverFilterDescriptor();
const BDA_FILTER_TEMPLATE* ReceiverBdaTemplate();

// The tables themselves, with names the driver image keeps, so that a check of the image can find
// them.
extern const KSFILTER_DESCRIPTOR kvsbdaReceiverFilterDescriptor;
extern const BDA_FILTER_TEMPLATE kvsbdaReceiverBdaTemplate;
