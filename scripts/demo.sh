#!/bin/sh
# Sets up a fresh machine if needed, builds, and runs the launcher's main jobs under Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
BUILD_DIR=$build "$root/scripts/build.sh" --target zra_launcher zra_capture
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
trap '"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT

run() {
    echo "\$ zra-launcher.exe $*"
    "$build/wine-run" "$build/tools/runner/zra-capture.exe" -- "$build/launcher/zra-launcher.exe" "$@"
    echo
}

run --check-system
run
