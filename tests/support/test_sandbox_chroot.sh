#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The test sandbox inside a chroot whose / is a plain directory, not a mount,
# under a host whose mounts are shared: the sandbox must still make its
# private /tmp, /etc, /run/lock and /dev/shm, and none of its mounts may
# appear outside.
#
#     test_sandbox_chroot.sh SANDBOX WORKDIR
#
# Exits 77 (skipped) without root or without a mount namespace to try it in.
set -eu
sandbox=$1
work=$2
. "$(dirname "$0")/sandbox_test_host.sh"
mkdir -p "$work"
root=$(mktemp -d "$work/root.XXXXXX")
trap 'rm -rf "$root"' EXIT
export root sandbox
# Everything below runs in a mount namespace of its own, removed with it.
unshare -m --propagation private /bin/sh -eu -c '
mount --make-rshared /
for d in usr etc dev proc sys tmp run/lock sandbox; do mkdir -p "$root/$d"; done
for l in bin sbin lib lib64; do [ -e "/$l" ] && ln -s "usr/$l" "$root/$l"; done
mount --bind /usr "$root/usr"
mount --bind /etc "$root/etc"
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount --bind /tmp "$root/tmp"
mount --bind "$(dirname "$sandbox")" "$root/sandbox"
before=$(grep -c "" /proc/self/mountinfo)
chroot "$root" "/sandbox/$(basename "$sandbox")" /bin/sh -c "
    grep -E \" / (/tmp|/etc|/run/lock|/dev/shm) .* - (overlay|tmpfs) fu-test-sandbox \" /proc/self/mountinfo |
        cut -d\" \" -f5 | sort | tr \"\\n\" \" \"
" > "$root/seen" 2> "$root/err"
after=$(grep -c "" /proc/self/mountinfo)
seen=$(cat "$root/seen")
if [ -s "$root/err" ]; then echo "the sandbox said: $(cat "$root/err")"; exit 1; fi
if [ "$seen" != "/dev/shm /etc /run/lock /run/lock /tmp " ]; then echo "sandbox mounts: [$seen]"; exit 1; fi
if [ "$before" -ne "$after" ]; then echo "mounts outside the chroot: $before before, $after after"; exit 1; fi
'
echo "sandboxed in a chroot; nothing mounted outside it"
