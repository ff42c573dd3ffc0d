#!/bin/sh
# Field-readiness campaigns for the service client, printed as figures.
#   scripts/campaign-service.sh replies [--count N] [--seed S] [--seconds T] [--bound-ms MS]
#   scripts/campaign-service.sh faults [--fault SPEC]... [--query NAME]... [--once-only|--always-only]
#   scripts/campaign-service.sh stability [--count N] [--restart-after N] [--warm-up N]
#   scripts/campaign-service.sh all     (replies for --seconds 600, then faults, then stability)
# Builds what it needs in build/ (BUILD_DIR to override) and exits non-zero when a criterion
# failed.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
BUILD_DIR=$build BUILD_QUIET=1 "$here/scripts/build.sh" --target zra_campaign
# The tools run in the build's own prefix; a persistent server saves the start-up of each program.
"$here/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
campaign() {
    echo "== zra-campaign $* ($(date -u +%H:%M:%S) UTC)"
    "$build/wine-run" "$build/tools/campaigns/zra-campaign.exe" "$@"
}
command=${1:-all}
[ $# -gt 0 ] && shift
status=0
case "$command" in
replies | faults | stability)
    campaign "$command" "$@" || status=$?
    ;;
all)
    campaign replies --count 1000000 --seconds 600 || status=1
    campaign faults || status=1
    campaign stability --count 10000 --restart-after 100 || status=1
    ;;
*)
    sed -n 2,9p "$0"
    exit 2
    ;;
esac
exit $status
