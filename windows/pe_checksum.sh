#!/bin/sh
# Writes the PE image checksum into a driver image (GNU ld leaves it zero; the loader checks it
# for drivers). The sum is the one's-complement style 16-bit sum of the file, with the checksum
# field counted as zero, folded to 16 bits and added to the file length.
# Usage: pe_checksum.sh IMAGE
set -eu
image=$1

# e_lfanew at 0x3C; the checksum sits 88 bytes into the NT headers (signature + file header +
# 64 bytes of the optional header).
lfanew=$(od -An -v -tu4 -j 60 -N 4 "$image" | tr -d ' ')
field=$((lfanew + 88))
size=$(wc -c < "$image" | tr -d ' ')

sum=$(od -An -v -tu1 "$image" | awk -v field="$field" '
    { for (i = 1; i <= NF; i++) bytes[n++] = $i }
    END {
        s = 0
        for (i = 0; i < n; i += 2) {
            if (i >= field && i < field + 4) continue
            w = bytes[i] + (i + 1 < n ? bytes[i + 1] * 256 : 0)
            s += w
            s = (s % 65536) + int(s / 65536)
        }
        s = (s % 65536) + int(s / 65536)
        print s
    }')
checksum=$((sum + size))

# Little-endian bytes of the checksum, written in place.
b0=$((checksum & 255)); b1=$(((checksum >> 8) & 255)); b2=$(((checksum >> 16) & 255)); b3=$(((checksum >> 24) & 255))
printf '%b' "$(printf '\\0%03o\\0%03o\\0%03o\\0%03o' "$b0" "$b1" "$b2" "$b3")" |
    dd of="$image" bs=1 seek="$field" count=4 conv=notrunc status=none
