#!/usr/bin/env bash
# measure_fade.sh: how closely opmcast-full's fade follows its designed curve on real music.
# Converts each log twice, with --loops 2 --fade S and with --loops 999 --fade 0 (the same music
# unfaded), renders the same stretch of both with MAME's vgmplay (from 1 s before the end of
# the second pass to 0.5 s past the fade, through fade_window_vgm) and prints, for each 0.25 s
# of the fade, the level of the faded render against the unfaded one in dB beside what the
# curve asks: the unfaded render's samples weighted by the curve's power, 40 log10(1 - t/S) dB,
# so that the music's own ups and downs within a window cancel out.
#
# usage: fidelity/fade/measure_fade.sh [--check] [--fade S] TOOL_DIR LOG...
#
# TOOL_DIR holds opmcast-full and fade_window_vgm (the build's bin folder and the build folder
# itself are both searched). With --check the exit status is 1 when a window strays more than
# 3 dB from the curve while the curve is above -33 dB, or is more than 3 dB above -33 dB after.
# Needs MAME (Debian package mame) and sox; exits 77 (skipped) without them or without any of
# the logs, and passes over a log that is absent.
set -euo pipefail

here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
scratch=""
fail() { echo "measure_fade: $*" >&2; exit 2; }
cleanup() { if [[ -n $scratch ]]; then rm -rf -- "$scratch"; fi; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

check=0 fade=3
while (( $# > 0 )); do
  case $1 in
    --check) check=1 ;;
    --fade) (( $# > 1 )) || fail "--fade needs seconds"; fade=$2; shift ;;
    *) break ;;
  esac
  shift
done
(( $# >= 2 )) || { sed -n '10p' "${BASH_SOURCE[0]}" | sed 's/^# //' >&2; exit 2; }
tools=$1; shift
find_built() {
  local dir
  for dir in "$tools" "$tools/bin" "$tools/.."; do
    [[ -x $dir/$1 ]] && { echo "$dir/$1"; return; }
  done
  fail "no $1 in $tools"
}
opmcast_full=$(find_built opmcast-full)
window_vgm=$(find_built fade_window_vgm)
find_tool() { type -P -- "$1" || { [[ -x /usr/games/$1 ]] && echo "/usr/games/$1"; }; }
skip() { echo "skipped: $*"; exit 77; }
mame=$(find_tool mame) || skip "MAME is not installed (Debian: apt-get install mame)"
sox=$(find_tool sox) || skip "sox is not installed (Debian: apt-get install sox)"
logs=()
for log in "$@"; do
  if [[ -f $log ]]; then logs+=("$log"); else echo "measure_fade: $log is absent" >&2; fi
done
(( ${#logs[@]} > 0 )) || skip "none of the logs is there"

scratch=$(mktemp -d)
# shellcheck source=fidelity/mame_render.sh
. "$here/../mame_render.sh"
prepare_placeholder_roms

before=1 after=$(awk -v f="$fade" 'BEGIN { print f + 0.5 }')
seconds=$(awk -v b="$before" -v a="$after" 'BEGIN { print int(b + a + 1.999) }')
status=0
for log in "${logs[@]}"; do
  name=$(basename -- "$log"); name=${name%.gz}; name=${name%.*}
  for kind in faded plain; do
    if [[ $kind == faded ]]; then options=(--loops 2 --fade "$fade"); else options=(--loops 999 --fade 0); fi
    "$opmcast_full" "${options[@]}" -o "$scratch/$kind" -- "$log" >"$scratch/$kind.out" 2>&1 ||
      { cat "$scratch/$kind.out" >&2; fail "opmcast-full could not convert $log"; }
    start=$("$window_vgm" "$scratch/$kind/$name.x" 2 "$before" "$after" "$scratch/$kind.vgm") ||
      fail "fade_window_vgm failed on $log"
    render_vgm "$scratch/$kind.vgm" "$scratch/$kind.wav" "$seconds"
    "$sox" "$scratch/$kind.wav" -t dat - | awk '!/^;/ { print $2 + $3 }' >"$scratch/$kind.txt"
  done
  echo "$name: the fade of $fade s against the same music unfaded (0.25 s windows)"
  paste "$scratch/faded.txt" "$scratch/plain.txt" |
    awk -v fade="$fade" -v lead="$start" \
        -v rate=48000 -v check="$check" '
      { t = (NR - 1) / rate - lead
        if (t < -0.5 || t >= fade) next
        w = int((t + 0.5) / 0.25)
        g = t < 0 ? 1 : (1 - t / fade) ^ 4
        a[w] += $1 * $1; b[w] += $2 * $2; e[w] += g * $2 * $2; n[w]++; last = w }
      function db(x) { return x > 0 ? 10 * log(x) / log(10) : -120 }
      END { bad = 0
            printf "  %-11s %9s %9s %7s\n", "seconds", "curve dB", "measured", "error"
            for (w = 0; w <= last; ++w) {
              # Windows where the music itself is near silence (below -70 dB) tell nothing.
              if (b[w] <= n[w] * 10 ^ (-7)) continue
              curve = db(e[w] / b[w]); got = db(a[w] / b[w])
              flag = ""
              if (curve > -33 && (got - curve > 3 || curve - got > 3)) flag = "  <-"
              if (curve <= -33 && got > -30) flag = "  <-"
              if (flag != "") bad = 1
              printf "  %5.2f-%-5.2f %9.1f %9.1f %+7.1f%s\n", w * 0.25 - 0.5, w * 0.25 - 0.25,
                     curve, got, got - curve, flag }
            exit check && bad }' || status=1
done
exit "$status"
