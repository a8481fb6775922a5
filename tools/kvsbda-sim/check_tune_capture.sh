#!/bin/sh
# Checks the wire of a locked tune: the tune's chip accesses (I2C frames on bulk OUT 0x01), then
# the PID table load frame 03 06 00 FF 01 1F 20 81, then the stream's first read - none before.
# Usage: check_tune_capture.sh TSHARK CAPTURE
set -eu
tshark=$1
capture=$2
fields=$("$tshark" -r "$capture" -T fields -e frame.number -e usb.endpoint_address \
    -e usb.transfer_type -e usb.capdata)
pid=$(echo "$fields" | awk -F'\t' '$4=="030600ff011f2081" {print $1; exit}')
[ -n "$pid" ] || { echo "no PID table load"; exit 1; }
chipBefore=$(echo "$fields" | awk -F'\t' -v pid="$pid" \
    '$1 < pid && $2=="0x01" && $4 ~ /^(04|05|84)/ {n++} END {print n+0}')
firstStream=$(echo "$fields" | awk -F'\t' '($3=="0x00" || $2=="0x88") {print $1; exit}')
echo "chip accesses before the PID table load: $chipBefore; PID table load: frame $pid;" \
    "first stream read: frame ${firstStream:-none}"
[ "$chipBefore" -ge 50 ] || { echo "the tune did not come first"; exit 1; }
[ -n "$firstStream" ] && [ "$pid" -lt "$firstStream" ] || { echo "stream not after the load"; exit 1; }
