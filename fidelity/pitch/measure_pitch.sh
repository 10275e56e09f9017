#!/usr/bin/env bash
# measure_pitch.sh: measures, with MAME's headless vgmplay renders, how closely the X68000
# programs of opmcast-full and of the classic opmcast play the pitch of a YM2612 log, note by
# note, and why they differ where they do. Writes the report to fidelity/pitch/results.md
# (PITCH_RESULTS=FILE writes it there instead) and prints it.
#
# usage: fidelity/pitch/measure_pitch.sh
#
#   1. make_pitch_vgm writes the sweep (186 sine notes of 1 s, blocks 0-7, 24 F-numbers per
#      block), every F-number of every block (not rendered) and a YM2151 file with every key
#      code and fraction of octave 7.
#   2. Both converters convert the sweep and the every file; opmdump --to-vgm writes each
#      program's stream as a YM2151 VGM file at 4 MHz.
#   3. MAME renders the sweep, both conversions of it and the YM2151 file at 48 kHz.
#   4. measure_pitch checks its measurement on synthetic notes, reads the YM2151's phase step
#      for every key code and fraction off the YM2151 file's render, measures every note of the
#      three sweep renders, and works out what both converters' key codes give for every
#      F-number and block on the two chips' models.
#
# Needs a C++20 compiler (CXX, default c++), MAME (Debian package mame) and the project's
# build/bin/opmcast-full, opmcast and opmdump (built with cmake --build build when missing;
# OPMCAST_FULL, OPMCAST and OPMDUMP name others). About a minute and a half.
set -euo pipefail

here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
root=$(cd -- "$here/../.." && pwd)
results=${PITCH_RESULTS:-$here/results.md}
scratch=""
fail() { echo "measure_pitch: $*" >&2; exit 1; }
cleanup() { if [[ -n $scratch ]]; then rm -rf -- "$scratch"; fi; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
scratch=$(mktemp -d)

# A program in PATH, else in /usr/games, where Debian puts MAME.
find_tool() { type -P -- "$1" || { [[ -x /usr/games/$1 ]] && echo "/usr/games/$1"; }; }
mame=$(find_tool mame) || fail "MAME is not installed (Debian: apt-get install mame)"

# project_tool NAME OVERRIDE: the project's program NAME, built when missing.
project_tool() {
  local path=${2:-$root/build/bin/$1}
  if [[ ! -x $path && -z $2 ]]; then
    cmake --build "$root/build" --target "$1" >&2 || fail "could not build $1"
  fi
  [[ -x $path ]] || fail "$path is not an executable"
  echo "$path"
}
full=$(project_tool opmcast-full "${OPMCAST_FULL:-}")
classic=$(project_tool opmcast "${OPMCAST:-}")
dump=$(project_tool opmdump "${OPMDUMP:-}")

for tool in make_pitch_vgm measure_pitch; do
  "${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror -I "$here/../.." \
    -o "$scratch/$tool" "$here/$tool.cpp" || fail "could not build $tool"
done
measure=$scratch/measure_pitch

# shellcheck source=fidelity/mame_render.sh
. "$here/../mame_render.sh"
prepare_placeholder_roms

# render VGM WAV: the whole file (its header's sample count, 2 s more) at 48 kHz.
render() {
  local samples seconds
  samples=$(od -An -tu4 -j24 -N4 -- "$1" | tr -d ' ')
  seconds=$(( samples / 44100 + 2 ))
  render_vgm "$1" "$2" "$seconds"
}

# convert LOG FOLDER: both converters' programs of LOG, as YM2151 VGM files in FOLDER
# (full.vgm, classic.vgm).
convert() {
  local name
  name=$(basename "$1" .vgm)
  mkdir -p -- "$2/full" "$2/classic"
  cp -- "$1" "$2/full/" && cp -- "$1" "$2/classic/"
  cp -- "$root/player/vgmstub.bin" "$2/classic/"
  "$full" -q --max-size 16M "$2/full/$name.vgm" || fail "opmcast-full could not convert $1"
  (cd -- "$2/classic" && "$classic" "$name" >"$name.console") ||
    fail "opmcast could not convert $1"
  "$dump" --to-vgm "$2/full/$name.x" "$2/full.vgm" || fail "opmdump --to-vgm failed"
  "$dump" --to-vgm "$2/classic/$name.x" "$2/classic.vgm" || fail "opmdump --to-vgm failed"
}

echo "measure_pitch: writing, converting and rendering the test files (about a minute)" >&2
"$measure" self-test >"$scratch/self-test.md" || { cat "$scratch/self-test.md" >&2
  fail "the measurement fails its self-test"; }
for kind in sweep every opm-table; do
  "$scratch/make_pitch_vgm" "$kind" "$scratch/$kind.vgm" "$scratch/$kind.tsv" ||
    fail "make_pitch_vgm $kind failed"
done
convert "$scratch/sweep.vgm" "$scratch/sweep"
convert "$scratch/every.vgm" "$scratch/every"

# Two renders at a time, one for each core.
render "$scratch/sweep.vgm" "$scratch/source.wav" & first=$!
render "$scratch/sweep/full.vgm" "$scratch/full.wav" & second=$!
wait "$first"
wait "$second"
render "$scratch/sweep/classic.vgm" "$scratch/classic.wav" & first=$!
render "$scratch/opm-table.vgm" "$scratch/opm-table.wav" & second=$!
wait "$first"
wait "$second"

"$measure" table "$scratch/opm-table.tsv" "$scratch/opm-table.vgm" "$scratch/opm-table.wav" \
  >"$scratch/table.tsv" 2>"$scratch/table.log" || { cat "$scratch/table.log" >&2
  fail "could not measure the YM2151's phase steps"; }
"$measure" sweep "$scratch/sweep.tsv" "$scratch/table.tsv" \
  "$scratch/sweep.vgm" "$scratch/source.wav" \
  opmcast-full "$scratch/sweep/full.vgm" "$scratch/full.wav" \
  opmcast "$scratch/sweep/classic.vgm" "$scratch/classic.wav" >"$scratch/sweep.md"
"$measure" every "$scratch/every.tsv" "$scratch/table.tsv" \
  opmcast-full "$scratch/every/full.vgm" opmcast "$scratch/every/classic.vgm" \
  >"$scratch/every.md"

{
  echo "# Pitch, measured"
  echo
  echo "Written by fidelity/pitch/measure_pitch.sh on $(date -u '+%Y-%m-%d %H:%M UTC') with"
  measured="commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  git -C "$root" diff --quiet HEAD -- 2>/dev/null || measured="$measured with local changes"
  echo "$("$mame" -version 2>/dev/null | head -n 1 | sed 's/^/MAME /'), $measured."
  echo "Cents are 1200 log2 of the ratio of two frequencies; negative is flat."
  echo
  cat "$scratch/self-test.md"
  echo
  sed 's/^measure_pitch: //' "$scratch/table.log"
  echo
  cat "$scratch/sweep.md"
  echo
  cat "$scratch/every.md"
  echo
  echo "## The YM2151's phase steps, as MAME renders them"
  echo
  echo "For octave 2, by note and key fraction 0-63; octave n plays the step times 2^(n - 2),"
  echo "octaves 1 and 0 the step shifted right by 1 and 2, the bits shifted out lost. A step s"
  echo "plays s * 4000000 / 64 / 2^20 Hz at 4 MHz."
  echo
  echo '```'
  awk -F'\t' 'BEGIN { split("C# D D# - E F F# - G G# A - A# B C", names, " ") }
    { row[$2] = row[$2] " " $4 }
    END { for (code = 0; code < 15; code++) if (code % 4 != 3)
            printf "%-2s %s\n", names[code + 1], row[code] }' "$scratch/table.tsv"
  echo '```'
} >"$results"
cat "$results"
