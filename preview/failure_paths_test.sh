#!/usr/bin/env bash
# opmpreview's failure paths: each ends with one "opmpreview: ..." line on stderr (the usage
# follows for a wrong command line, not for a wrong value), nothing on stdout, the right exit
# status, and no file left behind, beside the input, in the temporary folder or in the cache;
# so do those of a program given as NAME.x (cut short, a track it lacks, past its end).
# Then the user's program: a NAME.x beside the log stays byte for byte as it was through a
# preview, with --full and without (whose messages name no NAME.x), and through one stopped by
# SIGINT while MAME renders; a preview writes no NAME.x where there was none. A program and an
# album's track are previewed as they are: NAME.x68k.wav and .png beside them, nothing else. These runs render, so without MAME, sox or
# ImageMagick the test ends there as skipped (77).
# usage: failure_paths_test.sh PATH/TO/opmpreview
set -euo pipefail
preview=$1
tools=$(dirname -- "$preview")  # the build tree's opmcast-full lies beside it
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
mkdir "$work/songs" "$work/tmp" "$work/cache" "$work/progs"
export TMPDIR=$work/tmp XDG_CACHE_HOME=$work/cache
cd "$work/songs"
echo "not a VGM log" >junk.vgm
# A VGM header alone whose total samples (offset 0x18), 441000 at 44100 Hz, make a 10 s pass.
printf 'Vgm \0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\xA8\xBA\x06\0' >short.vgm
failures=0

# expect STATUS FIRST-LINE ARGUMENT...; with one_line=1, stderr holds that line alone.
expect() {
  local status=$1 wanted=$2 actual=0 first left lines
  shift 2
  "$preview" "$@" >"$work/out" 2>"$work/err" </dev/null || actual=$?
  first=$(head -n 1 "$work/err")
  lines=$(wc -l <"$work/err")
  left=$(cd "$work" && find songs tmp cache progs -mindepth 1 ! -path songs/junk.vgm \
         ! -path songs/short.vgm ! -path 'progs/*.x')
  if (( actual != status )) || [[ $first != "$wanted" || -s $work/out || -n $left ]] ||
     (( ${one_line:-0} && lines != 1 )); then
    echo "FAIL: opmpreview $*"
    echo "  status $actual (wanted $status), $lines lines on stderr, the first: $first"
    echo "  wanted: $wanted"
    [[ ! -s $work/out ]] || echo "  stdout: $(head -c 200 "$work/out")"
    [[ -z $left ]] || echo "  left behind: $left"
    failures=$((failures + 1))
  fi
}

expect 2 "opmpreview: no NAME given"
one_line=1 expect 2 \
  "opmpreview: --seconds takes a whole number of seconds from 1 to 999999, not '0'" \
  --seconds 0 junk
one_line=1 expect 2 \
  "opmpreview: --seconds takes a whole number of seconds from 1 to 999999, not '5s'" \
  --seconds=5s junk
expect 2 "opmpreview: unknown option --loud" --loud junk
one_line=1 expect 2 "opmpreview: --start needs a number" junk --start
for start in -1 1,5 0.1234 ''; do
  one_line=1 expect 2 \
    "opmpreview: --start takes seconds from 0 to 999999, three decimals at most, not '$start'" \
    --start "$start" junk
done
one_line=1 expect 2 "opmpreview: --start 10 is past the end of short.vgm: one pass lasts 10 s" \
  --start=10 short
one_line=1 expect 2 "opmpreview: --track takes a track number from 1, not '0'" --track 0 junk
one_line=1 expect 2 "opmpreview: --track 2 previews a track of an album program, NAME.x" \
  --track 2 junk
expect 1 "opmpreview: no input: there is no missing.vgm or missing.vgz" missing
expect 1 "opmpreview: no input: there is no my song.vgz.vgm, my song.vgz.vgz or my song.vgz" \
  my song.vgz
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
# Programs: one song of 3 s and an album of two, made by opmcast-full; a copy cut short.
make_song "$work/progs/song.vgm" 3 44100
"$tools/opmcast-full" -q -o "$work/progs" "$work/progs/song.vgm" &&
  "$tools/opmcast-full" -q --album "$work/progs/album.x" "$work/progs/song.vgm" \
    "$work/progs/song.vgm" || { echo "FAIL: opmcast-full could not make the programs"; exit 1; }
rm -f "$work/progs/song.vgm"
size=$(stat -c %s "$work/progs/song.x")
head -c $(( size - 100 )) "$work/progs/song.x" >"$work/progs/cut.x"
one_line=1 expect 2 \
  "opmpreview: --start 4 is past the end of song.x: it plays once through in 3.001 s" \
  --start 4 "$work/progs/song.x"
one_line=1 expect 2 \
  "opmpreview: --json prints the comparison with the source log; a program has no source" \
  --json "$work/progs/song.x"
one_line=1 expect 1 "opmpreview: opmdump: $work/progs/cut.x: offset 0xC: the file is cut short:\
 $(( size - 100 )) bytes, where its text size counts $size (with the 64-byte header and the\
 12-byte player tail)" "$work/progs/cut.x"
one_line=1 expect 1 \
  "opmpreview: opmdump: $work/progs/song.x: --track reads albums only; this program plays one song" \
  --track 1 "$work/progs/song.x"
one_line=1 expect 1 "opmpreview: opmdump: $work/progs/album.x: --track 3: the album has tracks 1 to 2" \
  --track 3 "$work/progs/album.x"
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
  ! grep -q -- "-> song.x" "$work/err" || fail "opmpreview $options names song.x: $(cat "$work/err")"
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

# A program, and an album's second track: rendered as they are, written beside them.
# preview_program STEM ARGUMENT...: the outputs are progs/STEM.x68k.wav and .png.
preview_program() {
  local what=$1 out
  shift
  "$preview" --seconds 1 "$@" >"$work/out" 2>"$work/err" </dev/null ||
    fail "opmpreview $*: $(tail -n 1 "$work/err")"
  grep -q "^  $what.x68k.wav  *.* rendered, seconds 0 to 1$" "$work/out" ||
    fail "opmpreview $*: $(cat "$work/out")"
  for out in "$what.x68k.wav" "$what.x68k.png"; do
    [[ -s $work/progs/$out ]] || fail "opmpreview $* wrote no $out"
    rm -f "$work/progs/$out"
  done
}
preview_program song "$work/progs/song.x"
preview_program album.track2 --track 2 "$work/progs/album.x"
left=$(cd "$work" && find tmp progs -mindepth 1 ! -name '*.x')
[[ -z $left ]] || fail "opmpreview of the programs left behind: $left"

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
