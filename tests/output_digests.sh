#!/usr/bin/env bash
# The converter's exact output, held fixed: converts every input below with opmcast and
# compares the program, the console and the exit status with the digests recorded in
# tests/output_digests.txt.
#
#     output_digests.sh OPMCAST MAKE_EXAMPLE_VGM MAKE_DENSE_VGM [--record]
#
# Inputs: the example tune, the generated dense and DAC logs of the benchmark, the fuzz seeds
# and regressions, and the real logs in ../shared/corpus (passed over with a message when that
# folder is absent). A difference fails with the input and the first block of the file that
# differs (each file is recorded as a SHA-256 and the digests of at most 128 blocks, which
# leave out a program's text size field).
#
# --record rewrites tests/output_digests.txt from the given converter. That is a deliberate
# step, taken only when a change of the output is intended, and said in the commit message.
set -euo pipefail
opmcast=$(realpath "$1") make_example=$(realpath "$2") make_dense=$(realpath "$3")
record=false
[[ ${4:-} == --record ]] && record=true
root=$(cd "$(dirname "$0")/.." && pwd)
digests=$root/tests/output_digests.txt
corpus=$root/../shared/corpus

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
"$make_dense" 67108864 "$work/inputs/dense-64MiB.vgm" >/dev/null
for f in dense-1MiB dac-1.5MiB dense-64MiB; do add_input "generated/$f.vgm" "$work/inputs/$f.vgm"; done
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
# 15) is left out of them, so that a change of length shows where it begins, not in block 0.
block_digests() {
    local file=$2
    if [[ $file == *.x ]]; then
        cp "$2" "$work/masked" && file=$work/masked
        printf '\0\0\0\0' | dd of="$file" bs=1 seek=12 conv=notrunc status=none
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

cp "$root/player/vgmstub.bin" "$work/vgmstub.bin"
declare -A now  # "input what" -> record of this run
for i in "${!names[@]}"; do
    dir=$work/run
    rm -rf "$dir" && mkdir "$dir"
    cp "$work/vgmstub.bin" "$dir/"
    case ${paths[i]} in *.vgz) song=song.vgz ;; *) song=song.vgm ;; esac
    cp "${paths[i]}" "$dir/$song"
    status=0
    (cd "$dir" && "$opmcast" song >console 2>&1) || status=$?
    now["${names[i]} status"]=$status
    now["${names[i]} song.x"]=$(describe "$dir/song.x")
    now["${names[i]} console"]=$(describe "$dir/console")
    # Kept for the comparison below, which may need to cut them into blocks again.
    mkdir -p "$work/kept/$i"
    mv "$dir/console" "$work/kept/$i/"
    [[ -e $dir/song.x ]] && mv "$dir/song.x" "$work/kept/$i/"
done

if $record; then
    {
        echo "# The converter's output for every input of tests/output_digests.sh: exit status;"
        echo "# then for the program and the console: length, SHA-256, block size, block digests."
        echo "# Rewritten only by: tests/output_digests.sh ... --record"
        for name in "${names[@]}"; do
            for what in status song.x console; do echo "$name $what ${now["$name $what"]}"; done
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
    for what in status song.x console; do
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
