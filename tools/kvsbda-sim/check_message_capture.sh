#!/bin/sh
# Lists the segmented-message frames of a capture as the stick's Wireshark dissector names them,
# one line each: the operation, byte 1 (the count), the length byte of a first or only frame or
# the bytes a read request asks for, and the reply that answers the frame (its bytes, and for a
# read request the data after the leading byte). A frame without a reply is marked.
# Usage: check_message_capture.sh TSHARK DISSECTOR CAPTURE
set -eu
tshark=$1
dissector=$2
capture=$3
"$tshark" -2 -n -X "lua_script:$dissector" -r "$capture" -T fields -E occurrence=f \
    -e frame.number -e kvsbda.op -e kvsbda.count -e kvsbda.msg.length_byte -e kvsbda.msg.request \
    -e kvsbda.reply_in -e kvsbda.reply.length -e kvsbda.reply.data \
    -Y 'kvsbda.msg.frame || kvsbda.reply_to' 2>/dev/null |
awk -F'\t' '
$2 ~ / reply$/ { length_of[$1] = $7; data_of[$1] = $8; next }
$2 ~ /^message / { frames[++n] = $0 }
END {
    for (i = 1; i <= n; i++) {
        split(frames[i], f, "\t")
        line = f[2] " count=" f[3]
        if (f[4] != "") line = line " length=" f[4]
        if (f[5] != "") line = line " k=" f[5]
        if (f[6] == "") { print line " reply=none"; continue }
        line = line " reply=" length_of[f[6]]
        if (f[5] != "") line = line " data=" data_of[f[6]]
        print line
    }
}'
