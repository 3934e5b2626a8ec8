#!/usr/bin/env python3
"""flashctl's option table against the places that name its options.

`flashctl --help --json` prints the table: each command with its usage line
and options, each option with its kind of value, choices and commands. The
manual page's SYNOPSIS and OPTIONS, the bash completion's word lists and
case arms, and the Ansible modules (the options they pass, the types they
document) must say the same.

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


class Checks:
    def __init__(self):
        self.passed = 0
        self.failures = []

    def equal(self, what, got, expected):
        if got == expected:
            self.passed += 1
        else:
            self.failures.append('%s: %r, the table says %r' % (what, got, expected))


def roff_options(text):
    """The options a roff text names (\\- unescaped)."""
    return OPTION.findall(text.replace('\\-', '-'))


def sections(page):
    """{'SYNOPSIS': text, 'OPTIONS': text, ...} of a manual page."""
    out, name = {}, None
    for line in page.splitlines():
        if line.startswith('.SH '):
            name = line[4:].strip().strip('"')
            out[name] = []
        elif name is not None:
            out[name].append(line)
    return {k: '\n'.join(v) for k, v in out.items()}


def check_manual(checks, table, page):
    parts = sections(page)
    synopsis = parts.get('SYNOPSIS', '')
    # Each .SY block: the command, then what its usage line names.
    named = {}
    for block in re.findall(r'^\.SY flashctl\n(.*?)^\.YS', synopsis, re.M | re.S):
        command = re.match(r'\.B (\S+)', block).group(1)
        named.setdefault(command, set()).update(roff_options(block))
    for command in table['commands']:
        checks.equal('manual SYNOPSIS of %s' % command['name'], named.get(command['name'], set()),
                     set(OPTION.findall(command['usage'])))
    checks.equal('manual SYNOPSIS, all options', set(roff_options(synopsis)),
                 set(o['name'] for o in table['options']))
    # OPTIONS: the tag line after each .TP.
    tags = {}
    lines = parts.get('OPTIONS', '').splitlines()
    for i, line in enumerate(lines[:-1]):
        if line == '.TP' and roff_options(lines[i + 1]):
            tag = lines[i + 1].replace('\\-', '-')
            name = roff_options(tag)[0]
            rest = tag.split(name, 1)[1]
            tags[name] = re.findall(r'[a-z]+', rest)
    checks.equal('manual OPTIONS', set(tags), set(o['name'] for o in table['options']))
    for o in table['options']:
        if o['name'] not in tags:
            continue
        if o['value'] == 'choice':
            expected = o['choices']
        elif o['value'] == 'none':
            expected = []
        else:
            expected = [o['value_name'].lower()]
        checks.equal('manual OPTIONS value of %s' % o['name'], tags[o['name']], expected)


def shell_words(script, name):
    m = re.search(r"^%s='([^']*)'" % re.escape(name), script, re.M)
    return m.group(1).split() if m else None


def case_arms(script, subject):
    """(patterns, body) of each arm of the first `case SUBJECT in`."""
    m = re.search(r'case %s in\n(.*?)\n\s*esac' % re.escape(subject), script, re.S)
    if not m:
        return []
    arms = re.findall(r'^\s*([-\w=*$|\s]+?)\)(.*?);;', m.group(1), re.M | re.S)
    return [([p.strip() for p in patterns.split('|')], body) for patterns, body in arms]


def arm_kind(body):
    """What a case arm completes: files, the words it offers, or nothing."""
    if 'compgen -f' in body:
        return 'file'
    m = re.search(r'_flashctl_reply "\$cur" (.*)', body)
    if m:
        return ('choice', [w.split('=')[-1] for w in m.group(1).split()])
    return 'word' if body.strip() == 'return' else body.strip()


def check_completion(checks, table, script):
    options = table['options']
    everywhere = set(c['name'] for c in table['commands'])
    common = [o for o in options if set(o['commands']) == everywhere]
    checks.equal('completion _flashctl_commands', shell_words(script, '_flashctl_commands'),
                 [c['name'] for c in table['commands']])
    checks.equal('completion _flashctl_common_options', shell_words(script, '_flashctl_common_options'),
                 [o['name'] + ('=' if o['value'] == 'choice' else '') for o in common])
    checks.equal('completion _flashctl_value_options',
                 sorted(shell_words(script, '_flashctl_value_options') or []),
                 sorted(o['name'] for o in options if o['value'] != 'none'))
    per_command = {}
    for patterns, body in case_arms(script, '$1'):
        m = re.search(r'printf \'%s\' "([^"]*)"', body)
        for p in patterns:
            per_command[p] = m.group(1).split() if m else None
    for command in table['commands']:
        checks.equal('completion _flashctl_options_of %s' % command['name'], per_command.get(command['name']),
                     [n for n in command['options'] if n not in set(o['name'] for o in common)])
    # What is offered for a value: after "--name " (every option with a
    # value), and after "--name=" (the ones with files or choices to offer).
    after = {}
    for subject in ('$prev', '$cur'):
        for patterns, body in case_arms(script, subject):
            for p in patterns:
                if p.startswith('--'):
                    after[(subject, p.rstrip('*').rstrip('='))] = arm_kind(body)
    for o in options:
        if o['value'] == 'none':
            continue
        kind = ('choice', o['choices']) if o['value'] == 'choice' else o['value']
        checks.equal('completion after "%s "' % o['name'], after.get(('$prev', o['name'])), kind)
        checks.equal('completion after "%s="' % o['name'], after.get(('$cur', o['name'])),
                     None if o['value'] == 'word' else kind)


def documentation(path):
    """The module's DOCUMENTATION, its source, and the fragments it extends."""
    source = open(path).read()
    tree = ast.parse(source)
    docs = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Constant):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    docs[target.id] = node.value.value
    return yaml.safe_load(docs.get('DOCUMENTATION', '')) or {}, source


def fragment_options(ansible_dir, names):
    """Options of the doc fragments a module extends (plugins/doc_fragments)."""
    options = {}
    for name in names or []:
        stem, _, variant = name.split('.')[-1].partition('.')
        path = os.path.join(ansible_dir, 'plugins', 'doc_fragments', stem + '.py')
        if not os.path.exists(path):
            continue
        tree = ast.parse(open(path).read())
        for node in ast.walk(tree):
            if isinstance(node, ast.Assign) and isinstance(node.value, ast.Constant):
                if any(isinstance(t, ast.Name) and t.id == (variant.upper() or 'DOCUMENTATION')
                       for t in node.targets):
                    options.update((yaml.safe_load(node.value.value) or {}).get('options') or {})
    return options


def commands_run(source):
    """The words given to the calls that run flashctl (run_flashctl(module, 'update', ...))."""
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Call):
            callee = getattr(node.func, 'id', getattr(node.func, 'attr', ''))
            if 'flashctl' in callee:
                for arg in node.args:
                    if isinstance(arg, ast.Constant) and isinstance(arg.value, str):
                        yield arg.value


def check_modules(checks, table, ansible_dir):
    options = dict((o['name'], o) for o in table['options'])
    commands = [c['name'] for c in table['commands']]
    utils = ''.join(open(p).read() for p in glob.glob(os.path.join(ansible_dir, 'plugins', 'module_utils', '*.py')))
    modules = sorted(glob.glob(os.path.join(ansible_dir, 'plugins', 'modules', '*.py')))
    checks.equal('Ansible modules found', bool(modules), True)
    for path in modules:
        module = os.path.basename(path)[:-3]
        doc, source = documentation(path)
        runs = sorted(set(commands_run(source)) & set(commands))
        checks.equal('%s runs one flashctl command' % module, len(runs), 1)
        # Every option literal the module (or the shared code) passes.
        for name, eq in set(re.findall(r"""['"](--[a-z][a-z0-9-]*)(=?)""", source + utils)):
            o = options.get(name)
            if o is None:
                checks.failures.append('%s passes %s, which flashctl does not take' % (module, name))
                continue
            checks.equal('%s passes %s to %s' % (module, name, runs), set(runs) <= set(o['commands']), True)
            checks.equal('%s spells %s' % (module, name), eq == '=', o['value'] != 'none')
        # A module option named like a flashctl option is documented with its kind.
        documented = fragment_options(ansible_dir, doc.get('extends_documentation_fragment'))
        documented.update(doc.get('options') or {})
        for key, spec in documented.items():
            o = options.get('--' + key.replace('_', '-'))
            if o is None:
                continue
            checks.equal('%s option %s passes %s' % (module, key, o['name']), o['name'] in source, True)
            checks.equal('%s option %s type' % (module, key), spec.get('type') == 'bool', o['value'] == 'none')


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    source_dir, flashctl = sys.argv[1:]
    proc = subprocess.run([flashctl, '--help', '--json'], capture_output=True, text=True, timeout=60)
    if proc.returncode != 0:
        print('FAIL: flashctl --help --json exited %d: %s' % (proc.returncode, proc.stderr))
        return 1
    table = json.loads(proc.stdout)
    checks = Checks()
    check_manual(checks, table, open(os.path.join(source_dir, 'doc', 'flashctl.8')).read())
    check_completion(checks, table, open(os.path.join(source_dir, 'completion', 'flashctl')).read())
    check_modules(checks, table, os.path.join(source_dir, 'ansible'))
    for failure in checks.failures:
        print('FAIL:', failure)
    print('%d passed, %d failed' % (checks.passed, len(checks.failures)))
    return 1 if checks.failures else 0


if __name__ == '__main__':
    sys.exit(main())
