#!/usr/bin/env bash
# Builds the Windows Installer package of a CryptoGraphicKey.dll:
#
#   build-package.sh <config> <module file> <version> <package file>
#
# <config> is the package-config.sh that the build writes (installer/CMakeLists.txt): the tools,
# the upgrade code and the Programs and Features properties. The build runs this for its own
# packages; scripts/release.sh runs it for the release's package, over the stripped (and signed)
# module. The work files go to <package file>.d/.
#
# Steps: cgk-regentries reads the module's registration from the file itself (its registry script
# and type library) as the package's registry entries; wixl builds the package; msibuild sets what
# wixl cannot say:
#   - the File table's version and language of the module (wixl leaves both empty; 1033 is the
#     language of the module's version resource, module/CryptoGraphicKey.rc), and no MsiFileHash
#     row for it: a versioned file is compared by version, and a hash row for it is an error in
#     the installer's validation (wixl hashes every file before its version is known);
#   - an upgrade row that includes the package's own version, so that a rebuilt package of the
#     same version (a new product code) replaces the installed one instead of going beside it;
#   - INSTALLFOLDER and INSTALLDIR as secure properties, so that a value given on the command line
#     reaches the installation's server side also when a user without rights installs it through
#     a managed (elevated) installation.
set -euo pipefail

config=${1:?usage: build-package.sh <config> <module file> <version> <package file>}
module=${2:?}
version=${3:?}
package=${4:?}
# shellcheck source=/dev/null
. "$config"

absolute() { printf '%s/%s' "$(cd "$(dirname "$1")" && pwd)" "$(basename "$1")"; }
module=$(absolute "$module")
package=$(absolute "$package")
work=$package.d
mkdir -p "$work"
module_name=$(basename "$module")
module_windows="Z:${module//\//\\}"
work_windows="Z:${work//\//\\}"

# A program under Wine may start Wine's background processes, which inherit its output handles:
# through a file they cannot keep a caller's pipe open.
quiet() {
    local log=$1 status=0
    shift
    "$@" >"$log" 2>&1 </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        echo "build-package: '$*' failed with exit status $status" >&2
        exit "$status"
    fi
}

quiet "$work/regentries.log" "$WINE_RUN" "$REGENTRIES" "$module_windows" "$work_windows" \
    "$module_name" INSTALLFOLDER

# wixl takes the files it carries by relative paths only.
icon=$(realpath --relative-to="$(dirname "$module")" "$ICON_FILE")

# Optional Programs and Features properties: only those with a value are in the package.
defines=(-D "Version=$version" -D "UpgradeCode=$UPGRADE_CODE" -D "ModuleFile=$module_name"
         -D "IconFile=$icon" -D "ArpComments=$ARP_COMMENTS" -D "ArpContact=$ARP_CONTACT"
         -D "ArpHelpLink=$ARP_HELPLINK" -D "ArpUrlInfoAbout=$ARP_URLINFOABOUT"
         -D "ArpUrlUpdateInfo=$ARP_URLUPDATEINFO")

# wixl finds the files to carry relative to the folder it runs in.
rm -f "$package.tmp"
(cd "$(dirname "$module")" &&
    quiet "$work/wixl.log" "$WIXL" --arch x64 "${defines[@]}" -I "$work" -o "$package.tmp" "$WXS")
sql() { "$MSIBUILD" "$package.tmp" -q "$1"; }
sql "UPDATE \`File\` SET \`Version\` = '$version.0', \`Language\` = '1033' WHERE \`File\` = '$module_name'"
sql "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$module_name'"
sql "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
# Attributes 513: older and equal versions (VersionMaxInclusive), features migrated.
sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$UPGRADE_CODE', '$version', 513, 'WIX_UPGRADE_DETECTED')"
sql "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;INSTALLFOLDER;INSTALLDIR' WHERE \`Property\` = 'SecureCustomProperties'"
mv -f "$package.tmp" "$package"
