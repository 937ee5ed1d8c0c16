#!/usr/bin/env bash
# cgk-regentries over a sample module (regentries_sample.rgs and .idl): the entries it writes
# must be those of regentries_expected.wxi.
#   regentries_test.sh <wine-run> <cgk-regentries.exe> <sample module> <expected .wxi> <work folder>
set -euo pipefail
wine_run=$1 tool=$2 module=$3 expected=$4 work=$5
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
echo "regentries_test: passed"
