#!/usr/bin/env bash
# Installs what is missing, builds the intercom and every test, and runs them.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure --timeout 600)
