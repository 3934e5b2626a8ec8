# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""card_release and card_compliance against a fake flashctl: the commands
they run, and what they make of each answer flashctl can give."""
import pytest

CARD, CARD2 = '0000:03:00.0', '0000:13:00.0'
BUNDLE = {'path': '/r.tar', 'release': {'name': 'larch-fw', 'version': '2.15.0'}, 'signed': True}
FW = {'file': 'fw.bin', 'target': ['fw-a', 'fw-b'], 'partition': 'fw-b'}
CPLD = {'file': 'cpld.bin', 'target': 'cpld', 'partition': 'cpld'}


def doc(command, *cards):
    return {'schema_version': 1, 'command': command, 'bundle': BUNDLE, 'cards': list(cards)}


def applied(result, changed, card=CARD, **fields):
    return dict(card=card, result=result, changed=changed, activated=False, **fields)


def planned(verdict, startup='fw-a', components=(FW,), card=CARD, **fields):
    return dict(card=card, verdict=verdict, slot='fw-b', before={'running_image': 'fw-a', 'startup_image': startup},
                components=list(components), **fields)


def checked(state, card=CARD):
    return {'card': card, 'state': state}


def release_args(flashctl, **extra):
    return dict({'bundle': '/r.tar', 'flashctl_command': flashctl.command}, **extra)


ALL = {'cards': [CARD, '0000:0A:00.0'], 'activate': True, 'trust': '/t', 'allow_unsigned': True,
       'allow_single_slot': True, 'plan': '/p.json', 'timeout': 30, 'history': '/h'}
VALUES = ['--json', '--', '/r.tar', CARD, '0000:0a:00.0']
CHECK = ['check', '--trust=/t', '--allow-unsigned', '--timeout=30'] + VALUES


# Check mode plans with the options plan takes; diff mode checks before and after.
@pytest.mark.parametrize('check,diff,calls', [
    (False, False, [['apply', '--trust=/t', '--allow-unsigned', '--allow-single-slot', '--activate',
                     '--plan=/p.json', '--timeout=30', '--history=/h'] + VALUES]),
    (True, False, [['plan', '--trust=/t', '--allow-unsigned', '--allow-single-slot', '--timeout=30'] + VALUES]),
    (False, True, [CHECK, ['apply', '--trust=/t', '--allow-unsigned', '--allow-single-slot', '--activate',
                           '--plan=/p.json', '--timeout=30', '--history=/h'] + VALUES, CHECK]),
], ids=['apply', 'check mode', 'diff'])
def test_release_runs(flashctl, run_module, check, diff, calls):
    flashctl.answer(doc('apply', applied('updated', True)), command='apply')
    flashctl.answer(doc('plan', planned('apply')), command='plan')
    flashctl.answer(doc('check', checked('outdated')), rc=1, command='check')
    res = run_module('card_release', release_args(flashctl, **ALL), check=check, diff=diff)
    assert res.get('failed', False) is False, res
    assert flashctl.calls() == calls


FAILED = applied('failed', True, card=CARD2, error={'code': 'failed', 'message': "fw.bin: the card's checksum"})
REFUSED_PLAN = planned('refused', card=CARD2, refused_by=['compatible', 'fw.bin: running'])

# flashctl's cards, rc, check mode, activate -> failed, changed, changed_cards, the failure's message
# (a card updated, then unchanged, is the rehearsal's)
OUTCOMES = [
    ('one failed after a write', [applied('updated', True), FAILED], 1, False, False, True, True, [CARD, CARD2],
     "flashctl apply /r.tar: 1 of 2 cards not updated: 0000:13:00.0 failed (failed: fw.bin: the card's checksum)"),
    ('refused', [applied('refused', False, error={'code': 'refused', 'message': 'not for this card'})], 2,
     False, False, True, False, [], '0000:03:00.0 refused (refused: not for this card)'),
    ('exit 1 with every card done', [applied('updated', True)], 1, False, False, True, True, [CARD],
     'flashctl apply exited 1 with every card done'),
    ('plan writes', [planned('apply')], 0, True, False, False, True, [CARD], None),
    ('plan selects the slot', [planned('nothing_to_do')], 0, True, True, False, True, [CARD], None),
    ('plan finds the slot selected', [planned('nothing_to_do', startup='fw-b')], 0, True, True, False, False, [],
     None),
    ('plan without activate', [planned('nothing_to_do')], 0, True, False, False, False, [], None),
    ('plan in place only', [planned('nothing_to_do', components=[CPLD])], 0, True, True, False, False, [], None),
    ('plan refused', [planned('apply'), REFUSED_PLAN], 2, True, False, True, True, [CARD],
     '1 of 2 cards not planned: 0000:13:00.0 refused (refused by compatible, fw.bin: running)'),
    ('plan of a card not read', [{'card': CARD, 'error': {'code': 'io', 'message': 'no answer'}}], 1, True, False,
     True, False, [], '0000:03:00.0 unknown (io: no answer)'),
]


@pytest.mark.parametrize('name,cards,rc,check,activate,failed,changed,changed_cards,msg', OUTCOMES,
                         ids=[o[0] for o in OUTCOMES])
def test_release_outcome(flashctl, run_module, name, cards, rc, check, activate, failed, changed, changed_cards,
                         msg):
    flashctl.answer(doc('plan' if check else 'apply', *cards), rc=rc)
    res = run_module('card_release', release_args(flashctl, activate=activate), check=check)
    assert res.get('failed', False) is failed
    assert res['changed'] is (changed and not (check and failed))
    assert res['changed_cards'] == changed_cards
    assert res['cards'] == cards and res['bundle'] == BUNDLE and res['rc'] == rc
    assert res.get('would_change') == (changed if check else None)
    if msg:
        assert msg in res['msg']


def test_refused_bundle_fails_with_flashctls_error(flashctl, run_module):
    error = {'code': 'bundle', 'check': 'untrusted', 'message': 'no key is trusted'}
    flashctl.answer({'schema_version': 1, 'error': error}, rc=2)
    res = run_module('card_release', release_args(flashctl))
    assert res['failed'] is True and res['msg'] == 'flashctl apply: bundle: no key is trusted'
    assert res['error'] == error and res['rc'] == 2


# state before, plan, activate -> the state the diff predicts
@pytest.mark.parametrize('before,plan,activate,after', [
    ('outdated', planned('apply'), True, 'pending'),
    ('outdated', planned('apply'), False, 'staged'),
    ('outdated', planned('apply', startup='fw-b'), False, 'pending'),
    ('staged', planned('nothing_to_do'), True, 'pending'),
    ('compliant', planned('apply'), True, 'compliant'),
    ('outdated', planned('apply', components=[CPLD]), False, 'compliant'),
])
def test_check_mode_diff_predicts_compliance(flashctl, run_module, before, plan, activate, after):
    flashctl.answer(doc('plan', plan, planned('nothing_to_do', card=CARD2)), command='plan')
    flashctl.answer(doc('check', checked(before), checked('pending', CARD2)), rc=1, command='check')
    res = run_module('card_release', release_args(flashctl, activate=activate), check=True, diff=True)
    assert res['diff'] == {'before': {CARD: before, CARD2: 'pending'}, 'after': {CARD: after, CARD2: 'pending'}}


def test_diff_reads_compliance_before_and_after(flashctl, run_module):
    flashctl.answer(doc('apply', applied('updated', True)), command='apply')
    flashctl.answer(doc('check', checked('outdated')), rc=1, command='check')
    flashctl.answer(doc('check', checked('pending')), rc=1, command='check')
    res = run_module('card_release', release_args(flashctl), diff=True)
    assert res['diff'] == {'before': {CARD: 'outdated'}, 'after': {CARD: 'pending'}}


# flashctl's cards, rc -> failed, compliant
COMPLIANCE = [
    ('compliant', [checked('compliant'), checked('compliant', CARD2)], 0, False, True),
    ('one pending', [checked('compliant'), checked('pending', CARD2)], 1, False, False),
    ('a card not read', [dict(checked('unknown'), error={'code': 'io', 'message': 'no answer'})], 1, False, False),
    ('exit 0 hiding a pending card', [checked('pending')], 0, True, False),
    ('exit 1 with every card compliant', [checked('compliant')], 1, True, True),
]


@pytest.mark.parametrize('name,cards,rc,failed,compliant', COMPLIANCE, ids=[c[0] for c in COMPLIANCE])
def test_compliance_outcome(flashctl, run_module, name, cards, rc, failed, compliant):
    flashctl.answer(doc('check', *cards), rc=rc)
    options = dict((k, ALL[k]) for k in ('cards', 'trust', 'allow_unsigned', 'timeout'))
    res = run_module('card_compliance', release_args(flashctl, **options), check=True)
    assert flashctl.calls() == [CHECK]
    assert res['failed'] is failed
    assert res['changed'] is False and 'ansible_facts' not in res
    assert res['compliant'] is compliant and res['cards'] == cards and res['rc'] == rc
