#!/bin/sh
# Configures and builds into BUILD_DIR (default: build).
# With BUILD_QUIET=1 the configure and build output goes to BUILD_DIR/build.log and is shown only
# when they fail.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
run() {
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" >/dev/null
    cmake --build "$build" -j "$(nproc)" "$@"
}
if [ -n "${BUILD_QUIET:-}" ]; then
    mkdir -p "$build"
    if ! run "$@" >"$build/build.log" 2>&1; then
        cat "$build/build.log" >&2
        echo "build failed (log: $build/build.log)" >&2
        exit 1
    fi
else
    run "$@"
fi
