#!/usr/bin/env bash
# The installer package under Wine, one scenario per call, each in a fresh prefix of its own:
#
#   package_test.sh template                     makes the pristine prefix the scenarios copy
#   package_test.sh install|uninstall|upgrade|repair|custom-folder
#   package_test.sh tables                       the package's tables (no prefix)
#   package_test.sh release|signed-release       a release made from the build (see
#                                                release/make-release.sh): unsigned, and signed
#                                                with a throwaway certificate
#
# A scenario's prefix is a new copy of the pristine one, which wineboot made once (with Wine's
# crash debugger switched off, so that a crash fails a step instead of passing for success) and
# which is never run itself; making a prefix takes far longer than copying one.
#
# Inputs, from the environment (tests/CMakeLists.txt sets them): PACKAGE and PREVIOUS_PACKAGE
# (the package and an older one), MODULE_DLL and PREVIOUS_MODULE_DLL (the DLLs they carry),
# PACKAGE_VERSION, HOST_DLL (the reference host's server module, which registers the host's type
# library), SNAPSHOT_EXE (registry_snapshot.exe), CLIENT_SCRIPT (create_key.vbs), TEMPLATE (the
# pristine prefix), WORK_ROOT (a folder for the scenarios' prefixes and files), RELEASE_CONFIG
# (the build's release-config.sh) and MAKE_RELEASE (release/make-release.sh).
set -euo pipefail
export LC_ALL=C WINEDEBUG=-all

scenario=${1:?usage: package_test.sh template|install|uninstall|upgrade|repair|custom-folder|tables|release|signed-release}
work=$WORK_ROOT/$scenario
installed_dll='C:\Program Files\Korvel\CryptoGraphicKey\CryptoGraphicKey.dll'
installed_unix='drive_c/Program Files/Korvel/CryptoGraphicKey/CryptoGraphicKey.dll'
product_name='Korvel Enterprise CryptoGraphicKey Plugin'

# Registry entries that change whenever a prefix starts, whatever runs in it: Wine's display
# driver registers its adapters anew (new keys below Control\Video) and stamps the driver date;
# the service manager counts its starts (Control\ServiceCurrent).
noise='\\Control\\Video\\|"DriverDateData"|\\Control\\ServiceCurrent( |$)'
# The installer's own records of what is installed: its database in the registry and the entry in
# the list of installed programs. They are not part of the module's registration.
installer_records='^HKLM\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\(Installer|Uninstall))(\\| |$)'

# The interfaces' keys in the 32-bit registry view (below two names of the same key).
interfaces_32='^HKLM\\Software\\(Classes\\Wow6432Node|Wow6432Node\\Classes)\\Interface\\'

prefixes=()
cleanup() {
    local status=$? prefix
    for prefix in "${prefixes[@]}"; do
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    done
    # A passing scenario leaves nothing behind; a failing one keeps its files to look at.
    if [ "$status" -eq 0 ] && [ "$scenario" != template ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

fail() {
    echo "FAIL ($scenario): $*" >&2
    exit 1
}

step() { echo "-- $(date +%T) $*"; }

winpath() {
    local path=${1//\//\\}
    printf 'Z:%s' "$path"
}

# run_in <prefix> <what> <program> [arguments...]: runs a program in the prefix and fails the
# scenario with its output when its exit status is not 0. The output goes to a file: Wine's
# background processes inherit the handles and would keep a pipe open.
run_in() {
    local prefix=$1 what=$2 status=0
    shift 2
    WINEPREFIX=$prefix wine "$@" >"$work/run.log" 2>&1 </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$work/run.log" >&2
        fail "$what: '$*' exited with status $status"
    fi
}

make_template() {
    local version
    version=$(wine --version)
    if [ -f "$TEMPLATE.ready" ] && [ "$(cat "$TEMPLATE.ready")" = "$version" ]; then
        step "the pristine prefix of $version is there"
        return
    fi
    rm -rf "$TEMPLATE" "$TEMPLATE.ready"
    mkdir -p "$(dirname "$TEMPLATE")" "$work"
    step "making the pristine prefix"
    WINEPREFIX=$TEMPLATE wineboot -u >"$work/wineboot.log" 2>&1 </dev/null ||
        fail "wineboot: $(cat "$work/wineboot.log")"
    local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    run_in "$TEMPLATE" "switching the crash debugger off" \
        reg add "$aedebug" /v Debugger /t REG_SZ /d "" /f
    run_in "$TEMPLATE" "switching the crash debugger off" \
        reg add "$aedebug" /v Auto /t REG_SZ /d 0 /f
    WINEPREFIX=$TEMPLATE wineserver -w
    echo "$version" >"$TEMPLATE.ready"
}

# new_prefix <name>: a fresh prefix $work/<name>, copied from the pristine one. Program images and
# tables are shared with it through hard links (nothing writes them in place); every other file,
# the registry among them, is the new prefix's own.
new_prefix() {
    prefix=$work/$1
    [ -f "$TEMPLATE.ready" ] || fail "no pristine prefix: run 'package_test.sh template' first"
    rm -rf "$prefix"
    cp -al "$TEMPLATE" "$prefix"
    find "$prefix" -type f ! \( -name '*.dll' -o -name '*.exe' -o -name '*.drv' -o -name '*.sys' \
        -o -name '*.ocx' -o -name '*.acm' -o -name '*.cpl' -o -name '*.tlb' -o -name '*.nls' \
        -o -name '*.ds' -o -name '*.msstyles' \) \
        -exec sh -c 'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"; done' sh {} +
    prefixes+=("$prefix")
    # One wine server for the whole scenario (ended on exit): otherwise every program started
    # after a pause would start the server and Wine's services anew.
    WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1 </dev/null
}

# snapshot <prefix> <name> [key...]: the registry (or the subtrees of the keys named) as
# $work/<name>.reg and the files of drive C: as $work/<name>.files, one sorted line per key, value,
# folder or file.
snapshot() {
    run_in "$1" "taking a registry snapshot" "$SNAPSHOT_EXE" "$(winpath "$work/$2.raw")" "${@:3}"
    grep -v -E "$noise" "$work/$2.raw" | sort >"$work/$2.reg"
    (cd "$1/drive_c" && find . -printf '%y %p\n' | sort) >"$work/$2.files"
}

expect_installed() {  # expect_installed <prefix> <dll>: the installed file is that DLL
    [ -f "$1/$installed_unix" ] || fail "$installed_dll is not there"
    cmp -s "$1/$installed_unix" "$2" || fail "$installed_dll is not $2"
}

# run_client <prefix>: the script client in the prefix (its output in $work/client.log), which
# creates the key object by its ProgIDs through the package's registration. The host's type
# library, which the module's library imports, is the platform's: it is not the package's to
# carry, and is registered here as the platform would have it.
run_client() {
    run_in "$1" "registering the host's type library" regsvr32 /s "$(winpath "$HOST_DLL")"
    WINEPREFIX=$1 wine cscript //nologo "$(winpath "$CLIENT_SCRIPT")" >"$work/client.log" 2>&1 \
        </dev/null
}

expect_script_client_works() {
    local status=0
    run_client "$1" || status=$?
    [ "$status" -eq 0 ] || fail "script client: exit status $status: $(cat "$work/client.log")"
    grep -q "create_key.vbs: all checks passed" "$work/client.log" ||
        fail "the script client stopped before its end: $(cat "$work/client.log")"
}

scenario_install() {
    new_prefix installed
    local p=$prefix
    snapshot "$p" before
    step "silent install"
    run_in "$p" "installing" msiexec /i "$(winpath "$PACKAGE")" /qn
    snapshot "$p" after
    expect_installed "$p" "$MODULE_DLL"
    if [ -n "$(comm -23 "$work/before.reg" "$work/after.reg")" ]; then
        comm -23 "$work/before.reg" "$work/after.reg" | head -20 >&2
        fail "installing removed or changed registry entries"
    fi
    # The folder the package remembers for itself (the default one here) is not registration.
    grep -q -F 'HKLM\Software\Korvel\CryptoGraphicKey : "InstallFolder" REG_SZ ' "$work/after.reg" ||
        fail "the install folder is not remembered"
    comm -13 "$work/before.reg" "$work/after.reg" | grep -v -E "$installer_records" |
        grep -v -E '^HKLM\\Software\\Korvel(\\| |$)' >"$work/package.tree" || true

    step "regsvr32 of the same file at the same path, in a fresh prefix of its own"
    new_prefix regsvr32
    local r=$prefix
    snapshot "$r" regsvr32-before
    mkdir -p "$(dirname "$r/$installed_unix")"
    cp "$MODULE_DLL" "$r/$installed_unix"
    run_in "$r" "registering with regsvr32" regsvr32 /s "$installed_dll"
    snapshot "$r" regsvr32-after
    comm -13 "$work/regsvr32-before.reg" "$work/regsvr32-after.reg" >"$work/regsvr32.tree"
    grep -q 'InprocServer32 : ""' "$work/regsvr32.tree" || fail "regsvr32 wrote no class"

    # The two known differences. The type library's help folder is the module's folder, which the
    # installer writes with a trailing separator (its folder properties always end in one) and
    # type-library registration without: only that separator is taken off before comparing. And
    # type-library registration copies the interfaces' keys into the 32-bit view, which the
    # package leaves out (module/regentries.cpp says why): those copies are not compared.
    sed -E '/\\HELPDIR : "" REG_SZ /s/ 5c 00 00 00\] (".*)\\\|"$/ 00 00] \1|"/' \
        "$work/package.tree" >"$work/package.compared"
    grep -v -E "$interfaces_32" "$work/regsvr32.tree" >"$work/regsvr32.compared" || true
    grep -q -E "$interfaces_32" "$work/regsvr32.tree" ||
        fail "regsvr32 no longer writes the 32-bit interface keys: compare them again"
    if ! diff -u "$work/regsvr32.compared" "$work/package.compared" >"$work/tree.diff"; then
        cut -c1-240 "$work/tree.diff" | head -60 >&2
        fail "the package's registry entries differ from regsvr32's (- regsvr32, + package)"
    fi
    step "the package wrote the $(grep -c -v ' : ' "$work/package.tree") keys and" \
        "$(grep -c ' : ' "$work/package.tree") values that regsvr32 writes"

    step "script client"
    expect_script_client_works "$p"
}

# expect_as_before <before> <after>: the registry and the files of drive C: of snapshot <after>
# are those of <before>, but for the installer's own records.
expect_as_before() {
    local before=$1 after=$2
    # Wine's installer keeps its own database keys, empty, once it has made them (Windows has them
    # from the start): those keys alone may be new. Everything else is as before the install.
    comm -13 "$work/$before.reg" "$work/$after.reg" >"$work/new.reg"
    if grep -q -v -E "$installer_records" "$work/new.reg" ||
        grep -q ' : ' "$work/new.reg"; then
        cut -c1-240 "$work/new.reg" | head -40 >&2
        fail "entries are left after the uninstall"
    fi
    if [ -n "$(comm -23 "$work/$before.reg" "$work/$after.reg")" ]; then
        comm -23 "$work/$before.reg" "$work/$after.reg" | cut -c1-240 | head -40 >&2
        fail "the uninstall removed or changed entries that were there before the install"
    fi
    local key
    for key in CLSID Interface TypeLib; do
        grep -q -i -x "HKLM\\\\Software\\\\Classes\\\\$key" "$work/$after.reg" ||
            fail "HKCR\\$key is gone"
    done
    # The installer's cache folder stays, empty, as its database keys do.
    if ! diff <(grep -v -x 'd ./windows/Installer' "$work/$after.files") "$work/$before.files" \
        >"$work/files.diff"; then
        cat "$work/files.diff" >&2
        fail "files or folders differ from before the install (< after, > before)"
    fi
}

scenario_uninstall() {
    new_prefix uninstalled
    local p=$prefix
    snapshot "$p" before
    run_in "$p" "installing" msiexec /i "$(winpath "$PACKAGE")" /qn
    snapshot "$p" installed
    expect_installed "$p" "$MODULE_DLL"
    step "silent uninstall"
    run_in "$p" "uninstalling" msiexec /x "$(winpath "$PACKAGE")" /qn
    snapshot "$p" after

    comm -13 "$work/before.reg" "$work/installed.reg" >"$work/added.reg"
    grep -q 'InprocServer32 : ""' "$work/added.reg" || fail "the install wrote no class"
    [ ! -e "$p/$installed_unix" ] || fail "$installed_dll is still there"

    expect_as_before before after
    step "$(wc -l <"$work/added.reg") registry lines and the module's folder came and went"
}

# expect_one_product <prefix> <version>: one product of the package is installed, of <version>,
# carrying <dll> (a fresh prefix holds no other installed product).
expect_one_product() {
    local p=$1 version=$2 dll=$3 products upgrade_codes names
    expect_installed "$p" "$dll"
    snapshot "$p" products 'HKLM\Software\Classes\Installer' \
        'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
    products=$(grep -c -E '^HKLM\\Software\\Classes\\Installer\\Products\\[0-9A-F]{32}$' \
        "$work/products.reg" || true)
    upgrade_codes=$(grep -c -E '^HKLM\\Software\\Classes\\Installer\\UpgradeCodes\\[0-9A-F]{32} : ' \
        "$work/products.reg" || true)
    grep -E '^HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\' "$work/products.reg" \
        >"$work/programs.reg" || true
    names=$(grep -c -F ': "DisplayName" REG_SZ' "$work/programs.reg" || true)
    [ "$products" -eq 1 ] || fail "$products products are installed, not 1"
    [ "$upgrade_codes" -eq 1 ] || fail "the upgrade code names $upgrade_codes products, not 1"
    [ "$names" -eq 1 ] || fail "the programs list has $names entries, not 1"
    grep -F ': "DisplayName" REG_SZ' "$work/programs.reg" | grep -q -F "\"$product_name|\"" ||
        fail "the installed product is not named $product_name"
    grep -F ': "DisplayVersion" REG_SZ' "$work/programs.reg" | grep -q -F "\"$version|\"" ||
        fail "the installed product is not version $version"
}

new_guid() { printf '{%s}' "$(tr a-f A-F </proc/sys/kernel/random/uuid)"; }

scenario_upgrade() {
    new_prefix upgraded
    local p=$prefix
    step "installing the older package, then the package over it"
    run_in "$p" "installing the older package" msiexec /i "$(winpath "$PREVIOUS_PACKAGE")" /qn
    expect_installed "$p" "$PREVIOUS_MODULE_DLL"
    run_in "$p" "upgrading" msiexec /i "$(winpath "$PACKAGE")" /qn
    expect_one_product "$p" "$PACKAGE_VERSION" "$MODULE_DLL"
    expect_script_client_works "$p"

    # A rebuild of the same version has a new product and package code, as every build does: it
    # replaces the installed product too, instead of being installed beside it.
    step "a rebuilt package of the same version over it"
    local rebuilt=$work/rebuilt.msi
    cp "$PACKAGE" "$rebuilt"
    msibuild "$rebuilt" -q "UPDATE \`Property\` SET \`Value\` = '$(new_guid)' WHERE \`Property\` = 'ProductCode'"
    msibuild "$rebuilt" -s "$product_name $PACKAGE_VERSION" Korvel "x64;1033" "$(new_guid)"
    run_in "$p" "installing the rebuilt package" msiexec /i "$(winpath "$rebuilt")" /qn
    expect_one_product "$p" "$PACKAGE_VERSION" "$MODULE_DLL"

    step "the older package refuses to go over the newer one"
    local status=0
    WINEPREFIX=$p wine msiexec /i "$(winpath "$PREVIOUS_PACKAGE")" /qn >"$work/run.log" 2>&1 \
        </dev/null || status=$?
    [ "$status" -ne 0 ] || fail "the older package was installed over the newer one"
    expect_one_product "$p" "$PACKAGE_VERSION" "$MODULE_DLL"
    step "one product, version $PACKAGE_VERSION, with the new file"
}

scenario_repair() {
    new_prefix repaired
    local p=$prefix
    run_in "$p" "installing" msiexec /i "$(winpath "$PACKAGE")" /qn
    expect_installed "$p" "$MODULE_DLL"
    step "deleting the installed DLL by hand, then repairing"
    rm "$p/$installed_unix"
    run_in "$p" "repairing" msiexec /i "$(winpath "$PACKAGE")" REINSTALL=ALL REINSTALLMODE=omus /qn
    expect_installed "$p" "$MODULE_DLL"
    expect_script_client_works "$p"
}

# value_of <snapshot> <key> <name>: the text of a REG_SZ value in a registry snapshot ("" when the
# value is not there).
value_of() {
    grep -F -- "$2 : \"$3\" REG_SZ " "$work/$1.reg" | sed -E 's/.*\] "(.*)\|"$/\1/' | head -1
}

# A folder chosen at the install is kept: an upgrade without it, a repair and the removal find the
# module there; INSTALLDIR is taken for INSTALLFOLDER.
scenario_custom_folder() {
    new_prefix custom
    local p=$prefix settings='HKLM\Software\Korvel\CryptoGraphicKey'
    # The folder above the chosen ones is the administrator's: the installer leaves it behind. The
    # platform's registration, which the script client needs, is there before too, and so is
    # what cscript registers for itself when it first runs (the client fails then: no module).
    mkdir "$p/drive_c/Apps"
    run_client "$p" || true
    snapshot "$p" before
    installed_dll='C:\Apps\CGK\CryptoGraphicKey.dll'
    installed_unix='drive_c/Apps/CGK/CryptoGraphicKey.dll'
    step "installing the older package to C:\\Apps\\CGK"
    run_in "$p" "installing the older package" msiexec /i "$(winpath "$PREVIOUS_PACKAGE")" \
        'INSTALLFOLDER=C:\Apps\CGK\' /qn
    expect_installed "$p" "$PREVIOUS_MODULE_DLL"
    snapshot "$p" first "$settings"
    [ "$(value_of first "$settings" InstallFolder)" = 'C:\Apps\CGK\' ] ||
        fail "the install folder is not remembered: '$(value_of first "$settings" InstallFolder)'"

    step "upgrading without a folder: the module stays in C:\\Apps\\CGK"
    run_in "$p" "upgrading" msiexec /i "$(winpath "$PACKAGE")" /qn
    expect_one_product "$p" "$PACKAGE_VERSION" "$MODULE_DLL"
    [ ! -e "$p/drive_c/Program Files/Korvel" ] || fail "the upgrade installed to Program Files"
    grep -F ': "InstallLocation" REG_SZ' "$work/programs.reg" | grep -q -F '"C:\Apps\CGK\|"' ||
        fail "Programs and Features does not show C:\\Apps\\CGK\\ as the install location"
    grep -F ': "Comments" REG_SZ' "$work/programs.reg" | grep -q -F 'plug-in' ||
        fail "Programs and Features shows no comments"
    grep -q -F ': "ProductIcon" REG_SZ' "$work/products.reg" ||
        fail "the product has no icon"
    expect_script_client_works "$p"

    step "repairing the module deleted by hand"
    rm "$p/$installed_unix"
    run_in "$p" "repairing" msiexec /i "$(winpath "$PACKAGE")" REINSTALL=ALL REINSTALLMODE=omus /qn
    expect_installed "$p" "$MODULE_DLL"
    [ ! -e "$p/drive_c/Program Files/Korvel" ] || fail "the repair installed to Program Files"

    step "removing it"
    run_in "$p" "uninstalling" msiexec /x "$(winpath "$PACKAGE")" /qn
    [ ! -e "$p/$installed_unix" ] || fail "$installed_dll is still there after the removal"
    snapshot "$p" removed
    expect_as_before before removed

    step "INSTALLDIR is another name for INSTALLFOLDER"
    installed_dll='C:\Apps\Other\CryptoGraphicKey.dll'
    installed_unix='drive_c/Apps/Other/CryptoGraphicKey.dll'
    run_in "$p" "installing" msiexec /i "$(winpath "$PACKAGE")" 'INSTALLDIR=C:\Apps\Other' /qn
    expect_installed "$p" "$MODULE_DLL"
    run_in "$p" "uninstalling" msiexec /x "$(winpath "$PACKAGE")" /qn
    snapshot "$p" removed-again
    expect_as_before before removed-again
}

# The package's tables as an installer's validation reads them.
scenario_tables() {
    local module_name
    module_name=$(basename "$MODULE_DLL")
    msiinfo export "$PACKAGE" File >"$work/File.idt"
    awk -F'\t' -v f="$module_name" -v v="$PACKAGE_VERSION.0" '
        $1 == f { found = 1; if ($5 != v || $6 != "1033") { print "File row: " $0; exit 1 } }
        END { if (!found) { print "no File row for " f; exit 1 } }' "$work/File.idt" >&2 ||
        fail "the module's File row lacks its version or language"
    msiinfo export "$PACKAGE" MsiFileHash >"$work/MsiFileHash.idt"
    ! cut -f1 "$work/MsiFileHash.idt" | grep -q -x -F "$module_name" ||
        fail "MsiFileHash has a row for the versioned $module_name"
    msiinfo export "$PACKAGE" Property >"$work/Property.idt"
    local property
    for property in ARPPRODUCTICON ARPCOMMENTS ARPNOMODIFY; do
        grep -q "^$property"$'\t' "$work/Property.idt" || fail "no property $property"
    done
    grep -q $'^SecureCustomProperties\t.*INSTALLFOLDER' "$work/Property.idt" ||
        fail "INSTALLFOLDER is not a secure property"
    # (Each table goes through a file: grep -q would end a pipe before msiinfo is done with it.)
    local table
    for table in Icon Registry RegLocator; do
        msiinfo export "$PACKAGE" "$table" >"$work/$table.idt"
    done
    grep -q $'^CryptoGraphicKey.ico\t' "$work/Icon.idt" || fail "no icon"
    # The remembered folder: written by the module's component, searched in the 64-bit view.
    grep -q $'\tInstallFolder\t\\[INSTALLFOLDER\\]\t' "$work/Registry.idt" ||
        fail "the install folder is not written to the registry"
    grep -q -P '^RememberedInstallFolder\t2\tSoftware\\Korvel\\CryptoGraphicKey\tInstallFolder\t18' \
        "$work/RegLocator.idt" || fail "the install folder is not searched in the 64-bit registry"
    step "File $PACKAGE_VERSION.0 / 1033, no hash row, icon, comments, remembered folder"
}

# debug_link_of <file>: the name and the CRC-32 (hexadecimal) its .gnu_debuglink section holds.
debug_link_of() {
    rm -f "$work/debuglink.bin"
    "$OBJCOPY" --dump-section .gnu_debuglink="$work/debuglink.bin" "$1" "$work/copy.bin"
    rm -f "$work/copy.bin"
    python3 - "$work/debuglink.bin" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
name = data[: data.index(b"\0")]
crc = struct.unpack_from("<I", data, (len(name) + 4) // 4 * 4)[0]
print(name.decode(), "%08x" % crc)
PY
}

crc32_of() { python3 -c 'import sys, zlib; print("%08x" % zlib.crc32(open(sys.argv[1], "rb").read()))' "$1"; }

# expect_split <dist> <file>: the shipped file has no debug sections and no symbols, and its debug
# link names its debug file beside it with that file's CRC-32; the debug file has the debug
# sections and the same code section as the shipped file.
expect_split() {
    local file=$1/$2 debug=$1/$2.debug sections
    "$OBJDUMP" -h "$file" >"$work/sections.txt"
    ! grep -q -E ' \.(z)?debug_' "$work/sections.txt" || fail "$2 carries debug sections"
    "$OBJDUMP" -t "$file" >"$work/symbols.txt"
    ! grep -q -E '^\[ *[0-9]+\]' "$work/symbols.txt" || fail "$2 carries a symbol table"
    [ "$(debug_link_of "$file")" = "$2.debug $(crc32_of "$debug")" ] ||
        fail "$2's debug link ($(debug_link_of "$file")) does not match $2.debug ($(crc32_of "$debug"))"
    "$OBJDUMP" -h "$debug" >"$work/debug-sections.txt"
    grep -q ' \.debug_info ' "$work/debug-sections.txt" || fail "$2.debug has no debug information"
    sections=$(grep -E ' \.text ' "$work/sections.txt" | awk '{print $3, $4}')
    [ -n "$sections" ] && grep -E ' \.text ' "$work/debug-sections.txt" | awk '{print $3, $4}' |
        grep -q -x -F "$sections" || fail "$2.debug is not of this $2 (.text differs)"
}

# make_release <dist> [environment...]: make-release.sh on the build, its output in $work.
make_release() {
    local dist=$1
    shift
    env "$@" bash "$MAKE_RELEASE" "$RELEASE_CONFIG" "$dist" >"$work/release.log" 2>&1 ||
        { cat "$work/release.log" >&2; fail "make-release.sh failed"; }
    cat "$work/release.log"
}

scenario_release() {
    # shellcheck source=/dev/null
    . "$RELEASE_CONFIG"
    local dist=$work/dist package
    package=CryptoGraphicKey-$PACKAGE_VERSION-x64.msi
    make_release "$dist" CGK_SIGN_PKCS12=
    [ "$(grep -c -i 'unsigned' "$work/release.log")" -eq 2 ] &&
        [ "$(grep -c 'no certificate given' "$work/release.log")" -eq 1 ] ||
        fail "an unsigned release does not say so once"
    (cd "$dist" && ls) >"$work/files.txt"
    printf '%s\n' CryptoGraphicKey.dll CryptoGraphicKey.dll.debug "$package" RELEASE-NOTES.md \
        SHA256SUMS keytool.exe keytool.exe.debug reference.html | sort | diff - "$work/files.txt" >&2 ||
        fail "the release's files differ from the list (< expected, > made)"
    (cd "$dist" && sha256sum --quiet -c SHA256SUMS) >&2 || fail "SHA256SUMS does not match"
    [ "$(wc -l <"$dist/SHA256SUMS")" -eq 7 ] || fail "SHA256SUMS does not list the 7 other files"
    expect_split "$dist" CryptoGraphicKey.dll
    expect_split "$dist" keytool.exe
    local size
    size=$(stat -c %s "$dist/CryptoGraphicKey.dll")
    [ "$size" -lt $((1536 * 1024)) ] || fail "the shipped DLL is $size bytes, not under 1.5 MB"
    # The package carries the shipped DLL itself.
    msiextract -C "$work/extracted" "$dist/$package" >/dev/null
    cmp -s "$(find "$work/extracted" -name CryptoGraphicKey.dll)" "$dist/CryptoGraphicKey.dll" ||
        fail "the package does not carry the shipped DLL"
    head -1 "$dist/RELEASE-NOTES.md" | grep -q -x "## $PACKAGE_VERSION" ||
        fail "the release notes are not those of $PACKAGE_VERSION"
    cmp -s "$REFERENCE" "$dist/reference.html" || fail "reference.html is not the build's"
    step "CryptoGraphicKey.dll $size bytes (built: $(stat -c %s "$MODULE_DLL")), keytool.exe" \
        "$(stat -c %s "$dist/keytool.exe") bytes"
}

# A release signed with a throwaway certificate: every signature verifies, and the signed module
# registers and serves a script client.
scenario_signed_release() {
    # shellcheck source=/dev/null
    . "$RELEASE_CONFIG"
    local dist=$work/dist certs=$work/certs file
    mkdir -p "$certs"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=CryptoGraphicKey test signing" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$certs/key.pem" -out "$certs/cert.pem" >"$work/openssl.log" 2>&1 ||
        { cat "$work/openssl.log" >&2; fail "openssl req failed"; }
    openssl pkcs12 -export -inkey "$certs/key.pem" -in "$certs/cert.pem" -out "$certs/cert.p12" \
        -passout pass:'throw away' >>"$work/openssl.log" 2>&1 ||
        { cat "$work/openssl.log" >&2; fail "openssl pkcs12 failed"; }
    make_release "$dist" CGK_SIGN_PKCS12="$certs/cert.p12" CGK_SIGN_PASSWORD='throw away' \
        CGK_SIGN_TIMESTAMP_URL=
    ! grep -q -i 'unsigned' "$work/release.log" || fail "a signed release says it is unsigned"
    for file in CryptoGraphicKey.dll keytool.exe "CryptoGraphicKey-$PACKAGE_VERSION-x64.msi"; do
        osslsigncode verify -CAfile "$certs/cert.pem" -in "$dist/$file" >"$work/verify.log" 2>&1 ||
            { cat "$work/verify.log" >&2; fail "the signature of $file does not verify"; }
        grep -q 'Signature verification: ok' "$work/verify.log" ||
            { cat "$work/verify.log" >&2; fail "the signature of $file does not verify"; }
    done
    # A signature changes the file but not its debug link.
    expect_split "$dist" CryptoGraphicKey.dll

    step "the signed module registered with regsvr32 in a fresh prefix"
    new_prefix signed
    local p=$prefix
    mkdir -p "$p/drive_c/Signed"
    cp "$dist/CryptoGraphicKey.dll" "$p/drive_c/Signed/"
    run_in "$p" "registering the signed module" regsvr32 /s 'C:\Signed\CryptoGraphicKey.dll'
    expect_script_client_works "$p"
}

mkdir -p "$work"
case $scenario in
    template) make_template ;;
    install | uninstall | upgrade | repair | tables | release) "scenario_$scenario" ;;
    custom-folder) scenario_custom_folder ;;
    signed-release) scenario_signed_release ;;
    *) fail "unknown scenario" ;;
esac
echo "package_test $scenario: passed"
