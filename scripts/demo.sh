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

# Runs the launcher through zra-capture, which prints its full exit code ("exit code: 0x...").
run() {
    # printf, not echo: sh's echo would read "\c" in a Windows path as "stop here".
    printf '$ zra-launcher.exe %s\n' "$*"
    out=$build/demo-output
    "$build/wine-run" "$build/tools/runner/zra-capture.exe" --out "$(echo "Z:$out" | sed 's|/|\\\\|g')" \
        -- "$build/launcher/zra-launcher.exe" "$@" >"$out.status" || true
    cat "$out"
    # The launcher adds no line break after a failure text; the demo does, for reading.
    if [ -s "$out" ] && [ -n "$(tail -c 1 "$out")" ]; then echo; fi
    cat "$out.status"
}
caption() {
    echo "   -> $*"
    echo
}

echo "== The program and its version (from the build's one version, project() in CMakeLists.txt)"
run --version
echo
echo "== Readiness check: may Windows take an installation now?"
run --check-system
if [ -s "$build/demo-output" ]; then
    caption "not ready: the findings above say why (exit code 1)"
else
    caption "ready: nothing printed, exit code 0"
fi
echo "== A launch without a script"
run
caption "a failure: its text on standard output, exit code 1"

# The examination road: the stand-in management service serves the password and the panel
# version, the launcher resolves each example script and runs it with its own standard handles.
trap - EXIT
"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null
echo "== The examination road, panel 18.0.61: each script is run by its type"
echo "   (php.exe and python.exe are stand-ins that print the command line they were given;"
echo "   the batch file and the VBScript run for real on Wine's cmd and cscript)"
echo
BUILD_DIR=$build sh "$root/examples/run-examination.sh" 18.0.61 --verbose "two words"
echo "== The examination road, panel 11.5.30 (before 11.6.0): every script goes to php.exe"
echo "   with the panel's php.ini, whatever its type; the stand-in php.exe shows the command line"
echo
BUILD_DIR=$build sh "$root/examples/run-examination.sh" 11.5.30 --verbose

echo "== A failure on the examination road: the management service is not running"
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
trap '"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT
run 'C:\scripts\check.php'
caption "the pipe is not there (Error code 2): start the service (docs/operating.md, failure texts)"
