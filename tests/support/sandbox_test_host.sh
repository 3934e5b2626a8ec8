# SPDX-License-Identifier: Apache-2.0
# Sourced by the sandbox's own tests: ends the test as skipped (77) unless it
# runs as root where a private mount namespace can be made, the stand-in host
# the test builds.
if [ "$(id -u)" -ne 0 ]; then
    echo "needs root: makes a mount namespace"
    exit 77
fi
if ! unshare -m --propagation private true 2>/dev/null; then
    echo "no private mount namespace here to stand in for the host"
    exit 77
fi
