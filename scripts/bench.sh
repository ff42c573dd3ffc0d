#!/bin/sh
# Builds the benchmarks and runs them under Wine in the build's own prefix.
#   scripts/bench.sh [service|launch|check|log|all]  (BUILD_DIR defaults to build)
# Extra options for the bench programs can be given in SERVICE_BENCH_ARGS, LAUNCH_BENCH_ARGS,
# CHECK_BENCH_ARGS and LOG_BENCH_ARGS, e.g. LAUNCH_BENCH_ARGS="--rounds 60".
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
which=${1:-all}
case "$which" in
service) targets=bench_service_roundtrip ;;
launch) targets=bench_launch ;;
check) targets=bench_check_system ;;
log) targets=bench_log_write ;;
all) targets="bench_service_roundtrip bench_launch bench_check_system bench_log_write" ;;
*) echo "usage: $0 [service|launch|check|log|all]" >&2; exit 2 ;;
esac

BUILD_DIR=$build "$root/scripts/build.sh" --target $targets
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
trap '"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT

status=0
if [ "$which" = service ] || [ "$which" = all ]; then
    # shellcheck disable=SC2086 # the extra arguments are meant to be split
    "$build/wine-run" "$build/bench/bench-service-roundtrip.exe" ${SERVICE_BENCH_ARGS:-} || status=1
fi
if [ "$which" = launch ] || [ "$which" = all ]; then
    [ "$which" = all ] && echo
    # shellcheck disable=SC2086
    "$build/wine-run" "$build/bench/bench-launch.exe" ${LAUNCH_BENCH_ARGS:-} || status=1
fi
if [ "$which" = check ] || [ "$which" = all ]; then
    [ "$which" = all ] && echo
    # shellcheck disable=SC2086
    "$build/wine-run" "$build/bench/bench-check-system.exe" ${CHECK_BENCH_ARGS:-} || status=1
fi
if [ "$which" = log ] || [ "$which" = all ]; then
    [ "$which" = all ] && echo
    # shellcheck disable=SC2086
    "$build/wine-run" "$build/bench/bench-log-write.exe" ${LOG_BENCH_ARGS:-} || status=1
fi
exit $status
