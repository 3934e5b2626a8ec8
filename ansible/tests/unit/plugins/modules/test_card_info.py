# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""card_info against a fake flashctl: the command it runs, and what it
makes of each answer flashctl can give."""
import pytest

CARD = '0000:03:00.0'


def test_info_names_every_card_it_refuses(flashctl, run_module):
    res = run_module('card_info', {'flashctl_command': flashctl.command, 'cards': ['-x', CARD, 'y']})
    assert res['failed'] is True
    assert res['msg'] == ("cards: '-x', 'y' are not card addresses (domain:bus:device.function in hexadecimal, "
                          "function 0-7, for example 0000:03:00.0); flashctl was not run")
    assert flashctl.calls() == []


@pytest.mark.parametrize('cards,values', [
    ([], []),
    (['0000:AB:CD.3', CARD], ['0000:ab:cd.3', CARD]),
])
def test_info_passes_cards_after_the_end_of_options(flashctl, run_module, cards, values):
    flashctl.answer({'schema_version': 1, 'cards': []})
    run_module('card_info', {'flashctl_command': flashctl.command, 'cards': cards})
    assert flashctl.calls() == [['inventory', '--json', '--'] + values]


GOOD = {'card': CARD, 'ok': True, 'running_image': 'fw-a', 'startup_image': 'fw-a', 'partitions': []}
BAD = {'card': '0000:13:00.0', 'ok': False, 'error': {'code': 'io', 'message': 'no answer'}}


# rc, cards, allow_card_errors -> failed
INVENTORIES = [
    ('all answered', 0, [GOOD], False, False),
    ('one failed', 1, [GOOD, BAD], False, True),
    ('one failed, allowed', 1, [GOOD, BAD], True, False),
    ('exit 0 hiding a failed card', 0, [GOOD, BAD], True, True),
    ('exit 1 without a failed card', 1, [GOOD], True, True),
]


@pytest.mark.parametrize('name,rc,cards,allow,failed', INVENTORIES, ids=[i[0] for i in INVENTORIES])
def test_info_outcome(flashctl, run_module, name, rc, cards, allow, failed):
    flashctl.answer({'schema_version': 1, 'cards': cards}, rc=rc)
    res = run_module('card_info', {'flashctl_command': flashctl.command, 'allow_card_errors': allow,
                                   'cards': [c['card'] for c in cards]}, check=True)
    # Said even on success: Ansible fails a result whose rc is not 0 otherwise.
    assert res['failed'] is failed
    assert res['changed'] is False
    # An _info module returns its data and sets no facts.
    assert res['cards'] == cards and 'ansible_facts' not in res
    assert res['rc'] == rc
    assert res['failed_cards'] == [{'card': BAD['card'], 'error': BAD['error']}] * (BAD in cards)
    assert flashctl.calls() == [['inventory', '--json', '--'] + [c['card'] for c in cards]]


def test_info_error_document_fails(flashctl, run_module):
    flashctl.answer({'schema_version': 1, 'error': {'code': 'usage', 'message': 'bad address'}}, rc=2)
    res = run_module('card_info', {'flashctl_command': flashctl.command, 'cards': [CARD]})
    assert res['failed'] is True
    assert res['msg'] == 'flashctl inventory: usage: bad address'
