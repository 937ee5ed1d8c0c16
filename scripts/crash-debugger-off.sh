#!/bin/sh
# Switches Wine's automatic crash debugger off in a Wine prefix (creating the prefix if needed):
# with it on, a program that crashes sometimes exits with status 0, because the debugger races
# with the exit; with it off, a crash always exits with the exception code's low byte.
#   crash-debugger-off.sh <prefix>
# A prefix update re-applies Wine's defaults, and it finishes in the background: so the prefix is
# brought up to date first, the setting is made, the wineserver is waited for (it ends once every
# process of the prefix has), the setting is read back, and a marker file records the update it
# was made after.
prefix=${1:?usage: crash-debugger-off.sh <prefix>}
marker="$prefix/.crash-debugger-off"
stamp() { cat "$prefix/.update-timestamp" 2>/dev/null; }
[ -f "$marker" ] && [ "$(cat "$marker")" = "$(stamp)" ] && exit 0
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
wine wineboot -u >/dev/null 2>&1 </dev/null
wine reg add "$key" /v Debugger /t REG_SZ /d "" /f >/dev/null 2>&1 </dev/null &&
    wine reg add "$key" /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1 </dev/null || exit 1
# A wineserver kept alive on purpose (setup.sh's -p) or by other programs of the prefix would keep
# -w waiting for good: the wait is bounded, the read-back below decides.
timeout 30 wineserver -w || true
if ! wine reg query "$key" /v Auto 2>/dev/null </dev/null | grep -q 'REG_SZ[[:space:]]*0'; then
    echo "crash-debugger-off.sh: the crash debugger is still on in $prefix" >&2
    exit 1
fi
stamp >"$marker"
