// Placeholder until the operation lands: it must not pretend success.
#include "rfc_internal.h"

int rfc_verify_checksum(flash_partition_e, const char *, const char *, const char *, const bool &) {
    RFC_ERR("[%s] rfc_verify_checksum is not available in this build");
    return 255;
}

int rfc_validate_startup_image(flash_partition_e, const char *) {
    RFC_ERR("[%s] rfc_validate_startup_image is not available in this build");
    return 255;
}

