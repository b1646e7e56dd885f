#!/bin/bash
# The MSI under Wine: silent install and uninstall, DISABLEPOPUP=1, a major upgrade and a refused
# downgrade, checked in the files and the 64-bit registry view.
# Usage: installer_test.sh <wixl> <wxs> <msi> <version>   (inside scripts/wine-env.sh, as ctest
#        is run; the msi's folder holds the kvUsbRedirector.exe it packages)
set -uo pipefail
wixl=$1 wxs=$2 msi=$3 version=$4
export WINEPREFIX=${KV_WINEPREFIX:-$WINEPREFIX}
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
exe_dir=$(dirname "$msi")
folder="$WINEPREFIX/drive_c/Program Files/kvUsbRedirector"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
event_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kvUsbRedirector'
popup_key='HKLM\Software\Orvik\WinUSB\DisableWarningPopup'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
work=$(mktemp -d)
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
msiexec() {
    "$wine" msiexec "$@" /qn
}
# The Add/Remove Programs entries of the product, one key a line.
entries() {
    "$wine" reg query "$uninstall_key" /s /reg:64 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { key = $0 } /DisplayName +REG_SZ +Kelvra USB Redirector$/ { print key }'
}
expect_installed() {
    local entry
    [ -d "$folder" ] && cmp -s "$folder/kvUsbRedirector.exe" "$exe_dir/kvUsbRedirector.exe" ||
        fail "$1: kvUsbRedirector.exe not installed as built"
    cmp -s "$folder/PolicyDefinitions/en-US/kvUsbRedirector.adml" \
        "$(dirname "$0")/../../policy/en-US/kvUsbRedirector.adml" &&
        [ -f "$folder/PolicyDefinitions/kvUsbRedirector.admx" ] ||
        fail "$1: the Group Policy template not installed"
    expect_value "$run_key" kvUsbRedirector \
        'REG_SZ +"C:\\Program Files\\kvUsbRedirector\\kvUsbRedirector.exe"$'
    expect_value "$event_key" EventMessageFile \
        'REG_EXPAND_SZ +C:\\Program Files\\kvUsbRedirector\\kvUsbRedirector.exe$'
    expect_value "$event_key" TypesSupported 'REG_DWORD +0x7$'
    entry=$(entries)
    [ "$(wc -l <<<"$entry")" -eq 1 ] || fail "$1: expected one Add/Remove Programs entry: '$entry'"
    expect_value "$(head -n 1 <<<"$entry")" DisplayVersion "REG_SZ +$1\$"
}
expect_removed() {
    [ -e "$folder" ] && fail "$1: folder left"
    [ -n "$(value "$run_key" kvUsbRedirector)" ] && fail "$1: Run value left"
    key_exists "$event_key" && fail "$1: event source left"
    [ -n "$(entries)" ] && fail "$1: Add/Remove Programs entry left"
}

# wineboot starts what the Run key names: a value left behind would start the program at every
# later prefix start and hold the session's instance claim against the exe tests.
trap '"$wine" reg delete "$run_key" /v kvUsbRedirector /f /reg:64 >/dev/null 2>&1
      rm -rf "$work"' EXIT

# Other tests of this prefix may have left Orvik (it is only checked when the package made it) or
# the popup key.
orvik_before=no
key_exists 'HKLM\Software\Orvik' && orvik_before=yes
"$wine" reg delete "$popup_key" /f /reg:64 >/dev/null 2>&1

IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
(cd "$exe_dir" && "$wixl" -a x64 -D Version="$newer" -D KvExe=kvUsbRedirector.exe \
    -o "$work/newer.msi" "$wxs") || fail "wixl of version $newer exited with $?"

# A DisableWarningPopup key the package did not write is neither taken over nor removed.
"$wine" reg add "$popup_key" /f /reg:64 >/dev/null
msiexec /i "$msi" || fail "install exited with $?"
expect_installed "$version"
[ -n "$(value "$popup_key" Enabled)" ] && fail "DisableWarningPopup written without DISABLEPOPUP=1"
msiexec /x "$msi" || fail "uninstall exited with $?"
expect_removed "uninstall"
key_exists "$popup_key" || fail "uninstall removed a DisableWarningPopup key it did not write"
"$wine" reg delete "$popup_key" /f /reg:64 >/dev/null
[ $orvik_before = no ] && "$wine" reg delete 'HKLM\Software\Orvik' /f /reg:64 >/dev/null

msiexec /i "$msi" DISABLEPOPUP=1 || fail "install DISABLEPOPUP=1 exited with $?"
key_exists "$popup_key" || fail "DisableWarningPopup missing after DISABLEPOPUP=1"

# The newer package replaces the installed one and keeps the key that one wrote.
msiexec /i "$work/newer.msi" || fail "upgrade exited with $?"
expect_installed "$newer"
key_exists "$popup_key" || fail "upgrade dropped DisableWarningPopup"

msiexec /i "$msi" && fail "downgrade to $version installed"
expect_installed "$newer"

product_code=$(entries | sed 's/.*\\//')
msiexec /x "$product_code" || fail "uninstall of $product_code exited with $?"
expect_removed "uninstall by product code"
key_exists "$popup_key" && fail "DisableWarningPopup left"
[ $orvik_before = no ] && key_exists 'HKLM\Software\Orvik' && fail "empty Orvik key left"

[ $failures -eq 0 ] && echo "installer: install, popup key, upgrade, downgrade, uninstall checked"
exit $((failures > 0))
