#!/bin/sh
# Lists the segmented-message frames of a capture, one line each: the frame's code, byte 1 (the
# count), byte 3 (the length byte of a first or only frame, k of a read request), and the reply
# read that follows it on bulk IN 0x81 (its received bytes, and for a read request the data after
# the leading byte). A frame not followed by its reply read before the next frame is marked.
# Usage: check_message_capture.sh TSHARK CAPTURE
set -eu
tshark=$1
capture=$2
"$tshark" -r "$capture" -T fields -e usb.endpoint_address -e usb.irp_info.direction \
    -e usb.data_len -e usb.capdata 2>/dev/null |
awk -F'\t' '
function hex(text,    i, value) {
    value = 0
    for (i = 1; i <= length(text); i++) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
    return value
}
function flush() {
    if (pending != "") { print pending " reply=none"; pending = "" }
}
$1 == "0x01" && $2 == "0x00" && $4 ~ /^(f1|f2|f3|f4|e5)/ {
    flush()
    code = substr($4, 1, 2); count = hex(substr($4, 3, 2))
    pending = code " count=" count
    if (code == "f1" || code == "f4" || code == "e5")
        pending = pending " byte3=" hex(substr($4, 7, 2))
    next
}
$1 == "0x01" && $2 == "0x00" { flush(); next }
$1 == "0x81" && $2 == "0x01" && pending != "" {
    line = pending " reply=" $3
    if (pending ~ /^e5/) line = line " data=" substr($4, 3)
    print line
    pending = ""
}
END { flush() }'
