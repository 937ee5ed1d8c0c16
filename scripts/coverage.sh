#!/usr/bin/env bash
# Coverage report of the product code. Builds everything with coverage counting in its own build
# folder (build-coverage/, or COVERAGE_DIR; the normal build/ stays untouched), runs the whole
# test suite there under Wine, and writes an HTML report with gcovr:
#   <folder>/coverage/index.html   lines and branches per folder, with the worst files
#   <folder>/coverage/files.html   per file, each file's page marking every line and branch
# It prints coverage.lines and coverage.branches (percent of the product code: key/, framework/,
# module/, comlib/, platform/) and the ten files with the most uncovered lines. Extra arguments
# go to ctest (for example -R key_tests for a quick look at one area; the figures then count
# only what those tests ran). Exits non-zero when a test failed, after writing the report.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${COVERAGE_DIR:-$root/build-coverage}

BUILD_DIR="$build" BUILD_TYPE=Debug CONFIGURE_ARGS="-DCGK_COVERAGE=ON" "$root/scripts/setup.sh"

# Counts of an earlier run would add up with this one.
find "$build" -name '*.gcda' -delete

tests_status=0
(cd "$build" && ctest --output-on-failure "$@") || tests_status=$?

report="$build/coverage"
rm -rf "$report"
mkdir -p "$report"
filters=()
for folder in key framework module comlib platform; do
    filters+=(--filter "$root/$folder/")
done
# Branches count the outcomes of our own conditions: the exception edges that the compiler adds
# to every call that may throw are left out, and so are branches the compiler proves
# unreachable. gcov marks an exception edge only in a program that ran the function, so the
# edges are dropped after the counts of all objects were merged (a template instantiated in
# several objects is then known as throwing from any of them), not per object.
gcovr --root "$root" --object-directory "$build" \
      --gcov-executable x86_64-w64-mingw32-gcov \
      "${filters[@]}" \
      --exclude-unreachable-branches --gcov-ignore-parse-errors -j "$(nproc)" \
      --json "$report/merged.json" >/dev/null
python3 "$root/scripts/coverage_summary.py" "$report/merged.json" "$report/coverage.json" \
        "$report/index.html"
gcovr --root "$root" --add-tracefile "$report/coverage.json" \
      --html-details "$report/files.html" --html-title "CryptoGraphicKey coverage" >/dev/null
echo "coverage: report in $report/index.html"
exit "$tests_status"
