#!/bin/bash
# wixl 0.101 writes a custom action of Execute="commit" or Execute="rollback" as an immediate one:
# this sets its in-script bits in the built MSI's CustomAction table (0x400, with 0x200 for a
# commit action and 0x100 for a rollback action), as Windows Installer reads them.
# Usage: in_script_actions.sh <msi> <commit action> <rollback action>   (msitools' msiinfo, msibuild)
set -euo pipefail
msi=$(realpath "$1") commit=$2 rollback=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
msiinfo export "$msi" CustomAction | tr -d '\r' |
    while IFS= read -r line; do
        action=${line%%$'\t'*} rest=${line#*$'\t'}
        type=${rest%%$'\t'*} rest=${rest#*$'\t'}
        case "$action" in
        "$commit") type=$((type | 0x600)) ;;
        "$rollback") type=$((type | 0x500)) ;;
        *) printf '%s\r\n' "$line" && continue ;;
        esac
        printf '%s\t%s\t%s\r\n' "$action" "$type" "$rest"
    done >"$work/CustomAction.idt"
cd "$work" && msibuild "$msi" -i CustomAction.idt
