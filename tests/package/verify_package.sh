#!/bin/sh
# Checks the signed driver package: osslsigncode accepts the signatures of kvsbda.sys and of
# kvsbda.cat against the certificate the package was signed with and finds kvsbda.sys in the
# catalog; the catalog read back lists kvsbda.inf with its digest; the image announces the
# version the INF carries; and a copy of kvsbda.sys or kvsbda.inf with one byte changed fails.
# Exit 77 (skipped) when no certificate to verify against was configured (release signing
# without KVSBDA_SIGN_CAFILE).
# Usage: verify_package.sh OSSLSIGNCODE PYTHON SCRIPTS PACKAGE_DIR CAFILE VERSION WORK_DIR
set -u
osslsigncode=$1 python=$2 scripts=$3 package=$4 cafile=$5 version=$6 work=$7
if [ -z "$cafile" ]; then
    echo "no certificate to verify the package against"
    exit 77
fi
failures=0
pass() { echo "ok:     $1"; }
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
expect() {  # expect ok|fails DESCRIPTION COMMAND...
    outcome=$1 what=$2
    shift 2
    if "$@" >"$work/last.log" 2>&1; then result=ok; else result=fails; fi
    if [ "$result" = "$outcome" ]; then pass "$what"; else cat "$work/last.log"; fail "$what"; fi
}
rm -rf "$work" && mkdir -p "$work/tampered"

expect ok "kvsbda.sys signature" \
    "$osslsigncode" verify -CAfile "$cafile" -in "$package/kvsbda.sys"
expect ok "kvsbda.cat signature" \
    "$osslsigncode" verify -CAfile "$cafile" -in "$package/kvsbda.cat"
expect ok "kvsbda.sys found in kvsbda.cat" \
    "$osslsigncode" verify -CAfile "$cafile" -catalog "$package/kvsbda.cat" -in "$package/kvsbda.sys"
expect ok "catalog lists kvsbda.sys and kvsbda.inf with their digests" \
    "$python" -B "$scripts/read_catalog.py" "$package/kvsbda.cat" \
    --check "$package/kvsbda.sys" "$package/kvsbda.inf"
expect ok "the image announces version $version" \
    grep -q -a "Build Version:$version(" "$package/kvsbda.sys"

# One byte changed in the middle of each file (the INF in its [Strings] text, the image in its
# code): every check that covers the file must now refuse it.
flip() {  # flip FILE OFFSET: replaces the byte at OFFSET with its complement
    byte=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $((255 - byte)))" |
        dd of="$1" bs=1 seek="$2" count=1 conv=notrunc status=none
}
cp "$package/kvsbda.sys" "$work/tampered/kvsbda.sys"
flip "$work/tampered/kvsbda.sys" $(($(wc -c <"$package/kvsbda.sys") / 3))
cp "$package/kvsbda.inf" "$work/tampered/kvsbda.inf"
flip "$work/tampered/kvsbda.inf" $(($(wc -c <"$package/kvsbda.inf") - 20))
expect fails "changed kvsbda.sys: its signature" \
    "$osslsigncode" verify -CAfile "$cafile" -in "$work/tampered/kvsbda.sys"
expect fails "changed kvsbda.sys: the catalog" \
    "$osslsigncode" verify -CAfile "$cafile" -catalog "$package/kvsbda.cat" -in "$work/tampered/kvsbda.sys"
expect fails "changed kvsbda.sys: the catalog read back" \
    "$python" -B "$scripts/read_catalog.py" "$package/kvsbda.cat" --check "$work/tampered/kvsbda.sys"
expect fails "changed kvsbda.inf: the catalog read back" \
    "$python" -B "$scripts/read_catalog.py" "$package/kvsbda.cat" --check "$work/tampered/kvsbda.inf"

# A catalog with one byte of its member list changed no longer verifies.
cp "$package/kvsbda.cat" "$work/tampered/kvsbda.cat"
flip "$work/tampered/kvsbda.cat" 200
expect fails "changed kvsbda.cat: its signature" \
    "$osslsigncode" verify -CAfile "$cafile" -in "$work/tampered/kvsbda.cat"

[ $failures -eq 0 ] || { echo "$failures package checks failed"; exit 1; }
echo "all package checks passed"
