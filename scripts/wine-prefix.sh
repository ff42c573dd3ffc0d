#!/bin/sh
# wine-prefix.sh PREFIX start|stop
# start: create the prefix once (no Mono/Gecko installers, crash debugger off), then keep one
#        wineserver alive for the whole run so that each program starts warm.
# stop:  end that wineserver.
set -eu
prefix=$1
action=${2:-start}
export WINEPREFIX="$prefix"
export WINEDEBUG=-all LANG=C LC_ALL=C WINEDLLOVERRIDES="mscoree,mshtml="
log="$prefix.log"

# Makes the prefix from nothing; fails when the prefix does not take its settings.
create() {
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # Wine finds a prefix's server by the directory's device and inode: a server still running for
    # an earlier prefix whose directory had the same inode would answer for this one. Ask any such
    # server to go before the new prefix is made in the (empty) directory.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wine wineboot --init >"$log" 2>&1 || true
    wineserver -w
    # An unhandled crash would start winedbg and print its report on the crashing program's
    # stdout; an empty Debugger value switches that off, in both registry views.
    for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
               'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
        wine 'C:\windows\system32\reg.exe' add "$key" /v Debugger /t REG_SZ /d "" /f >>"$log" 2>&1 ||
            return 1
    done
    wineserver -w
    touch "$prefix/.zra-ready"
}

case "$action" in
start)
    if [ ! -f "$prefix/.zra-ready" ]; then
        if ! create; then
            echo "wine-prefix: the new prefix did not take its settings; making it once more"
            wineserver -k 2>/dev/null || true
            if ! create; then
                echo "wine-prefix: could not make the prefix $prefix; Wine said:"
                tail -n 40 "$log"
                exit 1
            fi
        fi
    fi
    # The server outlives this script: it must not hold the caller's output open (ctest waits
    # for every writer of a test's output to go away).
    wineserver -p </dev/null >/dev/null 2>&1 || true # already running for this prefix
    wine 'C:\windows\system32\cmd.exe' /c exit 0 </dev/null >/dev/null 2>&1 || true
    echo "wine prefix ready: $prefix"
    ;;
stop)
    # -k returns before the server is gone; a start right after would find it still there.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    echo "wineserver stopped"
    ;;
*)
    echo "usage: $0 PREFIX start|stop" >&2
    exit 2
    ;;
esac
