#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# A fleet rehearsal on virtual twins: one card's inventory, COUNT twins made
# from it, and on each twin a flashctl update of a 32 MiB image with
# --activate, JOBS twins at a time. Prints each twin's time and the total.
# Not a test: run by hand on a built tree.
#
#   bench/rehearse_100.sh [COUNT [JOBS [MIB]]]      (defaults: 100 2 32)
#   BUILD=build/release bench/rehearse_100.sh
#
# Each twin's state is removed once its update has been checked, so the
# rehearsal needs room for JOBS twins at a time only. It runs in the test
# sandbox when that is built (private /tmp, /dev/shm, /run/lock and /etc),
# where it writes the card's public keys for flashctl's signature check;
# without it the keys must be installed already.
set -eu

count=${1:-100}
jobs=${2:-2}
mib=${3:-32}
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build/release}
launcher=$build/virtual_card/flash-update-vcard
flashctl=$build/flashctl/flashctl
for p in "$launcher" "$flashctl"; do
    [ -x "$p" ] || { echo "rehearse: $p is not built" >&2; exit 2; }
done
sandbox=$build/tests/support/fu-test-sandbox
if [ -z "${REHEARSE_SANDBOXED:-}" ] && [ -x "$sandbox" ] && [ "$(id -u)" = 0 ]; then
    REHEARSE_SANDBOXED=1 BUILD=$build exec "$sandbox" /bin/sh "$0" "$count" "$jobs" "$mib"
fi
keys=/etc/orv/korvex/larch/fwkeys
if [ -n "${REHEARSE_SANDBOXED:-}" ]; then
    "$launcher" keys "$keys"
elif [ ! -r "$keys/prod_key-pub.pem" ]; then
    echo "rehearse: no card keys in $keys (flash-update-vcard keys $keys)" >&2
    exit 2
fi

work=$(mktemp -d /tmp/rehearse.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
# Card addresses of this run alone: a domain range picked by the process id.
base=$(( 0x2000 + ($$ % 0x600) * 8 ))

# The original: a card whose inventory the twins copy.
orig_bdf=$(printf '%04x:03:00.0' "$base")
"$launcher" --state "$work/original" --bdf "$orig_bdf" -- "$flashctl" inventory "$orig_bdf" --json \
    > "$work/inventory.json" 2> "$work/inventory.err" || { cat "$work/inventory.err" >&2; exit 1; }
{
    echo "FUVC-VERSION=2.15.0-E-3"
    head -c $(( mib * 1048576 - 24 )) /dev/urandom
} > "$work/image.bin"
sha=$(sha512sum "$work/image.bin" | cut -d' ' -f1)

cat > "$work/one.sh" <<'EOF'
#!/bin/sh
# One twin: made, updated, checked, removed. Prints "twin K SECONDS".
set -eu
k=$1 work=$2 launcher=$3 flashctl=$4 base=$5 sha=$6
bdf=$(printf '%04x:03:00.0' $(( base + k )))
state=$work/twin$k
"$launcher" --twin "$work/inventory.json" --state "$state" --bdf "$bdf" -- true
t0=$(date +%s.%N)
if ! "$launcher" --state "$state" --bdf "$bdf" --timeout 600 -- "$flashctl" update "$bdf" fw-b "$work/image.bin" \
        --sha512 "$sha" --activate --history "$state/history.jsonl" --progress none > "$state/update.txt" 2>&1 ||
    ! grep -q '^result: updated' "$state/update.txt"; then
    echo "twin $k FAILED"; cat "$state/update.txt"; exit 1
fi
t1=$(date +%s.%N)
echo "twin $k $(echo "$t1 - $t0" | bc)"
rm -rf "$state" "/tmp/korvex/$bdf"
EOF
chmod +x "$work/one.sh"

echo "rehearsal: $count twins, $mib MiB each, $jobs at a time; load average $(cut -d' ' -f1-3 /proc/loadavg)"
start=$(date +%s.%N)
seq 1 "$count" | xargs -P "$jobs" -I{} "$work/one.sh" {} "$work" "$launcher" "$flashctl" "$base" "$sha" \
    > "$work/times.txt" || status=$?
end=$(date +%s.%N)
cat "$work/times.txt"
rm -rf "/tmp/korvex/$orig_bdf"
total=$(echo "$end - $start" | bc)
median=$(awk '/^twin [0-9]+ [0-9]/ {print $3}' "$work/times.txt" | sort -n |
    awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')
echo "rehearsal: $count twins in $total s (update of one twin: median $median s); load average $(cut -d' ' -f1-3 /proc/loadavg)"
if grep -q FAILED "$work/times.txt" || [ "${status:-0}" -ne 0 ]; then
    echo "rehearsal: $(grep -c FAILED "$work/times.txt") twins failed" >&2
    exit 1
fi
