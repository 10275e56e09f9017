#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan and
# runs every test there. Any report of either fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make pkg-config libgtest-dev zlib1g-dev libunicorn-dev binutils-m68k-linux-gnu \
    libsndfile1-dev libfftw3-dev libsoxr-dev mame sox
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPMCAST_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan -j "$(nproc)" --output-on-failure
