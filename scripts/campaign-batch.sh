#!/bin/sh
# Runs every value of process/tests/data/hostile-arguments.txt through a batch file under Wine's
# cmd, as an ordinary argument and as the password, and prints the figures: values tried,
# commands run, values changed, values changed by Wine's cmd itself, values skipped and time.
#   scripts/campaign-batch.sh                (BUILD_DIR defaults to build)
# Exits non-zero when a command ran or a value was changed where the launcher is in control.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

BUILD_DIR=$build "$root/scripts/build.sh" --target process_tests zra_child_report
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
trap '"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT

"$build/wine-run" "$build/process/process_tests.exe" --gtest_also_run_disabled_tests \
    --gtest_filter='BatchCampaign.DISABLED_WholeCorpus' --gtest_brief=1
