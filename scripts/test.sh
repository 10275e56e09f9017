#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make pkg-config libgtest-dev zlib1g-dev libunicorn-dev binutils-m68k-linux-gnu \
    libsndfile1-dev libfftw3-dev libsoxr-dev mame sox imagemagick valgrind mtools
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOPMCAST_TESTS=ON >/dev/null
cmake --build build -j "$(nproc)"
ctest --test-dir build -j "$(nproc)" --output-on-failure
