# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""Each module's documentation as ansible-doc renders it (with the doc
fragments): the options it documents are the ones it takes, and every
result it returns is documented."""
import ast
import json
import os
import subprocess

import pytest

CARD = '0000:03:00.0'
UPDATED = {'schema_version': 1, 'card': CARD, 'partition': 'fw-b', 'changed': True, 'dry_run': False,
           'activated': True, 'result': 'updated', 'partition_state': 'verified',
           'image': {'path': '/img.bin', 'size': 4096, 'sha512': 'ab' * 64},
           'before': {'version': '1', 'running_image': 'fw-a', 'startup_image': 'fw-a'},
           'after': {'version': '2', 'running_image': 'fw-a', 'startup_image': 'fw-b'},
           'phases': [{'name': 'plan', 'status': 'ok', 'seconds': 0.01}], 'plan': {'actions': ['erase']},
           'journal': {'code': 'journal', 'message': 'no room'}}
RELEASE = {'schema_version': 1, 'bundle': {'path': '/r.tar', 'signed': True}}
APPLIED = dict(RELEASE, command='apply', cards=[{'card': CARD, 'result': 'updated', 'changed': True}])
CHECKED = dict(RELEASE, command='check', cards=[{'card': CARD, 'state': 'compliant'}])
INVENTORY = {'schema_version': 1, 'cards': [
    {'card': CARD, 'ok': True, 'running_image': 'fw-a', 'startup_image': 'fw-a', 'partitions': []}]}

# module, arguments besides flashctl_command, flashctl's answer
MODULES = [
    ('card_info', {'cards': [CARD]}, INVENTORY),
    ('card_firmware', {'card': CARD, 'partition': 'fw-b', 'image': '/img.bin', 'activate': True}, UPDATED),
    ('card_release', {'bundle': '/r.tar', 'activate': True}, APPLIED),
    ('card_compliance', {'bundle': '/r.tar'}, CHECKED),
]
# What every module result may carry besides its own returns.
COMMON = {'changed', 'failed', 'msg', 'invocation', 'diff', 'stderr'}


@pytest.fixture(scope='module')
def rendered(collection_root, tmp_path_factory):
    """ansible-doc --json of a module, as a dict."""
    home = tmp_path_factory.mktemp('ansible-home')
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=str(collection_root), ANSIBLE_HOME=str(home),
               ANSIBLE_LOCAL_TEMP=str(home / 'tmp'), PYTHONDONTWRITEBYTECODE='1')

    def render(name):
        fqcn = 'flash_update.cards.' + name
        proc = subprocess.run(['ansible-doc', '--json', fqcn], capture_output=True, text=True, env=env,
                              timeout=60)
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout)[fqcn]

    return render


@pytest.mark.parametrize('name,args,answer', MODULES, ids=[m[0] for m in MODULES])
def test_documentation_matches_the_module(collection_root, rendered, flashctl, run_module, name, args, answer):
    doc = rendered(name)
    assert doc['examples']
    assert sorted(doc['doc']['attributes']) == ['check_mode', 'diff_mode', 'platform']

    source = open(os.path.join(collection_root, 'ansible_collections', 'flash_update', 'cards', 'plugins',
                               'modules', name + '.py')).read()
    spec = next(n for n in ast.walk(ast.parse(source))
                if isinstance(n, ast.keyword) and n.arg == 'argument_spec')
    assert sorted(doc['doc']['options']) == sorted(k.arg for k in spec.value.keywords)

    flashctl.answer(answer)
    result = run_module(name, dict(args, flashctl_command=flashctl.command))
    assert set(result) - COMMON <= set(doc['return']), sorted(set(result) - COMMON - set(doc['return']))
