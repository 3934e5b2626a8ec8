// Placeholder until the operation lands: it must not pretend success.
#include "rfc_internal.h"

int rfc_card_info_get(const char *, const char *, rfc_card_info_s *) {
    RFC_ERR("[%s] rfc_card_info_get is not available in this build");
    return 255;
}

