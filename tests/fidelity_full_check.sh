#!/usr/bin/env bash
# Converts one VGM log both ways, with opmcast and with opmcast-full, renders each beside the
# source with opmpreview (MAME) and checks that the full conversion follows the source at
# least as closely: chroma similarity and band envelope correlation no lower than the
# classic's (0.005 of room for the measurement), the onsets' correlation at least 0.05 above
# the classic's (its finer time grid, and the drums where the log has them), the band envelope
# correlation at least 0.70, the lag within 10 ms.
# Exits 77 (skipped) without MAME or without the log.
# usage: fidelity_full_check.sh OPMPREVIEW LOG.vgm
set -euo pipefail
preview=$1 log=$2

if ! command -v mame >/dev/null && [[ ! -x /usr/games/mame ]]; then
  echo "skipped: MAME is not installed (Debian package mame)"; exit 77
fi
[[ -f $log ]] || { echo "skipped: $log is absent"; exit 77; }

dir=$(mktemp -d)
trap 'rm -rf -- "$dir"' EXIT
mkdir "$dir/classic" "$dir/full"
cp -- "$log" "$dir/classic/song.vgm"
cp -- "$log" "$dir/full/song.vgm"
measure() {  # measure KIND [OPTION]: opmfidelity's JSON line for that conversion
  (cd "$dir/$1" && XDG_CACHE_HOME=$dir/cache "$preview" --json "${@:2}" song 2>"$dir/$1.err") || {
    cat "$dir/$1.err"; exit 1; }
}
classic=$(measure classic)
full=$(measure full --full)
echo "$(basename -- "$log") classic: $classic"
echo "$(basename -- "$log") full:    $full"

field() {  # field JSON NAME
  [[ $1 =~ \"$2\":([^,}]*) ]] || { echo "no $2 in the figures"; exit 1; }
  echo "${BASH_REMATCH[1]}"
}
awk -v cc="$(field "$classic" chroma)" -v fc="$(field "$full" chroma)" \
    -v cb="$(field "$classic" band_correlation_mean)" -v fb="$(field "$full" band_correlation_mean)" \
    -v co="$(field "$classic" onset_correlation)" -v fo="$(field "$full" onset_correlation)" \
    -v lag="$(field "$full" lag_ms)" 'BEGIN {
  bad = 0
  if (fc < cc - 0.005) { print "chroma " fc " below the classic, " cc; bad = 1 }
  if (fb < cb - 0.005) { print "band envelope correlation " fb " below the classic, " cb; bad = 1 }
  if (fb < 0.70) { print "band envelope correlation " fb " below 0.70"; bad = 1 }
  if (fo < co + 0.05) { print "onset correlation " fo " not 0.05 above the classic, " co; bad = 1 }
  if (lag > 10 || lag < -10) { print "lag " lag " ms is more than 10 ms"; bad = 1 }
  exit bad
}'
