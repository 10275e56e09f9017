#!/usr/bin/env bash
# measure_levels.sh: measures, with MAME's headless vgmplay renders, how loud the SN76489's
# tone and white noise are beside a reference YM2612 voice on the Mega Drive, and how loud the
# classic converter's additive PSG voice and the OPM noise are beside the same reference voice
# on the X68000's YM2151 at 4 MHz; then derives the TL tables that give the OPM the Mega
# Drive's balance, checks them with further renders and prints everything as Markdown tables.
#
# usage: fidelity/levels/measure_levels.sh
#
# Needs a C++20 compiler (CXX, default c++), MAME (Debian package mame) and sox. Every level
# is the RMS of the left channel about its mean (the DC that MAME's YM2612 and SN76489 carry
# is inaudible and left out), from 1.0 s to 2.5 s of a 3 s render at 48 kHz (MAME reads no
# settings file), in dB relative to full scale. Every sound is panned centre; the right
# channel is checked to agree.
set -euo pipefail

here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
scratch=""
fail() { echo "measure_levels: $*" >&2; exit 1; }
cleanup() { if [[ -n $scratch ]]; then rm -rf -- "$scratch"; fi; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
scratch=$(mktemp -d)

# A program in PATH, else in /usr/games, where Debian puts MAME.
find_tool() { type -P -- "$1" || { [[ -x /usr/games/$1 ]] && echo "/usr/games/$1"; }; }
mame=$(find_tool mame) || fail "MAME is not installed (Debian: apt-get install mame)"
sox=$(find_tool sox) || fail "sox is not installed (Debian: apt-get install sox)"

generator=$scratch/make_level_vgm
"${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror -I "$here/../.." \
  -o "$generator" "$here/make_level_vgm.cpp" || fail "could not build make_level_vgm"

# shellcheck source=fidelity/mame_render.sh
. "$here/../mame_render.sh"
prepare_placeholder_roms

render_seconds=3 measure_from=1.0 measure_length=1.5

# level ARGS...: makes the VGM file that make_level_vgm writes for ARGS, renders it and prints
# its level in dB (left channel, RMS about the mean).
level() {
  local IFS=_
  local name="$*"
  IFS=$' \t\n'
  local vgm=$scratch/$name.vgm wav=$scratch/$name.wav
  "$generator" "$@" "$vgm" || fail "make_level_vgm $* failed"
  render_vgm "$vgm" "$wav" "$render_seconds"
  local left right
  read -r left right < <("$sox" "$wav" -t dat - trim "$measure_from" "$measure_length" |
    awk '!/^;/ { n++; s1 += $2; q1 += $2 * $2; s2 += $3; q2 += $3 * $3 }
         END { if (n == 0) exit 1
               v1 = q1 / n - (s1 / n) ^ 2; v2 = q2 / n - (s2 / n) ^ 2
               printf "%.4f %.4f\n", 10 * log(v1) / log(10), 10 * log(v2) / log(10) }') ||
    fail "could not measure $name"
  awk -v l="$left" -v r="$right" 'BEGIN { exit !(l - r > 0.01 || r - l > 0.01) }' &&
    echo "measure_levels: $name: left $left dB, right $right dB" >&2
  echo "$left"
}

# calc EXPRESSION: awk's arithmetic, printed with %.4f.
calc() { awk "BEGIN { printf \"%.4f\", $1 }"; }
# round EXPRESSION: to the nearest whole number, halves away from zero.
round() { awk "BEGIN { x = $1; printf \"%d\", x < 0 ? -int(-x + 0.5) : int(x + 0.5) }"; }
dB() { printf '%+.2f' "$1"; }

mkdir -p -- "$scratch/home"
echo "measure_levels: about 30 renders, half a minute" >&2

# ---- Mega Drive side ----
source_fm=$(level source-fm)
declare -A tone
for a in 0 2 4 6 8 10 12 14; do tone[$a]=$(level source-tone "$a"); done
declare -A noise
for nf in 0 1 2; do noise[$nf]=$(level source-noise "$nf" 0); done
noise_a6=$(level source-noise 0 6)

# ---- X68000 side ----
opm_fm=$(level opm-fm 0)
classic=$(level opm-tone 0)
target_tone=$(calc "${tone[0]} - $source_fm")
classic_rel=$(calc "$classic - $opm_fm")
# The shift k (TL steps of 0.75 dB, negative = louder) that the classic's own level predicts,
# then the best of it and its neighbours as measured.
k_guess=$(round "($classic_rel - $target_tone) / 0.75")
declare -A shifted
best_k="" best_error=""
for k in $(( k_guess - 1 )) "$k_guess" $(( k_guess + 1 )); do
  shifted[$k]=$(level opm-tone "$k")
  error=$(calc "${shifted[$k]} - $opm_fm - $target_tone")
  if [[ -z $best_k ]] || awk -v e="$error" -v b="$best_error" \
       'BEGIN { exit !((e < 0 ? -e : e) < (b < 0 ? -b : b)) }'; then
    best_k=$k best_error=$error
  fi
done
tl_step=$(calc "(${shifted[$(( k_guess - 1 ))]} - ${shifted[$(( k_guess + 1 ))]}) / 2")

# The OPM noise at TL 0, for NF 0 (NFRQ 14) and NF 1-2 (NFRQ 0), and how far it is from the
# SN76489 noise's balance.
opm_noise14=$(level opm-noise 14 0)
opm_noise0=$(level opm-noise 0 0)
target_noise=$(calc "${noise[0]} - $source_fm")
noise_gain_db=$(calc "$target_noise - ($opm_noise14 - $opm_fm)")

# When the noise at TL 0 is quieter than its balance wants, a second set of tables turns every
# FM carrier down by fm_down TL steps (enough to cover the shortfall) and the PSG voice with
# them, which leaves the noise that much more room.
fm_down=$(awk -v g="$noise_gain_db" \
  'BEGIN { d = g > 0 ? int(g / 0.75) : 0; if (d * 0.75 < g) d++; print d }')
opm_fm_down=$opm_fm
downs=(0)
if (( fm_down > 0 )); then
  opm_fm_down=$(level opm-fm "$fm_down")
  downs+=("$fm_down")
fi

# Tables, for FM carriers DOWN TL steps down. Tone: operator op at TL CLASSIC(op) + k + DOWN
# + round(8a/3), CLASSIC = 39, 35, 31, 27 for multipliers 7, 5, 3, 1. Noise: on the amplitude
# law 1023 - 8 TL, the amplitude 1023 g 10^(-a/10), g = 10^((shortfall - 0.75 DOWN) / 20),
# with the TL within 0-127 nearest to it in dB.
tone_shift() { round "$best_k + $1 + 8 * $2 / 3"; }
tone_error() { calc "0.75 * ($(tone_shift "$1" "$2") - $best_k - $1) - 2 * $2"; }
noise_law() {  # noise_law DOWN A: the TL and the error the law predicts for it
  awk -v gdb="$(calc "$noise_gain_db - 0.75 * $1")" -v a="$2" '
    function err(tl) { return 20 * log((1023 - 8 * tl) / want) / log(10) }
    BEGIN { want = 1023 * 10 ^ (gdb / 20) * 10 ^ (-a / 10)
            tl = int((1023 - want) / 8); if (tl < 0) tl = 0; if (tl > 127) tl = 127
            if (tl < 127 && (err(tl + 1) < 0 ? -err(tl + 1) : err(tl + 1)) < \
                            (err(tl) < 0 ? -err(tl) : err(tl))) tl++
            printf "%d %.4f\n", tl, err(tl) }'
}
noise_tl() { noise_law "$1" "$2" | cut -d' ' -f1; }
noise_error() { noise_law "$1" "$2" | cut -d' ' -f2; }
tls() {  # the four operator TLs of the PSG voice shifted by $1
  local op out=""
  for op in 0 1 2 3; do out+="$(( 39 - 4 * op + $1 ))/"; done
  echo "${out%/}"
}

# ---- checks of the tables: attenuation 0 and 6 of the tone and of the noise (NF 0) ----
declare -A checked
for down in "${downs[@]}"; do
  for a in 0 6; do
    checked[tone,$down,$a]=$(level opm-tone "$(tone_shift "$down" "$a")")
    checked[noise,$down,$a]=$(level opm-noise 14 "$(noise_tl "$down" "$a")")
  done
done

# ---- report ----
echo "### Mega Drive side (MAME, YM2612 7670453 Hz + SN76489 3579545 Hz)"
echo
echo "| sound | level (dBFS) | relative to the FM reference (dB) |"
echo "|---|---|---|"
echo "| FM reference (algorithm 7, one carrier at TL 0, 440.1 Hz) | $(dB "$source_fm") | 0.00 |"
for a in 0 2 4 6 8 10 12 14; do
  echo "| SN76489 tone 0, period 254, attenuation $a | $(dB "${tone[$a]}") |" \
    "$(dB "$(calc "${tone[$a]} - $source_fm")") |"
done
for nf in 0 1 2; do
  echo "| SN76489 white noise NF $nf, attenuation 0 | $(dB "${noise[$nf]}") |" \
    "$(dB "$(calc "${noise[$nf]} - $source_fm")") |"
done
echo "| SN76489 white noise NF 0, attenuation 6 | $(dB "$noise_a6") |" \
  "$(dB "$(calc "$noise_a6 - $source_fm")") |"
echo
printf 'Tone step per attenuation step, 0 to 14: %.2f dB (by pairs of steps:' \
  "$(calc "(${tone[0]} - ${tone[14]}) / 14")"
for a in 0 2 4 6 8 10 12; do
  printf ' %.2f' "$(calc "(${tone[$a]} - ${tone[$(( a + 2 ))]}) / 2")"
done
echo ")."
echo
echo "### X68000 side (MAME, YM2151 4000000 Hz)"
echo
echo "| sound | level (dBFS) | relative to the FM reference (dB) | wanted (dB) | error (dB) |"
echo "|---|---|---|---|---|"
echo "| FM reference (CON 7, C2 at TL 0, 438.0 Hz) | $(dB "$opm_fm") | 0.00 | | |"
row() {  # row NAME LEVEL WANTED
  local rel; rel=$(calc "$2 - $opm_fm")
  echo "| $1 | $(dB "$2") | $(dB "$rel") | $(dB "$3") | $(dB "$(calc "$rel - $3")") |"
}
row "classic PSG voice, attenuation 0 (TL $(tls 0))" "$classic" "$target_tone"
for k in $(( k_guess - 1 )) "$k_guess" $(( k_guess + 1 )); do
  row "PSG voice shifted by $k TL steps (TL $(tls "$k"))" "${shifted[$k]}" "$target_tone"
done
row "OPM noise NFRQ 14 (for NF 0), TL 0" "$opm_noise14" "$target_noise"
row "OPM noise NFRQ 0 (for NF 1), TL 0" "$opm_noise0" "$(calc "${noise[1]} - $source_fm")"
row "OPM noise NFRQ 0 (for NF 2), TL 0" "$opm_noise0" "$(calc "${noise[2]} - $source_fm")"
if (( fm_down > 0 )); then
  echo "| FM reference, carrier at TL $fm_down | $(dB "$opm_fm_down") |" \
    "$(dB "$(calc "$opm_fm_down - $opm_fm")") | $(dB "$(calc "-0.75 * $fm_down")") |" \
    "$(dB "$(calc "$opm_fm_down - $opm_fm + 0.75 * $fm_down")") |"
fi
echo
echo "Measured TL step on the PSG voice: $(printf '%.3f' "$tl_step") dB."
echo "Best common shift of the PSG voice: k = $best_k TL steps" \
  "(error $(dB "$best_error") dB at attenuation 0)."
echo "The OPM noise at TL 0 wants $(dB "$noise_gain_db") dB more to match the SN76489 noise (NF 0)."

for down in "${downs[@]}"; do
  if (( down == 0 )); then
    title="FM carriers as the YM2612's (TL as is)"
  else
    title="every FM carrier $down TL steps down ($(calc "0.75 * $down" | xargs printf '%.2f') dB)"
  fi
  fm_level=$opm_fm
  (( down == 0 )) || fm_level=$opm_fm_down
  echo
  echo "### Tables with $title"
  echo
  echo "| attenuation | 0 | 1 | 2 | 3 | 4 | 5 | 6 | 7 | 8 | 9 | 10 | 11 | 12 | 13 | 14 |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  for op in 0 1 2 3; do
    printf '| tone TL, MUL %d |' $(( 7 - 2 * op ))
    for a in $(seq 0 14); do printf ' %d |' $(( 39 - 4 * op + $(tone_shift "$down" "$a") )); done
    echo
  done
  printf '| tone error (dB) |'
  for a in $(seq 0 14); do printf ' %+.2f |' "$(tone_error "$down" "$a")"; done
  echo
  printf '| noise TL |'
  for a in $(seq 0 14); do printf ' %d |' "$(noise_tl "$down" "$a")"; done
  echo
  printf '| noise error (dB) |'
  for a in $(seq 0 14); do printf ' %+.2f |' "$(noise_error "$down" "$a")"; done
  echo
  echo
  echo "(errors: of the rounded TL steps for the tone, of the noise's level law for the noise)"
  echo
  echo "| check | TL | relative to the FM reference (dB) | wanted (dB) | error (dB) |"
  echo "|---|---|---|---|---|"
  for a in 0 6; do
    rel=$(calc "${checked[tone,$down,$a]} - $fm_level")
    want=$(calc "${tone[$a]} - $source_fm")
    echo "| PSG voice, attenuation $a | $(tls "$(tone_shift "$down" "$a")") | $(dB "$rel") |" \
      "$(dB "$want") | $(dB "$(calc "$rel - $want")") |"
  done
  for a in 0 6; do
    rel=$(calc "${checked[noise,$down,$a]} - $fm_level")
    if (( a == 0 )); then want=$target_noise; else want=$(calc "$noise_a6 - $source_fm"); fi
    echo "| noise NFRQ 14, attenuation $a | $(noise_tl "$down" "$a") | $(dB "$rel") |" \
      "$(dB "$want") | $(dB "$(calc "$rel - $want")") |"
  done
done
