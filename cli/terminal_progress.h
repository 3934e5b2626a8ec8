// SPDX-License-Identifier: Apache-2.0
// Progress of the long operations (install passes, erase and verification
// polls) for a person watching a terminal. It goes to standard error, one
// line redrawn in place, and only when standard error is a terminal: standard
// output, the logs and the output files carry exactly what they carry without
// it, and a script that captures standard error sees nothing of it.
#pragma once

#include "rfc_reads.h"

// The client's progress callback (rfc_set_progress_cb); ctxt is unused.
void cli_terminal_progress(void *ctxt, const rfc_progress_s &p);
