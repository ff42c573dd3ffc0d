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

# Wine runs 32-bit Windows programs in 32-bit Linux processes. Some kernels run no 32-bit x86
# code at all (ia32 emulation switched off): there the 32-bit side goes through a user-mode CPU
# emulator. Bookworm's qemu 7.2 takes over a minute to start one Wine program; the static
# qemu-i386 of Debian 13 starts it in a fraction of a second.
emulator=/usr/local/lib/zra/qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    if [ ! -x "$emulator" ]; then
        echo "setup: this kernel runs no 32-bit code; fetching Debian 13's static qemu-i386"
        tmp=$(mktemp -d)
        mkdir -p "$tmp/lists/partial" "$tmp/archives/partial"
        echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
            >"$tmp/sources.list"
        apt_private="-o Dir::Etc::SourceList=$tmp/sources.list -o Dir::Etc::SourceParts=/dev/null
                     -o Dir::State::Lists=$tmp/lists -o Dir::Cache::Archives=$tmp/archives
                     -o APT::Architectures::=amd64 -o APT::Sandbox::User=root"
        # shellcheck disable=SC2086
        apt-get $apt_private update -qq
        # shellcheck disable=SC2086
        (cd "$tmp" && apt-get $apt_private download qemu-user >/dev/null)
        dpkg-deb -x "$tmp"/qemu-user_*.deb "$tmp/x"
        install -D -m 755 "$tmp/x/usr/bin/qemu-i386" "$emulator"
        rm -rf "$tmp"
    fi
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/zra-i386" ]; then
        # i386 ELF executables and shared objects; F opens the emulator now, so it serves
        # inside any mount namespace too.
        printf '%s' ':zra-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$emulator"':FP' \
            >"$binfmt/register"
    fi
    /lib/ld-linux.so.2 --version >/dev/null 2>&1
    echo "setup: 32-bit programs run through $emulator"
fi
echo "setup: toolchain and Wine are in place"
