#!/usr/bin/env bash
# opmpreview's failure paths: each ends with one "opmpreview: ..." line on stderr (the usage
# follows for a wrong command line), nothing on stdout, the right exit status, and no file
# left behind, beside the input, in the temporary folder or in the cache.
# Then the user's program: a NAME.x beside the log stays byte for byte as it was through a
# preview, with --full and without, and through one stopped by SIGINT while MAME renders; a
# preview writes no NAME.x where there was none. These runs render, so without MAME, sox or
# ImageMagick the test ends there as skipped (77).
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
if ! { command -v mame || [[ -x /usr/games/mame ]]; } >/dev/null || ! command -v sox >/dev/null ||
   [[ $({ magick -version || convert -version; } 2>/dev/null) != "Version: ImageMagick "* ]]
then
  (( failures == 0 )) || exit 1
  echo "opmpreview failure paths: all passed; skipped the rest: MAME, sox or ImageMagick is absent"
  exit 77
fi
expect 1 "opmpreview: opmcast: not Vgm :( " junk
expect 1 "opmpreview: opmcast-full: not a VGM log" --full junk
(( failures == 0 )) || exit 1
echo "opmpreview failure paths: all passed"

# --- the user's program
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# le BYTES NUMBER: the number in that many bytes, least significant first.
le() {
  local i
  for (( i = 0; i < $1; i++ )); do printf "\\x$(printf %02x $(( $2 >> 8 * i & 255 )))"; done
}
le32() { le 4 "$1"; }
# make_song FILE WAITS SAMPLES: a VGM 1.50 log of an SN76489 tone (440 Hz, full volume) held
# for WAITS waits of SAMPLES samples each (at most 65535), then silenced: the last write ends
# the song, so both conversions last as long as the log.
make_song() {
  local i
  {
    printf 'Vgm '; le32 $(( 0x40 + 6 + 3 * $2 + 3 - 4 )); le32 0x150; le32 3579545
    le32 0; le32 0; le32 $(( $2 * $3 )); le32 0; le32 0; le32 0
    printf '\x09\0\x10\0'; le32 7670453; le32 0; le32 0x0C; le32 0; le32 0
    printf '\x50\x8e\x50\x0f\x50\x90'
    for (( i = 0; i < $2; i++ )); do printf '\x61'; le 2 "$3"; done
    printf '\x50\x9f\x66'
  } >"$1"
}
rm -f junk.vgm short.vgm
make_song song.vgm 3 44100
head -c 1000 /dev/urandom >song.x
cp song.x "$work/song.x.before"
for options in "" --full; do
  # shellcheck disable=SC2086
  if ! "$preview" $options --seconds 1 song >"$work/out" 2>"$work/err" </dev/null; then
    fail "opmpreview $options --seconds 1 song: $(tail -n 1 "$work/err")"
  fi
  cmp -s song.x "$work/song.x.before" || fail "opmpreview $options changed song.x"
  for out in song.source.wav song.x68k.wav song.compare.png; do
    [[ -s $out ]] || fail "opmpreview $options wrote no $out"
  done
  left=$(cd "$work" && find tmp -mindepth 1)
  [[ -z $left ]] || fail "opmpreview $options left behind: $left"
  rm -f song.source.wav song.x68k.wav song.compare.png
done
# Without a program beside the log, none appears (nor a copy of the player).
mv song.x "$work/song.x.moved"
"$preview" --seconds 1 song >"$work/out" 2>"$work/err" </dev/null ||
  fail "opmpreview --seconds 1 song without song.x: $(tail -n 1 "$work/err")"
left=$(find . -mindepth 1 ! -name song.vgm ! -name song.source.wav ! -name song.x68k.wav \
       ! -name song.compare.png)
[[ -z $left ]] || fail "opmpreview wrote beside the log: $left"
rm -f song.source.wav song.x68k.wav song.compare.png
mv "$work/song.x.moved" song.x

# SIGINT while MAME renders a long song (about 5 minutes): status 130, the temporary folder
# gone with its renders, no output written and long.x as it was.
make_song long.vgm 200 65535
cp "$work/song.x.before" long.x
set -m  # a background job of a script ignores SIGINT otherwise
"$preview" --full --seconds 300 long >"$work/out" 2>"$work/err" </dev/null &
pid=$!
set +m
for (( i = 0; i < 300; i++ )); do
  compgen -G "$work/tmp/opmpreview.*/x68k/mame.log" >/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -INT "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
(( status == 130 )) ||
  fail "opmpreview stopped by SIGINT: status $status (wanted 130): $(tail -n 1 "$work/err")"
cmp -s long.x "$work/song.x.before" || fail "opmpreview stopped by SIGINT changed long.x"
left=$(cd "$work" && find tmp songs -mindepth 1 ! -path songs/song.vgm ! -path songs/song.x \
       ! -path songs/long.vgm ! -path songs/long.x)
[[ -z $left ]] || fail "opmpreview stopped by SIGINT left behind: $left"
if pgrep -f -- "$work/tmp/opmpreview" >/dev/null; then
  fail "opmpreview stopped by SIGINT left MAME running"
fi

(( failures == 0 )) || exit 1
echo "opmpreview leaves the user's program alone: all passed"
