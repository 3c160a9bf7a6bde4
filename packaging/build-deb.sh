#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of lanchat: build-deb/lanchat_<version>_<arch>.deb.
# Installs the build dependencies first if they are missing.
#
#   LANCHAT_MAINTAINER="Name <address>" packaging/build-deb.sh [BUILD_DIR]
#
# The build is made afresh in BUILD_DIR (default build-deb/): the program only, without
# the tests and the benchmark, with Debian's hardening flags (dpkg-buildflags with
# hardening=+all). Its time stamps come from the last commit (SOURCE_DATE_EPOCH, unless
# already set), so that two builds of one commit give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(realpath -m "${1:-build-deb}")
scripts/setup.sh

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || stat -c %Y CHANGELOG.md)
fi
export SOURCE_DATE_EPOCH

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# The build folder's path is mapped like the source's, so that where it is leaves no
# trace in the program (its build id included).
CFLAGS="$(dpkg-buildflags --get CFLAGS) -ffile-prefix-map=$build=build"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS) -ffile-prefix-map=$build=build"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DLANCHAT_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/lanchat_*.deb
