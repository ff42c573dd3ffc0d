#!/bin/sh
# Builds the release package DIST_DIR/zra-launcher-<version>-win32.zip (DIST_DIR defaults to dist):
# the launcher, its debug information, the stand-in management service, the operator guide
# docs/operating.md when it exists, and SHA256SUMS over them. The version is the project's own
# (top CMakeLists.txt), the one the launcher's version resource carries.
#   scripts/package.sh      (BUILD_DIR defaults to build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
dist=${DIST_DIR:-$root/dist}

BUILD_DIR=$build BUILD_QUIET=1 "$root/scripts/build.sh" --target zra_launcher zra_standin_service
version=$(cat "$build/zra-version.txt")
name=zra-launcher-$version-win32
stage=$dist/$name

rm -rf "$stage" "$dist/$name.zip"
mkdir -p "$stage"
cp "$build/launcher/zra-launcher.exe" "$build/launcher/zra-launcher.exe.debug" \
    "$build/tools/service/zra-standin-service.exe" "$stage/"
if [ -f "$root/docs/operating.md" ]; then
    cp "$root/docs/operating.md" "$stage/"
    echo "package: the operator guide docs/operating.md is included"
else
    echo "package: docs/operating.md does not exist yet; the package has no operator guide"
fi
# Checked on Windows with: certutil -hashfile FILE SHA256
(cd "$stage" && sha256sum -- * >SHA256SUMS)
# cmake's own zip writer: nothing to install for it.
(cd "$dist" && cmake -E tar cf "$name.zip" --format=zip "$name")
rm -rf "$stage"
echo "package: $dist/$name.zip"
