#!/usr/bin/env bash
# The converters' exact output, held fixed: converts every input below and compares the
# program, what the converter printed and the exit status with the recorded digests.
#
#     output_digests.sh OPMCAST MAKE_EXAMPLE_VGM MAKE_DENSE_VGM [--record]
#     output_digests.sh --full OPMCAST_FULL MAKE_EXAMPLE_VGM MAKE_DENSE_VGM [--record]
#
# The classic opmcast is held to tests/output_digests.txt: its program and its console
# (stdout and stderr together). With --full, opmcast-full is held to
# tests/full_output_digests.txt: its program, its stdout (the summary lines) and its stderr,
# apart. Each input is converted in a work folder as "song.vgm" (or "song.vgz"), so that the
# paths in the summary line are the same on every machine.
#
# Inputs: the example tune, the generated dense and DAC logs of the benchmark, the fuzz seeds
# and regressions, and the real logs in ../shared/corpus (passed over with a message when that
# folder is absent). The generated 64 MiB log is the classic's only: opmcast-full refuses its
# program at once as larger than its default 1 MiB limit (--max-size), a refusal its own tests
# cover. A difference fails with the input and the first block of the file that differs
# (each file is recorded as a SHA-256 and the digests of at most 128 blocks, which leave out a
# program's text size field and, in opmcast-full's, the offset of its drums' bank).
#
# --record rewrites the digests file from the given converter. That is a deliberate step,
# taken only when a change of the output is intended, and said in the commit message. After
# changing opmcast-full's output on purpose, from the top of the repository with the build in
# build/:
#
#     bash tests/output_digests.sh --full build/bin/opmcast-full build/make_example_vgm \
#         build/make_dense_vgm --record
#
# and the same without --full and with build/bin/opmcast for the classic.
set -euo pipefail
full=false
[[ ${1:-} == --full ]] && full=true && shift
opmcast=$(realpath "$1") make_example=$(realpath "$2") make_dense=$(realpath "$3")
record=false
[[ ${4:-} == --record ]] && record=true
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=$root/../shared/corpus
if $full; then
    digests=$root/tests/full_output_digests.txt
    outputs=(song.x stdout stderr)
else
    digests=$root/tests/output_digests.txt
    outputs=(song.x console)
fi

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
mkdir "$work/inputs"

# name -> path of every input, in a fixed order.
names=() paths=()
add_input() { names+=("$1"); paths+=("$2"); }
"$make_example" "$work/inputs/example.vgm" >/dev/null
add_input example/example.vgm "$work/inputs/example.vgm"
"$make_dense" 1048576 "$work/inputs/dense-1MiB.vgm" >/dev/null
"$make_dense" 1572864 "$work/inputs/dac-1.5MiB.vgm" --dac >/dev/null
generated=(dense-1MiB dac-1.5MiB)
if ! $full; then
    "$make_dense" 67108864 "$work/inputs/dense-64MiB.vgm" >/dev/null
    generated+=(dense-64MiB)
fi
for f in "${generated[@]}"; do add_input "generated/$f.vgm" "$work/inputs/$f.vgm"; done
for dir in fuzz/corpus fuzz/regressions; do
    while IFS= read -r f; do add_input "$dir/$(basename "$f")" "$f"; done \
        < <(find "$root/$dir" -maxdepth 1 -type f -name '*.vg[mz]' | sort)
done
if [[ -d $corpus ]]; then
    while IFS= read -r f; do add_input "corpus/$(basename "$f")" "$f"; done \
        < <(find "$corpus" -maxdepth 1 -type f -name '*.vg[mz]' | sort)
else
    echo "note: $corpus is absent; the real logs are not checked"
fi

# The digests of the blocks of file $2, cut $1 bytes long. A program's text size (bytes 12 to
# 15), and in opmcast-full's the text offset of the drums' bank (bytes 66 to 69), are left out
# of them, so that a change of length shows where it begins, not in block 0.
block_digests() {
    local file=$2
    if [[ $file == *.x ]]; then
        cp "$2" "$work/masked" && file=$work/masked
        printf '\0\0\0\0' | dd of="$file" bs=1 seek=12 conv=notrunc status=none
        if $full && (($(stat -c %s "$file") >= 70)); then
            printf '\0\0\0\0' | dd of="$file" bs=1 seek=66 conv=notrunc status=none
        fi
    fi
    split -b "$1" --filter='sha256sum | cut -c1-8' "$file"
}

# One record of a file: its length, SHA-256, block size and block digests (- when absent).
describe() {
    if [[ ! -e $1 ]]; then
        echo "- - - -"
        return
    fi
    local size block=256
    size=$(stat -c %s "$1")
    while (((size + block - 1) / block > 128)); do block=$((block * 2)); done
    local blocks=-
    if ((size > 0)); then
        blocks=$(block_digests "$block" "$1" | paste -sd:)
    fi
    echo "$size $(sha256sum <"$1" | cut -c1-64) $block $blocks"
}

# Where two records of a file first differ, in words.
first_difference() {
    local -a old=($1) new=($2)
    if [[ ${old[0]} == - || ${new[0]} == - ]]; then
        echo "recorded ${old[0]/-/absent} bytes, now ${new[0]/-/absent}"
        return
    fi
    local block=${old[2]} i
    local -a old_blocks new_blocks
    IFS=: read -ra old_blocks <<<"${old[3]}"
    # The new file cut into the recorded block size, so that the blocks line up.
    new_blocks=($(block_digests "$block" "$3"))
    for ((i = 0; i < ${#old_blocks[@]} && i < ${#new_blocks[@]}; i++)); do
        if [[ ${old_blocks[i]} != "${new_blocks[i]}" ]]; then
            printf 'first difference in bytes 0x%X-0x%X' $((i * block)) $(((i + 1) * block - 1))
            echo " (length ${new[0]}, recorded ${old[0]})"
            return
        fi
    done
    local shorter=$((old[0] < new[0] ? old[0] : new[0]))
    printf 'first difference at offset 0x%X: length %s, recorded %s\n' "$shorter" "${new[0]}" "${old[0]}"
}

$full || cp "$root/player/vgmstub.bin" "$work/vgmstub.bin"
declare -A now  # "input what" -> record of this run
for i in "${!names[@]}"; do
    dir=$work/run
    rm -rf "$dir" && mkdir "$dir"
    $full || cp "$work/vgmstub.bin" "$dir/"
    case ${paths[i]} in *.vgz) song=song.vgz ;; *) song=song.vgm ;; esac
    cp "${paths[i]}" "$dir/$song"
    status=0
    if $full; then
        (cd "$dir" && "$opmcast" "$song" >stdout 2>stderr) || status=$?
    else
        (cd "$dir" && "$opmcast" song >console 2>&1) || status=$?
    fi
    now["${names[i]} status"]=$status
    # Kept for the comparison below, which may need to cut them into blocks again.
    mkdir -p "$work/kept/$i"
    for what in "${outputs[@]}"; do
        now["${names[i]} $what"]=$(describe "$dir/$what")
        [[ -e $dir/$what ]] && mv "$dir/$what" "$work/kept/$i/"
    done
done

if $record; then
    {
        if $full; then
            echo "# opmcast-full's output for every input of tests/output_digests.sh --full: exit"
            echo "# status; then for the program, stdout and stderr: length, SHA-256, block size,"
            echo "# block digests. Rewritten only by: tests/output_digests.sh --full ... --record"
        else
            echo "# The converter's output for every input of tests/output_digests.sh: exit status;"
            echo "# then for the program and the console: length, SHA-256, block size, block digests."
            echo "# Rewritten only by: tests/output_digests.sh ... --record"
        fi
        for name in "${names[@]}"; do
            for what in status "${outputs[@]}"; do echo "$name $what ${now["$name $what"]}"; done
        done
    } >"$digests"
    echo "recorded ${#names[@]} inputs in $digests"
    exit 0
fi

declare -A recorded
while read -r name what rest; do
    [[ $name == \#* || -z $name ]] && continue
    recorded["$name $what"]=$rest
done <"$digests"

failures=0
for i in "${!names[@]}"; do
    for what in status "${outputs[@]}"; do
        key="${names[i]} $what"
        if [[ -z ${recorded[$key]+set} ]]; then
            echo "FAIL ${names[i]}: nothing recorded (a new input: record it with --record)"
            failures=$((failures + 1))
            break
        fi
        [[ ${recorded[$key]} == "${now[$key]}" ]] && continue
        failures=$((failures + 1))
        if [[ $what == status ]]; then
            echo "FAIL ${names[i]}: exit status ${now[$key]}, recorded ${recorded[$key]}"
        else
            echo "FAIL ${names[i]}: $what differs:" \
                "$(first_difference "${recorded[$key]}" "${now[$key]}" "$work/kept/$i/$what")"
        fi
    done
done
echo "${#names[@]} inputs converted, $failures differences from the recorded output"
((failures == 0))
