#!/usr/bin/env bash
# Runs opmcast-full under valgrind's memcheck on the DAC seeds and the real logs beside the
# checkout. AddressSanitizer sees only our own code; memcheck also sees libsoxr and the C
# library read and write on our behalf. Any invalid access or use of an unset value fails.
set -euo pipefail
full=$1
seeds=$2
corpus=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
logs=("$seeds"/dac_*.vgm)
if [ -d "$corpus" ]; then
    logs+=("$corpus"/*.vgm)
else
    echo "no corpus beside the checkout: the DAC seeds only"
fi
for log in "${logs[@]}"; do
    if ! valgrind -q --error-exitcode=99 "$full" -q -o "$out" "$log" 2>"$out/memcheck.txt"; then
        echo "memcheck: $(basename "$log")"
        cat "$out/memcheck.txt"
        exit 1
    fi
done
echo "memcheck: ${#logs[@]} logs clean"
