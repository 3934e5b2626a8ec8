"""The collection's modules against a fake flashctl: the command they run,
and what they make of each answer flashctl can give; their documentation."""
import ast
import json
import os
import subprocess

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


# Strings that are not a card address, each refused before flashctl runs.
NOT_ADDRESSES = ['--prometheus=/any/file', '-h', '', '0000:03:00.8', '0000:3:00.0', '00000:03:00.0',
                 '0000:03:00', '0000:03:00.0 ', ' 0000:03:00.0', '0000:03:00.0\n', 'g000:03:00.0',
                 '0000-03-00.0', '0000:03:0x.0']


@pytest.mark.parametrize('bad', NOT_ADDRESSES)
def test_firmware_refuses_a_card_that_is_not_an_address(flashctl, run_module, bad):
    res = run_module('card_firmware', firmware_args(flashctl, card=bad))
    assert res['failed'] is True
    assert res['msg'] == ("card: %r is not a card address (domain:bus:device.function in hexadecimal, "
                          "function 0-7, for example 0000:03:00.0); flashctl was not run" % bad)
    assert flashctl.calls() == []


@pytest.mark.parametrize('bad', NOT_ADDRESSES)
def test_info_refuses_a_card_that_is_not_an_address(flashctl, run_module, bad):
    res = run_module('card_info', {'flashctl_command': flashctl.command, 'cards': [CARD, bad, '0000:13:00.0']})
    assert res['failed'] is True
    assert res['msg'].startswith('cards: %r is not a card address (' % bad), res['msg']
    assert flashctl.calls() == []


def test_info_names_every_card_it_refuses(flashctl, run_module):
    res = run_module('card_info', {'flashctl_command': flashctl.command, 'cards': ['-x', CARD, 'y']})
    assert res['msg'].startswith("cards: '-x', 'y' are not card addresses ("), res['msg']
    assert flashctl.calls() == []


@pytest.mark.parametrize('cards,values', [
    ([], []),
    (['0000:AB:CD.3', CARD], ['0000:ab:cd.3', CARD]),
])
def test_info_passes_cards_after_the_end_of_options(flashctl, run_module, cards, values):
    flashctl.answer({'schema_version': 1, 'cards': []})
    run_module('card_info', {'flashctl_command': flashctl.command, 'cards': cards})
    assert flashctl.calls() == [['inventory', '--json', '--'] + values]


def test_command_string_is_split_into_words(flashctl, run_module, tmp_path):
    flashctl.answer(update_doc())
    command = "/usr/bin/python3 '%s' --progress 'a b'" % flashctl.command[1]
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
    assert res.get('failed', False) is failed
    assert res['changed'] is False
    assert res['ansible_facts'] == {'flash_update_cards': cards}
    assert res['failed_cards'] == [{'card': BAD['card'], 'error': BAD['error']}] * (BAD in cards)
    assert flashctl.calls() == [['inventory', '--json', '--'] + [c['card'] for c in cards]]


def test_info_error_document_fails(flashctl, run_module):
    flashctl.answer({'schema_version': 1, 'error': {'code': 'usage', 'message': 'bad address'}}, rc=2)
    res = run_module('card_info', {'flashctl_command': flashctl.command, 'cards': [CARD]})
    assert res['failed'] is True
    assert res['msg'] == 'flashctl inventory: usage: bad address'


@pytest.mark.parametrize('name', ['card_info', 'card_firmware'])
def test_documentation_renders_and_matches_the_options(collection_root, name, tmp_path):
    """ansible-doc parses DOCUMENTATION, EXAMPLES and RETURN, and the documented
    options are exactly the ones the module takes."""
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=str(collection_root), ANSIBLE_HOME=str(tmp_path),
               ANSIBLE_LOCAL_TEMP=str(tmp_path / 'tmp'), PYTHONDONTWRITEBYTECODE='1')
    fqcn = 'flash_update.cards.' + name
    proc = subprocess.run(['ansible-doc', '--json', fqcn], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)[fqcn]
    assert doc['examples'] and doc['return']
    source = open(os.path.join(collection_root, 'ansible_collections', 'flash_update', 'cards', 'plugins',
                               'modules', name + '.py')).read()
    spec = next(n for n in ast.walk(ast.parse(source))
                if isinstance(n, ast.keyword) and n.arg == 'argument_spec')
    assert sorted(doc['doc']['options']) == sorted(k.arg for k in spec.value.keywords)
