#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The manual pages: groff and man render them without a warning, the text
# fits 80 columns, and the commands and firmware names of the program's own
# usage text are all in flash-update(8) and in the bash completion.
#
# usage: test_man.sh SOURCE_DIR [FLASH_UPDATE_PROGRAM]
# Exit status 77 (skipped) when groff is missing.
set -uo pipefail

src=$1
program=${2:-}
page=$src/doc/flash-update.8
completion=$src/completion/flash-update
pages=("$page")
[[ -f $src/doc/flash-update-vcard.1 ]] && pages+=("$src/doc/flash-update-vcard.1")

if ! command -v groff >/dev/null; then
    echo "SKIP: groff is not installed (Debian package groff-base)"
    exit 77
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fu-man.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

for p in "${pages[@]}"; do
    name=${p##*/}
    if groff -ww -z -man "$p" 2>"$tmp/groff.err" && [[ ! -s $tmp/groff.err ]]; then
        pass
    else
        fail "groff -ww -z -man $name:"; cat "$tmp/groff.err"
    fi
    if command -v man >/dev/null; then
        if LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$p" >"$tmp/$name.txt" 2>"$tmp/man.err" &&
            [[ ! -s $tmp/man.err && -s $tmp/$name.txt ]]; then
            pass
        else
            fail "man --warnings -l $name:"; cat "$tmp/man.err"
        fi
        long=$(awk 'length > 80' "$tmp/$name.txt")
        if [[ -z $long ]]; then pass; else fail "$name has lines over 80 columns:"$'\n'"$long"; fi
    fi
done

# Every section an administrator looks for.
for section in NAME SYNOPSIS DESCRIPTION COMMANDS "FIRMWARE NAMES" "SECURE COMPONENTS" \
    "EXIT STATUS" FILES ENVIRONMENT EXAMPLES "SEE ALSO"; do
    if grep -qx "\.SH $section" "$page"; then pass; else fail "flash-update.8 has no section $section"; fi
done
for word in CRD_BDF RFC_TEST_ENV NON_PERSISTENT_LOG_DIR PERSISTENT_LOG_DIR boot_count.txt \
    'flash\-update.log' 'flash\-update\-err.log' partition_info.txt card_info.txt secure_info_ \
    _signed.txt '_key\-pub.pem' '/etc/orv/korvex/larch/fwkeys/'; do
    if grep -qF -- "$word" "$page"; then pass; else fail "flash-update.8 does not mention $word"; fi
done

# The program's usage text against the page's sections and the completion.
section() { sed -n "/^\.SH $1\$/,/^\.SH /p" "$page"; }
section COMMANDS >"$tmp/commands.8"
section "FIRMWARE NAMES" >"$tmp/names.8"
if [[ -n $program && -x $program ]]; then
    "$program" >"$tmp/usage.txt" 2>/dev/null
    status=$?
    if [[ $status -eq 1 ]]; then pass; else fail "$program without arguments exited $status, not 1"; fi
    # The usage text leaves out one command of the option table,
    # --verify-startup-image; the page and the completion have all fifteen.
    mapfile -t commands < <( (grep -oE '^  --[a-z-]+' "$tmp/usage.txt" | sed 's/^  //'
        echo --verify-startup-image) | sort -u)
    if [[ ${#commands[@]} -eq 15 ]]; then pass; else fail "usage text lists $((${#commands[@]} - 1)) commands, not 14"; fi
    offered=$(sed -n "/^_flash_update_commands='/,/'/p" "$completion" | tr -d "'" | sed 's/^_flash_update_commands=//')
    for cmd in "${commands[@]}"; do
        roff=${cmd//-/\\-}
        if grep -qE "^\.B[IR]? $(printf '%s' "$roff" | sed 's/\\/\\\\/g')( |$)" "$tmp/commands.8"; then
            pass
        else
            fail "flash-update.8 has no entry for $cmd"
        fi
        if [[ " $(echo $offered) " == *" $cmd "* ]]; then pass; else fail "the completion does not offer $cmd"; fi
    done
    for cmd in $offered; do
        if printf '%s\n' "${commands[@]}" | grep -qx -- "$cmd"; then
            pass
        else
            fail "the completion offers $cmd, which the usage text does not list"
        fi
    done
    # Firmware names of the usage text: each is in the manual, accepted or not.
    mapfile -t names < <(sed -n '/Available firmware names:/,/^$/p' "$tmp/usage.txt" |
        grep -oE '^    [a-z0-9_-]+' | sed 's/^ *//')
    if [[ ${#names[@]} -ge 20 ]]; then pass; else fail "usage text lists ${#names[@]} firmware names"; fi
    for n in "${names[@]}"; do
        if grep -qE "^\.BR? $(printf '%s' "${n//-/\\-}" | sed 's/\\/\\\\/g')([ ,;]|$)" "$tmp/names.8"; then
            pass
        else
            fail "flash-update.8 does not mention firmware name $n"
        fi
    done
else
    echo "note: no flash-update program given; usage text not compared"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
