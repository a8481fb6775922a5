#!/usr/bin/env python3
"""Writes a USBPcap capture (link type 249) of bridge traffic that a stick in trouble produces and
kvsbda-sim does not: a download frame with a bad checksum that the boot code refuses, a register
read answered short, a reply that no frame asked for, a read that fails and a reply-pipe reset
after it, a tuner write that is not acknowledged, a read answered with nothing, a PID table whose
control disagrees with its entries, a message continuation with no first frame, a short key
report and a report of a type the driver ignores. The capture carries no descriptors, so the dissector must find the stick by its
endpoints.

Usage: make_fault_capture.py OUT.pcap
"""
import struct
import sys

BULK, INTERRUPT, REQUEST_INFO = 3, 1, 0xFE
FUNCTION_BULK = 0x09
FUNCTION_RESET_PIPE = 0x1E
USBD_STATUS_CANCELED = 0xC0010000


class Capture:
    def __init__(self):
        self.records = []
        self.irp = 0x1000
        self.microseconds = 0

    def record(self, device, endpoint, transfer, completed, data=b"", status=0,
               function=FUNCTION_BULK, irp=None):
        header = struct.pack("<HQIHBHHBBI", 27, irp or self.irp, status, function,
                             1 if completed else 0, 1, device, endpoint, transfer, len(data))
        self.microseconds += 125
        self.records.append((self.microseconds, header + data))

    def exchange(self, device, frame, reply=None, read_status=0):
        """A frame on bulk OUT 0x01, then one reply read on bulk IN 0x81."""
        self.irp += 1
        self.record(device, 0x01, BULK, False, frame)
        self.record(device, 0x01, BULK, True)
        self.irp += 1
        self.record(device, 0x81, BULK, False)
        self.record(device, 0x81, BULK, True, reply or b"", status=read_status)

    def read_only(self, device, reply):
        self.irp += 1
        self.record(device, 0x81, BULK, False)
        self.record(device, 0x81, BULK, True, reply)

    def report(self, device, data):
        self.irp += 1
        self.record(device, 0x8A, INTERRUPT, False)
        self.record(device, 0x8A, INTERRUPT, True, data)

    def reset_reply_pipe(self, device):
        self.irp += 1
        self.record(device, 0x81, REQUEST_INFO, False, function=FUNCTION_RESET_PIPE)
        self.record(device, 0x81, REQUEST_INFO, True, function=FUNCTION_RESET_PIPE)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 0x100000, 249))
            for microseconds, packet in self.records:
                f.write(struct.pack("<IIII", microseconds // 1000000, microseconds % 1000000,
                                    len(packet), len(packet)))
                f.write(packet)


def download_frame(code, data, checksum=None):
    if checksum is None:
        checksum = sum(data) % 256
    return bytes([code, len(data) - 1]) + bytes(data) + bytes([checksum])


def main():
    capture = Capture()
    boot, running = 2, 3
    # Boot state: a good first frame, then one whose checksum is off by one, which is refused.
    rom = bytes(range(100))
    capture.exchange(boot, download_frame(0x01, rom[:50]), b"\x88")
    capture.exchange(boot, download_frame(0x01, rom[50:100], (sum(rom[50:100]) + 1) % 256), b"\xee")
    # Running: a lock-status read answered in full, a strength read answered with the leading
    # byte alone, and a reply nobody asked for.
    capture.exchange(running, bytes([0x84, 0x03, 0x32, 0xA4, 0x01]), b"\x55\x01")
    capture.exchange(running, bytes([0x84, 0x03, 0x32, 0x3E, 0x01]), b"\x55")
    capture.read_only(running, b"\x00" * 5)
    # A register write whose reply read is cancelled; the driver resets the reply pipe, and the
    # reply of the next frame answers that frame.
    capture.exchange(running, bytes([0x05, 0x03, 0x32, 0x02, 0x01]), read_status=USBD_STATUS_CANCELED)
    capture.reset_reply_pipe(running)
    capture.exchange(running, bytes([0x06, 0x00]), b"\x00" * 5)
    # The tuner does not acknowledge a write; a read is answered with nothing at all.
    capture.exchange(running, bytes([0x04, 0x04, 0xC6, 0x09, 0xF0, 0xFE]), b"\x00" * 4)
    capture.exchange(running, bytes([0x84, 0x03, 0x32, 0x04, 0x01]), b"")
    # A PID table whose filter control announces two entries for the one it carries, and a
    # message continuation with no first frame before it.
    capture.exchange(running, bytes([0x03, 0x06, 0x00, 0xFF, 0x01, 0x1F, 0x20, 0x83]), b"\x00" * 5)
    capture.exchange(running, bytes([0xF2, 0x08]) + bytes(range(8)) + bytes(2), b"\x55" + bytes(3))
    # Reports: a key report cut short, a status report, one of no known type.
    capture.report(running, bytes([0xAA, 0x01, 0x02]))
    capture.report(running, bytes([0xBB, 0x00, 0x01, 0x40, 0x50, 0x00, 0x00]))
    capture.report(running, bytes([0x00] * 7))
    capture.write(sys.argv[1])


if __name__ == "__main__":
    main()
