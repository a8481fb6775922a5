-- Wireshark dissector for the KVS7100 receiver stick's bridge protocol (kvsbda).
--
-- The bridge firmware takes command frames on bulk OUT 0x01 and answers each frame with one reply
-- on bulk IN 0x81; it reports events on its interrupt IN pipe (0xAA key reports, 0xBB status
-- reports). Before its firmware runs, the stick takes the download frames of "rom.dat" and
-- "fw.bin" on the same pipes. This dissector names every frame, reply and report, decodes the
-- I2C traffic to the chips on the stick's bus (MXL5003s tuner at 0xC6, LGS8GL5 demodulator at
-- 0x32/0x36, the message device at 0x50/0x51), matches each reply to the frame it answers and
-- flags what a debugging person must see (bad checksums, replies without a frame, short replies).
--
-- Load it with   tshark -X lua_script:tools/wireshark/kvsbda.lua -r capture.pcap -Y kvsbda
-- or copy it into Wireshark's personal Lua plugins folder.
--
-- It attaches to the stick's USB bulk and interrupt transfers by vendor and product id when the
-- capture holds the device descriptor, and by a heuristic on the endpoints otherwise: a device
-- whose bulk OUT endpoint 0x01 carries a well-formed bridge frame is taken as a stick from then on.
--
-- Replies leave the bridge in the order of their frames, so a reply answers the oldest frame of
-- that device still without one; a reset of the reply pipe (the driver's way of giving up on a
-- reply) empties the stick's endpoint, and the frames still waiting then get no reply.

local kvsbda = Proto("kvsbda", "KVS7100 receiver bridge")

-- Bit operations that work with the Lua of every Wireshark release (5.2's bit32, 5.3+ operators).
local band, rshift, bxor
if bit32 then
    band, rshift, bxor = bit32.band, bit32.rshift, bit32.bxor
else
    band = load("return function(a, b) return a & b end")()
    rshift = load("return function(a, n) return a >> n end")()
    bxor = load("return function(a, b) return a ~ b end")()
end

---------------------------------------------------------------------------------------------------
-- The protocol as data
---------------------------------------------------------------------------------------------------

-- USB identities of the stick: in its boot state, and running the firmware (whose descriptor
-- table presents 0x3344:0x1111 or the patched product id).
local STICK_IDS = { 0x33441122, 0x33441120, 0x33441111, 0x33441000, 0x05726688 }
local STICK_VENDORS = { [0x3344] = true, [0x0572] = true }

local EP_COMMAND = 0x01
local EP_REPLY = 0x81

local TRANSFER_ISOCHRONOUS, TRANSFER_INTERRUPT, TRANSFER_BULK = 0, 1, 3
local URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x1E

local COMMANDS = {
    [0x01] = "rom.dat download frame",
    [0x02] = "fw.bin download frame",
    [0x03] = "bridge register write",
    [0x04] = "I2C block write",
    [0x05] = "I2C register write list",
    [0x06] = "command 0x06 (stream restart)",
    [0x81] = "rom.dat final download frame",
    [0x82] = "fw.bin final download frame",
    [0x84] = "I2C read",
    [0x8A] = "start firmware",
    [0xE5] = "message read request",
    [0xF1] = "message first frame",
    [0xF2] = "message middle frame",
    [0xF3] = "message last frame",
    [0xF4] = "message only frame",
}

-- Chips on the stick's I2C bus, by 8-bit bus address.
local CHIPS = {
    [0xC6] = "tuner",
    [0x32] = "demodulator",
    [0x36] = "demodulator",
    [0x50] = "message device",
    [0x51] = "message device",
}
local CHIP_PARTS = {
    [0xC6] = "MXL5003s tuner",
    [0x32] = "LGS8GL5 demodulator",
    [0x36] = "LGS8GL5 demodulator, registers 0xC0-0xFF",
    [0x50] = "message device, write",
    [0x51] = "message device, read",
}

-- LGS8GL5 registers the driver uses, with the bit fields it reads or sets.
local DEMOD_REGISTERS = {
    [0x00] = { name = "probe" },
    [0x02] = { name = "soft reset", fields = { { "reset released (bit 0)", 0x01, 0 } } },
    [0x03] = { name = "control 0x03", fields = { { "bit 0", 0x01, 0 } } },
    [0x04] = { name = "search mode", fields = { { "search mode (bits 1..0)", 0x03, 0 } } },
    [0x07] = { name = "mode" },
    [0x09] = { name = "default 0x09" },
    [0x0A] = { name = "default 0x0A" },
    [0x0B] = { name = "default 0x0B" },
    [0x0C] = { name = "default 0x0C" },
    [0x37] = { name = "search option", fields = { { "search option (bit 7)", 0x80, 7 } } },
    [0x3E] = { name = "strength low" },
    [0x3F] = { name = "strength high" },
    [0x4B] = { name = "detection", fields = { { "first-stage detection (bit 7)", 0x80, 7 } } },
    [0x7C] = { name = "inversion", fields = { { "inversion (bit 7)", 0x80, 7 } } },
    [0x7D] = { name = "lock copy" },
    [0x7E] = { name = "control 0x7E", fields = { { "bit 0", 0x01, 0 } } },
    [0xA2] = { name = "lock value" },
    [0xA4] = { name = "lock status", fields = { { "lock status (bits 1..0, 01 = locked)", 0x03, 0 } } },
    [0xC5] = { name = "control 0xC5", fields = { { "bits 4..0", 0x1F, 0 } } },
}

-- MXL5003s registers whose meaning the stick's model gives; the others are numbered only.
local TUNER_REGISTERS = {
    [9] = { name = "control", values = { [0x00] = "sleep", [0xF0] = "wake",
        [0xB1] = "before a register list", [0xF3] = "after a register list" } },
    [14] = { name = "RF synthesiser integer", fields = { { "integer (bits 6..0)", 0x7F, 0 } } },
    [15] = { name = "RF synthesiser fraction, bits 17..10" },
    [16] = { name = "RF synthesiser fraction, bits 9..2" },
    [17] = { name = "RF synthesiser fraction, bits 1..0 in 7..6", fields = { { "fraction bits 1..0", 0xC0, 6 } } },
    [25] = { name = "register 25" },
    [53] = { name = "channel filter", bandwidth = true },
    [69] = { name = "divider select (bits 4..2)", fields = { { "divider select", 0x1C, 2 } } },
    [110] = { name = "divider select (bits 1..0)", fields = { { "divider select", 0x03, 0 } } },
    [111] = { name = "divider select (bits 5..4)", fields = { { "divider select", 0x30, 4 } } },
}
-- Register 53 bits 4..3 choose the channel filter.
local TUNER_BANDWIDTHS = { [0] = 8, [2] = 7, [3] = 6 }

-- Bridge reply byte 0.
local REPLY_STATUS = {
    [0x55] = "acknowledged",
    [0x00] = "not acknowledged",
}
local DOWNLOAD_REPLY = {
    [0x88] = "accepted",
    [0x77] = "accepted",
}

-- PID filter: pairs (register, value); registers 0x00..0x1F hold up to 16 entries, two bytes
-- each (low byte at the even register), and 0x20 is the filter control.
local PID_CONTROL_REGISTER = 0x20
local PID_MAX_ENTRIES = 16

-- Segmented messages.
local MESSAGE_TYPES = { [0x02] = "data", [0x03] = "control" }
local MESSAGE_PIECE_BYTES = 7

local REPORT_KEY, REPORT_STATUS = 0xAA, 0xBB
local KEY_REPORT_BYTES, STATUS_REPORT_BYTES = 6, 7

local TS_PACKET_BYTES = 188

---------------------------------------------------------------------------------------------------
-- Fields
---------------------------------------------------------------------------------------------------

local pf = {
    op = ProtoField.string("kvsbda.op", "Operation"),
    code = ProtoField.uint8("kvsbda.code", "Command", base.HEX, COMMANDS),
    count = ProtoField.uint8("kvsbda.count", "Count (bytes after byte 1)", base.DEC),
    padding = ProtoField.bytes("kvsbda.padding", "Bytes without meaning"),

    i2c_addr = ProtoField.uint8("kvsbda.i2c.addr", "I2C address", base.HEX, CHIP_PARTS),
    i2c_chip = ProtoField.string("kvsbda.i2c.chip", "Chip"),
    i2c_reg = ProtoField.uint8("kvsbda.i2c.reg", "Register", base.HEX),
    i2c_reg_name = ProtoField.string("kvsbda.i2c.reg_name", "Register name"),
    i2c_value = ProtoField.uint8("kvsbda.i2c.value", "Value", base.HEX),
    i2c_data = ProtoField.bytes("kvsbda.i2c.data", "Data"),
    i2c_length = ProtoField.uint8("kvsbda.i2c.length", "Length", base.DEC),
    i2c_field = ProtoField.string("kvsbda.i2c.field", "Field"),
    i2c_trailer = ProtoField.uint8("kvsbda.i2c.trailer", "Trailer", base.HEX),
    i2c_ack = ProtoField.bool("kvsbda.i2c.ack", "Acknowledged"),
    tuner_bandwidth = ProtoField.uint8("kvsbda.tuner.bandwidth", "Channel filter (MHz)", base.DEC),
    demod_locked = ProtoField.bool("kvsbda.demod.locked", "Demodulator locked"),

    bridge_reg = ProtoField.uint8("kvsbda.bridge.reg", "Bridge register", base.HEX),
    bridge_value = ProtoField.uint8("kvsbda.bridge.value", "Value", base.HEX),

    pid = ProtoField.uint16("kvsbda.pid", "PID", base.HEX),
    pid_entries = ProtoField.uint8("kvsbda.pid.entries", "PID entries", base.DEC),
    pid_mode = ProtoField.uint8("kvsbda.pid.mode", "PID filter mode", base.DEC),
    pid_control = ProtoField.uint8("kvsbda.pid.control", "Filter control (register 0x20)", base.HEX),

    dl_image = ProtoField.string("kvsbda.dl.image", "Image"),
    dl_final = ProtoField.bool("kvsbda.dl.final", "Final frame of the image"),
    dl_offset = ProtoField.uint32("kvsbda.dl.offset", "Image offset", base.DEC),
    dl_length = ProtoField.uint8("kvsbda.dl.length", "Data bytes", base.DEC),
    dl_data = ProtoField.bytes("kvsbda.dl.data", "Data"),
    dl_checksum = ProtoField.uint8("kvsbda.dl.checksum", "Checksum", base.HEX),
    dl_checksum_good = ProtoField.bool("kvsbda.dl.checksum.good", "Checksum matches"),

    msg_frame = ProtoField.string("kvsbda.msg.frame", "Message frame"),
    msg_type = ProtoField.uint8("kvsbda.msg.type", "Message type", base.HEX, MESSAGE_TYPES),
    msg_length_byte = ProtoField.uint8("kvsbda.msg.length_byte", "Length byte (n + 1, mod 256)", base.DEC),
    msg_length = ProtoField.uint16("kvsbda.msg.length", "Message length", base.DEC),
    msg_index = ProtoField.uint16("kvsbda.msg.index", "Frame or piece number", base.DEC),
    msg_pieces = ProtoField.uint16("kvsbda.msg.pieces", "Pieces of the message", base.DEC),
    msg_request = ProtoField.uint8("kvsbda.msg.request", "Bytes asked for", base.DEC),
    msg_payload = ProtoField.bytes("kvsbda.msg.payload", "Payload bytes"),
    msg_total = ProtoField.uint16("kvsbda.msg.total", "Payload bytes sent in the message", base.DEC),

    reply_in = ProtoField.framenum("kvsbda.reply_in", "Reply in", base.NONE, frametype.RESPONSE),
    reply_to = ProtoField.framenum("kvsbda.reply_to", "Reply to", base.NONE, frametype.REQUEST),
    reply_status = ProtoField.uint8("kvsbda.reply.status", "Reply byte 0", base.HEX),
    reply_length = ProtoField.uint32("kvsbda.reply.length", "Reply bytes", base.DEC),
    reply_data = ProtoField.bytes("kvsbda.reply.data", "Reply data"),

    report_type = ProtoField.uint8("kvsbda.report", "Report type", base.HEX,
        { [REPORT_KEY] = "key", [REPORT_STATUS] = "status" }),
    key = ProtoField.uint8("kvsbda.key", "Key", base.HEX),
    key_event = ProtoField.uint8("kvsbda.key.event", "Key event", base.HEX, { [0x01] = "press" }),
    key_code = ProtoField.bytes("kvsbda.key.code", "Key code (bytes 2-5, as applications read it)"),
    key_address = ProtoField.uint8("kvsbda.key.address", "Remote address", base.HEX),
    lock = ProtoField.uint8("kvsbda.lock", "Lock", base.DEC, { [0] = "not locked", [1] = "locked" }),
    strength = ProtoField.uint16("kvsbda.strength", "Strength (bytes 5 and 3)", base.DEC),
    strength_low = ProtoField.uint8("kvsbda.strength.low", "Strength, low byte (byte 3)", base.HEX),
    strength_high = ProtoField.uint8("kvsbda.strength.high", "Strength, high byte (byte 5)", base.HEX),
    quality = ProtoField.uint8("kvsbda.quality", "Quality", base.DEC),
    report_kept = ProtoField.uint8("kvsbda.report.byte6", "Byte 6", base.HEX),

    stream_bytes = ProtoField.uint32("kvsbda.stream.bytes", "Transport-stream bytes", base.DEC),
    stream_packets = ProtoField.uint32("kvsbda.stream.packets", "Whole 188-byte packets", base.DEC),
}
local field_list = {}
for _, field in pairs(pf) do field_list[#field_list + 1] = field end
kvsbda.fields = field_list

local ex = {
    checksum = ProtoExpert.new("kvsbda.checksum_bad", "Download checksum does not match",
        expert.group.CHECKSUM, expert.severity.ERROR),
    orphan = ProtoExpert.new("kvsbda.reply_without_frame", "Reply with no frame",
        expert.group.SEQUENCE, expert.severity.WARN),
    short_reply = ProtoExpert.new("kvsbda.reply_short", "Short reply",
        expert.group.MALFORMED, expert.severity.WARN),
    read_failed = ProtoExpert.new("kvsbda.reply_read_failed", "Reply read failed",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    no_reply = ProtoExpert.new("kvsbda.no_reply", "Frame got no reply",
        expert.group.SEQUENCE, expert.severity.WARN),
    nak = ProtoExpert.new("kvsbda.i2c_nak", "Chip did not acknowledge",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    refused = ProtoExpert.new("kvsbda.download_refused", "Download frame refused",
        expert.group.RESPONSE_CODE, expert.severity.ERROR),
    malformed = ProtoExpert.new("kvsbda.malformed", "Frame does not match its layout",
        expert.group.MALFORMED, expert.severity.ERROR),
    raw = ProtoExpert.new("kvsbda.raw_frame", "Command the driver itself does not send",
        expert.group.UNDECODED, expert.severity.NOTE),
    pid = ProtoExpert.new("kvsbda.pid_table_inconsistent", "Filter control disagrees with the entries",
        expert.group.PROTOCOL, expert.severity.WARN),
    short_report = ProtoExpert.new("kvsbda.report_short", "Report shorter than its layout",
        expert.group.MALFORMED, expert.severity.WARN),
    ignored_report = ProtoExpert.new("kvsbda.report_ignored", "Report type the driver ignores",
        expert.group.UNDECODED, expert.severity.NOTE),
    message = ProtoExpert.new("kvsbda.message_sequence", "Message frame out of sequence",
        expert.group.SEQUENCE, expert.severity.WARN),
}
kvsbda.experts = { ex.checksum, ex.orphan, ex.short_reply, ex.read_failed, ex.no_reply, ex.nak,
    ex.refused, ex.malformed, ex.raw, ex.pid, ex.short_report, ex.ignored_report, ex.message }

-- What the USB dissector found about each record.
local usb_endpoint = Field.new("usb.endpoint_address")
local usb_direction = Field.new("usb.irp_info.direction")
local usb_status = Field.new("usb.usbd_status")
local usb_device = Field.new("usb.device_address")
local usb_bus = Field.new("usb.bus_id")
local usb_transfer = Field.new("usb.transfer_type")
local usb_function = Field.new("usb.function")
local usb_data_len = Field.new("usb.data_len")

local function value_of(extractor)
    local info = extractor()
    return info and info.value or nil
end

---------------------------------------------------------------------------------------------------
-- Helpers
---------------------------------------------------------------------------------------------------

local function hex_bytes(tvb, offset, length)
    local parts = {}
    for i = 0, length - 1 do parts[#parts + 1] = string.format("%02X", tvb(offset + i, 1):uint()) end
    return table.concat(parts, " ")
end

local function byte_at(tvb, offset)
    return tvb(offset, 1):uint()
end

local function chip_name(address)
    return CHIPS[address] or string.format("device 0x%02X", address)
end

local function register_info(address, register)
    if address == 0x32 or address == 0x36 then return DEMOD_REGISTERS[register] end
    if address == 0xC6 then return TUNER_REGISTERS[register] end
    return nil
end

local function register_label(address, register)
    local info = register_info(address, register)
    if info then return string.format("0x%02X (%s)", register, info.name) end
    return string.format("0x%02X", register)
end

-- Adds the decoded bit fields of a register value; tvb_range is where the value stands.
local function add_value_fields(tree, tvb_range, address, register, value)
    local info = register_info(address, register)
    if not info then return "" end
    local notes = {}
    if info.values and info.values[value] then notes[#notes + 1] = info.values[value] end
    for _, field in ipairs(info.fields or {}) do
        local label, mask, shift = field[1], field[2], field[3]
        local bits = rshift(band(value, mask), shift)
        tree:add(pf.i2c_field, tvb_range, string.format("%s = %d", label, bits))
    end
    if info.bandwidth then
        local mhz = TUNER_BANDWIDTHS[rshift(band(value, 0x18), 3)]
        if mhz then
            tree:add(pf.tuner_bandwidth, tvb_range, mhz)
            notes[#notes + 1] = string.format("%d MHz", mhz)
        end
    end
    if (address == 0x32) and register == 0xA4 then
        local locked = band(value, 0x03) == 0x01
        tree:add(pf.demod_locked, tvb_range, locked)
        notes[#notes + 1] = locked and "locked" or "not locked"
    end
    if (address == 0x32) and register == 0x4B then
        notes[#notes + 1] = band(value, 0x80) ~= 0 and "detected" or "not detected"
    end
    if #notes == 0 then return "" end
    return " (" .. table.concat(notes, ", ") .. ")"
end

local function add_address(tree, tvb, offset)
    local address = byte_at(tvb, offset)
    tree:add(pf.i2c_addr, tvb(offset, 1))
    tree:add(pf.i2c_chip, tvb(offset, 1), chip_name(address))
    return address
end

local function add_register(tree, tvb, offset, address)
    local register = byte_at(tvb, offset)
    tree:add(pf.i2c_reg, tvb(offset, 1))
    local info = register_info(address, register)
    if info then tree:add(pf.i2c_reg_name, tvb(offset, 1), info.name) end
    return register
end

---------------------------------------------------------------------------------------------------
-- Per-device state of the first pass: frames waiting for their reply, the download position and
-- the message in progress. Results are kept per packet number for later passes.
---------------------------------------------------------------------------------------------------

local devices = {}   -- key "bus.device" -> state
local records = {}   -- packet number -> what the first pass found
local marked = {}    -- key -> true once the heuristic took the device as a stick

local function device_key(pinfo)
    return string.format("%d.%d", value_of(usb_bus) or 0, value_of(usb_device) or 0)
end

local function device_state(key)
    local state = devices[key]
    if not state then
        state = {
            waiting = {},             -- frames without reply, oldest first
            download = { image = nil, offset = 0 },
            message = nil,            -- outgoing message: frames and bytes so far
            pieces_left = 0,          -- pieces of an incoming message still to be asked for
            piece_index = 0,
            poll_waiting = false,     -- the last length poll still waits for its reply
        }
        devices[key] = state
    end
    return state
end

function kvsbda.init()
    devices = {}
    records = {}
    marked = {}
end

---------------------------------------------------------------------------------------------------
-- Command frames
---------------------------------------------------------------------------------------------------

-- Each frame decoder fills `tree` and returns the operation's name and a summary for the Info
-- column. `record` carries what the first pass worked out (download offset, message numbers).

local function count_fits(tvb, tree)
    local length = tvb:len()
    if length < 2 then
        tree:add_proto_expert_info(ex.malformed, "frame shorter than its header")
        return false
    end
    local count = byte_at(tvb, 1)
    tree:add(pf.count, tvb(1, 1))
    if count + 2 > length then
        tree:add_proto_expert_info(ex.malformed,
            string.format("byte 1 announces %d bytes, the frame carries %d", count, length - 2))
        return false
    end
    if count + 2 < length then
        tree:add(pf.padding, tvb(count + 2, length - count - 2))
    end
    return true
end

local function pid_table(tvb, pairs_count)
    -- The frame is a PID table when its registers run 0, 1, 2, ... and end with the control.
    local registers = {}
    for i = 0, pairs_count - 1 do registers[#registers + 1] = byte_at(tvb, 2 + 2 * i) end
    if #registers == 0 or registers[#registers] ~= PID_CONTROL_REGISTER then return nil end
    local entry_bytes = #registers - 1
    local entries = math.floor(entry_bytes / 2)
    if entry_bytes % 2 ~= 0 or entries > PID_MAX_ENTRIES then return nil end
    for i = 1, entry_bytes do
        if registers[i] ~= i - 1 then return nil end
    end
    return entries
end

local function decode_register_write(tvb, pinfo, tree)
    if not count_fits(tvb, tree) then return "bridge register write", "malformed" end
    local pairs_count = math.floor(byte_at(tvb, 1) / 2)
    local entries = pid_table(tvb, pairs_count)
    if not entries then
        local shown = {}
        for i = 0, pairs_count - 1 do
            local at = 2 + 2 * i
            local pair = tree:add(tvb(at, 2), string.format("Register 0x%02X = 0x%02X",
                byte_at(tvb, at), byte_at(tvb, at + 1)))
            pair:add(pf.bridge_reg, tvb(at, 1))
            pair:add(pf.bridge_value, tvb(at + 1, 1))
            shown[#shown + 1] = string.format("%02X=%02X", byte_at(tvb, at), byte_at(tvb, at + 1))
        end
        return "bridge register write", table.concat(shown, " ")
    end
    tree:add(pf.pid_entries, tvb(1, 1), entries)
    local pids = {}
    for i = 0, entries - 1 do
        local at = 2 + 4 * i
        local low, high = byte_at(tvb, at + 1), byte_at(tvb, at + 3)
        local value = low + 256 * high
        local entry = tree:add(tvb(at, 4), string.format("Entry %d: PID 0x%04X", i, value))
        entry:add(pf.pid, tvb(at, 4), value)
        entry:add(pf.bridge_reg, tvb(at, 1))
        entry:add(pf.bridge_value, tvb(at + 1, 1))
        entry:add(pf.bridge_reg, tvb(at + 2, 1))
        entry:add(pf.bridge_value, tvb(at + 3, 1))
        pids[#pids + 1] = string.format("0x%04X", value)
    end
    local at = 2 + 4 * entries
    local control = byte_at(tvb, at + 1)
    local control_item = tree:add(pf.pid_control, tvb(at + 1, 1))
    -- Control 0x80 + 2(n-1) for mode 0, 0x81 + 2(n-1) for mode 2, 0xA0 for any other mode.
    local mode_text
    if control == 0xA0 then
        mode_text = "mode other than 0 and 2"
        control_item:append_text(" (" .. mode_text .. ")")
    elseif control >= 0x80 and control < 0xA0 then
        local mode = band(control, 1) == 1 and 2 or 0
        local announced = rshift(control - 0x80, 1) + 1
        control_item:add(pf.pid_mode, tvb(at + 1, 1), mode)
        mode_text = string.format("mode %d", mode)
        control_item:append_text(string.format(" (%s, %d entries)", mode_text, announced))
        if announced ~= entries then
            control_item:add_proto_expert_info(ex.pid, string.format(
                "the control announces %d entries, the frame carries %d", announced, entries))
        end
    else
        mode_text = "control 0x" .. string.format("%02X", control)
        control_item:add_proto_expert_info(ex.pid, "filter control of no known mode")
    end
    return "PID table load", string.format("%s, %d entr%s: %s", mode_text, entries,
        entries == 1 and "y" or "ies", table.concat(pids, " "))
end

local function decode_i2c_write(tvb, pinfo, tree)
    local pass_through = tvb:len() == 64 and byte_at(tvb, 1) + 2 < 64
    local op = pass_through and "I2C pass-through write" or "I2C write"
    if not count_fits(tvb, tree) then return op, "malformed" end
    local count = byte_at(tvb, 1)
    if count < 2 then
        tree:add_proto_expert_info(ex.malformed, "no register after the address")
        return op, "malformed"
    end
    local address = add_address(tree, tvb, 2)
    local register = add_register(tree, tvb, 3, address)
    local data_bytes = count - 2
    local summary = string.format("%s 0x%02X, register %s", chip_name(address), address,
        register_label(address, register))
    if data_bytes > 0 then
        tree:add(pf.i2c_length, tvb(1, 1), data_bytes)
        -- The tuner takes registers 9 and 25 as (register, value, 0xFE).
        local value_bytes = data_bytes
        if address == 0xC6 and data_bytes == 2 and byte_at(tvb, 5) == 0xFE then value_bytes = 1 end
        tree:add(pf.i2c_data, tvb(4, value_bytes))
        summary = summary .. " = " .. hex_bytes(tvb, 4, value_bytes)
        if value_bytes == 1 then
            local value = byte_at(tvb, 4)
            tree:add(pf.i2c_value, tvb(4, 1))
            summary = summary .. add_value_fields(tree, tvb(4, 1), address, register, value)
        end
        if value_bytes < data_bytes then tree:add(pf.i2c_trailer, tvb(5, 1)) end
    end
    return op, summary
end

local function decode_i2c_register_writes(tvb, pinfo, tree)
    if not count_fits(tvb, tree) then return "I2C register write", "malformed" end
    local triplets = math.floor(byte_at(tvb, 1) / 3)
    if triplets == 0 then
        tree:add_proto_expert_info(ex.malformed, "no triplet")
        return "I2C register write", "malformed"
    end
    local shown = {}
    for i = 0, triplets - 1 do
        local at = 2 + 3 * i
        local sub = tree:add(tvb(at, 3), string.format("Write %d", i))
        local address = add_address(sub, tvb, at)
        local register = add_register(sub, tvb, at + 1, address)
        local value = byte_at(tvb, at + 2)
        sub:add(pf.i2c_value, tvb(at + 2, 1))
        local text = string.format("%s 0x%02X, register %s = %02X", chip_name(address), address,
            register_label(address, register), value)
        text = text .. add_value_fields(sub, tvb(at + 2, 1), address, register, value)
        sub:set_text(text)
        shown[#shown + 1] = text
    end
    return "I2C register write", table.concat(shown, "; ")
end

local function decode_i2c_read(tvb, pinfo, tree)
    local pass_through = tvb:len() == 64
    local op = pass_through and "I2C pass-through read" or "I2C read"
    if not count_fits(tvb, tree) then return op, "malformed" end
    if byte_at(tvb, 1) < 3 then
        tree:add_proto_expert_info(ex.malformed, "fewer than three operands")
        return op, "malformed"
    end
    local address = add_address(tree, tvb, 2)
    local register = add_register(tree, tvb, 3, address)
    tree:add(pf.i2c_length, tvb(4, 1))
    return op, string.format("%s 0x%02X, register %s, %d byte%s", chip_name(address), address,
        register_label(address, register), byte_at(tvb, 4), byte_at(tvb, 4) == 1 and "" or "s")
end

local function decode_download(tvb, pinfo, tree, record)
    local code = byte_at(tvb, 0)
    local final = code >= 0x80
    local image = band(code, 0x7F) == 1 and "rom.dat" or "fw.bin"
    local op = final and "firmware download end" or "firmware download"
    tree:add(pf.dl_image, tvb(0, 1), image)
    tree:add(pf.dl_final, tvb(0, 1), final)
    if tvb:len() < 4 then
        tree:add_proto_expert_info(ex.malformed, "frame shorter than one data byte and its checksum")
        return op, image .. ", malformed"
    end
    local n = byte_at(tvb, 1) + 1
    tree:add(pf.dl_length, tvb(1, 1), n)
    if n > 50 or tvb:len() ~= n + 3 then
        tree:add_proto_expert_info(ex.malformed, string.format(
            "%d data bytes announced in a frame of %d bytes (data frames carry 50)", n, tvb:len()))
        return op, image .. ", malformed"
    end
    if not final and n ~= 50 then
        tree:add_proto_expert_info(ex.malformed, "a data frame that is not the last carries 50 bytes")
    end
    tree:add(pf.dl_offset, tvb(2, n), record.offset or 0)
    tree:add(pf.dl_data, tvb(2, n))
    local sum = 0
    for i = 0, n - 1 do sum = (sum + byte_at(tvb, 2 + i)) % 256 end
    local checksum = byte_at(tvb, 2 + n)
    local item = tree:add(pf.dl_checksum, tvb(2 + n, 1))
    local good = sum == checksum
    tree:add(pf.dl_checksum_good, tvb(2 + n, 1), good)
    local summary = string.format("%s bytes %d-%d (%d), checksum 0x%02X", image, record.offset or 0,
        (record.offset or 0) + n - 1, n, checksum)
    if not good then
        item:add_proto_expert_info(ex.checksum, string.format(
            "checksum 0x%02X, the data sum to 0x%02X", checksum, sum))
        summary = summary .. " [BAD CHECKSUM]"
    end
    return op, summary
end

local function decode_message(tvb, pinfo, tree, record)
    local code = byte_at(tvb, 0)
    local length = tvb:len()
    if length < 2 then
        tree:add_proto_expert_info(ex.malformed, "frame shorter than its header")
        return "message frame", "malformed"
    end
    tree:add(pf.count, tvb(1, 1))
    local count = byte_at(tvb, 1)
    if record.sequence_fault then
        tree:add_proto_expert_info(ex.message, record.sequence_fault)
    end
    if code == 0xE5 then
        if length < 4 then
            tree:add_proto_expert_info(ex.malformed, "read request shorter than 4 bytes")
            return "message piece read", "malformed"
        end
        add_address(tree, tvb, 2)
        local k = byte_at(tvb, 3)
        tree:add(pf.msg_request, tvb(3, 1))
        if record.piece then
            tree:add(pf.msg_frame, tvb(0, 1), "piece read")
            tree:add(pf.msg_index, tvb(3, 1), record.piece)
            tree:add(pf.msg_pieces, tvb(3, 1), record.pieces)
            return "message piece read", string.format("piece %d of %d, %d byte%s",
                record.piece + 1, record.pieces, k, k == 1 and "" or "s")
        end
        tree:add(pf.msg_frame, tvb(0, 1), "length poll")
        return "message length poll", string.format("%d byte", k)
    end
    if count + 2 > length then
        tree:add_proto_expert_info(ex.malformed, string.format(
            "byte 1 announces %d bytes, the frame carries %d", count, length - 2))
    end
    if code == 0xF4 or code == 0xF1 then
        if length < 5 then
            tree:add_proto_expert_info(ex.malformed, "first frame shorter than 5 bytes")
            return "message first frame", "malformed"
        end
        add_address(tree, tvb, 2)
        tree:add(pf.msg_length_byte, tvb(3, 1))
        tree:add(pf.msg_type, tvb(4, 1))
        local message_type = byte_at(tvb, 4)
        if code == 0xF4 and message_type == 0x03 then
            tree:add(pf.msg_frame, tvb(0, 1), "control")
            return "message control", "short control frame"
        end
        local carried = math.max(0, math.min(count - 3, length - 5))
        if carried > 0 then tree:add(pf.msg_payload, tvb(5, carried)) end
        local n = (byte_at(tvb, 3) + 255) % 256
        if code == 0xF4 then
            tree:add(pf.msg_frame, tvb(0, 1), "only")
            tree:add(pf.msg_length, tvb(3, 1), n)
            return "message only frame", string.format("%d payload byte%s", carried,
                carried == 1 and "" or "s")
        end
        tree:add(pf.msg_frame, tvb(0, 1), "first")
        return "message first frame", string.format("length byte %d (n mod 256 = %d), 7 payload bytes",
            byte_at(tvb, 3), n)
    end
    local carried = math.max(0, math.min(count, length - 2))
    if carried > 0 then tree:add(pf.msg_payload, tvb(2, carried)) end
    if record.index then tree:add(pf.msg_index, tvb(0, 1), record.index) end
    if code == 0xF2 then
        tree:add(pf.msg_frame, tvb(0, 1), "middle")
        return "message middle frame", string.format("continuation %d, %d bytes",
            (record.index or 0), carried)
    end
    tree:add(pf.msg_frame, tvb(0, 1), "last")
    local summary = string.format("continuation %d, %d byte%s", (record.index or 0), carried,
        carried == 1 and "" or "s")
    if record.total then
        local total_item = tree:add(pf.msg_total, tvb(0, 1), record.total)
        summary = summary .. string.format(", message of %d bytes", record.total)
        if record.length_byte and (record.total + 1) % 256 ~= record.length_byte then
            total_item:add_proto_expert_info(ex.message, string.format(
                "%d payload bytes sent, the first frame announced length byte %d",
                record.total, record.length_byte))
        end
    end
    return "message last frame", summary
end

-- The first pass's bookkeeping for a frame: download offsets and message numbering.
local function track_frame(state, tvb, record)
    local code = byte_at(tvb, 0)
    local length = tvb:len()
    if code == 0x01 or code == 0x02 or code == 0x81 or code == 0x82 then
        local image = band(code, 0x7F)
        local download = state.download
        if download.image ~= image then
            download.image = image
            download.offset = 0
        end
        record.offset = download.offset
        if length >= 4 then download.offset = download.offset + byte_at(tvb, 1) + 1 end
        if code >= 0x80 then download.image = nil end  -- the next frame starts an image afresh
        return
    end
    if code == 0xF1 or code == 0xF4 then
        if state.message and code == 0xF1 then
            record.sequence_fault = "a first frame while another message is open"
        end
        state.message = nil
        if code == 0xF1 and length >= 5 then
            state.message = { index = 0, total = 7, length_byte = byte_at(tvb, 3) }
        end
        return
    end
    if code == 0xF2 or code == 0xF3 then
        local message = state.message
        if not message then
            record.sequence_fault = "a continuation with no first frame before it"
            return
        end
        record.index = message.index
        message.index = message.index + 1
        local carried = length >= 2 and math.min(byte_at(tvb, 1), length - 2) or 0
        message.total = message.total + carried
        if code == 0xF3 then
            record.total = message.total
            record.length_byte = message.length_byte
            state.message = nil
        end
        return
    end
    if code == 0xE5 and length >= 4 then
        if state.pieces_left > 0 then
            record.piece = state.piece_index
            record.pieces = state.piece_index + state.pieces_left
            state.piece_index = state.piece_index + 1
            state.pieces_left = state.pieces_left - 1
        else
            record.poll = true
        end
    end
end

local FRAME_DECODERS = {
    [0x03] = decode_register_write,
    [0x04] = decode_i2c_write,
    [0x05] = decode_i2c_register_writes,
    [0x84] = decode_i2c_read,
}

local function decode_frame(tvb, pinfo, tree, record)
    local code = byte_at(tvb, 0)
    tree:add(pf.code, tvb(0, 1))
    local decoder = FRAME_DECODERS[code]
    if decoder then return decoder(tvb, pinfo, tree) end
    if code == 0x06 or code == 0x8A then
        if tvb:len() >= 2 then tree:add(pf.count, tvb(1, 1)) end
        if code == 0x06 then return "stream restart", "command 0x06" end
        return "start firmware", "the bridge starts the downloaded program"
    end
    if code == 0x01 or code == 0x02 or code == 0x81 or code == 0x82 then
        return decode_download(tvb, pinfo, tree, record)
    end
    if code == 0xE5 or (code >= 0xF1 and code <= 0xF4) then
        return decode_message(tvb, pinfo, tree, record)
    end
    tree:add_proto_expert_info(ex.raw, string.format("command 0x%02X", code))
    return "raw frame", hex_bytes(tvb, 0, math.min(tvb:len(), 16)) .. (tvb:len() > 16 and " ..." or "")
end

---------------------------------------------------------------------------------------------------
-- Replies
---------------------------------------------------------------------------------------------------

-- Bytes a reply needs to carry what its frame asks for: the leading byte and the data of a read,
-- the verdict byte otherwise.
local function reply_bytes_needed(frame)
    if frame.code == 0x84 and frame.read_count then return frame.read_count + 1 end
    if frame.code == 0xE5 and frame.read_count then return frame.read_count + 1 end
    return 1
end

local function decode_reply(tvb, pinfo, tree, record)
    local frame = record.frame
    local length = tvb:len()
    tree:add(pf.reply_length, length):set_generated()
    if not frame then
        tree:add_proto_expert_info(ex.orphan)
        if length > 0 then tree:add(pf.reply_data, tvb(0, length)) end
        return "reply with no frame", string.format("%d bytes", length)
    end
    tree:add(pf.reply_to, frame.number):set_generated()
    local op = frame.op .. " reply"
    local summary = string.format("to frame %d", frame.number)
    if record.failed then
        tree:add_proto_expert_info(ex.read_failed, string.format("USBD status 0x%08X", record.failed))
        return "reply read failed", summary .. string.format(" (%s), USBD status 0x%08X", frame.op,
            record.failed)
    end
    local needed = reply_bytes_needed(frame)
    if length < needed then
        tree:add_proto_expert_info(ex.short_reply, string.format(
            "%d byte%s, the frame needs %d", length, length == 1 and "" or "s", needed))
        summary = summary .. string.format(", short: %d of %d bytes", length, needed)
        if length == 0 then return op, summary end
    end
    local status = byte_at(tvb, 0)
    local status_item = tree:add(pf.reply_status, tvb(0, 1))
    if frame.download then
        local verdict = DOWNLOAD_REPLY[status]
        status_item:append_text(" (" .. (verdict or "refused") .. ")")
        if not verdict then
            status_item:add_proto_expert_info(ex.refused, string.format(
                "the boot code answered 0x%02X, not 0x88 or 0x77", status))
            return op, summary .. string.format(", refused (0x%02X)", status)
        end
        return op, summary .. ", accepted"
    end
    if frame.i2c then
        status_item:append_text(" (" .. (REPLY_STATUS[status] or "unknown") .. ")")
        local acknowledged = status == 0x55
        tree:add(pf.i2c_ack, tvb(0, 1), acknowledged)
        if not acknowledged then
            status_item:add_proto_expert_info(ex.nak, string.format("%s 0x%02X did not acknowledge",
                chip_name(frame.address or 0), frame.address or 0))
            summary = summary .. ", not acknowledged"
        end
    end
    if frame.read_count and length > 1 then
        local data_length = math.min(length - 1, frame.read_count)
        tree:add(pf.reply_data, tvb(1, data_length))
        if frame.code == 0xE5 then
            if frame.poll then
                local l = byte_at(tvb, 1)
                tree:add(pf.msg_length, tvb(1, 1), l)
                return op, summary .. string.format(", message length %d", l)
            end
            return op, summary .. ", " .. hex_bytes(tvb, 1, data_length)
        end
        tree:add(pf.i2c_addr, frame.address):set_generated()
        tree:add(pf.i2c_chip, chip_name(frame.address)):set_generated()
        tree:add(pf.i2c_reg, frame.register):set_generated()
        local info = register_info(frame.address, frame.register)
        if info then tree:add(pf.i2c_reg_name, info.name):set_generated() end
        local value = byte_at(tvb, 1)
        tree:add(pf.i2c_value, tvb(1, 1))
        summary = summary .. string.format(", %s 0x%02X register %s = %s", chip_name(frame.address),
            frame.address, register_label(frame.address, frame.register), hex_bytes(tvb, 1, data_length))
        if data_length == 1 then
            summary = summary .. add_value_fields(tree, tvb(1, 1), frame.address, frame.register, value)
        end
        return op, summary
    end
    if length > 1 then tree:add(pf.reply_data, tvb(1, length - 1)) end
    return op, summary
end

---------------------------------------------------------------------------------------------------
-- Interrupt reports and the stream
---------------------------------------------------------------------------------------------------

local function decode_report(tvb, pinfo, tree)
    local length = tvb:len()
    local report_type = byte_at(tvb, 0)
    tree:add(pf.report_type, tvb(0, 1))
    if report_type == REPORT_KEY then
        if length < KEY_REPORT_BYTES then
            tree:add_proto_expert_info(ex.short_report, string.format("%d of %d bytes", length,
                KEY_REPORT_BYTES))
            return "key report", "short"
        end
        tree:add(pf.key_event, tvb(1, 1))
        tree:add(pf.key_code, tvb(2, 4))
        -- The remote sends an address, its complement, the key and its complement.
        tree:add(pf.key_address, tvb(2, 1))
        local key_item = tree:add(pf.key, tvb(4, 1))
        local key = byte_at(tvb, 4)
        if bxor(key, byte_at(tvb, 5)) ~= 0xFF then
            key_item:append_text(" (byte 5 is not its complement)")
        end
        return "key report", string.format("key 0x%02X, code %s", key, hex_bytes(tvb, 2, 4))
    end
    if report_type == REPORT_STATUS then
        if length < STATUS_REPORT_BYTES then
            tree:add_proto_expert_info(ex.short_report, string.format("%d of %d bytes", length,
                STATUS_REPORT_BYTES))
            return "status report", "short"
        end
        local lock = byte_at(tvb, 2)
        local strength = byte_at(tvb, 3) + 256 * byte_at(tvb, 5)
        tree:add(pf.lock, tvb(2, 1))
        local strength_item = tree:add(pf.strength, tvb(3, 3), strength)
        strength_item:add(pf.strength_low, tvb(3, 1))
        strength_item:add(pf.strength_high, tvb(5, 1))
        tree:add(pf.quality, tvb(4, 1))
        tree:add(pf.report_kept, tvb(6, 1))
        return "status report", string.format("%s, strength %d, quality %d",
            lock ~= 0 and "locked" or "not locked", strength, byte_at(tvb, 4))
    end
    tree:add_proto_expert_info(ex.ignored_report, string.format("type 0x%02X", report_type))
    return "ignored report", string.format("type 0x%02X", report_type)
end

---------------------------------------------------------------------------------------------------
-- The first pass: who answers whom
---------------------------------------------------------------------------------------------------

local function frame_facts(tvb, op, number)
    local code = byte_at(tvb, 0)
    local facts = { number = number, op = op, code = code }
    if code == 0x01 or code == 0x02 or code == 0x81 or code == 0x82 then facts.download = true end
    if code == 0x04 or code == 0x05 or code == 0x84 then
        facts.i2c = true
        if tvb:len() >= 3 then facts.address = byte_at(tvb, 2) end
    end
    if code == 0x84 and tvb:len() >= 5 then
        facts.register = byte_at(tvb, 3)
        facts.read_count = byte_at(tvb, 4)
    end
    if code == 0xE5 and tvb:len() >= 4 then facts.read_count = byte_at(tvb, 3) end
    return facts
end

local function first_pass_reply(state, tvb, pinfo, record, failed)
    if failed then
        -- The frame keeps waiting: its reply may still come with a later read.
        record.frame = state.waiting[1]
        record.failed = failed
        return
    end
    local frame = table.remove(state.waiting, 1)
    record.frame = frame
    if not frame then return end
    frame.reply = pinfo.number
    local length = tvb:len()
    if frame.download and length >= 1 then
        local reply = byte_at(tvb, 0)
        if not DOWNLOAD_REPLY[reply] then state.download.image = nil end  -- the driver starts over
    end
    if frame.code == 0xE5 and frame.poll then
        -- A length poll answered with L > 0 opens floor(L / 7) + 1 piece requests.
        local l = length >= 2 and byte_at(tvb, 1) or 0
        if l > 0 then
            state.pieces_left = math.floor(l / MESSAGE_PIECE_BYTES) + 1
            state.piece_index = 0
        end
    end
end

---------------------------------------------------------------------------------------------------
-- Dissection
---------------------------------------------------------------------------------------------------

local function classify(pinfo)
    local endpoint = value_of(usb_endpoint)
    local transfer = value_of(usb_transfer)
    local completed = value_of(usb_direction) == 1
    if endpoint == nil or transfer == nil then return nil end
    if transfer == TRANSFER_INTERRUPT then return completed and "report" or nil end
    if transfer ~= TRANSFER_BULK then return nil end
    if endpoint == EP_COMMAND then return completed and nil or "frame" end
    if endpoint == EP_REPLY then return completed and "reply" or nil end
    if band(endpoint, 0x80) ~= 0 then return completed and "stream" or nil end
    return nil
end

local function dissect(tvb, pinfo, root)
    local kind = classify(pinfo)
    if not kind then return 0 end
    local status = value_of(usb_status) or 0
    local length = tvb:len()
    -- A record without payload: only a reply read that came back failed or empty says anything.
    if length == 0 and kind ~= "reply" then return 0 end
    if kind == "report" and status ~= 0 then return 0 end

    local key = device_key(pinfo)
    marked[key] = true
    local record = records[pinfo.number]
    local first = record == nil
    if first then
        record = {}
        records[pinfo.number] = record
        local state = device_state(key)
        if kind == "frame" then
            track_frame(state, tvb, record)
        elseif kind == "reply" then
            first_pass_reply(state, tvb, pinfo, record, status ~= 0 and status or nil)
        end
    end

    pinfo.cols.protocol = "KVSBDA"
    local tree = root:add(kvsbda, tvb())
    local op, summary
    if kind == "frame" then
        op, summary = decode_frame(tvb, pinfo, tree, record)
        if first then
            local facts = frame_facts(tvb, op, pinfo.number)
            facts.poll = record.poll
            record.facts = facts
            table.insert(device_state(key).waiting, facts)
        end
        if record.facts.reply then
            tree:add(pf.reply_in, record.facts.reply):set_generated()
        elseif pinfo.visited then
            tree:add_proto_expert_info(ex.no_reply)
        end
    elseif kind == "reply" then
        op, summary = decode_reply(tvb, pinfo, tree, record)
    elseif kind == "report" then
        op, summary = decode_report(tvb, pinfo, tree)
    else
        op = "transport stream"
        tree:add(pf.stream_bytes, length):set_generated()
        tree:add(pf.stream_packets, math.floor(length / TS_PACKET_BYTES)):set_generated()
        summary = string.format("%d bytes", length)
    end
    tree:add(pf.op, op):set_generated()
    tree:append_text(": " .. op)
    pinfo.cols.info = op .. (summary and summary ~= "" and (": " .. summary) or "")
    return length > 0 and length or 1
end

kvsbda.dissector = dissect

---------------------------------------------------------------------------------------------------
-- Registration
---------------------------------------------------------------------------------------------------

local products = DissectorTable.get("usb.product")
for _, id in ipairs(STICK_IDS) do products:add(id, kvsbda) end

-- The heuristic: a bulk OUT frame on endpoint 0x01 that fits the bridge's layouts marks the device;
-- everything on the marked device's bulk and interrupt pipes is then the stick's.
local function looks_like_frame(tvb)
    local length = tvb:len()
    if length < 2 or length > 128 then return false end
    local code = byte_at(tvb, 0)
    local count = byte_at(tvb, 1)
    if code == 0x04 or code == 0x05 or code == 0x03 then
        return count + 2 <= length and count >= 2 and (code ~= 0x05 or count % 3 == 0)
            and (code ~= 0x03 or count % 2 == 0)
    end
    if code == 0x84 then return length >= 5 and count == 3 end
    if code == 0x06 or code == 0x8A then return length == 2 and count == 0 end
    if code == 0x01 or code == 0x02 or code == 0x81 or code == 0x82 then
        return length == count + 4
    end
    if code == 0xE5 then return length == 12 and count == 2 end
    if code >= 0xF1 and code <= 0xF4 then return length == 12 end
    return false
end

local function heuristic(tvb, pinfo, root)
    local key = device_key(pinfo)
    if not marked[key] then
        if classify(pinfo) ~= "frame" or not looks_like_frame(tvb) then return false end
        marked[key] = true
    end
    local taken = dissect(tvb, pinfo, root)
    return taken ~= nil and taken > 0
end
kvsbda:register_heuristic("usb.bulk", heuristic)
kvsbda:register_heuristic("usb.interrupt", heuristic)

-- Records without payload reach no subdissector: a reply read that failed or came back empty,
-- and the reset of the reply pipe (a request record). A postdissector sees them on the devices
-- taken as sticks: a failed read leaves its frame waiting (the reply may come with a later
-- read), an empty reply answers its frame with nothing, and a reset empties the stick's reply
-- endpoint, so that the frames still waiting get no reply.
local kvsbda_empty = Proto("kvsbda_empty", "KVS7100 bridge records without payload")
function kvsbda_empty.dissector(tvb, pinfo, root)
    if (value_of(usb_data_len) or 0) ~= 0 then return end
    local key = device_key(pinfo)
    if not marked[key] then return end
    local endpoint = value_of(usb_endpoint)
    local completed = value_of(usb_direction) == 1
    local is_reset = value_of(usb_function) == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL
    if endpoint ~= EP_REPLY then return end
    if is_reset then
        if completed then return end
        local record = records[pinfo.number]
        if not record then
            record = { reset = true }
            records[pinfo.number] = record
            local state = device_state(key)
            record.dropped = #state.waiting
            state.waiting = {}
        end
        local tree = root:add(kvsbda, tvb(0, 0))
        tree:add(pf.op, "reply pipe reset"):set_generated()
        tree:append_text(": reply pipe reset")
        pinfo.cols.protocol = "KVSBDA"
        pinfo.cols.info = string.format("reply pipe reset: %d frame%s left without reply",
            record.dropped, record.dropped == 1 and "" or "s")
        return
    end
    if not completed or value_of(usb_transfer) ~= TRANSFER_BULK then return end
    dissect(tvb(0, 0):tvb(), pinfo, root)
end
register_postdissector(kvsbda_empty)
