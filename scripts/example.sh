#!/usr/bin/env bash
# Builds the converter and converts the bundled example tune into an X68000 program.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make zlib1g-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOPMCAST_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target opmcast make_example_vgm
mkdir -p build/example
cd build/example
../make_example_vgm example.vgm
cp ../../player/vgmstub.bin vgmstub.bin
../bin/opmcast example
echo "wrote $(pwd)/example.x ($(stat -c %s example.x) bytes) from example.vgm"
