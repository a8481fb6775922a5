#!/usr/bin/env python3
"""Writes the handmade corpus of the fuzz targets: valid and hostile inputs for each target, one
file per case, into fuzz/corpus/<target>/. Run it again after changing a case; the files are
checked in so that the replay tests need no Python."""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def u16(value):
    return struct.pack("<H", value)


def write(target, name, data):
    folder = HERE / target
    folder.mkdir(exist_ok=True)
    (folder / name).write_bytes(bytes(data))


# ---- Descriptors ---------------------------------------------------------------------------------

def endpoint(address, attributes, packet, interval=0):
    return bytes([7, 5, address, attributes]) + u16(packet) + bytes([interval])


def interface(number, alternate, endpoints, cls=0xFF):
    return bytes([9, 4, number, alternate, endpoints, cls, 0, 0, 0])


SEVEN_ENDPOINTS = b"".join([
    endpoint(0x81, 2, 64), endpoint(0x01, 2, 64), endpoint(0x02, 2, 64),
    endpoint(0x86, 2, 64), endpoint(0x87, 1, 0x3FC, 1), endpoint(0x0A, 2, 64),
    endpoint(0x8A, 3, 64, 0x7F)])
FOUR_ENDPOINTS = b"".join([
    endpoint(0x81, 2, 64), endpoint(0x01, 2, 64), endpoint(0x82, 1, 0x3FC, 1),
    endpoint(0x83, 3, 64, 11)])


def configuration(body, total=None, interfaces=1):
    length = 9 + len(body) if total is None else total
    return bytes([9, 2]) + u16(length) + bytes([interfaces, 1, 0, 0x80, 0xFA]) + body


RUNNING = configuration(interface(0, 0, 0) + interface(0, 1, 7) + SEVEN_ENDPOINTS)
KIND3 = configuration(interface(0, 0, 0) + interface(0, 1, 4) + FOUR_ENDPOINTS)


def device(vendor, product):
    return bytes([18, 1]) + u16(0x200) + bytes([0, 0, 0, 64]) + u16(vendor) + u16(product) + \
        u16(0x100) + bytes([1, 2, 0, 1])


def usbd_configuration():
    t = "usbd_configuration"
    write(t, "running_stick", RUNNING)
    write(t, "four_endpoints", KIND3)
    write(t, "total_claims_more", configuration(RUNNING[9:], total=0x400))
    write(t, "total_cuts_interface", configuration(RUNNING[9:], total=20))
    write(t, "total_below_header", configuration(RUNNING[9:], total=5))
    write(t, "header_only", configuration(b""))
    write(t, "three_bytes", RUNNING[:3])
    write(t, "zero_length_descriptor",
          configuration(interface(0, 1, 7) + SEVEN_ENDPOINTS[:14] + bytes([0, 5]) +
                        SEVEN_ENDPOINTS[14:]))
    write(t, "claims_more_endpoints",
          configuration(interface(0, 1, 30) + SEVEN_ENDPOINTS[:14]))
    write(t, "class_descriptors_between",
          configuration(interface(0, 1, 3) + bytes([5, 0x24, 1, 2, 3]) + endpoint(0x81, 2, 64) +
                        bytes([5, 5, 0x01, 2, 64]) + endpoint(0x01, 2, 64) +
                        bytes([3, 0x25, 0]) + endpoint(0x82, 3, 8)))
    write(t, "several_interfaces",
          configuration(interface(0, 0, 1) + endpoint(0x81, 2, 64) + interface(0, 1, 2) +
                        endpoint(0x81, 2, 64) + endpoint(0x01, 2, 64) + interface(1, 1, 7) +
                        SEVEN_ENDPOINTS + interface(2, 3, 0), interfaces=3))
    write(t, "middle_interface_claims_more",
          configuration(interface(0, 1, 7) + SEVEN_ENDPOINTS[:21] + interface(1, 1, 2) +
                        SEVEN_ENDPOINTS[:14], interfaces=2))
    write(t, "interface_truncated_at_end", configuration(interface(0, 0, 0) + interface(0, 1, 7)[:6]))
    write(t, "descriptor_runs_past_end",
          configuration(interface(0, 1, 1) + bytes([0xFF, 5, 0x81, 2])))
    write(t, "short_interface_descriptor",
          configuration(bytes([7, 4, 0, 1, 2, 0xFF, 0]) + SEVEN_ENDPOINTS[:14]))


# ---- Configuration chain ------------------------------------------------------------------------
# Request by request: fate byte (a multiple of 8 fails the request), then for descriptor replies a
# length (one byte; two for configuration descriptors) and the bytes.

OK = 1
SELECTED = 2  # select fates: 0 the packet fails, 1 the block's header Status fails


def reply(data, wide=False):
    return bytes([OK]) + (u16(len(data)) if wide else bytes([len(data)])) + data


PROBE_RUNNING = bytes([6, 3, 0x47, 0x47, 0x47, 0x47])
PROBE_BOOT = bytes([8, 3, ord("K"), 0, ord("V"), 0, ord("S"), 0])


def chain(dev, config, select=bytes([SELECTED]), probe=PROBE_RUNNING, header=None, tail=b""):
    script = reply(dev)
    script += reply(config[:9] if header is None else header, wide=True)
    script += reply(config, wide=True) + select
    if probe is not None:
        script += reply(probe)
    return script + tail


def configuration_chain():
    t = "configuration_chain"
    bridge_tail = bytes([OK]) + reply(bytes([0x55, 0, 0, 0, 0]))
    write(t, "running_1122", chain(device(0x3344, 0x1122), RUNNING, tail=bridge_tail))
    write(t, "boot_1122", chain(device(0x3344, 0x1122), RUNNING, probe=PROBE_BOOT))
    write(t, "running_1120_bulk", chain(device(0x3344, 0x1120), RUNNING, tail=bridge_tail))
    write(t, "kind3_6688", chain(device(0x0572, 0x6688), KIND3, probe=None, tail=bridge_tail))
    write(t, "unknown_1111", chain(device(0x3344, 0x1111), RUNNING, probe=None))
    write(t, "probe_two_marks", chain(device(0x3344, 0x1122), RUNNING,
                                      probe=bytes([6, 3, 0x47, 0x47, 0x48, 0x47])))
    write(t, "device_descriptor_fails", bytes([0]))
    write(t, "device_descriptor_short", chain(device(0x3344, 0x1122)[:9], RUNNING, probe=None))
    write(t, "header_fails", reply(device(0x3344, 0x1122)) + bytes([0]))
    write(t, "header_two_bytes", reply(device(0x3344, 0x1122)) + reply(RUNNING[:2], wide=True))
    write(t, "second_reply_claims_more",
          chain(device(0x3344, 0x1122), configuration(RUNNING[9:], total=0xFFFF),
                header=configuration(b"", total=25)))
    write(t, "second_reply_claims_less",
          chain(device(0x3344, 0x1122), configuration(RUNNING[9:], total=18)))
    write(t, "select_packet_fails", chain(device(0x3344, 0x1122), RUNNING, select=bytes([0]),
                                          probe=None))
    write(t, "select_header_fails", chain(device(0x3344, 0x1122), RUNNING, select=bytes([9]),
                                          probe=None))
    write(t, "select_claims_more_pipes",
          chain(device(0x3344, 0x1120), RUNNING, select=bytes([0x12, 200]), tail=bridge_tail))
    write(t, "select_shortens_length",
          chain(device(0x3344, 0x1120), RUNNING, select=bytes([0x22]) + u16(0x40),
                tail=bridge_tail))
    write(t, "interface_claims_more_endpoints",
          chain(device(0x3344, 0x1122),
                configuration(interface(0, 1, 7) + SEVEN_ENDPOINTS[:21]), tail=bridge_tail))
    write(t, "no_alternate_setting_1",
          chain(device(0x3344, 0x1122), configuration(interface(0, 0, 7) + SEVEN_ENDPOINTS),
                probe=None))


# ---- Interrupt reports ---------------------------------------------------------------------------
# Header: kind, pipe count (mod 9), interrupt packet size (two bytes). Steps: 0 completes the
# pending read (fate, length, bytes; fates 5 failed, 6 cancelled, 7 not connected, else success),
# 4 takes a key, 5 resets the queue, 6 reads the status record (index), 7 restarts the reader.

def header(kind=1, pipes=7, packet=8):
    return bytes([kind, pipes]) + u16(packet)


def report(data, fate=0):
    return bytes([0, fate, len(data)]) + bytes(data)


TAKE, RESET, RESTART = bytes([4]), bytes([5]), bytes([7])


def record(index=1):
    return bytes([6, index])


def interrupt_reports():
    t = "interrupt_reports"
    key = [0xAA, 0x01, 0x02, 0x03, 0x04, 0x05]
    status = [0xBB, 0x00, 0x01, 0x34, 0x56, 0x12, 0x00]
    write(t, "keys_and_status",
          header() + report(key) + report(key[:1] + [9, 9, 9, 9, 9]) + TAKE + TAKE + TAKE +
          report(status) + report(status) + record() + report(status) + record(2) + record(7))
    write(t, "short_reports",
          header() + report([0xAA]) + report([0xBB, 0, 1]) + report([0xBB]) + report([0xBB, 0, 1]) +
          record(3) + TAKE + report([]) + report([0x00, 0xAA, 0xBB]))
    write(t, "zero_packet_size", header(packet=0) + report(key) + report(status) + TAKE)
    write(t, "large_packet", header(packet=0x200) + report(key + list(range(200))) + TAKE +
          report(status * 30))
    write(t, "queue_overflow",
          header() + b"".join(report([0xAA, n & 0xFF]) for n in range(260)) + TAKE * 3 + RESET + TAKE)
    write(t, "failed_cancelled_restart",
          header() + report(key, fate=5) + report(key) + report([], fate=6) + TAKE + RESTART +
          RESTART + report(status) + report(key, fate=7) + RESTART + report(key) + TAKE)
    write(t, "kind3_no_reader", header(kind=3) + report(key) + RESTART + TAKE)
    write(t, "too_few_pipes", header(pipes=6) + report(key) + RESTART)
    write(t, "restart_recounts_status",
          header() + report(status) * 3 + record() + RESTART + report(status) * 2 + record())


# ---- Bridge replies ------------------------------------------------------------------------------
# Steps: an operation byte (0 I2cRead, 1 I2cPassRead, 2 I2cWrite, 3 I2cPassWrite,
# 4 I2cWriteRegister, 5 raw frame, 6 PID table, 7 start firmware, 8 no channel device), its
# arguments, then the fate of each transfer it causes: a write takes a fate byte, a reply read a
# fate byte, a length and the bytes.

WRITE_OK, WRITE_FAILS = bytes([OK]), bytes([0])


def answer(data):
    return bytes([OK, len(data)]) + bytes(data)


LOST = bytes([0])


def count(value):
    if value < 0xF0:
        return bytes([value])
    return bytes([0xF0]) + \
        u16(value >> 16) + u16(value & 0xFFFF)


def bridge_replies():
    t = "bridge_replies"
    read = lambda n, fates: bytes([0, 0x32, 0x04]) + count(n) + fates
    write(t, "demod_read", read(1, WRITE_OK + answer([0x55, 0x7F])))
    write(t, "read_reply_without_data", read(1, WRITE_OK + answer([0x55])))
    write(t, "read_reply_empty", read(1, WRITE_OK + answer([])))
    write(t, "read_reply_lost", read(1, WRITE_OK + LOST))
    write(t, "read_write_fails", read(1, WRITE_FAILS))
    write(t, "read_count_limits", read(63, WRITE_OK + answer(range(64))) + read(64, b"") +
          read(0, b"") + read(0xFFFFFFFF, b""))
    pass_read = lambda n, fates: bytes([1, 0x32, 0x10]) + count(n) + fates
    write(t, "pass_read_full", pass_read(8, WRITE_OK + answer([0x55] + list(range(8)))))
    write(t, "pass_read_short", pass_read(8, WRITE_OK + answer([0x55, 1, 2])))
    write(t, "pass_read_limits", pass_read(63, WRITE_OK + answer(range(64))) + pass_read(64, b"") +
          pass_read(0, WRITE_OK + answer([0x55])) + pass_read(0xFFFFFFFF, b""))
    i2c_write = lambda data, fates: bytes([2, 0xC6]) + count(len(data)) + bytes(data) + fates
    write(t, "tuner_write", i2c_write([0x09, 0xF0, 0xFE], WRITE_OK + answer([0x55, 0, 0, 0])) +
          i2c_write([0x09, 0xF0], WRITE_OK + LOST) + i2c_write([0x09], WRITE_FAILS))
    write(t, "write_limits", i2c_write([1] * 125, WRITE_OK + answer([1])) +
          bytes([2, 0xC6]) + count(126) + bytes(126) + bytes([2, 0xC6]) + count(0xFFFFFFFF))
    pass_write = lambda n, fates: bytes([3, 0x32, 0x10]) + count(n) + bytes(range(n % 256)) + fates
    write(t, "pass_write_limits", pass_write(2, WRITE_OK + answer([1])) +
          pass_write(60, WRITE_OK + LOST) + bytes([3, 0x32, 0x10]) + count(61) + bytes(1))
    write(t, "register_write", bytes([4, 0x02, 0x01, 0x32]) + WRITE_OK + answer([1]) +
          bytes([4, 0x02, 0x01, 0x32]) + WRITE_OK + answer([]) + bytes([4, 0, 0, 0x36]) +
          WRITE_FAILS)
    write(t, "raw_frames", bytes([5]) + count(3) + bytes([6, 0, 0]) + WRITE_OK + answer([0] * 5) +
          bytes([5]) + count(0) + bytes([5]) + count(64) + bytes(64) + WRITE_OK + LOST)
    pids = lambda n, mode, fates: bytes([6, n]) + bytes([0xFF, 0x1F] * n) + bytes([mode]) + fates
    write(t, "pid_tables", pids(1, 2, (WRITE_OK + answer([0] * 5)) * 2) +
          pids(16, 0, (WRITE_OK + answer([0] * 5)) * 2) + pids(17, 0, b"") +
          pids(0, 1, WRITE_OK + answer([0] * 5)))
    write(t, "start_and_detached", bytes([7]) + WRITE_OK + answer([0] * 5) + bytes([8]) +
          read(1, WRITE_OK + answer([0x55, 0x01])))


# ---- BDA requests --------------------------------------------------------------------------------
# Steps: an operation byte (below 0xD0 a request, 0xD0-0xDF pin state, 0xE0-0xEF tune, 0xF0-0xFF
# reopen the pins), then its bytes. An input stops once its requests to the stick pass what about
# one tune takes, so the seeds tune once a file.
SET_FREQUENCY, SET_SIGNAL, SET_DEMOD, SET_CHANGE_SYNC, SET_DEVICE_CONFIG, SET_PRIVATE, SET_PIN, \
    SET_TOPOLOGY, SET_GENERAL, SET_UNKNOWN, SET_BDA_TOPOLOGY, SET_BDA_PIN_CONTROL = range(12)
F_GET, F_SET, F_BASIC, F_SETSUPPORT, F_GET_NODE, F_SET_NODE, F_BASIC_NODE, F_SEND, F_GET_SET = \
    range(9)
FILTER, INPUT, OUTPUT = range(3)
PIN_STATE, TUNE = 0xD0, 0xE0


def u32(value):
    return struct.pack("<I", value)


def request(target, set_index, item, flag, node=0, request_length=24, data_length=4, tail=b"",
            data=b"", method=False):
    """One property or method request; `tail` follows the 32-byte node header when the request
    is longer than that, `data` fills the first (at most eight) bytes of the value buffer."""
    body = bytes([0, target, 1 if method else 0, set_index, item, flag, node]) + \
        u16(request_length) + u16(data_length)
    tail_length = max(request_length, 32) - 32
    body += (tail + bytes(tail_length))[:tail_length]
    body += (data + bytes(8))[:min(data_length, 8)]
    return body


CHANNELS = [474000, 530000, 618000, 754000]


def tune(khz, bandwidth=8):
    """A tune step: one of the air's channels by its index, any other frequency after 0xE0."""
    choice = bytes([CHANNELS.index(khz)]) if khz in CHANNELS else \
        bytes([0xE0]) + u16((khz - 440000) // 8)
    return bytes([TUNE]) + choice + bytes([bandwidth])


def pin_state(output, state):
    return bytes([PIN_STATE, 1 if output else 0, state])


REOPEN = bytes([0xF0])


def bda_requests():
    t = "bda_requests"
    write(t, "tune_locked_twice", tune(474000) + tune(474000))
    write(t, "tune_empty", tune(600000))
    write(t, "tune_below_band", tune(440000))
    write(t, "tune_above_band", tune(880008))
    write(t, "frequency_set_and_get",
          request(INPUT, SET_FREQUENCY, 0, F_SET_NODE, 0, 32, 4, data=u32(530000)) +
          request(INPUT, SET_FREQUENCY, 0, F_GET_NODE, 0, 32, 4) +
          request(FILTER, SET_FREQUENCY, 0, F_SET_NODE, 0, 32, 4, data=u32(0xFFFFFFFF)))
    write(t, "short_requests",
          request(INPUT, SET_FREQUENCY, 0, F_SET_NODE, 0, 0, 4) +
          request(INPUT, SET_FREQUENCY, 0, F_SET_NODE, 0, 20, 4) +
          request(INPUT, SET_FREQUENCY, 0, F_SET_NODE, 0, 24, 4) +
          request(INPUT, SET_SIGNAL, 0, F_GET_NODE, 0, 32, 3) +
          request(INPUT, SET_SIGNAL, 0, F_GET_NODE, 0, 32, 0))
    write(t, "node_ids",
          request(OUTPUT, SET_DEMOD, 0, F_SET_NODE, 2, 32, 4, data=u32(20)) +
          request(OUTPUT, SET_DEMOD, 0, F_SET_NODE, 3, 32, 4, data=u32(20)) +
          request(OUTPUT, SET_DEMOD, 0, F_SET_NODE, 1, 32, 4, data=u32(2)) +
          request(OUTPUT, SET_DEMOD, 2, F_SET_NODE, 1, 32, 4, data=u32(4)) +
          request(INPUT, SET_DEMOD, 0, F_SET_NODE, 0, 32, 4, data=u32(3)))
    write(t, "signal_statistics",
          tune(474000) + b"".join(request(target, SET_SIGNAL, item, flag, node, 32, 4)
                                  for target in (INPUT, OUTPUT, FILTER)
                                  for item in range(5)
                                  for flag in (F_GET_NODE, F_SET_NODE, F_BASIC_NODE)
                                  for node in (0, 1)))
    write(t, "private_items",
          b"".join(request(FILTER, SET_PRIVATE, item, flag, 0, length, length)
                   for item in range(18) for flag in (F_GET, F_SET)
                   for length in (516, 515, 1032, 0)))
    pin_tail = u32(1) + u32(0)
    hostile_list = u32(0xFFFFFFF0) + u32(3)
    small_range = u32(16) + bytes(60)
    write(t, "pin_properties",
          b"".join(request(FILTER, SET_PIN, item, F_GET, 0, 32, length, tail=u32(pin) + u32(0))
                   for item in range(13) for pin in (0, 1, 5) for length in (0, 4, 200)) +
          request(FILTER, SET_PIN, 4, F_GET, 0, 48, 88, tail=pin_tail + hostile_list) +
          request(FILTER, SET_PIN, 4, F_GET, 0, 112, 88,
                  tail=pin_tail + u32(72) + u32(1) + small_range) +
          request(FILTER, SET_PIN, 4, F_GET, 0, 112, 120,
                  tail=u32(0) + u32(0) + u32(72) + u32(1) + u32(64) + bytes(60)))
    write(t, "topology_and_general",
          b"".join(request(FILTER, s, item, flag, 0, 24, length)
                   for s in (SET_TOPOLOGY, SET_GENERAL) for item in range(5)
                   for flag in (F_GET, F_SET, F_BASIC, F_SETSUPPORT) for length in (0, 4, 300)))
    write(t, "change_methods",
          b"".join(request(FILTER, SET_CHANGE_SYNC, item, F_SEND, 0, 24, length, method=True)
                   for item in (0, 1, 3, 2, 3, 4) for length in (0, 3, 4)) +
          request(FILTER, SET_DEVICE_CONFIG, 2, F_SEND, 0, 32, 0, tail=b"", method=True) +
          request(FILTER, SET_DEVICE_CONFIG, 2, F_SEND, 0, 40, 0, tail=u32(1) + u32(0),
                  method=True) +
          request(FILTER, SET_DEVICE_CONFIG, 2, F_SEND, 0, 24, 0, method=True) +
          request(INPUT, SET_CHANGE_SYNC, 2, F_SEND, 0, 24, 0, method=True))
    write(t, "commit_flow",
          request(FILTER, SET_CHANGE_SYNC, 0, F_SEND, 0, 24, 0, method=True) +
          request(INPUT, SET_FREQUENCY, 0, F_SET_NODE, 0, 32, 4, data=u32(530000)) +
          request(FILTER, SET_CHANGE_SYNC, 1, F_SEND, 0, 24, 0, method=True) +
          request(FILTER, SET_CHANGE_SYNC, 2, F_SEND, 0, 24, 0, method=True) +
          request(OUTPUT, SET_SIGNAL, 1, F_GET_NODE, 1, 32, 4))
    write(t, "pins_and_states",
          pin_state(False, 3) + pin_state(True, 3) + tune(474000) + pin_state(False, 1) +
          REOPEN + pin_state(False, 3) + pin_state(True, 2))
    write(t, "reopen_and_tune", REOPEN + tune(530000))
    # The BDA topology set: every item with empty, short and ample buffers, node types in and
    # out of the template, controlling-pin requests with pairs that exist and that do not, and
    # requests cut short of their headers; pin control on both pins and on the filter.
    write(t, "bda_topology",
          b"".join(request(FILTER, SET_BDA_TOPOLOGY, item, flag, node, 32, data_length)
                   for item in range(9) for flag in (F_GET, F_SET)
                   for node in (0, 2) for data_length in (0, 3, 300)) +
          b"".join(request(FILTER, SET_BDA_TOPOLOGY, item, F_BASIC, 0, 24, 40)
                   for item in range(9)) +
          b"".join(request(FILTER, SET_BDA_TOPOLOGY, 6, F_GET, node, length, 4,
                           tail=u32(inp) + u32(out))
                   for node in (0, 1, 7) for inp, out in ((0, 1), (1, 0), (0, 0), (9, 9))
                   for length in (36, 40, 44)))
    write(t, "bda_pin_control",
          b"".join(request(target, SET_BDA_PIN_CONTROL, item, flag, 0, length, data_length)
                   for target in (FILTER, INPUT, OUTPUT) for item in range(3)
                   for flag in (F_GET, F_SET, F_BASIC, F_GET_NODE)
                   for length in (20, 24, 32) for data_length in (0, 3, 4)) +
          REOPEN + request(OUTPUT, SET_BDA_PIN_CONTROL, 1, F_GET, 0, 24, 4))
    write(t, "odd_flags",
          b"".join(bytes([0, target, method, set_index, 0, 0xF0 + shift]) + u16(0x3F) +
                   bytes([1]) + u16(24) + u16(4) + bytes(4)
                   for target in (FILTER, INPUT) for method in (0, 1)
                   for set_index in (SET_FREQUENCY, SET_CHANGE_SYNC) for shift in (0, 4, 12, 15)))


# ---- Private property set ----------------------------------------------------------------------
# A step of private_properties: an op byte (below 0xD0 a request, 0xD0-0xDF a key press, 0xE0-0xEF
# an answer of the message device, 0xF0-0xFF a tune by commit). A request: item, get (0) or set (1), data size choice
# (5: the item's minimum, 0: one less, 1: none, 2/3: larger or any, then a u16), contents (0: raw,
# then up to 48 bytes; 1: shaped, then the item's fields) and the request size (0: the minimum).
MINIMUM = 5
P_PRESS, P_ANSWER, P_TUNE = 0xD0, 0xE0, 0xF0
# Indices into the target's tables of lengths and frequencies.
LENGTHS = [0, 1, 7, 8, 15, 16, 17, 59, 60, 61, 62, 63, 64, 255, 256, 1023, 1024, 1025, 0xFFFFFFFF]
FREQUENCIES = [0, 449999, 474000, 474400, 530000, 880500, 0xFFFFFFFF]


def length(value):
    return bytes([LENGTHS.index(value)])


def frequency(value):
    return bytes([FREQUENCIES.index(value)])


def private(item, set_, fields=None, size=MINIMUM, extra=b"", request_size=0):
    body = bytes([0, item, 1 if set_ else 0, size]) + extra
    body += bytes([1]) + fields if fields is not None else bytes([0]) + bytes(48)
    return body + bytes([request_size])


def pid_fields(count, mode=1, check=True):
    return (bytes([1]) if check else bytes([0, 39])) + bytes([mode]) + length(count)


def pass_fields(operation, count, address_is_demod=True, check=True):
    return (bytes([1]) if check else bytes([0, 0x11, 0x01])) + bytes([operation]) + \
        bytes([1 if address_is_demod else 0]) + bytes([0x04]) + length(count)


def message_fields(kind, count):
    return (bytes([1]) if kind == 0x90 else bytes([0, kind])) + length(count)


def private_properties():
    t = "private_properties"
    write(t, "every_item_both_ways",
          b"".join(private(item, set_) for item in range(18) for set_ in (False, True)))
    write(t, "short_buffers",
          b"".join(private(item, set_, size=size) for item in range(17) for set_ in (False, True)
                   for size in (0, 1)))
    write(t, "short_requests",
          b"".join(private(item, True, request_size=0xF0) + u16(100) for item in range(17)))
    write(t, "pid_tables",
          b"".join(private(2, True, pid_fields(count, mode)) for count in (0, 1, 15, 16, 17, 255)
                   for mode in (0, 1, 2)) + private(2, True, pid_fields(1, check=False)))
    write(t, "pass_through_bounds",
          b"".join(private(4, True, pass_fields(op, count)) for op in (0, 1)
                   for count in (0, 59, 60, 61, 62, 63, 64, 0xFFFFFFFF)) +
          private(4, False) + private(4, True, pass_fields(0, 7, check=False)))
    # A long message takes many frames: one exchange a file.
    for count in (0, 7, 8, 15, 1023, 1024, 1025, 0xFFFFFFFF):
        write(t, "messages_%x" % count, private(11, True, message_fields(1, count)) +
              private(14, False))
    write(t, "messages_odd",
          private(11, True, message_fields(0x90, 8)) + private(14, True, message_fields(0, 1025)) +
          private(11, False) + private(11, True, message_fields(1, 1024), size=2,
                                      extra=u16(1000)))
    write(t, "raw_frames",
          b"".join(private(12, True, length(count) + bytes([1])) for count in
                   (0, 1, 7, 8, 255, 256, 1023, 0xFFFFFFFF)) +
          private(12, True, length(1024) + bytes([1]), size=2, extra=u16(600)))
    # A raw frame that starts with a command code: the caller's bytes, not a command of the driver.
    write(t, "raw_frame_with_a_command_code",
          b"".join(private(12, True, length(count) + bytes([0, code])) for count, code in
                   ((255, 0x03), (64, 0x04), (64, 0x84), (17, 0xF1))))
    # One tune a file.
    write(t, "xtune_locked",
          private(9, True, bytes([1]) + frequency(474000) + bytes([8]) + frequency(0)) +
          private(10, False))
    write(t, "xtune_zero", private(9, True, bytes([1]) + frequency(0) + bytes([8]) + frequency(0)))
    write(t, "xtune_out_of_range",
          private(9, True, bytes([1]) + frequency(0xFFFFFFFF) + bytes([9]) + frequency(449999)))
    write(t, "xtune_no_bandwidth",
          private(9, True, bytes([1]) + frequency(880500) + bytes([0]) + frequency(0)))
    write(t, "tune_parameters_checked",
          private(13, True, bytes([1]) + frequency(474400) + bytes([8])))
    write(t, "tune_parameters_unchecked",
          private(13, True, bytes([0]) + frequency(474000) + bytes([8])))
    write(t, "tune_by_commit", bytes([P_TUNE, 0]) + private(10, False))
    write(t, "settings_and_sync",
          b"".join(private(item, True, bytes([check, 7])) for item in (5, 6, 7, 8)
                   for check in (0, 1, 5, 6)) +
          b"".join(private(item, set_) for item in (15, 16) for set_ in (False, True)))
    write(t, "keys_and_answers",
          bytes([P_PRESS, 0x12, P_PRESS, 0x34]) + private(1, False) + private(1, False) + private(1, False) +
          bytes([P_PRESS, 0x56]) + private(1, True) + private(1, False) +
          bytes([P_ANSWER, 3, 0x41]) + private(11, True, message_fields(2, 8)) + private(11, False) +
          bytes([P_ANSWER, 255, 0x42]) + private(14, True, message_fields(3, 1)) + private(14, False) +
          bytes([P_ANSWER, 0]) + private(11, True, message_fields(0, 0)) + private(11, False))
    write(t, "pass_through_to_the_message_device",
          private(4, True, pass_fields(1, 8, address_is_demod=False)) + private(11, False))


if __name__ == "__main__":
    usbd_configuration()
    configuration_chain()
    interrupt_reports()
    bridge_replies()
    bda_requests()
    private_properties()
