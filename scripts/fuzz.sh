#!/usr/bin/env bash
# Builds the libFuzzer targets of opmcast and opmcast-full (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz, runs every seed and regression input once through
# each, then fuzzes each for FUZZ_SECONDS seconds (default 40). A crash, a sanitizer report, a broken conversion property, a run of
# more than 10 s or more than 2 GB fails the script; the input is saved in build-fuzz/findings
# and belongs in fuzz/regressions once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake make g++ clang libclang-rt-14-dev zlib1g-dev pkg-config libsoxr-dev
seconds=${FUZZ_SECONDS:-40}

CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPMCAST_SANITIZE=ON \
    -DOPMCAST_FUZZ=ON -DOPMCAST_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target opmcast_fuzz opmcast_full_fuzz album_table_fuzz
findings=$PWD/build-fuzz/findings
mkdir -p "$findings"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mapfile -t known < <(find fuzz/corpus fuzz/regressions -type f ! -name '*.md' | sort)

# fuzz_target NAME: replays the known inputs, then fuzzes from a work corpus of its own in the
# build directory, never in the repository.
fuzz_target() {
    local fuzzer=build-fuzz/fuzz/$1 work=build-fuzz/corpus-$1 log=build-fuzz/$1.log
    mkdir -p "$work"
    echo "$1: replaying ${#known[@]} seed and regression inputs"
    "$fuzzer" -timeout=10 "${known[@]}" 2>"$log" || {
        cat "$log"
        exit 1
    }
    cp fuzz/corpus/* "$work"/
    if [ "$1" = album_table_fuzz ]; then cp fuzz/album_corpus/* "$work"/; fi
    # The openings of real logs (their data blocks and first DAC commands) as seeds too, when
    # the corpus lies beside the checkout; they stay in the build directory.
    if [ -d ../shared/corpus ]; then
        local real
        for real in ../shared/corpus/*.vgm; do
            head -c 4096 "$real" >"$work/opening-$(basename "$real")"
        done
    fi
    echo "$1: fuzzing for $seconds s"
    if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -dict=fuzz/vgm.dict -artifact_prefix="$findings/" -print_final_stats=1 "$work" \
        2>"$log"; then
        tail -n 60 "$log"
        echo "fuzzing $1 found a fault; the input is in $findings" >&2
        exit 1
    fi
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units)' "$log" || true
}
fuzz_target opmcast_fuzz
fuzz_target opmcast_full_fuzz
fuzz_target album_table_fuzz
