#!/bin/sh
# Builds the benchmarks and runs them under Wine in the build's own prefix.
#   scripts/bench.sh [--guard] [service|launch|check|log|all]  (BUILD_DIR defaults to build)
# Exit code: 0, or 1 when a benchmark could not run. With --guard, 2 when every benchmark ran but
# one missed a goal it prints ("NOT MET"), so that a guard job can fail on it.
# Extra options for the bench programs can be given in SERVICE_BENCH_ARGS, LAUNCH_BENCH_ARGS,
# CHECK_BENCH_ARGS and LOG_BENCH_ARGS, e.g. LAUNCH_BENCH_ARGS="--rounds 60".
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
guard=
if [ "${1:-}" = --guard ]; then
    guard=--guard
    shift
fi
which=${1:-all}
case "$which" in
service) targets=bench_service_roundtrip ;;
launch) targets=bench_launch ;;
check) targets=bench_check_system ;;
log) targets=bench_log_write ;;
all) targets="bench_service_roundtrip bench_launch bench_check_system bench_log_write" ;;
*) echo "usage: $0 [--guard] [service|launch|check|log|all]" >&2; exit 1 ;;
esac

BUILD_DIR=$build "$root/scripts/build.sh" --target $targets
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
trap '"$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT

status=0
# Keeps the worst outcome: a benchmark that could not run (1) outweighs a missed goal (2).
bench() {
    code=0
    # shellcheck disable=SC2086 # the extra arguments are meant to be split
    "$build/wine-run" "$build/bench/$1" $2 $guard || code=$?
    if [ $code -eq 1 ] || [ $code -gt 2 ]; then
        status=1
    elif [ $code -eq 2 ] && [ $status -eq 0 ]; then
        status=2
    fi
}
if [ "$which" = service ] || [ "$which" = all ]; then
    bench bench-service-roundtrip.exe "${SERVICE_BENCH_ARGS:-}"
fi
if [ "$which" = launch ] || [ "$which" = all ]; then
    [ "$which" = all ] && echo
    bench bench-launch.exe "${LAUNCH_BENCH_ARGS:-}"
fi
if [ "$which" = check ] || [ "$which" = all ]; then
    [ "$which" = all ] && echo
    bench bench-check-system.exe "${CHECK_BENCH_ARGS:-}"
fi
if [ "$which" = log ] || [ "$which" = all ]; then
    [ "$which" = all ] && echo
    bench bench-log-write.exe "${LOG_BENCH_ARGS:-}"
fi
exit $status
