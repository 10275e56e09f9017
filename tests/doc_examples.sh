#!/usr/bin/env bash
# The documentation's examples against what the programs print, so that a change of a summary
# line fails here until the documentation follows:
# - every `$ COMMAND` in an example block of the README and docs/full-mode.md (an indented
#   block, or a fenced one) is run, and the lines after it must be what it prints (stdout and
#   stderr together), a line `...` standing for any number of lines;
# - the line of `opmcast-full --help` under "Each program gets a line:" and the one in the
#   OUTPUT section of its manual page must be what `opmcast-full FILE` prints for the FILE they
#   name, and the figures their legends quote (`24 KiB`, `2 loops + 5 s fade: 1:36`) must be in
#   that line, or in the line of `opmcast-full --loops N FILE` for `N loops`.
# The commands run in a folder that holds the corpus logs by name, the corpus as `corpus/`, and
# `build/bin` and `build/example/example.{vgm,x}` as scripts/example.sh leaves them; examples
# that need the corpus are skipped with a message when it is absent.
#
#     doc_examples.sh SOURCE_DIR BIN_DIR MAKE_EXAMPLE_VGM VGMSTUB CORPUS_DIR
set -uo pipefail
if (($# != 5)); then
    echo "usage: doc_examples.sh SOURCE_DIR BIN_DIR MAKE_EXAMPLE_VGM VGMSTUB CORPUS_DIR" >&2
    exit 2
fi
source_dir=$(realpath -- "$1") bin_dir=$(realpath -- "$2") make_example=$(realpath -- "$3")
stub=$(realpath -- "$4") corpus=$(realpath -m -- "$5")
failures=0 checked=0 skipped=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
mkdir -p "$work/build/example" "$work/blocks"
ln -s "$bin_dir" "$work/build/bin"
"$make_example" "$work/build/example/example.vgm" >/dev/null || exit 1
cp -- "$stub" "$work/build/example/vgmstub.bin"
(cd "$work/build/example" && "$bin_dir/opmcast" example) || exit 1
rm -- "$work/build/example/vgmstub.bin"
have_corpus=false
if compgen -G "$corpus/*.vgm" >/dev/null; then
    have_corpus=true
    ln -s "$corpus" "$work/corpus"
    for log in "$corpus"/*.vgm; do ln -s "$log" "$work/"; done
else
    echo "no corpus at $corpus: the examples of its logs are skipped"
fi
export PATH="$bin_dir:$PATH"

# Writes each example of a Markdown file as blocks/N.where (file:line), N.command, N.expected.
split_examples() {
    awk -v dir="$work/blocks" -v first="$2" -v name="$1" '
        function open_block(command) {
            n++
            print name ":" FNR > (dir "/" n ".where"); close(dir "/" n ".where")
            print command > (dir "/" n ".command"); close(dir "/" n ".command")
            out = dir "/" n ".expected"
            printf "" > out
        }
        BEGIN { n = first }
        /^```/ { fenced = !fenced; out = ""; next }
        fenced && /^\$ / { open_block(substr($0, 3)); next }
        fenced { if (out != "") print > out; next }
        /^    \$ / { open_block(substr($0, 7)); blanks = 0; next }
        /^    ./ {
            if (out == "") next
            for (; blanks > 0; blanks--) print "" > out
            print substr($0, 5) > out
            next
        }
        /^ *$/ { blanks++; next }  # an indented block goes on after a blank line
        { out = ""; blanks = 0 }
        END { print n > (dir "/count") }
    ' "$source_dir/$1"
}

# Whether the printed lines (file $2) are the expected ones (file $1); prints the first
# difference.
lines_match() {
    local -a expected printed
    mapfile -t expected <"$1"
    mapfile -t printed <"$2"
    local i j=0 gap=false line
    for ((i = 0; i < ${#expected[@]}; i++)); do
        line=${expected[i]}
        if [[ ${line// /} == ... ]]; then
            gap=true
            continue
        fi
        if $gap; then
            while ((j < ${#printed[@]})) && [[ ${printed[j]} != "$line" ]]; do j=$((j + 1)); done
        fi
        if ((j >= ${#printed[@]})) || [[ ${printed[j]} != "$line" ]]; then
            echo "  the documentation: $line"
            echo "  the program:       ${printed[j]:-(nothing more)}"
            return 1
        fi
        j=$((j + 1))
        gap=false
    done
    if ! $gap && ((j < ${#printed[@]})); then
        echo "  the program prints more: ${printed[j]}"
        return 1
    fi
}

# Whether the corpus is absent and the command names one of its logs or its folder.
needs_absent_corpus() {
    local word
    $have_corpus && return 1
    for word in $1; do
        [[ $word == corpus/* || ($word == *.vgm && $word != */*) ]] || continue
        [[ -e $work/$word ]] || return 0
    done
    return 1
}

split_examples README.md 0
split_examples docs/full-mode.md "$(cat "$work/blocks/count")"
for ((n = 1; n <= $(cat "$work/blocks/count"); n++)); do
    where=$(cat "$work/blocks/$n.where") command=$(cat "$work/blocks/$n.command")
    if needs_absent_corpus "$command"; then
        echo "$where: needs the corpus: skipped"
        skipped=$((skipped + 1))
        continue
    fi
    if ! (cd "$work" && command -v "${command%% *}" >/dev/null); then
        echo "$where: ${command%% *} is not built here: skipped"
        skipped=$((skipped + 1))
        continue
    fi
    (cd "$work" && bash -c "$command") >"$work/printed" 2>&1
    checked=$((checked + 1))
    diff=$(lines_match "$work/blocks/$n.expected" "$work/printed") ||
        fail "$where: \$ $command"$'\n'"$diff"
done

# The line of `opmcast-full FILE` (FILE the first word of $1) must be $1; each figure the
# legend (the remaining arguments) quotes must be in it, or in that of --loops N for N loops.
check_summary_example() {
    local where=$1 example=$2 file=${2%% *} term count printed looped
    shift 2
    if needs_absent_corpus "$file"; then
        skipped=$((skipped + 1))
        return
    fi
    checked=$((checked + 1))
    printed=$(cd "$work" && opmcast-full "$file" 2>&1 | head -n 1)
    [[ $printed == "$example" ]] ||
        fail "$where: the example line"$'\n'"  the documentation: $example"$'\n'"  the program:       $printed"
    for term in "$@"; do
        if [[ $term =~ ^([0-9]+)\ loops ]]; then
            count=${BASH_REMATCH[1]}
            looped=$(cd "$work" && opmcast-full --loops "$count" "$file" 2>&1 | head -n 1)
            [[ $looped == *"$term"* ]] ||
                fail "$where: '$term' is not in the line of --loops $count: $looped"
        elif [[ $printed != *"$term"* ]]; then
            fail "$where: '$term' of the legend is not in the example line"
        fi
    done
}

# --help: the example line (with its continuation lines, indented further) and the legend
# below it; a legend's term is what precedes its first run of blanks, and those that are more
# than one plain word are checked.
help=$(opmcast-full --help)
example=$(awk '/^Each program gets a line:/ { on = 1; next }
               on && /^  [^ ]/ { line = substr($0, 3); next }
               on && /^      +[^ ]/ { sub(/^ +/, ""); line = line " " $0; next }
               on { print line; exit }' <<<"$help")
mapfile -t terms < <(awk '/^Each program gets a line:/ { on = 1; next }
                          on && /^    [^ ]/ { sub(/^    /, ""); sub(/  +.*/, ""); print; next }
                          on && /^  [^ ]/ { next }
                          on && /^      / { next }
                          on { exit }' <<<"$help" | grep -E '[0-9"]|[^ ]+ [^ ]+')
[[ -n $example ]] || fail "opmcast-full --help: no line under 'Each program gets a line:'"
check_summary_example "opmcast-full --help" "$example" "${terms[@]}"

# The manual page: the example of its OUTPUT section, and the "N loops ..." it quotes.
page=$(sed -e 's/\\-/-/g' -e 's/\\%//g' -e "s/\\\\(aq/'/g" "$source_dir/man/opmcast-full.1")
example=$(awk '/^\.SH OUTPUT/ { on = 1; next }
               on && /^\.EX/ { ex = 1; next }
               ex && /^\.EE/ { print line; exit }
               ex { sub(/^ +/, ""); line = line (line == "" ? "" : " ") $0 }' <<<"$page")
mapfile -t terms < <(awk '/^\.SH OUTPUT/ { on = 1; next } on && /^\.SH/ { exit } on' <<<"$page" |
    grep -oE '"[0-9]+ loops [^"]*"' | tr -d '"')
[[ -n $example ]] || fail "man/opmcast-full.1: no example in its OUTPUT section"
check_summary_example "man/opmcast-full.1, OUTPUT" "$example" "${terms[@]}"

echo "$checked examples checked, $skipped skipped, $failures failures"
((failures == 0)) || exit 1
((checked > 0)) || exit 77
