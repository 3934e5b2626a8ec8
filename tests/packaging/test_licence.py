#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The project's licence (Apache-2.0) at the root and in every source file
of the project, the Ansible collection's (GPL-3.0-or-later) in its own.

usage: test_licence.py SOURCE_DIR
"""
import os
import subprocess
import sys

SOURCE = ('.c', '.cc', '.h', '.cpp', '.py', '.sh', '.cmake')


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    root = sys.argv[1]
    failures = []
    with open(os.path.join(root, 'LICENSE'), encoding='utf-8') as f:
        if 'Apache License\n                           Version 2.0, January 2004' not in f.read(200):
            failures.append('LICENSE is not the Apache License 2.0')
    files = subprocess.run(['git', '-C', root, 'ls-files'], capture_output=True, text=True, check=True).stdout.split()
    checked = 0
    for name in files:
        base = os.path.basename(name)
        if not (name.endswith(SOURCE) or base == 'CMakeLists.txt' or name.startswith(('scripts/', 'completion/'))):
            continue
        if name.startswith('ansible/') and not name.endswith('.py'):
            continue
        expected = 'GPL-3.0-or-later' if name.startswith('ansible/') else 'Apache-2.0'
        with open(os.path.join(root, name), encoding='utf-8') as f:
            head = f.read(400)
        checked += 1
        if 'SPDX-License-Identifier: ' + expected not in head:
            failures.append('%s lacks "SPDX-License-Identifier: %s" in its first lines' % (name, expected))
    for failure in failures:
        print('FAIL:', failure)
    print('%d files checked, %d failed' % (checked, len(failures)))
    return 1 if failures or checked == 0 else 0


if __name__ == '__main__':
    sys.exit(main())
