#pragma once
// What runs when the receiver filter or one of its pins is created, closed or changes state, and
// the data-range intersection of both pins.
#include "platform/ks.h"

// Filter create and close: the device becomes the filter's context (and so its pins'), and the
// filter gets (and gives back) its BDA context.
NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS FilterClose(PKSFILTER filter, PIRP irp);

// The antenna input pin: create and close change nothing; its state drives the stream reader.
NTSTATUS AntennaPinCreate(PKSPIN pin, PIRP irp);
NTSTATUS AntennaPinClose(PKSPIN pin, PIRP irp);
NTSTATUS AntennaSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);

// The transport output pin: create wakes the tuner and makes the pin the stream's destination;
// close stops the stream and puts the tuner to sleep. Processing and state changes do nothing.
NTSTATUS OutputCreate(PKSPIN pin, PIRP irp);
NTSTATUS OutputClose(PKSPIN pin, PIRP irp);
NTSTATUS OutputProcess(PKSPIN pin);
NTSTATUS OutputSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);

// Intersection: the requested range itself is the format (64 bytes antenna, 88 bytes transport).
NTSTATUS AntennaIntersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                          PKSDATARANGE matchingDataRange, ULONG dataBufferSize, PVOID data,
                          PULONG dataSize);
NTSTATUS TransportIntersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                            PKSDATARANGE matchingDataRange, ULONG dataBufferSize, PVOID data,
                            PULONG dataSize);
