#!/usr/bin/env bash
# Runs kvsbda-sim commands once with the host-compiled driver and once with the Windows image
# under emulation, and checks that both put the same bytes on the wire (scripts/compare_captures.py)
# and print the same debug lines and summaries, that watch writes identical files, and that the
# image returns all its pool after removal.
# Usage: image_vs_host.sh KVSBDA_SIM KVSBDA_SYS COMPARE_SCRIPT WORK_DIR [WATCH_SECONDS]
# The environment variable KVSBDA_SYS, when set, names the image instead (as for the other image
# checks). Exits 77 (skipped) when the image has not been built.
set -euo pipefail
sim=$1
sys=${KVSBDA_SYS:-$2}
compare=$3
work=$4
watch_seconds=${5:-1}
if [ ! -f "$sys" ]; then
    echo "no driver image at $sys (build the windows-kernel preset first): skipped"
    exit 77
fi
mkdir -p "$work"
# The simulated demodulator acquires a signal after a delay on the real clock; how often the
# driver polls it depends on the speed of the run. A transmitter that locks at once makes the
# wire independent of speed.
air="474000,name=DS-13,detect_ms=0,lock_ms=0"
# For watch, its stream is also there whenever the stick reads (every read leaves full, so the
# reads the driver drops after the start carry the same bytes in both runs) and ends after a
# programme of 20,000 packets, well inside the watch: both files hold the same packets, from the
# same first to the same last.
watch_air="$air,rate=0,packets=20000"
failed=0

# Runs one command line both ways; "@RUN@" in an argument becomes "host" or "image".
run_pair() {
    local name=$1
    shift
    local out_host="$work/$name.host" out_image="$work/$name.image"
    "$sim" --pcap "$out_host.pcap" "${@//@RUN@/host}" >"$out_host.txt" 2>&1 || true
    if ! "$sim" --image "$sys" --pcap "$out_image.pcap" "${@//@RUN@/image}" >"$out_image.txt" 2>&1; then
        if grep -q "image stopped" "$out_image.txt"; then
            echo "FAILED $name: the image faulted"
            cat "$out_image.txt"
            failed=1
            return
        fi
    fi
    if ! grep -q "pool bytes still allocated: 0" "$out_image.txt"; then
        echo "FAILED $name: the image left pool allocated"
        tail -5 "$out_image.txt"
        failed=1
    fi
    local extra=()
    if [ -f "$work/$name.host.ts" ]; then
        extra=(--streams "$work/$name.host.ts" "$work/$name.image.ts")
    fi
    if python3 "$compare" --quiet "$out_host.pcap" "$out_image.pcap" "${extra[@]}" \
        >"$work/$name.compare.txt"; then
        echo "same wire: $name"
    else
        echo "FAILED $name: the wire differs"
        cat "$work/$name.compare.txt"
        failed=1
    fi
}

# The same output: the driver's debug lines and, for plug, the whole summary (tune and watch
# also print times).
same_output() {
    local name=$1 lines=$2
    # The capture's own name (and so the line that reads it) differs between the two runs.
    local own="^  (capture|read it with): "
    if diff <(grep -E "$lines" "$work/$name.host.txt" | grep -Ev "$own") \
        <(grep -E "$lines" "$work/$name.image.txt" | grep -Ev "$own") \
        >"$work/$name.output.diff"; then
        echo "same output: $name"
    else
        echo "FAILED $name: the outputs differ"
        cat "$work/$name.output.diff"
        failed=1
    fi
}

for stick in 3344:1122 3344:1120 3344:1000 0572:6688; do
    run_pair "plug_${stick/:/_}" --stick "$stick" plug
    same_output "plug_${stick/:/_}" .
done
run_pair boot_plug --boot plug
same_output boot_plug .
# The template topology the network provider learns from the filter: the same answers from the
# image's tables and the library's default handlers.
run_pair graph graph
same_output graph .
# A tune also starts the stream; a stream at the air's real rate skips what a slow run (the image,
# a sanitizer build) does not read in time, so the tune too uses the stream that is there whenever
# the stick reads.
for khz in 474000 600000; do
    run_pair "tune_$khz" --air "$watch_air" tune --frequency "$khz"
    same_output "tune_$khz" "^KVS.BDA_DEBUG|LOCK|step|transmitter|tuner"
done
for transfer in iso bulk; do
    # No bus latency: the programme must pass whole inside the watch even for an image run under
    # a sanitizer; the wire is the same either way.
    run_pair "watch_$transfer" --air "$watch_air" --latency 0 --stream "$transfer" watch \
        --frequency 474000 --seconds "$watch_seconds" --output "$work/watch_$transfer.@RUN@.ts"
    # Reads that end after the commit stopped the stream are timing (how many were still with
    # the bus at the lock), and so is what the stick sent in all.
    same_output "watch_$transfer" \
        "^KVS.BDA_DEBUG|received|continuity errors|two reads dropped|left in the ring|lost"
done
exit $failed
