#!/usr/bin/env bash
# Builds xmlstamp with its tests and runs every one of them.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Release
cmake --build build/linux -j"$jobs"
ctest --test-dir build/linux --output-on-failure -j"$jobs"
