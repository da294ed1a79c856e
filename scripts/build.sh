#!/bin/bash
# Builds both presets: build/i686/Quillfern.exe (shipped) and build/x86_64/
# (the same sources plus the test programs, run under Wine).
set -e
cd "$(dirname "$0")/.."
for preset in i686 x86_64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
