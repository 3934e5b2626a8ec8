#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# A host set up for a real card (its public keys, trusted bundle signers)
# changes nothing inside the test sandbox: the program there sees no
# /etc/orv and no /etc/flash-update, and the host keeps both.
#
#     test_sandbox_host_config.sh SANDBOX WORKDIR
#
# Exits 77 (skipped) without root or without a mount namespace to try it in.
set -eu
sandbox=$1
work=$2
. "$(dirname "$0")/sandbox_test_host.sh"
mkdir -p "$work"
layers=$(mktemp -d "$work/etc.XXXXXX")
trap 'rm -rf "$layers"' EXIT
export layers sandbox
# The stand-in host: a namespace whose /etc is an overlay, so the real one is untouched.
unshare -m --propagation private /bin/sh -eu -c '
mkdir "$layers/upper" "$layers/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$layers/upper,workdir=$layers/work" /etc
mkdir -p /etc/orv/korvex/larch/fwkeys /etc/flash-update/trust.d
echo key > /etc/orv/korvex/larch/fwkeys/prod_key-pub.pem
echo signer > /etc/flash-update/trust.d/site.pub
seen=$("$sandbox" /bin/sh -c "ls -d /etc/orv /etc/flash-update 2>/dev/null || true")
if [ -n "$seen" ]; then echo "the sandbox shows the host'"'"'s $seen"; exit 1; fi
[ "$(cat /etc/orv/korvex/larch/fwkeys/prod_key-pub.pem /etc/flash-update/trust.d/site.pub)" = "key
signer" ] || { echo "the host lost its configuration"; exit 1; }
'
echo "the host's keys and signers stay outside the sandbox"
