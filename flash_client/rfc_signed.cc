// Placeholder until the operation lands: it must not pretend success.
#include "rfc_internal.h"

int rfc_partition_signed_metadata(flash_partition_e, const char *) {
    RFC_ERR("[%s] rfc_partition_signed_metadata is not available in this build");
    return 255;
}

int rfc_image_signature_verify(flash_partition_e, const char *) {
    RFC_ERR("[%s] rfc_image_signature_verify is not available in this build");
    return 255;
}

