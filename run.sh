#!/usr/bin/env bash
# Builds xmlstamp and runs it the way a double click does: data/tovra.xml is
# stamped into out/tovra.xml, then the tool waits for a key.
set -euo pipefail
cd "$(dirname "$0")"
if [ ! -f build/linux/CMakeCache.txt ]; then
    echo "== Configuring build/linux (first run)"
    cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Release --log-level=WARNING
fi
echo "== Building xmlstamp"
cmake --build build/linux --target xmlstamp -j"$(nproc)"
echo "== Stamping data/tovra.xml into out/tovra.xml"
exec ./build/linux/xmlstamp
