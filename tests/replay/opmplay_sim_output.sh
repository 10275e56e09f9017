#!/usr/bin/env bash
# What opmplay-sim prints for a program of opmcast-full with drums and a loop (sonic1):
# --quiet lists neither the writes nor the samples but counts them; without it every sample
# has its line; a run cut by --limit while a sample plays ends at the limit and prints no
# negative time; a looping song run without --key-at fails at the limit and says why; a song
# that ends by itself but not before the limit fails without that hint; --keys gives the song of
# one program its first key (any key stops it) and refuses a wrong script; --check holds a run
# cut inside a sample to the bytes played so far. An album longer than 600 s runs to its end
# within the default limit, and its checks name the passes and the key that ended a track.
#
#     opmplay_sim_output.sh OPMPLAY_SIM OPMCAST_FULL CORPUS_DIR
set -uo pipefail
sim=$1 full=$2 corpus=$3
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
dir=$(mktemp -d)
trap 'rm -rf -- "$dir"' EXIT

"$full" -q -o "$dir" "$corpus/sonic1.vgm" "$corpus/fatality.vgm" || {
    echo "FAIL opmcast-full could not convert the logs"
    exit 1
}
song=$dir/sonic1.x

# Runs opmplay-sim; its stdout in $out, its status in $status.
run() {
    out=$("$sim" "$@" 2>&1)
    status=$?
}

run "$song" --key-at 20 --quiet
((status == 0)) || fail "--quiet: status $status"
grep -q "ADPCM sample at" <<<"$out" && fail "--quiet: lists the samples"
count=$(sed -n 's/.* timer A overflows, \([0-9]*\) ADPCM samples$/\1/p' <<<"$out")
[[ $count =~ ^[1-9][0-9]*$ ]] || fail "--quiet: no count of the samples: $(sed -n 2p <<<"$out")"
lines=$(sed '/^screen:$/,$d' <<<"$out" | wc -l)
((lines == 4)) || fail "--quiet: $lines lines before the screen, not 4 (header, counts, key, exit)"

run "$song" --key-at 20
((status == 0)) || fail "listing: status $status"
listed=$(grep -c "^ADPCM sample at .* s: [0-9]* of [0-9]* bytes" <<<"$out")
((listed == count)) || fail "listing: $listed sample lines for $count samples"

# A limit 10 ms into the first sample that plays longer than 20 ms.
limit=$(awk '/^ADPCM sample at/ { start = $4 + 0; end = $(NF - 5) + 0
             if (end - start > 0.02) { printf "%.6f", start + 0.01; exit } }' <<<"$out")
if [[ -z $limit ]]; then
    fail "no sample longer than 20 ms to cut"
else
    run "$song" --limit "$limit" --check
    ((status == 1)) || fail "--limit $limit: status $status"
    # The sample the limit cut is checked up to where it was cut.
    grep -q "^check: drums:" <<<"$out" &&
        fail "--limit $limit --check: the cut sample is a fault: $(grep -m1 '^check: drums:' <<<"$out")"
    grep -q -- "-0\.0" <<<"$out" && fail "--limit $limit: a negative time: $(grep -m1 -- -0.0 <<<"$out")"
    grep -q "^ADPCM sample at .* still playing when the run ended, never stopped$" <<<"$out" ||
        fail "--limit $limit: the cut sample is not shown still playing"
    ended=$(sed -n 's/^no exit; run ended at \([0-9.]*\) s$/\1/p' <<<"$out")
    awk -v t="${ended:-0}" -v l="$limit" 'BEGIN { exit !(t >= l && t < l + 0.00001) }' ||
        fail "--limit $limit: does not end at the limit: $(grep 'run ended' <<<"$out")"
fi

run "$song" --keys 30:q,20:x --quiet
((status == 0)) || fail "--keys: status $status"
grep -qx "key read at 20\.[0-9]* s: x" <<<"$out" || fail "--keys: the first key: $(grep key <<<"$out")"
(($(grep -c "^key read" <<<"$out") == 1)) || fail "--keys: more than one key read"
for script in 5:nn 5 x:n 5:n, ""; do
    run "$song" --keys "$script"
    ((status == 2)) || fail "--keys '$script': status $status"
    grep -q "^opmplay-sim: --keys: " <<<"$out" || fail "--keys '$script': no message"
done

# The default limit, 600 virtual seconds.
run "$song" --quiet
((status == 1)) || fail "looping, no key: status $status"
grep -qx "error: [0-9.]* s, PC [^:]*: still running at the time limit (600 s): the song loops; --key-at SECONDS presses a key to stop it" \
    <<<"$out" || fail "looping, no key: no hint: $(grep error: <<<"$out")"
(($(grep -c "^error:" <<<"$out") == 1)) || fail "looping, no key: more than one error"

run "$dir/fatality.x" --quiet --limit 1
((status == 1)) || fail "ends after the limit: status $status"
grep -qx "error: [0-9.]* s, PC [^:]*: still running at the time limit (1 s)" <<<"$out" ||
    fail "ends after the limit: $(grep error: <<<"$out")"

# An album that plays past 600 s and ends by itself: the default limit lets it end. Its first
# line is the program's; each track's check counts the passes as its table line does; ESC is
# named as the key it is.
"$full" -q --loops 16 --album "$dir/album.x" "$corpus/sonic1.vgm" "$corpus/fatality.vgm" || {
    echo "FAIL opmcast-full could not make the album"
    exit 1
}
run "$dir/album.x" --check --quiet
((status == 0)) || fail "long album: status $status: $(grep -m2 'error\|check: [^t]' <<<"$out")"
grep -qx "$dir/album.x: text [0-9]* bytes, data 12, bss [0-9]*; full player (opmcast-full), an album" \
    <<<"$out" || fail "long album: first line: $(head -n 1 <<<"$out")"
grep -q "^  track 1: .*, 16 passes, then a fade" <<<"$out" || fail "long album: no 16 passes in its table"
grep -q "^check: track 1 from .*, 16 passes, .*, ended by end$" <<<"$out" ||
    fail "long album: track 1: $(grep '^check: track 1' <<<"$out")"
grep -q "^check: track 2 from .*, no loop, .*, ended by end$" <<<"$out" ||
    fail "long album: track 2: $(grep '^check: track 2' <<<"$out")"
# Cut by a limit it is still running at, but it does not loop: no hint of a key.
run "$dir/album.x" --quiet --limit 2
grep -qx "error: [0-9.]* s, PC [^:]*: still running at the time limit (2 s)" <<<"$out" ||
    fail "album cut by --limit 2: $(grep error: <<<"$out")"
run "$dir/album.x" --check --quiet --keys 5:esc
((status == 0)) || fail "album and ESC: status $status"
grep -q "^check: track 1 from .*, 1 pass, .*, ended by key esc$" <<<"$out" ||
    fail "album and ESC: $(grep '^check: track' <<<"$out")"

echo "$failures failures"
((failures == 0))
