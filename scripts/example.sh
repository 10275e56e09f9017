#!/usr/bin/env bash
# Builds every program and converts the bundled example tune with both converters: the classic
# opmcast and opmcast-full.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make pkg-config zlib1g-dev libsoxr-dev libunicorn-dev \
    binutils-m68k-linux-gnu libsndfile1-dev libfftw3-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOPMCAST_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"
mkdir -p build/example
cd build/example
../make_example_vgm example.vgm
cp ../../player/vgmstub.bin vgmstub.bin
../bin/opmcast example
echo "opmcast wrote $(pwd)/example.x ($(stat -c %s example.x) bytes) from example.vgm"
../bin/opmcast-full -o full example.vgm
echo "opmcast-full wrote $(pwd)/full/example.x ($(stat -c %s full/example.x) bytes)"
echo "the programs are in $(cd ../bin && pwd)"
