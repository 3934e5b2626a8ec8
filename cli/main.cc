// SPDX-License-Identifier: Apache-2.0
// flash-update: one operation on a card's flash per run (see cli_run.h).
#include "cli_run.h"

int main(int argc, char **argv) {
    return cli_run(argc, argv, k_cli_card_ops);
}
