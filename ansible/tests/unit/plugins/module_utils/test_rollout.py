# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""The rollout's decisions: waves, budgets, the plan and rehearsal files,
which host may start under a rehearsal record."""
import json

import pytest

from ansible_collections.flash_update.cards.plugins.module_utils import rollout as r

LIST = 'a list of host counts and percentages such as [1, "10%", "50%", "100%"] is expected'


# rollout_waves -> (waves, wave sizes of ten hosts) or the message.
WAVES = [
    ([1, '10%', '50%', '100%'], ([1, '10%', '50%', '100%'], [1, 1, 5, 3])),
    ('[1, "25%"]', ([1, '25%'], [1, 2, 2, 2, 2, 1])),
    (['2', ' 5 %'], ([2, '5%'], [2] + [1] * 8)),
    (3, ([3], [3, 3, 3, 1])),
    ('[1, "ten"]', 'rollout_waves [1, "ten"] does not parse: "ten" is not a host count (1 or more) or a percentage '
                   '(over 0%, at most 100%)'),
    ('[1, ', 'rollout_waves [1,  does not parse: ' + LIST),
    ([], 'rollout_waves is empty: ' + LIST),
    ([1, 0], 'rollout_waves [1, 0] does not parse: 0 is not a host count'),
    (['150%'], 'rollout_waves ["150%"] does not parse: "150%" is not'),
    ([True], 'rollout_waves [true] does not parse: true is not'),
]


@pytest.mark.parametrize('value,expected', WAVES, ids=[json.dumps(w[0]) for w in WAVES])
def test_waves(value, expected):
    if isinstance(expected, str):
        with pytest.raises(r.RolloutError) as e:
            r.parse_waves(value)
        assert str(e.value).startswith(expected)
    else:
        waves = r.parse_waves(value)
        assert (waves, r.batch_sizes(waves, 10)) == expected


def test_wave_of_a_position():
    assert [r.wave_of([1, '50%'], 6, p) for p in range(6)] == [
        (1, False), (2, False), (2, False), (2, False), (3, True), (3, True)]


# rollout_max_failures, fleet size -> the failures that stop, or the message.
BUDGETS = [
    (1, 6, 1), ('3', 6, 3), (0, 6, 1), ('10%', 6, 1), ('34%', 6, 3), ('100%', 6, 6), ('50%', 7, 4),
    ('101%', 6, 'rollout_max_failures "101%" is over 100%'),
    (-1, 6, 'rollout_max_failures -1 is negative'),
    ('-5%', 6, 'rollout_max_failures "-5%" is negative'),
    ('some', 6, 'rollout_max_failures "some" is not a count of hosts or a percentage of the fleet'),
]


@pytest.mark.parametrize('value,fleet,expected', BUDGETS, ids=[json.dumps(b[0]) for b in BUDGETS])
def test_budget(value, fleet, expected):
    if isinstance(expected, str):
        with pytest.raises(r.RolloutError) as e:
            r.parse_budget(value, fleet)
        assert str(e.value).startswith(expected + ': give a count of hosts')
    else:
        assert r.parse_budget(value, fleet) == expected


IDENTITY = dict(name='larch-fw', version='2.15.0', manifest_sha256='cd' * 32)
BUNDLE = {'release': {'name': 'larch-fw', 'version': '2.15.0'}, 'manifest_sha256': 'cd' * 32}
OTHER = {'release': {'name': 'larch-fw', 'version': '2.14.0'}, 'manifest_sha256': 'ab' * 32}


def record(**hosts):
    return dict(schema_version=1, kind=r.KIND, mode='rehearsal', bundle=BUNDLE, hosts=hosts)


# File text -> what reading it as a rehearsal record of BUNDLE says.
RECORDS = [
    ('{"schema_version": 1', 'does not parse: Expecting'),
    ('[]', 'does not parse: not a document of schema version 1'),
    (json.dumps(dict(record(), mode='rollout')), 'does not parse: not the record of a rehearsal'),
    (json.dumps(dict(record(), bundle=OTHER)),
     'is the rehearsal of larch-fw 2.14.0 (manifest sha256 abababababababab), not of this bundle, larch-fw 2.15.0 '
     '(manifest sha256 cdcdcdcdcdcdcdcd)'),
    (json.dumps(dict(record(), bundle=dict(BUNDLE, manifest_sha256='ef' * 32))), 'is the rehearsal of larch-fw 2.15.0'),
]


@pytest.mark.parametrize('text,message', RECORDS, ids=['truncated', 'not an object', 'a report', 'another release',
                                                      'another bundle of the release'])
def test_bad_rehearsal_record(tmp_path, text, message):
    path = tmp_path / 'record.json'
    path.write_text(text)
    with pytest.raises(r.RolloutError) as e:
        r.read_rehearsal(str(path), IDENTITY)
    assert str(e.value).startswith('rollout_require_rehearsal %s %s' % (path, message))


def test_plan_file_of_another_release(tmp_path):
    path = tmp_path / 'plan.json'
    r.check_plan_file(str(path), IDENTITY)
    path.write_text(json.dumps(dict(schema_version=1, kind=r.PLAN_KIND, bundle=BUNDLE, hosts={})))
    r.check_plan_file(str(path), IDENTITY)
    path.write_text(json.dumps(dict(schema_version=1, kind=r.PLAN_KIND, bundle=OTHER, hosts={})))
    with pytest.raises(r.RolloutError) as e:
        r.check_plan_file(str(path), IDENTITY)
    assert str(e.value) == ('rollout_plan %s is the plan of larch-fw 2.14.0 (manifest sha256 abababababababab), not '
                            'of this bundle, larch-fw 2.15.0 (manifest sha256 cdcdcdcdcdcdcdcd)' % path)


REHEARSED = record(host1={'plan_digest': 'd1', 'outcome': 'updated'}, host2={'plan_digest': 'd2', 'outcome': 'failed'},
                   host3={'plan_digest': 'd3', 'outcome': 'not_started'},
                   host4={'plan_digest': 'd4', 'outcome': 'unchanged'})

# host, its plan now -> why it is refused (None: it starts).
REFUSALS = [
    ('host1', 'd1', True, None),
    ('host1', 'd9', True, r.DRIFTED),
    ('host1', 'd9', False, None),           # the release leaves the card as it is
    ('host2', 'd2', True, r.FAILED_IN_REHEARSAL),
    ('host2', 'd8', True, r.DRIFTED),
    ('host3', 'd3', True, r.NEVER_REHEARSED),
    ('host5', 'd5', True, r.NEVER_REHEARSED),
    ('host5', 'd4', True, None),            # the digest rehearsed, under another host name
    ('host5', 'd2', True, r.FAILED_IN_REHEARSAL),
]


@pytest.mark.parametrize('host,digest,would_change,refusal', REFUSALS)
def test_rehearsal_refusal(host, digest, would_change, refusal):
    assert r.rehearsal_refusal(host, dict(plan_digest=digest, would_change=would_change), REHEARSED) == refusal


def test_wave_verdicts():
    failed, updated = dict(outcome='failed'), dict(outcome='updated', state_after='pending')
    assert r.wave_verdict(1, {'h1': failed}, 1, 3, True, None)['reason'] == 'canary'
    assert r.wave_verdict(1, {'h1': failed}, 1, 3, False, None) is None
    assert r.wave_verdict(2, {'h2': failed, 'h3': updated}, 3, 3, True, None) == dict(
        reason='budget', wave=2, message='3 failed hosts reach the failure budget of 3')
    assert r.wave_verdict(2, {'h2': updated}, 0, 1, True, dict(passed=False, message='x exited 1')) == dict(
        reason='gate', wave=2, message='the health gate of wave 2 failed: x exited 1')
    assert r.compliance_gate({'h1': updated, 'h2': dict(outcome='unchanged', state_after='staged'), 'h3': failed,
                              'h4': dict(outcome='updated')}) == {'h2': 'staged'}
