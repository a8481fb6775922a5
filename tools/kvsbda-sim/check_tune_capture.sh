#!/bin/sh
# Checks the wire of a locked tune, read through the stick's Wireshark dissector: the tune's chip
# accesses (I2C frames), then the default PID table load (PID 0x1FFF, mode 2), then the stream's
# first read - none before.
# Usage: check_tune_capture.sh TSHARK DISSECTOR CAPTURE
set -eu
tshark=$1
dissector=$2
capture=$3
fields=$("$tshark" -n -X "lua_script:$dissector" -r "$capture" -T fields -E occurrence=f \
    -e frame.number -e kvsbda.op -e kvsbda.pid -e kvsbda.pid.mode \
    -Y 'kvsbda.code || usb.transfer_type == 0 || usb.endpoint_address == 0x88')
pid=$(echo "$fields" | awk -F'\t' '$2 == "PID table load" && $3 == "0x1fff" && $4 == "2" {print $1; exit}')
[ -n "$pid" ] || { echo "no PID table load"; exit 1; }
chipBefore=$(echo "$fields" | awk -F'\t' -v pid="$pid" \
    '$1 < pid && $2 ~ /^I2C (write|register write|read)$/ {n++} END {print n+0}')
firstStream=$(echo "$fields" | awk -F'\t' '$2 == "" {print $1; exit}')
echo "chip accesses before the PID table load: $chipBefore; PID table load: frame $pid;" \
    "first stream read: frame ${firstStream:-none}"
[ "$chipBefore" -ge 50 ] || { echo "the tune did not come first"; exit 1; }
[ -n "$firstStream" ] && [ "$pid" -lt "$firstStream" ] || { echo "stream not after the load"; exit 1; }
