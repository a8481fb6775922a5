#!/usr/bin/env bash
# kvsbda-sim ends a command that wrote a capture with the tshark line that reads it: that line,
# run as printed, must read the capture through the dissector (a raw frame 06 00 reads as the
# stream restart and its reply).
# Usage: check_printed_line.sh KVSBDA_SIM WORK_DIR
set -euo pipefail
sim=$1 work=$2
mkdir -p "$work"
cd "$work"
line=$("$sim" --pcap "printed line.pcap" raw --frame 0600 | sed -n 's/^  read it with: //p')
[ -n "$line" ] || { echo "kvsbda-sim printed no tshark line"; exit 1; }
echo "$line"
ops=$(eval "$line -T fields -e kvsbda.op" 2>/dev/null | tr '\n' ';')
echo "$ops"
case "$ops" in
    *"stream restart;stream restart reply;"*) ;;
    *) echo "the printed line does not read the raw frame"; exit 1 ;;
esac
