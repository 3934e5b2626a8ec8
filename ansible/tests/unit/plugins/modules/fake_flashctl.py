# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""Stands in for flashctl in the module tests: records its arguments as one
JSON line in $FAKE_FLASHCTL_DIR/calls.jsonl, prints $FAKE_FLASHCTL_DIR/stdout
and exits with the number in $FAKE_FLASHCTL_DIR/rc (0 when absent)."""
import json
import os
import sys

d = os.environ['FAKE_FLASHCTL_DIR']
with open(os.path.join(d, 'calls.jsonl'), 'a') as f:
    f.write(json.dumps(sys.argv[1:]) + '\n')
try:
    with open(os.path.join(d, 'stdout')) as f:
        sys.stdout.write(f.read())
except FileNotFoundError:
    pass
try:
    with open(os.path.join(d, 'rc')) as f:
        rc = int(f.read())
except FileNotFoundError:
    rc = 0
sys.exit(rc)
