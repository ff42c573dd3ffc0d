#!/bin/sh
# Runs the example examination scripts through the built launcher under Wine, against the stand-in
# management service. A copy of the reporting test child stands in for the panel's php.exe and for
# Python, so those runs show the exact command line the launcher built; the batch file and the
# VBScript run for real on Wine's cmd and cscript.
#
#   examples/run-examination.sh [PANEL_VERSION] [ARGS...]     (default version 18.0.61)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
version=${1:-18.0.61}
[ $# -gt 0 ] && shift

BUILD_DIR=$build "$root/scripts/build.sh" --target zra_launcher zra_capture zra_standin_service \
    zra_child_report
"$root/scripts/wine-prefix.sh" "$build/wineprefix" start >/dev/null
work=$build/examples-run

# A product root the service reports: admin\bin\php.exe, admin\php.ini and a Python directory.
rm -rf "$work"
mkdir -p "$work/product/admin/bin" "$work/product/python"
cp "$build/tools/children/zra-child-report.exe" "$work/product/admin/bin/php.exe"
cp "$build/tools/children/zra-child-report.exe" "$work/product/python/python.exe"
: >"$work/product/admin/php.ini"
cp "$root/examples/scripts/"* "$work/"

winpath() { echo "Z:$1" | sed 's|/|\\|g'; }

# The service stops when its standard input closes: this script holds a FIFO open for it.
mkfifo "$work/service-input"
"$build/wine-run" "$build/tools/service/zra-standin-service.exe" \
    --root "$(winpath "$work/product")" \
    --set "value PANEL_VERSION=$version" \
    --set "secret pwd=example password" <"$work/service-input" >"$work/service.log" 2>&1 &
exec 3>"$work/service-input"
trap 'exec 3>&-; wait; "$root/scripts/wine-prefix.sh" "$build/wineprefix" stop >/dev/null' EXIT
until grep -q ready "$work/service.log" 2>/dev/null; do sleep 0.2; done

# Which road the panel version takes: fields compared as numbers, a missing field lower than any
# (so 11.6 is before 11.6.0), as the launcher compares.
road=$(echo "$version" | awk -F. '{
    split("11.6.0", t, ".")
    for (i = 1; i <= 3; i++) {
        if (i > NF) { print "php.ini"; exit }
        if ($i + 0 < t[i]) { print "php.ini"; exit }
        if ($i + 0 > t[i]) { print "typed"; exit }
    }
    print "typed"
}')

# What each run shows, by the road the panel version takes.
caption() {
    if [ "$road" = php.ini ]; then
        echo "   (before 11.6.0: the panel's php.exe with its php.ini runs it, whatever its type;"
        echo "    that php.exe is a stand-in that prints its command line)"
        return
    fi
    case "$1" in
    check.php) echo "   (PHP: the panel's php.exe -q, a stand-in that prints its command line)" ;;
    check-python) echo "   (no extension, its #! line names Python: the panel's Python, a stand-in)" ;;
    check.bat) echo "   (batch file: Wine's cmd runs it; it exits with the number of arguments it got)" ;;
    check.vbs) echo "   (VBScript: Wine's cscript runs it)" ;;
    esac
}

for script in check.php check-python check.bat check.vbs; do
    printf '$ zra-launcher.exe %s %s   (panel version %s)\n' "$script" "$*" "$version"
    caption "$script"
    code=0
    "$build/wine-run" "$build/tools/runner/zra-capture.exe" -- "$build/launcher/zra-launcher.exe" \
        "$(winpath "$work/$script")" "$@" || code=$?
    if [ "$code" -ne 0 ]; then
        echo "   -> exit code $code is the script's own, passed on unchanged (1 could also be a"
        echo "      launcher failure: then its failure text is printed)"
    fi
    echo
done
