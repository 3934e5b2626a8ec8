# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""Stands in for flashctl in the module tests: records its arguments as one
JSON line in $FAKE_FLASHCTL_DIR/calls.jsonl, then prints the stdout and exits
with the rc of the first [rc, stdout] line of $FAKE_FLASHCTL_DIR/answers
(exit 0 without output when absent). A command answered on its own has
answers.COMMAND instead (the first argument with such a file). The first
line is taken off while others follow it: the last answer repeats."""
import json
import os
import sys

d = os.environ['FAKE_FLASHCTL_DIR']
with open(os.path.join(d, 'calls.jsonl'), 'a') as f:
    f.write(json.dumps(sys.argv[1:]) + '\n')
path = next((p for p in (os.path.join(d, 'answers.' + a) for a in sys.argv[1:]) if os.path.exists(p)),
            os.path.join(d, 'answers'))
rc = 0
if os.path.exists(path):
    with open(path) as f:
        lines = f.read().splitlines()
    if len(lines) > 1:
        with open(path, 'w') as f:
            f.write(''.join(line + '\n' for line in lines[1:]))
    rc, out = json.loads(lines[0])
    sys.stdout.write(out)
sys.exit(rc)
