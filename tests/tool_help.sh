#!/usr/bin/env bash
# Every tool but opmcast (which takes no options) answers --help with its usage on stdout and
# status 0, lists --help and --version in it, and answers a wrong command line with the usage
# on stderr, nothing on stdout and status 2.
#
#     tool_help.sh TOOL...
set -uo pipefail
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
out=$(mktemp) err=$(mktemp)
trap 'rm -f -- "$out" "$err"' EXIT
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
    "$tool" --no-such-option >"$out" 2>"$err"
    status=$?
    ((status == 2)) || fail "$name --no-such-option: status $status"
    [[ -s $out ]] && fail "$name --no-such-option: wrote to stdout"
    grep -q "usage: $name" "$err" || fail "$name --no-such-option: no usage on stderr"
done
echo "$# tools checked, $failures failures"
((failures == 0))
