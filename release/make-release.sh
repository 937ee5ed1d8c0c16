#!/usr/bin/env bash
# Makes a release from a build:
#
#   make-release.sh <release-config.sh of the build> <dist folder>
#
# scripts/release.sh builds first and then runs this; the release tests run it on the test run's
# build. The dist folder is replaced as a whole, and only when everything is made:
#
#   CryptoGraphicKey.dll, keytool.exe        stripped (no debug sections, no symbol table), each
#                                            with a .gnu_debuglink naming its debug file
#   CryptoGraphicKey.dll.debug, keytool.exe.debug
#                                            their debug information (objcopy --only-keep-debug)
#   CryptoGraphicKey-<version>-x64.msi       the installer package, carrying that very DLL
#   reference.html                           the type library reference the build generated
#   RELEASE-NOTES.md                         the CHANGELOG.md entry of <version>
#   SHA256SUMS                               of every other file (sha256sum -c SHA256SUMS)
#
# Signing: with CGK_SIGN_PKCS12 (a PKCS#12 file holding the certificate and its key) the DLL and
# keytool.exe are signed before the package is built and the package after, with Authenticode
# (SHA-256) by osslsigncode; CGK_SIGN_PASSWORD is the file's password (empty when unset), and
# CGK_SIGN_TIMESTAMP_URL an RFC 3161 timestamp server (none when unset). Without a certificate
# the release is unsigned and says so once.
set -euo pipefail
export LC_ALL=C

config=${1:?usage: make-release.sh <release-config.sh> <dist folder>}
dist=${2:?usage: make-release.sh <release-config.sh> <dist folder>}
# shellcheck source=/dev/null
. "$config"

# A shipped DLL stays below this size (bytes).
readonly max_dll_size=$((1536 * 1024))
readonly product_name='Korvel Enterprise CryptoGraphicKey Plugin'

fail() {
    echo "release: $*" >&2
    exit 1
}

# The CHANGELOG.md entry of this version: from its "## <version>" heading to the next entry. The
# newest entry must be this version's (the file is kept newest first).
notes=$(awk -v heading="## $VERSION" '
    /^## / { if (found) exit; if (!seen) newest = $0; seen = 1; if ($0 == heading || index($0, heading " ") == 1) found = 1 }
    found { print }
    END { if (newest != heading && index(newest, heading " ") != 1) exit 3 }' "$CHANGELOG") ||
    fail "the newest entry of $CHANGELOG is not '## $VERSION': add the release notes of $VERSION there"
[ -n "$notes" ] || fail "$CHANGELOG has no entry for $VERSION"

for file in "$MODULE" "$KEYTOOL" "$REFERENCE"; do
    [ -f "$file" ] || fail "$file is missing: build first (scripts/release.sh does)"
done

signing=no
if [ -n "${CGK_SIGN_PKCS12:-}" ]; then
    [ -r "$CGK_SIGN_PKCS12" ] || fail "CGK_SIGN_PKCS12: cannot read $CGK_SIGN_PKCS12"
    command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/setup.sh installs it)"
    signing=yes
else
    echo "release: no certificate given (CGK_SIGN_PKCS12): the release is unsigned"
fi

mkdir -p "$(dirname "$dist")"
stage=$(mktemp -d "${dist%/}.new.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# ship <built file>: the stripped copy in the stage, with its debug file beside it.
ship() {
    local name
    name=$(basename "$1")
    cp "$1" "$stage/$name"
    (
        cd "$stage"
        "$OBJCOPY" --only-keep-debug "$name" "$name.debug"
        "$OBJCOPY" --strip-all --add-gnu-debuglink="$name.debug" "$name"
    )
    if "$OBJDUMP" -h "$stage/$name" | grep -q -E ' \.(z)?debug_'; then
        fail "$name still carries debug sections"
    fi
}

# sign <file>: an Authenticode signature (SHA-256). The password goes through a pipe, never the
# command line.
sign() {
    [ "$signing" = yes ] || return 0
    local options=(-pkcs12 "$CGK_SIGN_PKCS12" -h sha256 -n "$product_name")
    [ -z "${CGK_SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$CGK_SIGN_TIMESTAMP_URL")
    osslsigncode sign "${options[@]}" -readpass <(printf '%s' "${CGK_SIGN_PASSWORD:-}") \
        -in "$1" -out "$1.signed" >"$stage/sign.log" 2>&1 ||
        { cat "$stage/sign.log" >&2; fail "signing $(basename "$1") failed"; }
    mv -f "$1.signed" "$1"
    rm -f "$stage/sign.log"
}

ship "$MODULE"
ship "$KEYTOOL"
module=$stage/$(basename "$MODULE")
size=$(stat -c %s "$module")
[ "$size" -lt "$max_dll_size" ] ||
    fail "$(basename "$MODULE") is $size bytes stripped, more than the $max_dll_size allowed"
sign "$module"
sign "$stage/$(basename "$KEYTOOL")"

package=$stage/CryptoGraphicKey-$VERSION-x64.msi
bash "$(dirname "${BASH_SOURCE[0]}")/../installer/build-package.sh" "$PACKAGE_CONFIG" "$module" \
    "$VERSION" "$package"
rm -rf "$package.d"
sign "$package"

cp "$REFERENCE" "$stage/reference.html"
printf '%s\n' "$notes" >"$stage/RELEASE-NOTES.md"
(cd "$stage" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort |
    xargs sha256sum >SHA256SUMS)

rm -rf "$dist"
mv "$stage" "$dist"
trap - EXIT
chmod 755 "$dist"
echo "release: $product_name $VERSION in $dist ($([ "$signing" = yes ] && echo signed || echo unsigned))"
(cd "$dist" && stat -c '  %8s  %n' $(awk '{print $2}' SHA256SUMS))
