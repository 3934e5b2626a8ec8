// Placeholder until the operation lands: it must not pretend success.
#include "rfc_internal.h"

int rfc_flash_write(flash_partition_e, const char *, const char *, const bool &) {
    RFC_ERR("[%s] rfc_flash_write is not available in this build");
    return 255;
}

int rfc_flash_write_helper(uint32_t, const char *, int, const char *, const bool *) {
    RFC_ERR("[%s] rfc_flash_write_helper is not available in this build");
    return 255;
}

