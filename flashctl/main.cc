// SPDX-License-Identifier: Apache-2.0
// flashctl: inventory, update, rollback and history of the cards on this host.
#include <cstdio>

#include "flashctl.h"

int main(int argc, char **argv) {
    fc_session_install();
    return fc_main(fc_real_ops(), argc, argv, stdout, stderr);
}
