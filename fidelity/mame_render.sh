# Sourced by the measurement scripts (fidelity/levels, fidelity/pitch): renders VGM files with
# MAME's headless vgmplay driver. Needs $scratch (a folder of the caller's), $mame (the program)
# and a function fail MESSAGE. Sets $roms.

# MAME's vgmplay driver wants ROM files for chips these files never use; zero-filled files of
# the right sizes satisfy it (as opmpreview makes them): in the user's cache, else in scratch.
prepare_placeholder_roms() {
  local cache=${XDG_CACHE_HOME:-${HOME:+$HOME/.cache}}
  roms=$scratch/roms
  if [[ -n $cache ]] && mkdir -p -- "$cache/opmcast/roms/vgmplay" 2>/dev/null &&
     [[ -w $cache/opmcast/roms/vgmplay ]]; then
    roms=$cache/opmcast/roms
  fi
  mkdir -p -- "$roms/vgmplay"
  local entry file size tmp
  for entry in ym2413_instruments.bin:144 ym2608_adpcm_rom.bin:8192 dl-1425.bin:24576; do
    file=$roms/vgmplay/${entry%:*} size=${entry#*:}
    if [[ -f $file && $(stat -c %s -- "$file") == "$size" ]]; then continue; fi
    tmp=$(mktemp -- "$file.XXXXXX")
    head -c "$size" /dev/zero >"$tmp" && mv -f -- "$tmp" "$file"
  done
}

# render_vgm VGM WAV SECONDS: SECONDS of VGM at 48 kHz into WAV; MAME's chatter in WAV.log.
render_vgm() {
  mkdir -p -- "$scratch/home"
  # In scratch, where MAME, reading no settings file, puts its cfg and snap folders.
  (cd -- "$scratch" && HOME=$scratch/home exec "$mame" vgmplay -rompath "$roms" -quik "$1" \
    -video none -sound none -nothrottle -seconds_to_run "$3" -wavwrite "$2" \
    -skip_gameinfo -noreadconfig -samplerate 48000) >"$2.log" 2>&1 ||
    { cat "$2.log" >&2; fail "MAME could not render $1"; }
}
