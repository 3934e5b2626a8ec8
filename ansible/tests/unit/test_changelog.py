# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""The changelog as antsibull-changelog reads it (its lint is not at hand
offline): a fragment or release entry under a section the configuration
does not name would be dropped from the release notes."""
import glob
import os

import pytest
import yaml

from conftest import COLLECTION

CHANGELOGS = os.path.join(COLLECTION, 'changelogs')


def load(path):
    with open(path) as f:
        return yaml.safe_load(f)


CONFIG = load(os.path.join(CHANGELOGS, 'config.yaml'))
SECTIONS = {name for name, _ in CONFIG['sections']} | {CONFIG['trivial_section_name']}
PRELUDE = CONFIG['prelude_section_name']


def check_changes(changes):
    assert isinstance(changes, dict) and changes
    for section, entries in changes.items():
        if section == PRELUDE:
            assert isinstance(entries, str) and entries.strip()
            continue
        assert section in SECTIONS, section
        assert isinstance(entries, list) and entries, section
        assert all(isinstance(e, str) and e.strip() for e in entries), section


@pytest.mark.parametrize('path', sorted(glob.glob(os.path.join(CHANGELOGS, 'fragments', '*'))),
                         ids=os.path.basename)
def test_fragment(path):
    assert path.endswith(('.yml', '.yaml')), 'antsibull-changelog ignores ' + path
    check_changes(load(path))


def test_releases():
    releases = load(os.path.join(CHANGELOGS, 'changelog.yaml'))['releases']
    modules = {os.path.basename(m)[:-3] for m in glob.glob(os.path.join(COLLECTION, 'plugins', 'modules', '*.py'))}
    galaxy = load(os.path.join(COLLECTION, 'galaxy.yml'))['version']
    for version, release in releases.items():
        assert tuple(map(int, version.split('.'))) <= tuple(map(int, galaxy.split('.'))), version
        check_changes(release['changes'])
        assert {m['name'] for m in release.get('modules', [])} <= modules, version
        assert isinstance(release['release_date'], str), version
