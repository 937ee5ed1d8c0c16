#!/usr/bin/env bash
# cgk-regentries over a sample module (regentries_sample.rgs and .idl): the entries it writes
# must be those of regentries_expected.wxi. Then the refusals: modules whose scripts hold what a
# package cannot express (regentries_refused/<kind>.rgs, their messages in
# regentries_refused/messages.txt), a module that is not there and a wrong command line each fail
# with their own message and write no registry.wxi.
#   regentries_test.sh <wine-run> <cgk-regentries.exe> <sample module> <expected .wxi>
#                      <work folder> <refused module>...
set -euo pipefail
wine_run=$1 tool=$2 module=$3 expected=$4 work=$5
shift 5
refused=("$@")
winpath() {
    local path=${1//\//\\}
    printf 'Z:%s' "$path"
}
rm -rf "$work"
mkdir -p "$work"
status=0
"$wine_run" "$tool" "$(winpath "$module")" "$(winpath "$work")" Sample.dll SAMPLEFOLDER \
    >"$work/tool.log" 2>&1 </dev/null || status=$?
[ "$status" -eq 0 ] || { cat "$work/tool.log" >&2; echo "FAIL: cgk-regentries exited with $status" >&2; exit 1; }
if ! diff -u "$expected" "$work/registry.wxi"; then
    echo "FAIL: the entries differ from $expected (- expected, + written)" >&2
    exit 1
fi

# refuse <expected exit code> <expected message> <arguments...>
refuse() {
    local code=$1 message=$2 status=0
    shift 2
    rm -f "$work/registry.wxi"
    "$wine_run" "$tool" "$@" >"$work/refused.log" 2>&1 </dev/null || status=$?
    if [ "$status" -ne "$code" ] || ! grep -qF -- "$message" "$work/refused.log" ||
        [ -e "$work/registry.wxi" ]; then
        cat "$work/refused.log" >&2
        echo "FAIL: expected exit code $code and '$message' for: $*" >&2
        exit 1
    fi
}
for path in "${refused[@]}"; do
    kind=$(basename "$path" .dll)
    kind=${kind#regentries_refused_}
    message=$(sed -n "s/^$kind //p" "$(dirname "${BASH_SOURCE[0]}")/regentries_refused/messages.txt")
    [ -n "$message" ] || { echo "FAIL: no message for the refused module $kind" >&2; exit 1; }
    refuse 1 "cgk-regentries: $message" "$(winpath "$path")" "$(winpath "$work")" Sample.dll \
        SAMPLEFOLDER
done
refuse 1 "cgk-regentries: opening Z:\\no\\such\\module.dll failed: 0x80070002" \
    'Z:\no\such\module.dll' "$(winpath "$work")" Sample.dll SAMPLEFOLDER
refuse 2 "usage: cgk-regentries <module.dll>" "$(winpath "$module")"
echo "regentries_test: passed (${#refused[@]} refused scripts)"
