#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# cmake --install into a staging root, then use what it installed the way
# another program would: a CMake project with find_package(flash_update)
# and a plain compile with pkg-config, each linking the installed static
# libraries and running, the README's card lock example among them. Also the
# tmpfiles entry and the package's postinst, both against a scratch root.
#
# usage: test_install.sh BUILD_DIR SOURCE_DIR CXX SANITIZE(ON|OFF) BUILT_FILE...
# BUILT_FILE: the build outputs the install needs; when one is missing the
# test is skipped (exit 77), since the tree has not been built.
set -uo pipefail

build=$1
src=$2
cxx=$3
sanitize=$4
shift 4

for f in "$@"; do
    if [[ ! -e $f ]]; then
        echo "SKIP: the build tree lacks $f; build every target first (cmake --build $build)"
        exit 77
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fu-install.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
usr=$root/usr
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
finish() {
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
    exit
}

san_flags=()
if [[ $sanitize == ON ]]; then
    # The libraries carry the sanitizers' instrumentation: whoever links them
    # needs the runtimes.
    san_flags=(-fsanitize=address,undefined -fno-omit-frame-pointer)
fi

if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
    fail "cmake --install:"
    cat "$tmp/install.log"
    finish
fi
pass

# --- the layout -----------------------------------------------------------
expect_file() {
    if [[ -f $usr/$1 ]]; then pass; else fail "not installed: /usr/$1"; fi
}
if [[ -x $usr/bin/flash-update ]]; then pass; else fail "no executable /usr/bin/flash-update"; fi
if [[ -f $usr/share/man/man8/flash-update.8.gz || -f $usr/share/man/man8/flash-update.8 ]]; then
    pass
else
    fail "no manual page in /usr/share/man/man8"
fi
expect_file share/bash-completion/completions/flash-update
expect_file lib/tmpfiles.d/flash-update.conf
expect_file share/flash-update/prometheus/flash-update.rules.yml
# One folder per library: nothing lies in include/flash-update itself.
for h in card_ipc/nic_ipc.h card_ipc/nic_pci.h card_ipc/nic_fwctl.h card_ipc/nic_ipc_discovery.h \
    card_ipc/card_address.h card_ipc/card_lock.h ipcdrv/protocol.h ipcdrv/ipc_cmd.h logging/log.h logging/trace.h \
    logging/trace_level.h vocabulary/fu_vocabulary.h; do
    expect_file include/flash-update/$h
done
loose=$(find "$usr/include/flash-update" -maxdepth 1 ! -type d)
if [[ -z $loose ]]; then pass; else fail "headers outside a library folder: $loose"; fi
libdir=$(cd "$usr" && dirname "$(find . -name libfu_card_ipc.a | head -1)")
libdir=${libdir#./}
if [[ -n $libdir && $libdir != . ]]; then pass; else fail "libfu_card_ipc.a not installed"; libdir=lib; fi
for l in libfu_card_ipc.a libfu_ipcdrv.a libfu_logging.a; do
    expect_file "$libdir/$l"
done
for c in flash_updateConfig.cmake flash_updateConfigVersion.cmake flash_update_targets.cmake; do
    expect_file "$libdir/cmake/flash_update/$c"
done
expect_file "$libdir/pkgconfig/flash-update-ipc.pc"
expect_file "$libdir/pkgconfig/flash-update-logging.pc"
# The build tree's own directories must not leak into what is installed.
if grep -rlF -e "$src" -e "$build" "$usr/$libdir/cmake" "$usr/$libdir/pkgconfig" >"$tmp/leak" 2>/dev/null; then
    fail "installed files name the build or source tree: $(cat "$tmp/leak")"
else
    pass
fi

# The tmpfiles entry, exactly: created 0755 root root, never aged.
entry=$(grep -v '^#' "$usr/lib/tmpfiles.d/flash-update.conf" | grep -v '^$')
if [[ $entry == "d /tmp/korvex 0755 root root -" ]]; then pass; else fail "tmpfiles entry: '$entry'"; fi
if command -v systemd-tmpfiles >/dev/null && [[ $(id -u) -eq 0 ]]; then
    if systemd-tmpfiles --root="$root" --create flash-update.conf 2>"$tmp/tmpfiles.err" &&
        [[ ! -s $tmp/tmpfiles.err ]] && [[ $(stat -c '%a %U %G' "$root/tmp/korvex") == "755 root root" ]]; then
        pass
    else
        fail "systemd-tmpfiles --create did not make /tmp/korvex 0755 root root: $(cat "$tmp/tmpfiles.err")"
    fi
    rm -rf "${root:?}/tmp"
else
    echo "note: systemd-tmpfiles not run (missing, or not root)"
fi

# The postinst: systemd-tmpfiles where there is one, else mkdir; only on
# configure. A PATH without systemd-tmpfiles takes the second way.
mkdir -p "$tmp/bin"
ln -s "$(command -v mkdir)" "$tmp/bin/mkdir"
for way in tmpfiles mkdir; do
    pi_root=$tmp/pi-$way
    mkdir -p "$pi_root/usr/lib/tmpfiles.d"
    cp "$usr/lib/tmpfiles.d/flash-update.conf" "$pi_root/usr/lib/tmpfiles.d/"
    path=$PATH
    [[ $way == mkdir ]] && path=$tmp/bin
    [[ $way == tmpfiles && ! ( -x $(command -v systemd-tmpfiles) && $(id -u) -eq 0 ) ]] && continue
    DPKG_ROOT=$pi_root PATH=$path /bin/sh "$src/packaging/postinst" upgrade 2>&1
    if [[ ! -e $pi_root/tmp/korvex ]]; then pass; else fail "postinst ($way) acted on 'upgrade'"; fi
    if DPKG_ROOT=$pi_root PATH=$path /bin/sh "$src/packaging/postinst" configure 2>&1 &&
        [[ -d $pi_root/tmp/korvex && $(stat -c '%a' "$pi_root/tmp/korvex") == 755 ]]; then
        pass
    else
        fail "postinst ($way) did not create /tmp/korvex 0755"
    fi
done

# --- the Ansible collection ---------------------------------------------------
# Installed where ansible looks by default, with its licence, and the tarball
# beside it for other control nodes. ansible-doc renders each module from the
# installed tree and from the tarball installed with ansible-galaxy: a doc
# fragment or module_utils file left out of the build fails here.
collection=share/ansible/collections/ansible_collections/flash_update/cards
for f in COPYING MANIFEST.json changelogs/changelog.yaml playbooks/rollout.yml; do
    expect_file "$collection/$f"
done
tarballs=("$usr"/share/flash-update/ansible/flash_update-cards-*.tar.gz)
if [[ ${#tarballs[@]} -eq 1 && -f ${tarballs[0]} ]]; then
    pass
else
    fail "not one collection tarball in /usr/share/flash-update/ansible: ${tarballs[*]}"
fi
if command -v ansible-doc >/dev/null && command -v ansible-galaxy >/dev/null; then
    export ANSIBLE_HOME=$tmp/ansible-home ANSIBLE_LOCAL_TEMP=$tmp/ansible-home/tmp PYTHONDONTWRITEBYTECODE=1
    if ansible-galaxy collection install --offline -p "$tmp/galaxy" "${tarballs[0]}" >"$tmp/galaxy.log" 2>&1; then
        pass
    else
        fail "ansible-galaxy collection install of the shipped tarball: $(cat "$tmp/galaxy.log")"
    fi
    for paths in "$usr/share/ansible/collections" "$tmp/galaxy"; do
        for m in card_info card_firmware; do
            if ANSIBLE_COLLECTIONS_PATH=$paths ansible-doc flash_update.cards.$m >"$tmp/doc.txt" 2>&1 &&
                grep -q '^ATTRIBUTES:' "$tmp/doc.txt"; then
                pass
            else
                fail "ansible-doc flash_update.cards.$m from $paths: $(head -5 "$tmp/doc.txt")"
            fi
        done
    done
else
    echo "note: ansible-doc or ansible-galaxy missing, the collection's documentation not rendered"
fi

# --- a CMake consumer --------------------------------------------------------
consumer=$tmp/consumer
mkdir -p "$consumer"
cat >"$consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(flash_update_consumer CXX)
find_package(flash_update 0.1 REQUIRED)
add_executable(uuid uuid.cc)
target_link_libraries(uuid PRIVATE flash_update::fu_card_ipc)
add_executable(logger logger.cc)
target_link_libraries(logger PRIVATE flash_update::fu_logging)
add_executable(card_example card_example.cc)
target_link_libraries(card_example PRIVATE flash_update::fu_card_ipc)
add_executable(lock_file lock_file.cc)
target_link_libraries(lock_file PRIVATE flash_update::fu_card_ipc)
EOF
# The README's example, as the README shows it: the indented block after its
# marker.
awk '/^<!-- example: card lock/ { on = 1; next }
     on && /^    / { sub(/^    /, ""); print; next }
     on && /^$/ { print; next }
     on { exit }' "$src/README.md" >"$consumer/card_example.cc"
if grep -q card_lock_acquire "$consumer/card_example.cc"; then pass; else fail "no card lock example in README.md"; fi
cat >"$consumer/lock_file.cc" <<'EOF'
// The installed card lock on a plain file standing for a card's node: a
// second take is busy while a guard holds it, free after release() and after
// the guard's scope.
#include <cstdio>

#include "flash-update/card_ipc/card_lock.h"

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const std::vector<std::string> node{argv[1]};
    {
        card_lock_s lock = card_lock_take_nodes(node);
        if (lock.result != CARD_LOCK_HELD) return 10;
        if (card_lock_take_nodes(node).result != CARD_LOCK_BUSY) return 11;
        lock.release();
        const card_lock_s shared = card_lock_take_nodes_wait(node, CARD_LOCK_SHARED, 0, nullptr);
        if (shared.result != CARD_LOCK_HELD) return 12;
        if (card_lock_take_nodes(node).result != CARD_LOCK_BUSY) return 13;
    }
    if (card_lock_take_nodes(node).result != CARD_LOCK_HELD) return 14;
    std::printf("ok\n");
    return 0;
}
EOF
cat >"$consumer/uuid.cc" <<'EOF'
// A card UUID from a serial number and back, through the installed library.
#include <cstdio>
#include <cstring>

#include "flash-update/card_ipc/nic_ipc_discovery.h"

int main() {
    char uuid[NIC_IPC_UUID_LEN] = {};
    char serial[NIC_IPC_SERIAL_LEN] = {};
    if (nic_ipc_uuid_from_serial("ABCDEFGHIJK", uuid) != 0) return 10;
    if (std::strcmp(uuid, "42424142-4344-4546-4748-494a4b000000") != 0) {
        std::printf("uuid %s\n", uuid);
        return 11;
    }
    if (nic_ipc_serial_from_uuid(uuid, serial) != 0) return 12;
    if (std::strcmp(serial, "ABCDEFGHIJK") != 0) {
        std::printf("serial %s\n", serial);
        return 13;
    }
    if (nic_ipc_serial_from_uuid("41424142-4344-4546-4748-494a4b000000", serial) != -1) return 14;
    std::printf("ok\n");
    return 0;
}
EOF
cat >"$consumer/logger.cc" <<'EOF'
// The installed logger: a main and an error log, each opened with the boot
// banner, lines carrying the level letter and the boot number.
#include <spdlog/logger.h>

#include <cstdio>
#include <string>

#include "flash-update/logging/log.h"

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    std::string dir = argv[1];
    std::string main_log = dir + "/main.log", err_log = dir + "/err.log";
    utils::trace_params_s params{};
    params.name = "consumer";
    params.cpu_mask = 1;
    params.sync = true;
    params.err_log_file = err_log.c_str();
    params.log_file = main_log.c_str();
    params.max_file_size = 1 << 20;
    params.max_files = 1;
    params.trace_level = TRACE_LEVEL_DEBUG;
    utils::log *log = utils::trace_init(&params);
    if (log == nullptr) return 3;
    log->logger()->error("{}", "from a consumer");
    utils::flush_logs(log);
    utils::trace_cleanup(log);
    std::printf("ok\n");
    return 0;
}
EOF
cmake_args=(-S "$consumer" -B "$consumer/build" -DCMAKE_CXX_COMPILER="$cxx"
    -DCMAKE_PREFIX_PATH="$usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_TYPE=Debug)
if [[ ${#san_flags[@]} -gt 0 ]]; then
    cmake_args+=(-DCMAKE_CXX_FLAGS="${san_flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${san_flags[*]}")
fi
if cmake "${cmake_args[@]}" >"$tmp/consumer.log" 2>&1 &&
    cmake --build "$consumer/build" -j2 >>"$tmp/consumer.log" 2>&1; then
    pass
else
    fail "consumer project did not configure and build:"
    cat "$tmp/consumer.log"
    finish
fi
found=$(sed -n 's/^flash_update_DIR:PATH=//p' "$consumer/build/CMakeCache.txt")
if [[ $found == "$usr/$libdir/cmake/flash_update" ]]; then pass; else fail "find_package found $found"; fi
out=$("$consumer/build/uuid" 2>&1)
status=$?
if [[ $status -eq 0 && $out == ok ]]; then pass; else fail "uuid consumer: exit $status: $out"; fi

# The README's example refuses what is no card address, and a card without a
# device node (no card has this address).
out=$("$consumer/build/card_example" 2>&1)
status=$?
if [[ $status -eq 2 && $out == "usage: $consumer/build/card_example dddd:bb:dd.f" ]]; then
    pass
else
    fail "card example without an address: exit $status: $out"
fi
out=$("$consumer/build/card_example" ffff:ff:1f.7 2>&1)
status=$?
if [[ $status -eq 1 && $out == "cannot lock card ffff:ff:1f.7: no device node found for the card" ]]; then
    pass
else
    fail "card example on no card: exit $status: $out"
fi
: >"$tmp/node"
out=$("$consumer/build/lock_file" "$tmp/node" 2>&1)
status=$?
if [[ $status -eq 0 && $out == ok ]]; then pass; else fail "lock consumer: exit $status: $out"; fi

mkdir -p "$tmp/logs" "$tmp/persist"
echo 7 >"$tmp/persist/boot_count.txt"
out=$(PERSISTENT_LOG_DIR=$tmp/persist "$consumer/build/logger" "$tmp/logs" 2>&1)
status=$?
if [[ $status -eq 0 && $out == ok ]]; then pass; else fail "logger consumer: exit $status: $out"; fi
for log in main.log err.log; do
    first=$(head -1 "$tmp/logs/$log" 2>/dev/null)
    line=$(sed -n 2p "$tmp/logs/$log" 2>/dev/null)
    if [[ $first == "*** Boot #7 ***" && $line == "E [7 "*"] ("*") from a consumer" ]]; then
        pass
    else
        fail "$log reads: $(cat "$tmp/logs/$log" 2>/dev/null)"
    fi
done

# --- a pkg-config consumer ---------------------------------------------------
if command -v pkg-config >/dev/null; then
    export PKG_CONFIG_PATH=$usr/$libdir/pkgconfig
    if cflags=$(pkg-config --cflags flash-update-ipc) && libs=$(pkg-config --libs flash-update-ipc); then
        pass
    else
        fail "pkg-config flash-update-ipc"
    fi
    incdir=${cflags#-I}
    incdir=${incdir%% *}
    if [[ -f $incdir/flash-update/card_ipc/nic_ipc.h ]]; then
        pass
    else
        fail "pkg-config include directory $incdir has no flash-update/card_ipc/nic_ipc.h"
    fi
    # shellcheck disable=SC2086
    if "$cxx" -std=c++20 "${san_flags[@]}" "$consumer/uuid.cc" $cflags $libs -o "$tmp/uuid-pc" \
        >"$tmp/pc.log" 2>&1 && [[ $("$tmp/uuid-pc") == ok ]]; then
        pass
    else
        fail "pkg-config consumer:"
        cat "$tmp/pc.log"
    fi
    # shellcheck disable=SC2086
    if "$cxx" -std=c++20 "${san_flags[@]}" "$consumer/lock_file.cc" $cflags $libs -o "$tmp/lock-pc" \
        >"$tmp/pc.log" 2>&1 && [[ $("$tmp/lock-pc" "$tmp/node") == ok ]] &&
        "$cxx" -std=c++20 "${san_flags[@]}" "$consumer/card_example.cc" $cflags $libs -o "$tmp/example-pc" \
            >>"$tmp/pc.log" 2>&1; then
        pass
    else
        fail "pkg-config lock consumers:"
        cat "$tmp/pc.log"
    fi
    if pkg-config --cflags --libs flash-update-logging >"$tmp/pclog" 2>&1 &&
        grep -q -- '-lfu_logging' "$tmp/pclog" && grep -q -- '-lspdlog' "$tmp/pclog"; then
        pass
    else
        fail "pkg-config flash-update-logging: $(cat "$tmp/pclog")"
    fi
else
    echo "note: pkg-config is not installed; .pc files not tried"
fi

finish
