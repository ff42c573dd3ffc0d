#!/bin/sh
# The fault-injection campaign: the launcher built with the import injector (tools/faults) is run
# once for each call of each injectable Windows and C runtime function it makes, that call failed
# with a plausible error, on every scenario (readiness check clear, with a restart pending and
# with an installation running; a .php script at panel 18.0.61 and 11.5.30, each also with the
# Debug switch on; a .bat script; the service down). Prints the outcome table (ok, clean, wrong
# success, crash, hang, garbled, other) and every case that was neither ok nor clean.
#   scripts/campaign-faults.sh [--function NAME]... [--scenario NAME]... [--error CODE]
#                              [--max-calls K] [--bound-ms MS] [--quiet]
# Builds what it needs in build/ (BUILD_DIR to override); exits 1 when any run was a wrong
# success, a crash, a hang or a garbled text.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
BUILD_DIR=$build BUILD_QUIET=1 "$here/scripts/build.sh" --target zra_fault_campaign_exe
# The runs share the build's own prefix; a persistent server saves the start-up of each program.
"$here/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
echo "== zra-fault-campaign $* ($(date -u +%H:%M:%S) UTC)"
# Each reported case names the return address of the failed call; the exe's own debug information
# turns it into the calling function, so a crash is told to be the project's or the runtime's.
exe="$build/tools/faults/zra-launcher-faults.exe"
status=0
"$build/wine-run" "$build/tools/faults/zra-fault-campaign.exe" "$@" >"$build/campaign-faults.txt" ||
    status=$?
while IFS= read -r line; do
    address=$(printf '%s\n' "$line" | sed -n 's/.*(caller 0x\([0-9a-f]*\)).*/\1/p')
    if [ -n "$address" ]; then
        where=$(i686-w64-mingw32-addr2line -f -C -e "$exe" "0x$address" 2>/dev/null |
            sed -n 1p | cut -c1-60)
        line=$(printf '%s\n' "$line" | sed "s|(caller 0x$address)|(in ${where:-?})|")
    fi
    printf '%s\n' "$line"
done <"$build/campaign-faults.txt"
echo "== done ($(date -u +%H:%M:%S) UTC)"
exit $status
