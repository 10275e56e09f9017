#!/usr/bin/env bash
# Peak memory of converting gzip input against its decompressed size. Each input is a VGM
# file that is one long run of 1/60 s waits (command 0x62), so the compressed file stays
# tiny while the decompressed data grows. Decompression streams through fixed buffers, so
# the peak must not grow with the size: the script fails if the largest input needs more
# than 1 MiB above the smallest.
#   bash scripts/bench_unpack_memory.sh [path/to/opmcast] [MiB ...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages time gzip
converter=$(realpath "${1:-build/bin/opmcast}")
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 64 512)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
{ printf 'HU'; head -c 444 /dev/zero; } > vgmstub.bin

# The 64-byte header of a VGM 1.50 file: identification, version, data at 0x40.
header() {
    printf 'Vgm '; head -c 4 /dev/zero; printf '\x50\x01\x00\x00'; head -c 40 /dev/zero
    printf '\x0c\x00\x00\x00'; head -c 8 /dev/zero
}

printf '%12s %14s %12s %10s\n' "MiB" "packed bytes" "peak KiB" "seconds"
first=""
for mib in "${sizes[@]}"; do
    { header; head -c $((mib * 1048576)) /dev/zero | tr '\0' '\142'; printf '\x66'; } |
        gzip -1 > long.vgz
    /usr/bin/time -f '%M %e' -o measured "$converter" long > console
    [ ! -s console ] || { cat console; exit 1; }
    read -r peak seconds < measured
    printf '%12s %14s %12s %10s\n' "$mib" "$(stat -c %s long.vgz)" "$peak" "$seconds"
    first=${first:-$peak}
    last=$peak
done
if [ $((last - first)) -gt 1024 ]; then
    echo "peak memory grows with the decompressed size" >&2
    exit 1
fi
