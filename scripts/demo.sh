#!/bin/sh
# Sets up a fresh machine if needed, builds, and runs the launcher's main jobs under Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# What is shown is the demonstration: setting up and building speak only when they fail.
echo "Setting up and building (their output appears only if they fail) ..."
mkdir -p "$build"
if ! "$root/scripts/setup.sh" >"$build/setup.log" 2>&1; then
    cat "$build/setup.log" >&2
    exit 1
fi
export BUILD_QUIET=1 # the examination runs below build through scripts/build.sh as well
BUILD_DIR=$build "$root/scripts/build.sh" --target zra_launcher zra_capture zra_standin_service \
    zra_child_report
echo
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
trap '"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT

run() {
    echo "\$ zra-launcher.exe $*"
    out=$build/demo-output
    "$build/wine-run" "$build/tools/runner/zra-capture.exe" --out "$(echo "Z:$out" | sed 's|/|\\\\|g')" \
        -- "$build/launcher/zra-launcher.exe" "$@" >"$out.status" || true
    cat "$out"
    # The launcher adds no line break after a failure text; the demo does, for reading.
    [ -s "$out" ] && echo
    cat "$out.status"
    echo
}

run --check-system
run

# The examination road: the stand-in management service serves the password and the panel
# version, the launcher resolves each example script and runs it with its own standard handles.
trap - EXIT
"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null
BUILD_DIR=$build sh "$root/examples/run-examination.sh" 18.0.61 --verbose "two words"
BUILD_DIR=$build sh "$root/examples/run-examination.sh" 11.5.30 --verbose
