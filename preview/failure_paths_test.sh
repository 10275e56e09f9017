#!/usr/bin/env bash
# opmpreview's failure paths: each ends with one "opmpreview: ..." line on stderr (the usage
# follows for a wrong command line), nothing on stdout, the right exit status, and no file
# left behind, beside the input, in the temporary folder or in the cache.
# usage: failure_paths_test.sh PATH/TO/opmpreview
set -euo pipefail
preview=$1
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
mkdir "$work/songs" "$work/tmp" "$work/cache"
export TMPDIR=$work/tmp XDG_CACHE_HOME=$work/cache
cd "$work/songs"
echo "not a VGM log" >junk.vgm
# A VGM header alone whose total samples (offset 0x18), 441000 at 44100 Hz, make a 10 s pass.
printf 'Vgm \0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\xA8\xBA\x06\0' >short.vgm
failures=0

# expect STATUS FIRST-LINE ARGUMENT...
expect() {
  local status=$1 wanted=$2 actual=0 first left
  shift 2
  "$preview" "$@" >"$work/out" 2>"$work/err" </dev/null || actual=$?
  first=$(head -n 1 "$work/err")
  left=$(cd "$work" &&
         find songs tmp cache -mindepth 1 ! -path songs/junk.vgm ! -path songs/short.vgm)
  if (( actual != status )) || [[ $first != "$wanted" || -s $work/out || -n $left ]]; then
    echo "FAIL: opmpreview $*"
    echo "  status $actual (wanted $status), first line: $first"
    echo "  wanted: $wanted"
    [[ ! -s $work/out ]] || echo "  stdout: $(head -c 200 "$work/out")"
    [[ -z $left ]] || echo "  left behind: $left"
    failures=$((failures + 1))
  fi
}

expect 2 "opmpreview: no NAME given"
expect 2 "opmpreview: --seconds takes a whole number of seconds from 1 to 999999, not '0'" \
  --seconds 0 junk
expect 2 "opmpreview: --seconds takes a whole number of seconds from 1 to 999999, not '5s'" \
  --seconds=5s junk
expect 2 "opmpreview: unknown option --loud" --loud junk
expect 2 "opmpreview: --start needs a number" junk --start
for start in -1 1,5 0.1234 ''; do
  expect 2 \
    "opmpreview: --start takes seconds from 0 to 999999, three decimals at most, not '$start'" \
    --start "$start" junk
done
expect 2 "opmpreview: --start 10 is past the end of short.vgm: one pass lasts 10 s" \
  --start=10 short
expect 1 "opmpreview: no input: there is no missing.vgm or missing.vgz" missing
expect 1 "opmpreview: no input: there is no my song.vgz.vgm, my song.vgz.vgz or my song.vgz" \
  my song.vgz
# Past the input check opmpreview needs MAME, sox and ImageMagick; without them (as root) it
# would install them, which a test must not do.
if { command -v mame || [[ -x /usr/games/mame ]]; } >/dev/null && command -v sox >/dev/null &&
   [[ $({ magick -version || convert -version; } 2>/dev/null) == "Version: ImageMagick "* ]]
then
  expect 1 "opmpreview: opmcast: not Vgm :( " junk
  expect 1 "opmpreview: opmcast-full: not a VGM log" --full junk
fi

(( failures == 0 )) || exit 1
echo "opmpreview failure paths: all passed"
