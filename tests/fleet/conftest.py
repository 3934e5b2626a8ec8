"""Shared fixtures of the fleet tests: the collection importable by its
name, and the modules run in-process against a fake flashctl."""
import importlib
import json
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
COLLECTION = os.path.join(SOURCE, 'ansible')
FAKE_FLASHCTL = os.path.join(HERE, 'fake_flashctl.py')


@pytest.fixture(scope='session')
def collection_root(tmp_path_factory):
    """A collections root whose flash_update.cards is the source tree's."""
    root = tmp_path_factory.mktemp('collections')
    ns = root / 'ansible_collections' / 'flash_update'
    ns.mkdir(parents=True)
    (ns / 'cards').symlink_to(COLLECTION)
    sys.path.insert(0, str(root))
    yield root
    sys.path.remove(str(root))


class FakeFlashctl:
    """flashctl's answer for the next call, and the calls it received."""

    def __init__(self, directory):
        self.dir = directory
        self.command = ['/usr/bin/python3', FAKE_FLASHCTL]

    def answer(self, doc, rc=0):
        text = doc if isinstance(doc, str) else json.dumps(doc)
        (self.dir / 'stdout').write_text(text)
        (self.dir / 'rc').write_text(str(rc))

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
def run_module(collection_root, capsys):
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
