#!/usr/bin/env bash
# Builds the Debian package of lanchat: build/lanchat_<version>_<arch>.deb.
# Installs the build dependencies first if they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target package
