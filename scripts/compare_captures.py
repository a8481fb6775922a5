#!/usr/bin/env python3
"""Compares two USB wire captures of kvsbda-sim (pcap, USBPcap link type 249), e.g. one of the
host build and one of the Windows image under emulation, ignoring time stamps and packet ids.

Every pipe is compared on its own, since the bus orders requests per pipe. The pipes that carry
the driver's decisions (the default control pipe and the bridge command pipes 0x01/0x81) must
hold the same records in the same order with the same bytes, and their submissions must also
interleave in the same order. Pipes whose traffic follows the air and the clock (the stream pipe,
the interrupt pipe) must ask for the same kinds of transfer and deliver the same bytes over the
length both captures saw; how many reads a run of a few seconds made is timing, not behaviour.
The simulated bridge empties its stream buffer at each command 0x06, and the stream it sends
afterwards starts afresh: the stream pipe is compared piece by piece between those frames.
Interrupt reports describe the chips when they were sent: the same reports in the same order,
each run of repeats counted once.

The simulated demodulator detects and locks a signal after a time on the real clock, so how often
the driver polls it, and what each poll answers, depends on how fast the run went: compare runs
on an air whose transmitters detect and lock at once (kvsbda-sim --air "KHZ,detect_ms=0,lock_ms=0").

With --streams A.ts B.ts it also compares the transport streams the two runs wrote: they must be
identical. On an air whose stream follows the clock the reads the driver drops after a start,
and so the files, differ in length; compare those runs on a transmitter whose programme is there
whenever the stick reads and ends after a given number of packets
(kvsbda-sim --air "KHZ,detect_ms=0,lock_ms=0,rate=0,packets=N").

Usage: compare_captures.py A.pcap B.pcap [--timed-endpoint EP ...] [--streams A.ts B.ts] [--quiet]
Exit status 0 when the captures agree, 1 when they differ, 2 on unreadable input.
"""
import argparse
import struct
import sys

LINK_TYPE_USBPCAP = 249
TRANSFER_ISOCHRONOUS, TRANSFER_INTERRUPT, TRANSFER_CONTROL, TRANSFER_BULK = 0, 1, 2, 3
STRICT_ENDPOINTS = {0x00, 0x80, 0x01, 0x81}


COMMAND_RESTARTS_STREAM = 0x06


class Record:
    __slots__ = ("index", "completed", "status", "function", "device", "endpoint", "transfer",
                 "extension", "data")

    def key(self):
        return (self.device, self.endpoint, self.transfer)

    def form(self):
        """What identifies the record without its time stamp and packet id."""
        return (self.completed, self.status, self.function, self.extension, self.data)

    def request_form(self):
        """A submission's shape: what the driver asked for, without the data of a read."""
        extension = self.extension
        if self.transfer == TRANSFER_ISOCHRONOUS and len(extension) >= 12:
            # Start frame, packet count, error count, then (offset, length, status) per packet:
            # keep the count and the offsets the driver chose.
            count = struct.unpack_from("<I", extension, 4)[0]
            offsets = [struct.unpack_from("<I", extension, 12 + 12 * i)[0]
                       for i in range(min(count, (len(extension) - 12) // 12))]
            extension = (count, tuple(offsets))
        inbound = self.endpoint & 0x80
        return (self.function, extension, None if inbound else self.data)

    def describe(self):
        stage = "completion" if self.completed else "submission"
        head = self.data[:16].hex(" ")
        more = " ..." if len(self.data) > 16 else ""
        return (f"device {self.device} endpoint 0x{self.endpoint:02x} {stage}, function "
                f"{self.function}, status 0x{self.status:08x}, {len(self.data)} bytes [{head}{more}]")


def read_capture(path):
    with open(path, "rb") as f:
        blob = f.read()
    if len(blob) < 24:
        raise ValueError(f"{path}: not a pcap file")
    magic, _, _, _, _, _, link = struct.unpack_from("<IHHiIII", blob, 0)
    if magic != 0xA1B2C3D4 or link != LINK_TYPE_USBPCAP:
        raise ValueError(f"{path}: not a little-endian USBPcap capture")
    records = []
    at = 24
    while at + 16 <= len(blob):
        _, _, captured, _ = struct.unpack_from("<IIII", blob, at)
        packet = blob[at + 16:at + 16 + captured]
        at += 16 + captured
        if len(packet) < 27:
            raise ValueError(f"{path}: truncated record")
        header_bytes, _irp, status, function, info, _bus, device, endpoint, transfer, length = \
            struct.unpack_from("<HQIHBHHBBI", packet, 0)
        record = Record()
        record.index = len(records)
        record.completed = bool(info & 1)
        record.status = status
        record.function = function
        record.device = device
        record.endpoint = endpoint
        record.transfer = transfer
        record.extension = bytes(packet[27:header_bytes])
        record.data = bytes(packet[header_bytes:header_bytes + length])
        records.append(record)
    return records


def by_pipe(records):
    pipes = {}
    for record in records:
        pipes.setdefault(record.key(), []).append(record)
    return pipes


def is_timed(key, timed_endpoints):
    _, endpoint, transfer = key
    if endpoint in timed_endpoints:
        return True
    if endpoint in STRICT_ENDPOINTS:
        return False
    return transfer in (TRANSFER_ISOCHRONOUS, TRANSFER_INTERRUPT) or \
        (transfer == TRANSFER_BULK and endpoint & 0x80)


def compare_strict(key, a, b, problems):
    for index, (x, y) in enumerate(zip(a, b)):
        if x.form() != y.form():
            problems.append(f"pipe {key}: record {index} differs\n    A: {x.describe()}\n"
                            f"    B: {y.describe()}")
            return
    if len(a) != len(b):
        problems.append(f"pipe {key}: {len(a)} records in A, {len(b)} in B")


def payload(record):
    """The bytes a completed read delivered: for an isochronous read only its packets' bytes
    (the buffer between them is whatever the driver's buffer held)."""
    if record.transfer != TRANSFER_ISOCHRONOUS or len(record.extension) < 12:
        return record.data
    count = struct.unpack_from("<I", record.extension, 4)[0]
    parts = []
    for i in range(min(count, (len(record.extension) - 12) // 12)):
        offset, length, _ = struct.unpack_from("<IIi", record.extension, 12 + 12 * i)
        parts.append(record.data[offset:offset + length])
    return b"".join(parts)


def distinct_reports(records):
    reports = []
    for r in records:
        if r.completed and r.status == 0 and r.data and (not reports or reports[-1] != r.data):
            reports.append(r.data)
    return [report.hex() for report in reports]


def inbound_pieces(records, restarts):
    """The bytes the pipe delivered, one piece per stretch between two stream restarts."""
    pieces = [b""] * (len(restarts) + 1)
    for r in records:
        if r.completed and r.endpoint & 0x80:
            piece = sum(1 for at in restarts if at < r.index)
            pieces[piece] += payload(r)
    return pieces


def stream_restarts(records):
    """Where the bridge restarted its stream: the submissions of command 0x06 frames."""
    return [r.index for r in records if not r.completed and r.endpoint == 0x01 and r.data and
            r.data[0] == COMMAND_RESTARTS_STREAM]


def compare_timed(key, a, b, problems, notes, restarts_a, restarts_b):
    forms_a = {r.request_form() for r in a if not r.completed}
    forms_b = {r.request_form() for r in b if not r.completed}
    if forms_a != forms_b:
        problems.append(f"pipe {key}: the driver asked for different transfers "
                        f"({len(forms_a - forms_b)} kinds only in A, {len(forms_b - forms_a)} "
                        f"only in B)")
    failed_a = sum(1 for r in a if r.completed and r.status != 0)
    failed_b = sum(1 for r in b if r.completed and r.status != 0)
    if key[2] == TRANSFER_INTERRUPT:
        # Reports tell the chips' state when they were sent: the same states in the same order,
        # however often each was repeated.
        reports_a, reports_b = distinct_reports(a), distinct_reports(b)
        common = min(len(reports_a), len(reports_b))
        if reports_a[:common] != reports_b[:common]:
            problems.append(f"pipe {key}: the reports differ: {reports_a} against {reports_b}")
        notes.append(f"pipe {key}: {len(a)}/{len(b)} records, reports in the same order "
                      f"({common} distinct); failed completions {failed_a}/{failed_b}")
        return
    pieces_a, pieces_b = inbound_pieces(a, restarts_a), inbound_pieces(b, restarts_b)
    if len(pieces_a) != len(pieces_b):
        problems.append(f"pipe {key}: the stream restarted {len(pieces_a) - 1} times in A, "
                        f"{len(pieces_b) - 1} in B")
        return
    same = 0
    for number, (data_a, data_b) in enumerate(zip(pieces_a, pieces_b)):
        common = min(len(data_a), len(data_b))
        same += common
        if data_a[:common] != data_b[:common]:
            first = next(i for i in range(common) if data_a[i] != data_b[i])
            problems.append(f"pipe {key}: the delivered bytes differ from byte {first} on, "
                            f"after restart {number}")
    notes.append(f"pipe {key}: {len(a)}/{len(b)} records, {sum(map(len, pieces_a))}/"
                 f"{sum(map(len, pieces_b))} bytes in {len(pieces_a)} pieces, same over the "
                 f"{same} both saw; failed completions {failed_a}/{failed_b}")


TS_PACKET = 188


def compare_streams(path_a, path_b, problems, notes):
    with open(path_a, "rb") as f:
        a = f.read()
    with open(path_b, "rb") as f:
        b = f.read()
    if not a or not b:
        problems.append(f"streams: {'A' if not a else 'B'} is empty")
        return
    if a == b:
        notes.append(f"streams: identical, {len(a)} bytes ({len(a) // TS_PACKET} packets)")
        return
    common = min(len(a), len(b))
    first = next((i for i in range(common) if a[i] != b[i]), common)
    problems.append(f"streams: {len(a)} bytes in A, {len(b)} in B; they part at byte {first} "
                    f"(packet {first // TS_PACKET})")


def submission_order(records, timed_endpoints):
    return [(r.key(), r.form()) for r in records
            if not r.completed and not is_timed(r.key(), timed_endpoints)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--timed-endpoint", action="append", default=[],
                        type=lambda text: int(text, 0),
                        help="also treat this endpoint as following the clock")
    parser.add_argument("--streams", nargs=2, metavar=("A_TS", "B_TS"),
                        help="also compare the transport streams the runs wrote")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args()
    try:
        a, b = read_capture(args.a), read_capture(args.b)
    except (OSError, ValueError) as error:
        print(f"compare_captures: {error}", file=sys.stderr)
        return 2
    timed = set(args.timed_endpoint)
    pipes_a, pipes_b = by_pipe(a), by_pipe(b)
    problems, notes = [], []
    for key in sorted(set(pipes_a) | set(pipes_b)):
        in_a, in_b = pipes_a.get(key, []), pipes_b.get(key, [])
        if not in_a or not in_b:
            problems.append(f"pipe {key}: only in {'A' if in_a else 'B'} ({len(in_a or in_b)} "
                            f"records)")
        elif is_timed(key, timed):
            compare_timed(key, in_a, in_b, problems, notes, stream_restarts(a),
                          stream_restarts(b))
        else:
            compare_strict(key, in_a, in_b, problems)
            notes.append(f"pipe {key}: {len(in_a)} records, identical")
    order_a, order_b = submission_order(a, timed), submission_order(b, timed)
    if order_a != order_b:
        index = next((i for i, (x, y) in enumerate(zip(order_a, order_b)) if x != y),
                     min(len(order_a), len(order_b)))
        problems.append(f"the driver's requests on the control and command pipes are in another "
                        f"order from request {index} on")
    if args.streams:
        try:
            compare_streams(args.streams[0], args.streams[1], problems, notes)
        except OSError as error:
            print(f"compare_captures: {error}", file=sys.stderr)
            return 2
    if not args.quiet:
        print(f"A: {args.a} ({len(a)} records)\nB: {args.b} ({len(b)} records)")
        for note in notes:
            print("  " + note)
    for problem in problems:
        print("DIFFERENT: " + problem)
    if not problems:
        print("captures agree")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
