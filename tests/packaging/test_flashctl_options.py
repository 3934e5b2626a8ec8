#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""flashctl's option table (`flashctl --help --json`) against what the manual
page, the bash completion and the Ansible modules say of its options.

usage: test_flashctl_options.py SOURCE_DIR FLASHCTL
"""
import ast
import glob
import json
import os
import re
import subprocess
import sys

import yaml

OPTION = re.compile(r'--[a-z][a-z0-9-]*')
FAILURES = []
PASSED = [0]


def same(what, got, expected):
    if got == expected:
        PASSED[0] += 1
    else:
        FAILURES.append('%s: %r, the table says %r' % (what, got, expected))


def value_words(o):
    """What the manual names as an option's value."""
    return {'none': [], 'choice': o['choices']}.get(o['value'], [str(o['value_name']).lower()])


def section(page, name):
    return page.split('\n.SH %s\n' % name, 1)[-1].split('\n.SH ', 1)[0]


def check_manual(table, page):
    page = page.replace('\\-', '-')
    synopsis = section(page, 'SYNOPSIS')
    named = {}
    for command, block in re.findall(r'^\.SY flashctl\n\.B (\S+)\n(.*?)^\.YS', synopsis, re.M | re.S):
        named.setdefault(command, set()).update(OPTION.findall(block))
    same('manual SYNOPSIS per command', named,
         dict((c['name'], set(OPTION.findall(c['usage']))) for c in table['commands']))
    same('manual SYNOPSIS', set(OPTION.findall(synopsis)), set(o['name'] for o in table['options']))
    tags = {}
    for tag in re.findall(r'^\.TP\n(\.\S+ --.*)$', section(page, 'OPTIONS'), re.M):
        name = OPTION.search(tag).group(0)
        tags[name] = re.findall(r'[a-z]+', tag.split(name, 1)[1])
    same('manual OPTIONS', tags, dict((o['name'], value_words(o)) for o in table['options']))


def case_arms(script, subject):
    """{pattern: body} of the arms of `case SUBJECT in`."""
    block = re.search(r'case %s in\n(.*?)\n\s*esac' % re.escape(subject), script, re.S).group(1)
    return dict((p.strip(), body) for patterns, body in re.findall(r'^\s*([^\n()]+?)\)(.*?);;', block, re.M | re.S)
                for p in patterns.split('|'))


def offered(body):
    """What a case arm completes to: files, its words, or nothing."""
    if body is None or 'compgen -f' in body:
        return body and 'file'
    words = re.search(r'_flashctl_reply "\$cur" (.*)', body)
    return ['choice'] + [w.split('=')[-1] for w in words.group(1).split()] if words else 'word'


def check_completion(table, script):
    def words(name):
        return re.search(r"^%s='([^']*)'" % name, script, re.M).group(1).split()
    options = table['options']
    common = [o for o in options if len(o['commands']) == len(table['commands'])]
    same('completion commands', words('_flashctl_commands'), [c['name'] for c in table['commands']])
    same('completion common options', words('_flashctl_common_options'),
         [o['name'] + ('=' if o['value'] == 'choice' else '') for o in common])
    same('completion value options', sorted(words('_flashctl_value_options')),
         sorted(o['name'] for o in options if o['value'] != 'none'))
    of = case_arms(script, '$1')
    same('completion options per command',
         dict((c['name'], re.search(r'"([^"]*)"', of.get(c['name'], '""')).group(1).split()) for c in table['commands']),
         dict((c['name'], [n for n in c['options'] if n not in [o['name'] for o in common]]) for c in table['commands']))
    # After "--name " every option with a value; after "--name=" those with files or choices.
    prev, cur = case_arms(script, '$prev'), case_arms(script, '$cur')
    kinds = dict((o['name'], ['choice'] + o['choices'] if o['value'] == 'choice' else o['value'])
                 for o in options if o['value'] != 'none')
    same('completion of values', dict((n, (offered(prev.get(n)), offered(cur.get(n + '=*')))) for n in kinds),
         dict((n, (k, None if k == 'word' else k)) for n, k in kinds.items()))


def module_constant(tree, name, default=None):
    for n in tree.body:
        if isinstance(n, ast.Assign) and getattr(n.targets[0], 'id', '') == name:
            return ast.literal_eval(n.value) if name != 'DOCUMENTATION' else yaml.safe_load(n.value.value)
    return default


def check_modules(table, ansible_dir):
    """Each module names the flashctl command it runs and the options it
    passes in one table (FLASHCTL_SUBCOMMAND, FLASHCTL_OPTIONS of (module
    option, flashctl option, 'flag' or 'value'), FLASHCTL_CHECK_MODE_OPTION),
    and the read-only commands it runs instead or besides in
    FLASHCTL_READ_SUBCOMMANDS ({command: table of the same kind})."""
    options = dict((o['name'], o) for o in table['options'])
    commands = set(c['name'] for c in table['commands'])
    modules = sorted(glob.glob(os.path.join(ansible_dir, 'plugins/modules/*.py')))
    same('Ansible modules', bool(modules), True)
    for path in modules:
        module = os.path.basename(path)
        tree = ast.parse(open(path).read())
        doc = module_constant(tree, 'DOCUMENTATION')
        # An action of the control node that never runs flashctl.
        if ((doc.get('attributes') or {}).get('action') or {}).get('support') == 'full' and \
                'flash_update.cards.flashctl' not in (doc.get('extends_documentation_fragment') or []):
            continue
        command = module_constant(tree, 'FLASHCTL_SUBCOMMAND')
        passed = list(module_constant(tree, 'FLASHCTL_OPTIONS', ()))
        check_mode = module_constant(tree, 'FLASHCTL_CHECK_MODE_OPTION')
        if check_mode is not None:
            passed.append((None, check_mode, 'flag'))
        runs = [(command, passed)] + sorted(module_constant(tree, 'FLASHCTL_READ_SUBCOMMANDS', {}).items())
        for name, run in runs:
            what = '%s %s' % (module, name)
            same(what + ' is a flashctl command', name in commands, True)
            # Each option it passes is one the command takes, a flag exactly when flashctl's takes no value,
            # and documented by the module as a bool exactly when a flag.
            same(what + ' passes', dict((n, (n in options and name in options[n]['commands'],
                                             kind == 'flag', doc['options'][k].get('type') == 'bool' if k else True))
                                        for k, n, kind in run),
                 dict((n, (True, n in options and options[n]['value'] == 'none', kind == 'flag' if k else True))
                      for k, n, kind in run))
        # A module option named as a flashctl option of its command is passed as that option.
        named = set('--' + k.replace('_', '-') for k in doc.get('options') or {})
        takes = set(n for n, o in options.items() if command in o['commands'])
        same(module + ' options named as flashctl options',
             sorted(named & takes), sorted(named & set(n for _, n, _ in passed)))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    source_dir, flashctl = sys.argv[1:]
    table = json.loads(subprocess.run([flashctl, '--help', '--json'], capture_output=True, text=True,
                                      timeout=60, check=True).stdout)
    check_manual(table, open(os.path.join(source_dir, 'doc/flashctl.8')).read())
    check_completion(table, open(os.path.join(source_dir, 'completion/flashctl')).read())
    check_modules(table, os.path.join(source_dir, 'ansible'))
    for failure in FAILURES:
        print('FAIL:', failure)
    print('%d passed, %d failed' % (PASSED[0], len(FAILURES)))
    return 1 if FAILURES else 0


if __name__ == '__main__':
    sys.exit(main())
