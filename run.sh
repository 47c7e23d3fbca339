#!/usr/bin/env bash
# Builds xmlstamp and runs it the way a double click does: data/tovra.xml is
# stamped into out/tovra.xml, then the tool waits for a key.
set -euo pipefail
cd "$(dirname "$0")"
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/linux --target xmlstamp -j"$(nproc)" >/dev/null
exec ./build/linux/xmlstamp
