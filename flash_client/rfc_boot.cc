// Placeholder until the operation lands: it must not pretend success.
#include "rfc_internal.h"

int rfc_firmware_type(fwupdate_image_type_e, const char *) {
    RFC_ERR("[%s] rfc_firmware_type is not available in this build");
    return 255;
}

int rfc_set_startup_image(firmware_image_type_e, const char *) {
    RFC_ERR("[%s] rfc_set_startup_image is not available in this build");
    return 255;
}

int rfc_partition_metadata(flash_partition_e, const char *) {
    RFC_ERR("[%s] rfc_partition_metadata is not available in this build");
    return 255;
}

int rfc_partition_info(const char *, flash_partition_e, bool &) {
    RFC_ERR("[%s] rfc_partition_info is not available in this build");
    return 255;
}

