#!/usr/bin/env bash
# Builds the libFuzzer target (clang, with AddressSanitizer and UndefinedBehaviorSanitizer)
# in build-fuzz, runs every seed and regression input once, then fuzzes for FUZZ_SECONDS
# seconds (default 60). A crash, a sanitizer report, a broken conversion property, a run of
# more than 10 s or more than 2 GB fails the script; the input is saved in build-fuzz/findings
# and belongs in fuzz/regressions once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake make g++ clang libclang-rt-14-dev zlib1g-dev
seconds=${FUZZ_SECONDS:-60}

CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPMCAST_SANITIZE=ON \
    -DOPMCAST_FUZZ=ON -DOPMCAST_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target opmcast_fuzz
fuzzer=build-fuzz/fuzz/opmcast_fuzz
findings=$PWD/build-fuzz/findings
work=build-fuzz/corpus
mkdir -p "$findings" "$work"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

mapfile -t known < <(find fuzz/corpus fuzz/regressions -type f ! -name '*.md' | sort)
echo "replaying ${#known[@]} seed and regression inputs"
"$fuzzer" -timeout=10 "${known[@]}" 2>build-fuzz/replay.log || {
    cat build-fuzz/replay.log
    exit 1
}

# New inputs go to the work corpus in the build directory, never into the repository.
cp fuzz/corpus/* "$work"/
echo "fuzzing for $seconds s"
if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -dict=fuzz/vgm.dict -artifact_prefix="$findings/" -print_final_stats=1 "$work" \
    2>build-fuzz/fuzz.log; then
    tail -n 60 build-fuzz/fuzz.log
    echo "fuzzing found a fault; the input is in $findings" >&2
    exit 1
fi
grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units)' build-fuzz/fuzz.log || true
