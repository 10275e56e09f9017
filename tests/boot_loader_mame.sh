#!/usr/bin/env bash
# Boots a blank data disk with the data disk's boot loader on MAME's X68000 (IPL ROM 1.0 of
# ../shared/x68k-mame) and checks that the IPL ROM ran it from $2000: the message drawn on the
# text screen through the IOCS, and the CPU then waiting in the loader's idle loop, a key changing
# nothing. Exits 77 (skipped) without MAME or without the IPL ROM.
# usage: boot_loader_mame.sh MAKE_BOOT_DISK PROBE.lua KIT_DIR
set -euo pipefail
make_disk=$1 probe=$(readlink -f "$2") kit=$3

mame=$(command -v mame || true)
[[ -n $mame ]] || { [[ -x /usr/games/mame ]] && mame=/usr/games/mame; }
[[ -n $mame ]] || { echo "skipped: MAME is not installed (Debian package mame)"; exit 77; }
[[ -f $kit/iplrom.dat ]] || { echo "skipped: $kit/iplrom.dat is absent"; exit 77; }

d=$(mktemp -d)
trap 'rm -rf -- "$d"' EXIT
mkdir -p "$d/roms/x68000"
ln -s "$(readlink -f "$kit/iplrom.dat")" "$d/roms/x68000/iplrom.dat"
"$make_disk" "$d/data.xdf" "$d/roms/x68000/cgrom.dat"

# The probe stops the machine once it has seen the loader wait (MAME may crash on the way out,
# which does not matter: the probe's log is complete by then); 40 s is the limit.
PROBELOG=$d/probe.log HOME=$d "$mame" x68000 -bios ipl10 -rompath "$d/roms" -flop1 "$d/data.xdf" \
  -video none -sound none -nothrottle -skip_gameinfo -noreadconfig \
  -cfg_directory "$d/cfg" -nvram_directory "$d/nvram" -diff_directory "$d/diff" \
  -snapshot_directory "$d/snap" -autoboot_script "$probe" -seconds_to_run 40 \
  >"$d/mame.log" 2>&1 || true
[[ -f $d/probe.log ]] || { tail -5 "$d/mame.log"; echo "MAME wrote no probe log"; exit 1; }
cat "$d/probe.log"

fail() { echo "FAILED: $*"; exit 1; }
grep -q '^at \$2000: 60 3C 58 36 38 49 50 4C 33 30$' "$d/probe.log" ||
  fail "the boot sector is not at \$2000"
grep -q '^| This disk holds music made by opmcast. It is a data disk, not a system disk:$' \
  "$d/probe.log" || fail "the message's first line is not on the screen"
grep -q '^| Put a system disk in drive 0 and press RESET (or switch the X68000 off and on).$' \
  "$d/probe.log" || fail "the message's last line is not on the screen"
grep -q ' printed PC=.* cursor=0,11$' "$d/probe.log" ||
  fail "the cursor is not at the start of row 11 after the message"
# The loader's idle loop: stop at $2052 (loader offset $14), bra.s back at $2056.
grep -Eq '^[0-9]+ samples, PC seen at .*00205[2-9]' "$d/probe.log" ||
  fail "the CPU is not found in the loader's idle loop"
grep -q ' still printed ' "$d/probe.log" || fail "the message did not stay after a key"
echo "OK: the IPL ROM ran the boot loader from \$2000; it printed its message and waits"
