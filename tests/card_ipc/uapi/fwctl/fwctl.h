// SPDX-License-Identifier: Apache-2.0
/* The parts of a newer kernel's fwctl uapi header that nic_fwctl.h meets,
 * laid out as the kernel declares them, for a build whose system headers
 * are older. */
#ifndef _UAPI_FWCTL_H
#define _UAPI_FWCTL_H

#include <linux/ioctl.h>
#include <linux/types.h>

#define FWCTL_TYPE 0x9A

enum fwctl_rpc_scope {
    FWCTL_RPC_CONFIGURATION = 0,
    FWCTL_RPC_DEBUG_READ_ONLY = 1,
    FWCTL_RPC_DEBUG_WRITE = 2,
    FWCTL_RPC_DEBUG_WRITE_FULL = 3,
};

struct fwctl_rpc {
    __u32 size;
    __u32 scope;
    __u32 in_len;
    __u32 out_len;
    __aligned_u64 in;
    __aligned_u64 out;
};
#define FWCTL_RPC _IO(FWCTL_TYPE, 1)

#endif
