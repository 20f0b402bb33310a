#!/usr/bin/env bash
# Builds kavelo and shows its help.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh build-essential cmake
cmake -S . -B build -DKAVELO_TESTS=OFF
cmake --build build -j"$(nproc)"
build/kavelo -h
