// Progress of the long operations (install passes, erase and verification
// polls) for a person watching a terminal. It goes to standard error, one
// line redrawn in place, and only when standard error is a terminal: standard
// output, the logs and the output files carry exactly what they carry without
// it, and a script that captures standard error sees nothing of it.
#pragma once

#include <cstdint>

// A pass over total bytes starts; kind names it on the line ("write", "verify").
// Ends any line still open.
void rfc_progress_begin(const char *kind, uint64_t total);
// done bytes of the pass have been acknowledged. Cheap enough for every chunk:
// nothing without a terminal, otherwise one clock read and a redraw at most
// ten times a second.
void rfc_progress_update(uint64_t done);
// A poll waits on the card: label and the seconds waited so far. Ends a line
// of another kind still open.
void rfc_progress_poll(const char *label, unsigned elapsed_s);
// Finishes the open line, if any, with its last state and a line break, so
// that whatever is printed next starts on a line of its own.
void rfc_progress_end();
