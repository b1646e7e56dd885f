#!/bin/bash
# The MSI under Wine: silent install and uninstall, DISABLEPOPUP=1, a major upgrade and a refused
# downgrade, checked in the files and the 64-bit registry view, and the session's instance: started
# by an install or upgrade once it is committed, drained by an upgrade or uninstall
# (kvSessionControl); the package's InstallExecuteSequence is printed.
# Usage: installer_test.sh <wixl> <wxs> <msi> <version>   (inside scripts/wine-env.sh, as ctest
#        is run; the msi's folder holds the kvUsbRedirector.exe and kvSessionControl.exe it
#        packages)
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
product_key='HKLM\Software\Kelvra\kvUsbRedirector'
control_log="$WINEPREFIX/drive_c/windows/logs/kvUsbRedirector/kvSessionControl.log"
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
    "$wine" msiexec "$@" /qn /norestart /l*v "$work/msi.log"
    local status=$?
    echo "msiexec $1 $(basename "$2") exited with $status"
    return $status
}
# The Windows process ids (hex) of the prefix's kvUsbRedirector.exe, one a line.
instances() {
    "$wine" winedbg --command "info proc" 2>/dev/null | tr -d '\r' |
        awk "/'kvUsbRedirector.exe'/ { sub(/^=/, \"\", \$1); print \$1 }"
}
# $2 instances run (none of them $3, which was to be drained) and msiexec's log shows action $4;
# their ids are left in $running.
expect_instances() {
    running=$(instances)
    [ "$(grep -c . <<<"$running")" -eq "$2" ] || fail "$1: expected $2 instances, got '$running'"
    [ -n "$3" ] && grep -qx "$3" <<<"$running" && fail "$1: instance $3 not drained"
    grep -q "Action start .*: $4\\." "$work/msi.log" || fail "$1: msiexec's log lacks $4"
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
    key_exists "$product_key" && fail "$1: product key left"
}

# wineboot starts what the Run key names: a value left behind would start the program at every
# later prefix start and hold the session's instance claim against the exe tests.
# An instance left running would hold the session's instance claim against them too.
trap '"$wine" reg delete "$run_key" /v kvUsbRedirector /f /reg:64 >/dev/null 2>&1
      for pid in $(instances); do "$wine" taskkill /f /pid $((16#$pid)) >/dev/null 2>&1; done
      rm -rf "$work"' EXIT
rm -f "$control_log"

# Other tests of this prefix may have left Orvik (it is only checked when the package made it) or
# the popup key.
orvik_before=no
key_exists 'HKLM\Software\Orvik' && orvik_before=yes
"$wine" reg delete "$popup_key" /f /reg:64 >/dev/null 2>&1

IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
(cd "$exe_dir" && "$wixl" -a x64 -D Version="$newer" -D KvExe=kvUsbRedirector.exe \
    -D KvControl=kvSessionControl.exe -o "$work/newer.msi" "$wxs") &&
    "$(dirname "$wxs")/in_script_actions.sh" "$work/newer.msi" KvStartInstances KvStartInstancesAgain ||
    fail "wixl of version $newer exited with $?"
msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | sort -t $'\t' -k3n | tail -n +4
# The start is a commit action, its rollback twin a rollback one (in-script 0x400 with 0x200, 0x100).
msiinfo export "$msi" CustomAction | tr -d '\r' | awk -F '\t' '
    $1 == "KvStartInstances" && int($2 / 512) % 4 != 3 || $1 == "KvStartInstancesAgain" &&
        int($2 / 256) % 8 != 5 { print "FAIL: " $1 " of type " $2; bad = 1 } END { exit bad }' ||
    failures=$((failures + 1))

# A DisableWarningPopup key the package did not write is neither taken over nor removed.
"$wine" reg add "$popup_key" /f /reg:64 >/dev/null
msiexec /i "$msi" || fail "install exited with $?"
expect_installed "$version"
expect_instances install 1 "" KvStartInstances
[ -n "$(value "$popup_key" Enabled)" ] && fail "DisableWarningPopup written without DISABLEPOPUP=1"
msiexec /x "$msi" || fail "uninstall exited with $?"
expect_removed "uninstall"
expect_instances uninstall 0 "" KvStopInstances
key_exists "$popup_key" || fail "uninstall removed a DisableWarningPopup key it did not write"
"$wine" reg delete "$popup_key" /f /reg:64 >/dev/null
[ $orvik_before = no ] && "$wine" reg delete 'HKLM\Software\Orvik' /f /reg:64 >/dev/null

msiexec /i "$msi" DISABLEPOPUP=1 || fail "install DISABLEPOPUP=1 exited with $?"
key_exists "$popup_key" || fail "DisableWarningPopup missing after DISABLEPOPUP=1"
expect_instances "install DISABLEPOPUP=1" 1 "" KvStartInstances

# The newer package replaces the installed one and keeps the key that one wrote.
msiexec /i "$work/newer.msi" || fail "upgrade exited with $?"
expect_installed "$newer"
key_exists "$popup_key" || fail "upgrade dropped DisableWarningPopup"
expect_instances upgrade 1 "$running" KvStartInstances
grep -q "stop: no instance left" "$control_log" || fail "no drain in $control_log"

msiexec /i "$msi" && fail "downgrade to $version installed"
expect_installed "$newer"
[ "$(instances)" = "$running" ] || fail "the refused downgrade touched the instance"

product_code=$(entries | sed 's/.*\\//')
msiexec /x "$product_code" || fail "uninstall of $product_code exited with $?"
expect_removed "uninstall by product code"
expect_instances "uninstall by product code" 0 "" KvStopInstances
key_exists "$popup_key" && fail "DisableWarningPopup left"
[ $orvik_before = no ] && key_exists 'HKLM\Software\Orvik' && fail "empty Orvik key left"

[ $failures -eq 0 ] &&
    echo "installer: install, popup key, upgrade, downgrade, uninstall and instances checked"
exit $((failures > 0))
