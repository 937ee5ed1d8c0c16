#!/usr/bin/env bash
# Builds a release into dist/ (DIST_DIR to change it): the installer package, the stripped module
# and console host with their debug files, reference.html, the release notes of this version from
# CHANGELOG.md and SHA256SUMS. Signs the binaries and the package when a certificate is given
# (CGK_SIGN_PKCS12, CGK_SIGN_PASSWORD, optionally CGK_SIGN_TIMESTAMP_URL; see the README).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
exec "$root/release/make-release.sh" "$build/release/release-config.sh" "${DIST_DIR:-$root/dist}"
