#!/bin/sh
# Installs everything the build and the tests need on a fresh Debian 12 machine (run as root).
# Idempotent: when every package is present it only checks and returns.
set -eu
packages="g++-mingw-w64-i686-posix wine wine32:i386 wine64 googletest cmake make"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing="$missing (i386)"
fi
if [ -n "$missing" ]; then
    echo "setup: installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $packages >/dev/null
fi
# The posix-thread flavour is what std::thread and std::mutex need.
command -v i686-w64-mingw32-g++-posix >/dev/null
command -v wine >/dev/null
echo "setup: toolchain and Wine are in place"
