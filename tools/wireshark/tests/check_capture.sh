#!/usr/bin/env bash
# Makes a capture with kvsbda-sim and reads it through the Wireshark dissector:
#  - every frame on the command pipe, every reply read, every interrupt report and every bulk
#    stream read is named (kvsbda.op), and no reply is left without its frame;
#  - what the dissector reads of the command pipe (frames and replies in order, frame numbers
#    left out) and of the key reports matches a golden text file.
# With --image SYS the capture comes from the Windows build of the driver under emulation and must
# read exactly as the host build's golden; exits 77 (skipped) when SYS does not exist.
# KVSBDA_UPDATE_GOLDENS=1 writes the golden instead of comparing (check the result by hand).
# Usage: check_capture.sh TSHARK DISSECTOR KVSBDA_SIM GOLDEN WORK_DIR NAME [--image SYS] -- ARGS...
set -euo pipefail
tshark=$1 dissector=$2 sim=$3 golden=$4 work=$5 name=$6
shift 6
image=()
if [ "${1:-}" = "--image" ]; then
    if [ ! -f "$2" ]; then
        echo "no driver image at $2 (build the windows-kernel preset first): skipped"
        exit 77
    fi
    image=(--image "$2")
    shift 2
fi
[ "${1:-}" = "--" ] && shift
mkdir -p "$work"
capture="$work/$name.pcap"
if ! "$sim" "${image[@]}" --pcap "$capture" "$@" >"$work/$name.txt" 2>&1; then
    echo "kvsbda-sim failed:"
    cat "$work/$name.txt"
    exit 1
fi

# One line per record: number, endpoint, transfer type, completion, bytes, status, operation, Info.
"$tshark" -2 -n -X "lua_script:$dissector" -r "$capture" -T fields -E occurrence=f \
    -e frame.number -e usb.endpoint_address -e usb.transfer_type -e usb.irp_info.direction \
    -e usb.data_len -e usb.usbd_status -e kvsbda.op -e _ws.col.Info \
    >"$work/$name.fields" 2>"$work/$name.tshark.err" || {
    echo "tshark failed:"
    cat "$work/$name.tshark.err"
    exit 1
}

unnamed=$(awk -F'\t' '
    $2 == "0x01" && $4 == "0" && $5 > 0 && $7 == "" { print "frame " $1 ": command frame" }
    $2 == "0x81" && $3 == "0x03" && $4 == "1" && $7 == "" { print "frame " $1 ": reply read" }
    $3 == "0x01" && $4 == "1" && $5 > 0 && $6 == "0x00000000" && $7 == "" { print "frame " $1 ": report" }
    $3 == "0x03" && $2 != "0x81" && $4 == "1" && $5 > 0 && $7 == "" { print "frame " $1 ": stream read" }
    $7 == "reply with no frame" { print "frame " $1 ": reply with no frame" }' "$work/$name.fields")
if [ -n "$unnamed" ]; then
    echo "records the dissector did not name or could not match:"
    echo "$unnamed"
    exit 1
fi

# The reading: the command pipe in order, then the key reports in order. When the interrupt pipe
# brings a report follows the clock, and so do how many status reports come and what each says.
awk -F'\t' '
    $7 == "" || $7 == "transport stream" || $7 == "status report" { next }
    { info = $8; gsub(/to frame [0-9]+(, )?/, "", info); sub(/: $/, "", info) }
    $7 == "key report" { keys[++n] = info; next }
    { print info }
    END { for (i = 1; i <= n; i++) print keys[i] }' "$work/$name.fields" >"$work/$name.reading"

if [ "${KVSBDA_UPDATE_GOLDENS:-0}" = 1 ] && [ ${#image[@]} -eq 0 ]; then
    cp "$work/$name.reading" "$golden"
    echo "wrote $golden ($(wc -l <"$golden") lines)"
    exit 0
fi
if ! diff -u "$golden" "$work/$name.reading"; then
    echo "the capture does not read as $golden"
    exit 1
fi
echo "$name: $(wc -l <"$work/$name.reading") lines read as the golden; every record named"
