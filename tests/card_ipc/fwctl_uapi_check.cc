// SPDX-License-Identifier: Apache-2.0
// Builds only: the card's fwctl header beside the kernel's own uapi header,
// as on a system with newer kernel headers, must not define anything twice.
#include <fwctl/fwctl.h>

#include "nic_fwctl.h"

static_assert(NIC_FWCTL_RPC == FWCTL_RPC);
static_assert(sizeof(nic_fwctl::fwctl_rpc) == sizeof(struct fwctl_rpc));
