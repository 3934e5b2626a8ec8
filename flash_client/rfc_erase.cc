// Placeholder until the operation lands: it must not pretend success.
#include "rfc_internal.h"

int rfc_flash_erase(flash_partition_e, uint64_t, const char *, const bool &) {
    RFC_ERR("[%s] rfc_flash_erase is not available in this build");
    return 255;
}

int rfc_flash_sector_erase(flash_partition_e, uint64_t, const char *) {
    RFC_ERR("[%s] rfc_flash_sector_erase is not available in this build");
    return 255;
}

