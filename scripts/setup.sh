#!/usr/bin/env bash
# Installs what a fresh Debian (bookworm) machine lacks for building and testing kvsbda.
# Idempotent: packages already present are left alone, and apt runs only when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang lld libclang-rt-dev      # host builds, sanitizers
    googletest libgtest-dev libgmock-dev libbenchmark-dev # tests and benchmarks
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 # kvsbda.sys cross build
    libcli11-dev nlohmann-json3-dev                      # kvsbda-sim
    libunicorn-dev                                       # running kvsbda.sys under emulation
    python3                                              # comparing wire captures
    tshark                                               # decoding the wire captures
    ffmpeg                                               # checking the received transport stream
    openssl osslsigncode python3-asn1crypto              # the signed driver package and its catalog
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether ordinary users may capture; answer it ahead so that nothing waits for input.
echo "wireshark-common wireshark-common/install-setuid boolean false" | "${sudo[@]}" debconf-set-selections
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
