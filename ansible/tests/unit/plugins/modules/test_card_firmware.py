# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""card_firmware against a fake flashctl: the command it runs, and what it
makes of each answer flashctl can give."""
import pytest

CARD = '0000:03:00.0'
SHA = 'ab' * 64
BEFORE = {'version': '2.13.2-E-17', 'running_image': 'fw-a', 'startup_image': 'fw-a'}
AFTER = {'version': '2.15.0-E-1', 'running_image': 'fw-a', 'startup_image': 'fw-b'}


def update_doc(**fields):
    doc = {'schema_version': 1, 'card': CARD, 'partition': 'fw-b',
           'image': {'path': '/img.bin', 'size': 4096, 'sha512': SHA},
           'changed': False, 'dry_run': False, 'activated': False, 'result': 'unchanged',
           'before': BEFORE, 'phases': [{'name': 'plan', 'status': 'ok', 'seconds': 0.01}],
           'partition_state': 'untouched'}
    doc.update(fields)
    return doc


def firmware_args(flashctl, **extra):
    args = {'card': CARD, 'partition': 'fw-b', 'image': '/img.bin',
            'flashctl_command': flashctl.command}
    args.update(extra)
    return args


# Options first, then --json and "--", then the values: flashctl reads every
# word after "--" as a value, whatever it starts with.
@pytest.mark.parametrize('extra,check,options', [
    ({}, False, []),
    ({'sha512': SHA}, False, ['--sha512=' + SHA]),
    ({'activate': True, 'allow_running': True}, False, ['--activate', '--allow-running']),
    ({'timeout': 30, 'history': '/h.jsonl'}, False, ['--timeout=30', '--history=/h.jsonl']),
    ({'history': '--prometheus=/x'}, False, ['--history=--prometheus=/x']),
    ({'activate': True}, True, ['--activate', '--dry-run']),
])
def test_firmware_runs_one_update(flashctl, run_module, extra, check, options):
    flashctl.answer(update_doc(dry_run=check))
    run_module('card_firmware', firmware_args(flashctl, **extra), check=check)
    assert flashctl.calls() == [['update'] + options + ['--json', '--', CARD, 'fw-b', '/img.bin']]


@pytest.mark.parametrize('card,partition,image,values', [
    ('0000:0A:1F.7', 'fw-b', '/img.bin', ['0000:0a:1f.7', 'fw-b', '/img.bin']),
    (CARD, '-fw-b', '-img.bin', [CARD, '-fw-b', '-img.bin']),
    (CARD, '--allow-running', '--prometheus=/etc/passwd', [CARD, '--allow-running', '--prometheus=/etc/passwd']),
])
def test_firmware_values_follow_the_end_of_options(flashctl, run_module, card, partition, image, values):
    flashctl.answer(update_doc(result='updated', changed=True))
    res = run_module('card_firmware', dict(firmware_args(flashctl), card=card, partition=partition, image=image))
    assert res.get('failed', False) is False, res
    assert flashctl.calls() == [['update', '--json', '--'] + values]


def test_firmware_refuses_a_card_that_is_not_an_address(flashctl, run_module):
    res = run_module('card_firmware', firmware_args(flashctl, card='--prometheus=/any/file'))
    assert res['failed'] is True
    assert res['msg'] == ("card: '--prometheus=/any/file' is not a card address (domain:bus:device.function "
                          "in hexadecimal, function 0-7, for example 0000:03:00.0); flashctl was not run")
    assert flashctl.calls() == []


def test_command_string_is_split_into_words(flashctl, run_module):
    flashctl.answer(update_doc())
    command = "%s '%s' --progress 'a b'" % tuple(flashctl.command)
    run_module('card_firmware', firmware_args(flashctl, flashctl_command=command))
    assert flashctl.calls()[0][:3] == ['--progress', 'a b', 'update']


# rc, document fields, check mode -> failed, changed
OUTCOMES = [
    ('updated', 0, dict(changed=True, result='updated', activated=True, after=AFTER,
                        partition_state='verified'), False, False, True),
    ('unchanged', 0, dict(), False, False, False),
    ('dry run would change', 0, dict(dry_run=True, would_change=True), True, False, True),
    ('dry run nothing to do', 0, dict(dry_run=True), True, False, False),
    ('check mode without dry run', 0, dict(changed=True, result='updated'), True, True, False),
    ('refused', 2, dict(result='refused', error={'code': 'refused', 'message': 'image too large'}),
     False, True, False),
    ('failed after erase', 1, dict(result='failed', partition_state='written_unverified',
                                   error={'code': 'failed', 'message': 'checksum mismatch'}),
     False, True, True),
    ('timeout while erasing', 1, dict(result='timeout', partition_state='erased',
                                      error={'code': 'timeout', 'message': 'erase'}), False, True, True),
    ('busy', 3, dict(result='busy', error={'code': 'busy', 'message': 'pid 7'}), False, True, False),
    ('failed dry run', 1, dict(dry_run=True, result='failed', partition_state='erased',
                               error={'code': 'io', 'message': 'x'}), True, True, False),
    ('exit 0 with failure', 0, dict(result='failed'), False, True, False),
]


@pytest.mark.parametrize('name,rc,fields,check,failed,changed', OUTCOMES, ids=[o[0] for o in OUTCOMES])
def test_firmware_outcome(flashctl, run_module, name, rc, fields, check, failed, changed):
    flashctl.answer(update_doc(**fields), rc=rc)
    res = run_module('card_firmware', firmware_args(flashctl), check=check)
    assert res.get('failed', False) is failed
    assert res['changed'] is changed
    assert res['rc'] == rc
    if 'error' in fields:
        assert res['error'] == fields['error']
        assert fields['error']['message'] in res['msg']
    # The card's state travels with success and failure alike.
    assert res['before'] == BEFORE
    assert res.get('partition_state') == fields.get('partition_state', 'untouched')


@pytest.mark.parametrize('stdout,why', [
    ('', 'printed nothing'),
    ('flashctl: error\n', 'not JSON'),
    ('[1, 2]', 'not a JSON object'),
    ('{"schema_version": 2, "result": "updated"}', 'schema_version 2'),
])
def test_firmware_unreadable_answer_fails(flashctl, run_module, stdout, why):
    flashctl.answer(stdout, rc=0)
    res = run_module('card_firmware', firmware_args(flashctl))
    assert res['failed'] is True and why in res['msg']


def test_check_mode_diff_predicts_activation(flashctl, run_module):
    flashctl.answer(update_doc(dry_run=True, would_change=True))
    res = run_module('card_firmware', firmware_args(flashctl, activate=True), check=True, diff=True)
    assert res['diff'] == {'before': {'version': '2.13.2-E-17', 'startup_image': 'fw-a'},
                           'after': {'version': '(img.bin)', 'startup_image': 'fw-b'}}


def test_diff_after_update_reads_the_card(flashctl, run_module):
    flashctl.answer(update_doc(changed=True, result='updated', after=AFTER))
    res = run_module('card_firmware', firmware_args(flashctl), diff=True)
    assert res['diff']['after'] == {'version': '2.15.0-E-1', 'startup_image': 'fw-b'}
