# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""The collection importable by its name, and its modules run in-process
against a fake flashctl. Under ansible-test the collection is importable
already; under plain pytest (what the project's suite runs) a collections
root in a temporary folder links to this source tree, made before any test
file is imported."""
import importlib
import json
import os
import shutil
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.dirname(os.path.dirname(HERE))
FAKE_FLASHCTL = os.path.join(HERE, 'plugins', 'modules', 'fake_flashctl.py')

_made_root = None


def _collections_root():
    parts = COLLECTION.split(os.sep)
    if parts[-3:] == ['ansible_collections', 'flash_update', 'cards']:
        return os.sep.join(parts[:-3])
    global _made_root
    _made_root = tempfile.mkdtemp(prefix='flash_update-collections.')
    ns = os.path.join(_made_root, 'ansible_collections', 'flash_update')
    os.makedirs(ns)
    os.symlink(COLLECTION, os.path.join(ns, 'cards'))
    return _made_root


COLLECTIONS_ROOT = _collections_root()
if COLLECTIONS_ROOT not in sys.path:
    sys.path.insert(0, COLLECTIONS_ROOT)


def pytest_unconfigure(config):
    if _made_root:
        shutil.rmtree(_made_root, ignore_errors=True)


@pytest.fixture(scope='session')
def collection_root():
    """A collections root whose flash_update.cards is this collection."""
    return COLLECTIONS_ROOT


class FakeFlashctl:
    """flashctl's answers to the next calls, and the calls it received."""

    def __init__(self, directory):
        self.dir = directory
        self.command = [sys.executable, FAKE_FLASHCTL]

    def answer(self, doc, rc=0, command=None):
        """Adds flashctl's next answer, to every call or with command to
        that command's; the last one added repeats."""
        text = doc if isinstance(doc, str) else json.dumps(doc)
        with open(self.dir / ('answers.' + command if command else 'answers'), 'a') as f:
            f.write(json.dumps([rc, text]) + '\n')

    def calls(self):
        path = self.dir / 'calls.jsonl'
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text().splitlines()]


@pytest.fixture
def flashctl(tmp_path, monkeypatch):
    monkeypatch.setenv('FAKE_FLASHCTL_DIR', str(tmp_path))
    return FakeFlashctl(tmp_path)


@pytest.fixture
def run_module(capsys):
    """run_module(name, args, check=False, diff=False) -> the module's result."""
    from ansible.module_utils import basic

    def run(name, args, check=False, diff=False):
        module = importlib.import_module('ansible_collections.flash_update.cards.plugins.modules.' + name)
        full = dict(args, _ansible_check_mode=check, _ansible_diff=diff)
        basic._ANSIBLE_ARGS = json.dumps({'ANSIBLE_MODULE_ARGS': full}).encode()
        with pytest.raises(SystemExit):
            module.main()
        return json.loads(capsys.readouterr().out)

    return run
