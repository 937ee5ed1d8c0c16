#!/usr/bin/env bash
# keytool's files as the other users of the machine see them (the Unix modes of the database, its
# journal and an export, as Wine maps the files' security descriptors): nobody but the owner's
# group gets any bit, even under umask 000, and an existing file's mode is never widened.
# Usage: permissions.sh <wine-run> <keytool.exe>
set -euo pipefail
run=$(realpath "$1")
keytool=$(realpath "$2")
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cd "$folder"
umask 000

failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}
keytool() {
    local rc=0
    "$run" "$keytool" "$@" >/dev/null 2>keytool-err.txt || rc=$?
    if ((rc != 0)); then
        cat keytool-err.txt >&2
        fail "keytool $* exited with $rc"
    fi
}
# No read, write or execute bit for others.
expect_private() {
    local mode
    mode=$(stat -c %a "$1")
    if (((8#$mode & 8#007) != 0)); then fail "$1 has mode $mode: others may open it"; fi
    echo "$1: mode $mode"
}
expect_mode() {
    local mode
    mode=$(stat -c %a "$1")
    [ "$mode" = "$2" ] || fail "$1 has mode $mode, expected $2 (left as it was)"
}

keytool register
keytool create "First key"
keytool create "Second key"
expect_private keys.db

# The rollback journal exists while a change is being committed: hold the commit open and look.
KEYTOOL_TEST_HOOK=hold:4000 "$run" "$keytool" deactivate 1001 >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do
    [ -e keys.db-journal ] && break
    sleep 0.05
done
if [ -e keys.db-journal ]; then expect_private keys.db-journal; else fail "no journal seen"; fi
wait "$holder" || fail "the held deactivate failed"

keytool export backup.json --reveal
expect_private backup.json

# An existing file keeps its mode, however narrow or wide.
chmod 600 keys.db
keytool revoke 1001
expect_mode keys.db 600
chmod 644 keys.db
keytool deactivate 1002
expect_mode keys.db 644

if ((failures > 0)); then
    echo "permissions: $failures failure(s)" >&2
    exit 1
fi
echo "permissions: all passed"
