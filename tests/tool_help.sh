#!/usr/bin/env bash
# Every tool answers --help with its usage on stdout and status 0, lists --help and --version
# in it, and answers --version with its name and version. Every tool but opmcast answers a
# wrong command line with the usage on stderr, nothing on stdout and status 2; opmcast takes
# no options, so there any other argument, --help among others, is part of the name.
#
#     tool_help.sh TOOL...
set -uo pipefail
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
out=$(mktemp) err=$(mktemp) empty=$(mktemp -d)
trap 'rm -f -- "$out" "$err"; rm -rf -- "$empty"' EXIT
for tool in "$@"; do
    name=$(basename "$tool")
    "$tool" --help >"$out" 2>"$err"
    status=$?
    ((status == 0)) || fail "$name --help: status $status"
    [[ -s $err ]] && fail "$name --help: wrote to stderr: $(head -c 200 "$err")"
    grep -q "^usage: $name" "$out" || fail "$name --help: no usage on stdout"
    for option in --help --version; do
        grep -q -- "$option" "$out" || fail "$name --help: the usage does not list $option"
    done
    version=$("$tool" --version 2>"$err")
    status=$?
    ((status == 0)) || fail "$name --version: status $status"
    [[ -s $err ]] && fail "$name --version: wrote to stderr: $(head -c 200 "$err")"
    [[ $version =~ ^$name\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$name --version: '$version'"
    if [[ $name == opmcast ]]; then
        for args in "--no-such-option" "--help x" "x --version"; do
            # shellcheck disable=SC2086 # the words are the arguments
            (cd "$empty" && "$tool" $args) >"$out" 2>"$err"
            status=$?
            ((status == 1)) || fail "$name $args: status $status"
            [[ $(cat -A "$out") == 'not Vgm :( ^M$' ]] || fail "$name $args: $(head -c 200 "$out")"
            [[ -z $(ls -A "$empty") ]] || fail "$name $args: left $(ls -A "$empty")"
        done
        continue
    fi
    "$tool" --no-such-option >"$out" 2>"$err"
    status=$?
    ((status == 2)) || fail "$name --no-such-option: status $status"
    [[ -s $out ]] && fail "$name --no-such-option: wrote to stdout"
    grep -q "usage: $name" "$err" || fail "$name --no-such-option: no usage on stderr"
done
echo "$# tools checked, $failures failures"
((failures == 0))
