#!/bin/bash
# Silent install, with and without /DISABLEPOPUP, and silent uninstall of the setup exe under
# Wine, checked in the files and the 64-bit registry view.
# Usage: installer_test.sh <setup exe>   (inside scripts/wine-env.sh, as ctest is run)
set -uo pipefail
setup=$1
export WINEPREFIX=${KV_WINEPREFIX:-$WINEPREFIX}
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
folder="$WINEPREFIX/drive_c/Program Files/kvUsbRedirector"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
event_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kvUsbRedirector'
popup_key='HKLM\Software\Orvik\WinUSB\DisableWarningPopup'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kvUsbRedirector'
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# Prints the value's line ("name TYPE data") or nothing.
value() {
    "$wine" reg query "$1" /v "$2" /reg:64 2>/dev/null | tr -d '\r' | grep -i "^ *$2 " || true
}
key_exists() {
    "$wine" reg query "$1" /reg:64 >/dev/null 2>&1
}
expect_value() {
    local line
    line=$(value "$1" "$2")
    [[ "$line" =~ $3 ]] || fail "$1 $2: expected /$3/, got '$line'"
}
# The uninstaller re-runs itself from a temporary copy and returns at once: wait for its work.
wait_gone() {
    for _ in $(seq 1 100); do
        [ ! -e "$folder" ] && ! key_exists "$uninstall_key" && return 0
        sleep 0.2
    done
    return 1
}

# wineboot starts what the Run key names: a value left behind would start the program at every
# later prefix start and hold the session's instance claim against the exe tests.
trap '"$wine" reg delete "$run_key" /v kvUsbRedirector /f /reg:64 >/dev/null 2>&1' EXIT

# Other tests of this prefix may have left it; it is only checked when the installer made it.
orvik_before=no
key_exists 'HKLM\Software\Orvik' && orvik_before=yes

"$wine" "$setup" /S || fail "setup /S exited with $?"
[ -f "$folder/kvUsbRedirector.exe" ] || fail "kvUsbRedirector.exe not installed"
[ -f "$folder/uninstall.exe" ] || fail "uninstall.exe not written"
cmp -s "$folder/kvUsbRedirector.exe" "$(dirname "$setup")/kvUsbRedirector.exe" ||
    fail "installed exe differs from the built one"
expect_value "$run_key" kvUsbRedirector 'REG_SZ +"C:\\Program Files\\kvUsbRedirector\\kvUsbRedirector.exe"$'
expect_value "$event_key" EventMessageFile 'REG_EXPAND_SZ +C:\\Program Files\\kvUsbRedirector\\kvUsbRedirector.exe$'
expect_value "$event_key" TypesSupported 'REG_DWORD +0x7$'
expect_value "$uninstall_key" UninstallString 'uninstall.exe"$'
expect_value "$uninstall_key" QuietUninstallString 'uninstall.exe" /S$'
key_exists "$popup_key" && fail "DisableWarningPopup written without /DISABLEPOPUP"

"$wine" "$setup" /S /DISABLEPOPUP || fail "setup /S /DISABLEPOPUP exited with $?"
key_exists "$popup_key" || fail "DisableWarningPopup missing after /DISABLEPOPUP"

"$wine" "$folder/uninstall.exe" /S || fail "uninstall /S exited with $?"
wait_gone || fail "uninstall left the folder or its entry"
[ -n "$(value "$run_key" kvUsbRedirector)" ] && fail "Run value left"
key_exists "$event_key" && fail "event source left"
key_exists "$popup_key" && fail "DisableWarningPopup left"
[ $orvik_before = no ] && key_exists 'HKLM\Software\Orvik' && fail "empty Orvik key left"

[ $failures -eq 0 ] && echo "installer: install, /DISABLEPOPUP and uninstall checked"
exit $((failures > 0))
