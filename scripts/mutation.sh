#!/usr/bin/env bash
# Mutation run over the product code: plants each fault of the catalogue (tests/mutants.txt) in
# turn, rebuilds what the mutant's CTest entries run, runs those entries and records whether a
# test noticed (killed), none did (survived) or the mutant did not compile (build failure). Works
# in its own build folder (build-mutation/, or MUTATION_DIR; build/ stays untouched), a normal
# build without coverage. Not part of the test command: the whole catalogue takes long (see
# README).
#   MUTANTS="K01 F07"      only these mutants (comma or space separated)
#   MUTANT_TIMEOUT=600     seconds for one mutant's entries; a mutant that hangs counts as killed
# Each mutated file is restored from a copy after its run, also when the run is interrupted, and
# checked to be as it was. Prints mutation.total, .killed, .survived, .build_failures, .score
# (killed / (killed + survived), percent) and .seconds, then every survivor with its entries.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MUTATION_DIR:-$root/build-mutation}
catalogue=$root/tests/mutants.txt
timeout_seconds=${MUTANT_TIMEOUT:-600}
tool=$root/scripts/mutation.py
started=$(date +%s)

# Configures the folder and makes its Wine prefix; each mutant then builds only what its entries
# run (building everything would also make the installer packages).
BUILD_DIR="$build" SETUP_TARGETS=CryptoGraphicKey nice "$root/scripts/setup.sh"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
# A killed mutant stops at its first failing check.
export GTEST_FAIL_FAST=1

work=$build/mutation
mkdir -p "$work/registry"
# Entries register the module in the prefix, and a mutant may leave entries behind that the next
# one would trip over: the prefix's registry is saved now and put back after every mutant.
reset_registry() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    cp "$work/registry/"*.reg "$WINEPREFIX/"
}
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
cp "$WINEPREFIX/"*.reg "$work/registry/"
plan=$(python3 "$tool" plan "$catalogue" "${MUTANTS:-}")

# The file being mutated and its copy: put back on every way out.
current=""
restore() {
    if [ -n "$current" ]; then
        cp "$work/original" "$root/$current"
        current=""
    fi
}
trap restore EXIT
trap 'restore; echo "mutation: interrupted, the mutated file was restored" >&2; exit 130' INT
trap 'restore; exit 143' TERM

total=0 killed=0 survived=0 build_failures=0 errors=0
survivors=() failures=() catalogue_errors=()
while IFS=$'\t' read -r id file entries; do
    [ -n "$id" ] || continue
    mutant_start=$(date +%s)
    if [ ! -f "$root/$file" ]; then
        catalogue_errors+=("$id: no file $file")
        errors=$((errors + 1))
        continue
    fi
    before=$(git -C "$root" status --porcelain -- "$file")
    cp "$root/$file" "$work/original"
    current=$file
    if ! message=$(python3 "$tool" apply "$catalogue" "$id" "$root"); then
        restore
        catalogue_errors+=("$id: $message")
        errors=$((errors + 1))
        continue
    fi
    total=$((total + 1))
    log=$work/$id.log
    targets=$(python3 "$tool" targets "$build" "$entries")
    # shellcheck disable=SC2086
    if ! nice ninja -C "$build" $targets >"$log" 2>&1; then
        outcome="build failure"
        build_failures=$((build_failures + 1))
        failures+=("$id")
    else
        status=0
        (cd "$build" && timeout -k 20 "$timeout_seconds" nice ctest -R "$entries" \
            --stop-on-failure --output-on-failure) >>"$log" 2>&1 || status=$?
        if [ "$status" -eq 0 ]; then
            outcome=survived
            survived=$((survived + 1))
            survivors+=("$id ($file; $entries)")
        else
            outcome=killed
            if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then outcome="killed (timed out)"; fi
            killed=$((killed + 1))
        fi
    fi
    restore
    reset_registry
    if ! cmp -s "$work/original" "$root/$file" ||
        [ "$(git -C "$root" status --porcelain -- "$file")" != "$before" ]; then
        echo "mutation: $file is not as it was before mutant $id" >&2
        exit 2
    fi
    echo "mutant $id $file: $outcome ($(($(date +%s) - mutant_start)) s)"
done <<<"$plan"

score=n/a
if ((killed + survived > 0)); then
    score=$(awk -v k=$killed -v s=$survived 'BEGIN { printf "%.1f", 100 * k / (k + s) }')
fi
echo "mutation.total = $total"
echo "mutation.killed = $killed"
echo "mutation.survived = $survived"
echo "mutation.build_failures = $build_failures"
echo "mutation.score = $score"
echo "mutation.seconds = $(($(date +%s) - started))"
((errors == 0)) || echo "mutation.catalogue_errors = $errors"
for line in "${catalogue_errors[@]}"; do echo "catalogue error: $line"; done
for line in "${failures[@]}"; do echo "build failure: $line"; done
for line in "${survivors[@]}"; do echo "survived: $line"; done
echo "mutation: logs in $work/"
