#!/bin/sh
# Fails when the driver image contains static constructors or destructors: nothing in the kernel
# would run them. Usage: check_no_static_init.sh OBJDUMP IMAGE
set -eu
objdump=$1
image=$2
found=$("$objdump" -t "$image" | grep -E '_GLOBAL__sub_[ID]_' || true)
if [ -n "$found" ]; then
    echo "error: $image has static initialisation that the kernel never runs:" >&2
    echo "$found" >&2
    exit 1
fi
