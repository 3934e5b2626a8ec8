// SPDX-License-Identifier: Apache-2.0
// flash-update draws its progress only when standard error is a terminal.
#include "terminal_progress.h"

#include <unistd.h>

#include "fe_progress.h"

void cli_terminal_progress(void *, const rfc_progress_s &p) {
    // Asked once: redirecting standard error in the middle of a run is not a case.
    static fe_progress_s progress = [] {
        fe_progress_s r;
        r.style = isatty(STDERR_FILENO) == 1 ? &FE_STYLE_FLASH_UPDATE : nullptr;
        r.fd = STDERR_FILENO;
        return r;
    }();
    fe_progress_report(progress, p);
}
