#!/usr/bin/env bash
# Installs what is missing, builds the intercom into build/ and starts it.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build -j"$(nproc)" --target intercom
exec build/intercom
