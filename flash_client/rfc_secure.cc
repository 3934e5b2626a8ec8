// Placeholder until the operation lands: it must not pretend success.
#include "rfc_internal.h"

int rfc_secure_boot_update(secure_boot_option_e, const char *) {
    RFC_ERR("[%s] rfc_secure_boot_update is not available in this build");
    return 255;
}

int rfc_secure_image_info_update(secure_image_type_e, secure_image_update_opcode_e, const char *) {
    RFC_ERR("[%s] rfc_secure_image_info_update is not available in this build");
    return 255;
}

int rfc_secure_image_info(const char *, secure_image_type_e, const char *) {
    RFC_ERR("[%s] rfc_secure_image_info is not available in this build");
    return 255;
}

