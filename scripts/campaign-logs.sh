#!/bin/sh
# Log campaign: WRITERS processes write RECORDS records each into one log while every write
# rotates and prunes the log's old files. Prints what was found: every record present once, in
# order per writer, none torn, one byte-order mark, and the old files pruned to the history.
#   scripts/campaign-logs.sh [WRITERS] [RECORDS]      (default 8 1000)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_QUIET=1 BUILD_DIR=$build "$root/scripts/build.sh" --target logging_tests
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
trap '"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT
ZRA_LOG_CAMPAIGN_WRITERS=${1:-8} ZRA_LOG_CAMPAIGN_RECORDS=${2:-1000} \
    "$build/wine-run" "$build/logging/logging_tests.exe" \
    --gtest_filter='VarnoLogTest.ProcessesWritingOneLogWhileItPrunes*' |
    grep -E "log campaign|Failure|Expected|Which is|PASSED|FAILED"
