#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian packages as CPack makes them: names, dependencies, the postinst
# and where each file lands. Built into a temporary directory; nothing is
# installed on this machine.
#
# usage: test_deb.sh BUILD_DIR BUILT_FILE...
# Skipped (exit 77) when dpkg-deb is missing or the tree is not built.
set -uo pipefail
# A grep -q in a pipeline would end it early and fail its writer with SIGPIPE
# under pipefail: the greps below read all their input.

build=$1
shift
for f in "$@"; do
    if [[ ! -e $f ]]; then
        echo "SKIP: the build tree lacks $f; build every target first (cmake --build $build)"
        exit 77
    fi
done
if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb is not installed"
    exit 77
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fu-deb.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp" >"$tmp/cpack.log" 2>&1; then
    echo "FAIL: cpack:"
    cat "$tmp/cpack.log"
    echo "0 passed, 1 failed"
    exit 1
fi

deb() { # the one package file named $1
    local f
    for f in "$tmp"/"$1"_*.deb; do
        [[ -f $f ]] && printf '%s' "$f"
    done
}
field() { dpkg-deb -f "$1" "$2"; }
has_dep() { # package file, field, package name
    if field "$1" "$2" | tr ',|' '\n\n' | sed 's/^ *//; s/ .*//' | grep -x -- "$3" >/dev/null; then
        pass
    else
        fail "${1##*/} $2 lacks $3: $(field "$1" "$2")"
    fi
}
has_file() { # package file, path
    if dpkg-deb -c "$1" | awk '{print $6}' | grep -x -- ".$2" >/dev/null; then pass; else fail "${1##*/} lacks $2"; fi
}

tool=$(deb flash-update)
dev=$(deb flash-update-dev)
vcard=$(deb flash-update-vcard)
if [[ -n $tool && -n $dev ]]; then pass; else fail "packages made: $(ls "$tmp")"; fi

# Each package's licence terms: the project Apache-2.0, the collection GPL-3.0-or-later.
for package in "$tool" "$dev" "$vcard"; do
    [[ -n $package ]] || continue
    name=$(field "$package" Package)
    licences=$(dpkg-deb --fsys-tarfile "$package" | tar -xOf - "./usr/share/doc/$name/copyright" 2>/dev/null |
               sed -n 's/^License: //p' | sort -u | tr '\n' ' ')
    [[ $licences == "Apache-2.0 GPL-3.0-or-later " ]] && pass || fail "$name copyright licences: '$licences'"
done

if [[ -n $tool ]]; then
    [[ $(field "$tool" Package) == flash-update ]] && pass || fail "tool package name"
    [[ $(field "$tool" Section) == admin ]] && pass || fail "tool section $(field "$tool" Section)"
    has_dep "$tool" Depends pciutils
    has_dep "$tool" Depends libc6
    has_dep "$tool" Depends libstdc++6
    # libspdlog1.10 provides the versioned name its shlibs file asks for.
    if field "$tool" Depends | grep -E 'libspdlog1\.10' >/dev/null; then pass; else fail "tool Depends lacks libspdlog1.10"; fi
    if field "$tool" Depends | grep -E 'libfmt9' >/dev/null; then pass; else fail "tool Depends lacks libfmt9"; fi
    has_file "$tool" /usr/bin/flash-update
    has_file "$tool" /usr/share/man/man8/flash-update.8.gz
    has_file "$tool" /usr/share/bash-completion/completions/flash-update
    has_file "$tool" /usr/lib/tmpfiles.d/flash-update.conf
    # The collection (and its tarball) in the tool package.
    has_file "$tool" /usr/share/ansible/collections/ansible_collections/flash_update/cards/COPYING
    if dpkg-deb -c "$tool" | awk '{print $6}' | grep -E '^\./usr/share/flash-update/ansible/flash_update-cards-[0-9.]+\.tar\.gz$' >/dev/null; then
        pass
    else
        fail "the tool package lacks the collection tarball"
    fi
    if dpkg-deb -c "$tool" | awk '{print $6}' | grep -E '\.(a|h|pc)$|/cmake/' >/dev/null; then
        fail "the tool package carries development files"
    else
        pass
    fi
    mkdir "$tmp/control"
    dpkg-deb -e "$tool" "$tmp/control"
    if [[ -x $tmp/control/postinst ]] && sh -n "$tmp/control/postinst" &&
        grep -q 'systemd-tmpfiles .*--create flash-update.conf' "$tmp/control/postinst" &&
        grep -q 'mkdir -p -m 0755 "${DPKG_ROOT}/tmp/korvex"' "$tmp/control/postinst"; then
        pass
    else
        fail "postinst missing, not executable or not creating /tmp/korvex"
    fi
fi

if [[ -n $dev ]]; then
    has_dep "$dev" Depends libspdlog-dev
    has_dep "$dev" Depends libfmt-dev
    has_file "$dev" /usr/include/flash-update/card_ipc/nic_ipc_discovery.h
    has_file "$dev" /usr/include/flash-update/card_ipc/card_lock.h
    has_file "$dev" /usr/include/flash-update/ipcdrv/protocol.h
    has_file "$dev" /usr/include/flash-update/logging/log.h
    has_file "$dev" /usr/lib/cmake/flash_update/flash_updateConfig.cmake
    has_file "$dev" /usr/lib/pkgconfig/flash-update-ipc.pc
    has_file "$dev" /usr/lib/libfu_card_ipc.a
fi

if [[ -n $vcard ]]; then
    has_dep "$vcard" Depends umockdev
    has_dep "$vcard" Depends libumockdev0
    has_dep "$vcard" Depends libssl3
    has_dep "$vcard" Recommends flash-update
    has_file "$vcard" /usr/bin/flash-update-vcard
else
    echo "note: no virtual card package (flash-update-vcard not built)"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
