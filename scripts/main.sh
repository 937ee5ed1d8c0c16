#!/usr/bin/env bash
# Builds everything, registers the key module in the build's Wine prefix and runs a short sample
# session of the console host, keytool, against a fresh repository in the build folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"

run="$build/wine-run"
keytool="$build/console/keytool.exe"
sample="$build/sample"
rm -rf "$sample"
mkdir -p "$sample"
cd "$sample"

say() {
    printf '\n== %s\n' "$*"
}

# keytool EXPECTED-EXIT-CODE ARGUMENTS...: shows the command, runs it and checks its exit code.
keytool() {
    local expected=$1 shown="" word rc
    shift
    for word in "$@"; do
        if [[ $word == *[[:cntrl:]]* ]]; then
            printf -v word '%q' "$word"
        elif [[ $word == *" "* ]]; then
            word="\"$word\""
        fi
        shown+=" $word"
    done
    printf '$ keytool%s\n' "$shown"
    set +e
    "$run" "$keytool" "$@"
    rc=$?
    set -e
    if [ "$rc" -ne "$expected" ]; then
        echo "main: 'keytool$shown' exited with $rc, expected $expected" >&2
        exit 1
    fi
    [ "$rc" -eq 0 ] || echo "(exit code $rc: refused, as expected)"
}

say "Register the key module (CryptoGraphicKey.dll) in this build's Wine prefix"
keytool 0 register

say "Create two keys. The repository, the SQLite database $sample/keys.db, is made on first use" \
    "(readable by you only)."
keytool 0 create "Payroll signing key"
keytool 0 create "Backup archive key" --base64
keytool 0 list

say "Key 1001 through a re-key: deactivate it (the host writes the state), then start, suspend" \
    "and resume the re-key (the key module's own commands)"
keytool 0 deactivate 1001
keytool 0 start-rekey 1001
keytool 0 suspend-rekey 1001
keytool 0 resume-rekey 1001

say "Key 1002: the key module refuses to mark an ACTIVE key compromised; once deactivated it can"
keytool 1 compromise 1002
keytool 0 deactivate 1002
keytool 0 compromise 1002

say "A refused transition: a re-key in progress cannot be started again; nothing is saved"
before=$(cksum <keys.db)
keytool 1 start-rekey 1001
if [ "$(cksum <keys.db)" != "$before" ]; then
    echo "main: the refused command changed keys.db" >&2
    exit 1
fi
echo "(keys.db is unchanged)"

say "Categories, and one key in full (the key value stays hidden without --reveal)"
keytool 0 add-category 1001 17
keytool 0 show 1001

say "The key module's trace lines of one command (--trace; ZENTIL_TRACE_FILES narrows them to" \
    "the key class)"
ZENTIL_TRACE_FILES=CCryptoGraphicKey keytool 0 show 1002 --trace

say "The keys now, all of them and the deactivated ones as JSON for scripts"
keytool 0 list
keytool 0 list --state DEACTIVATED --json

say "Every derived key made again from its value, salt and iteration count"
keytool 0 verify

say "A backup as JSON (without --reveal the key material is left out), and a title that would" \
    "clear the screen, refused"
keytool 0 export backup.json
keytool 2 create $'Clear\e[2J'

say "Done. The repository is $sample/keys.db; 'keytool --help' lists every command."
