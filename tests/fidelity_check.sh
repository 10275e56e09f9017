#!/usr/bin/env bash
# Converts one VGM log with opmpreview, which renders the source and the conversion with MAME,
# and checks how closely the conversion follows its source:
#   chroma similarity >= MIN_CHROMA, |lag| <= 18 ms (one tick), and, when the source has a
#   clearly panned part, stereo balance correlation >= MIN_STEREO.
# "Clearly panned" is opmfidelity's verdict on the source alone (source_panned): at least a
# tenth of its sounding octave-band blocks of 0.1 s are 3.5 dB or more louder on one side.
# Exits 77 (skipped) without MAME or without the log.
# usage: fidelity_check.sh OPMPREVIEW LOG.vgm MIN_CHROMA MIN_STEREO
set -euo pipefail
preview=$1 log=$2 min_chroma=$3 min_stereo=$4

if ! command -v mame >/dev/null && [[ ! -x /usr/games/mame ]]; then
  echo "skipped: MAME is not installed (Debian package mame)"; exit 77
fi
[[ -f $log ]] || { echo "skipped: $log is absent"; exit 77; }

dir=$(mktemp -d)
trap 'rm -rf -- "$dir"' EXIT
cp -- "$log" "$dir/song.vgm"
figures=$(cd "$dir" && XDG_CACHE_HOME=$dir/cache "$preview" --json song 2>"$dir/stderr") || {
  cat "$dir/stderr"; exit 1; }
echo "$(basename -- "$log"): $figures"

field() {
  [[ $figures =~ \"$1\":([^,}]*) ]] || { echo "no $1 in the figures"; exit 1; }
  echo "${BASH_REMATCH[1]}"
}
awk -v chroma="$(field chroma)" -v lag="$(field lag_ms)" -v panned="$(field source_panned)" \
    -v stereo="$(field stereo_correlation)" -v min_chroma="$min_chroma" \
    -v min_stereo="$min_stereo" 'BEGIN {
  bad = 0
  if (chroma < min_chroma) { print "chroma " chroma " < " min_chroma; bad = 1 }
  if (lag > 18 || lag < -18) { print "lag " lag " ms is more than one tick"; bad = 1 }
  if (panned == "true" && (stereo == "null" || stereo < min_stereo)) {
    print "stereo correlation " stereo " < " min_stereo " on a panned source"; bad = 1
  }
  exit bad
}'
