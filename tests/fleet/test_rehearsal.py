# SPDX-License-Identifier: Apache-2.0
"""The rollout playbook rehearsed on six hosts, each with its own virtual
card, through the real flashctl and ansible-playbook."""
import hashlib
import json
import os
import re
import subprocess
import time

import pytest

from conftest import FLASHCTL, LAUNCHER, MSG, VirtualCard, needs_cards

pytestmark = needs_cards

HOSTS = ['host%d' % i for i in range(1, 7)]
SET_STARTUP = MSG['FWUPDATE_MSG_SET_STARTUP_IMAGE']


@pytest.fixture
def collections(tmp_path_factory):
    """The built collection when the build names it, else the source tree."""
    built = os.environ.get('FU_FLEET_COLLECTIONS')
    if built:
        return built
    root = tmp_path_factory.mktemp('collections')
    (root / 'ansible_collections' / 'flash_update').mkdir(parents=True)
    source = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), 'ansible')
    (root / 'ansible_collections' / 'flash_update' / 'cards').symlink_to(source)
    return str(root)


@pytest.fixture
def image(tmp_path):
    path = tmp_path / 'larch-2.15.0.bin'
    path.write_bytes(bytes(range(256)) * 256)
    return str(path)


@pytest.fixture
def fleet(new_card):
    """fleet(faults={host: [fault...]}) -> {host: VirtualCard}."""
    def make(faults=None):
        return {h: new_card(h, (faults or {}).get(h, ())) for h in HOSTS}
    return make


def rollout(tmp_path, collections, cards, image, *options, sha512=True, host_vars=None):
    """ansible-playbook of the rollout; sha512 True passes the image's. With
    image None the options name what to roll out."""
    inventory = {'all': {'hosts': {
        h: {'ansible_connection': 'local', 'ansible_python_interpreter': '/usr/bin/python3',
            'card_address': c.bdf, 'flashctl_command': c.command(),
            'flashctl_history': c.state + '/history.jsonl'} for h, c in cards.items()}}}
    for h, v in (host_vars or {}).items():
        inventory['all']['hosts'][h].update(v)
    (tmp_path / 'hosts.yml').write_text(json.dumps(inventory))
    extra = []
    if image is not None:
        if sha512 is True:
            sha512 = hashlib.sha512(open(image, 'rb').read()).hexdigest()
        extra = ['-e', 'firmware_image=' + image] + (['-e', 'firmware_sha512=' + sha512] if sha512 else [])
    home = tmp_path / 'ansible-home'
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=collections, ANSIBLE_HOME=str(home),
               ANSIBLE_LOCAL_TEMP=str(home / 'tmp'), ANSIBLE_REMOTE_TEMP=str(home / 'remote'),
               ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_FORKS='6',
               PYTHONDONTWRITEBYTECODE='1')
    proc = subprocess.run(
        ['ansible-playbook', '-i', str(tmp_path / 'hosts.yml'), 'flash_update.cards.rollout'] + extra + list(options),
        capture_output=True, text=True, env=env, timeout=300)
    recap = {}
    for m in re.finditer(r'^(host\d+)\s+: ok=(\d+)\s+changed=(\d+)\s+unreachable=\d+\s+failed=(\d+)', proc.stdout,
                         re.M):
        recap[m.group(1)] = {'ok': int(m.group(2)), 'changed': int(m.group(3)), 'failed': int(m.group(4))}
    return proc, recap


def startup_of(card):
    return card.inventory()['cards'][0]['startup_image']


def outcomes(report):
    return {h: (e['outcome'], e.get('reason')) for h, e in report['hosts'].items()}


def reported(tmp_path, *options):
    """Rollout options writing the report, and a reader of it."""
    path = tmp_path / 'report.json'
    return list(options) + ['-e', 'rollout_report=%s' % path], lambda: json.loads(path.read_text())


def test_rollout_changes_every_card_once(tmp_path, collections, fleet, image):
    cards = fleet()
    options, report = reported(tmp_path)
    proc, _ = rollout(tmp_path, collections, cards, image, *options)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: o for h, (o, _) in outcomes(report()).items()} == {h: 'updated' for h in HOSTS}
    for c in cards.values():
        assert [r[0] for r in c.requests()].count(SET_STARTUP) == 1

    # Again, with the version each card reports as the optional extra check.
    version = [p['version'] for p in cards['host1'].inventory()['cards'][0]['partitions'] if p['name'] == 'fw-b'][0]
    proc, _ = rollout(tmp_path, collections, cards, image, *options, '-e', 'firmware_version=' + version)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: o for h, (o, _) in outcomes(report()).items()} == {h: 'unchanged' for h in HOSTS}

    # A version the cards do not report fails the canary.
    proc, _ = rollout(tmp_path, collections, cards, image, *options, '-e', 'firmware_version=9.9.9')
    assert proc.returncode == 2
    assert {h: o for h, (o, _) in outcomes(report()).items()} == {
        h: 'failed' if h == 'host1' else 'not_started' for h in HOSTS}
    assert 'expected startup fw-b with the image of sha512 %s and version 9.9.9' % (
        hashlib.sha512(open(image, 'rb').read()).hexdigest()) in report()['hosts']['host1']['reason']


def test_check_mode_only_reads(tmp_path, collections, fleet, image):
    cards = fleet()
    proc, recap = rollout(tmp_path, collections, cards, image, '--check')
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: r['changed'] for h, r in recap.items()} == {h: 1 for h in HOSTS}, proc.stdout
    for c in cards.values():
        assert c.requests(), 'the card was read'
        assert c.mutating_requests() == []


def test_failed_wave_stops_the_rollout(tmp_path, collections, fleet, image):
    cards = fleet({'host3': ['checksum:status=5']})
    options, report = reported(tmp_path, '-e', 'rollout_waves=[2]')
    proc, _ = rollout(tmp_path, collections, cards, image, *options)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert {h: o for h, (o, _) in outcomes(report()).items()} == {
        'host1': 'updated', 'host2': 'updated', 'host3': 'failed', 'host4': 'updated',
        'host5': 'not_started', 'host6': 'not_started'}
    # The failure names the card's state: written, not verified, not selected.
    assert '"partition_state": "written_unverified", "phases"' in proc.stdout
    # The wave of the failure finishes; no card of a later wave is touched.
    assert [startup_of(cards[h]) for h in HOSTS] == ['fw-b', 'fw-b', 'fw-a', 'fw-b', 'fw-a', 'fw-a']
    assert cards['host3'].mutating_requests() and SET_STARTUP not in [r[0] for r in cards['host3'].requests()]
    for h in ('host5', 'host6'):
        assert cards[h].mutating_requests() == []


NEEDS = ('the rollout needs -e release_bundle=PATH (a release bundle on the managed hosts), or -e firmware_image=PATH '
         '(the image on the managed hosts) and -e firmware_sha512=HEX (its SHA-512, 128 hexadecimal digits, e.g. from '
         'sha512sum); no card was touched')


# What the play is missing -> its one message; no card receives a request.
@pytest.mark.parametrize('sha512,host_vars,message', [
    (None, {}, NEEDS),
    ('ab' * 63, {}, NEEDS),
    (True, {'host4': {'card_address': '--prometheus=/tmp/x'}},
     "host4: the host variable card_address (--prometheus=/tmp/x) is not a card's PCI address such as "
     "0000:03:00.0; no card was touched"),
], ids=['no sha512', 'short sha512', 'option as card address'])
def test_rollout_without_what_it_needs_touches_no_card(tmp_path, collections, fleet, image, sha512, host_vars,
                                                      message):
    cards = fleet()
    proc, recap = rollout(tmp_path, collections, cards, image, sha512=sha512, host_vars=host_vars)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert proc.stdout.count(message) == 1, proc.stdout
    for c in cards.values():
        assert c.requests() == []


@pytest.fixture
def release(tmp_path):
    """The rollout options of a signed bundle of two A/B components, and
    the directory that trusts its key."""
    d = tmp_path / 'release'
    (d / 'images').mkdir(parents=True)
    (d / 'trust').mkdir()
    (d / 'images' / 'fw.bin').write_bytes(b'FUVC-VERSION=2.15.0-E-1\n' + bytes(range(256)) * 256)
    (d / 'images' / 'dtb.bin').write_bytes(bytes(range(255, -1, -1)) * 16)
    (d / 'manifest.json').write_text(json.dumps({
        'bundle_format': 1, 'release': {'name': 'larch-fw', 'version': '2.15.0'},
        'compatible': {'boards': ['0x00010042'], 'asics': ['larch']},
        'components': [{'file': 'fw.bin', 'target': ['fw-a', 'fw-b'], 'version': '2.15.0-E-1'},
                       {'file': 'dtb.bin', 'target': ['dtb', 'dtb-b']}]}))
    for args in (['keygen', d / 'key.pem', d / 'trust' / 'release.pem'],
                 ['create', '--manifest=%s' % (d / 'manifest.json'), '--images=%s' % (d / 'images'),
                  '--key=%s' % (d / 'key.pem'), '--output=%s' % (d / 'larch-fw-2.15.0.tar')]):
        proc = subprocess.run([FLASHCTL, 'bundle'] + [str(a) for a in args], capture_output=True, text=True,
                              timeout=60)
        assert proc.returncode == 0, proc.stderr
    return ['-e', 'release_bundle=%s' % (d / 'larch-fw-2.15.0.tar'), '-e', 'release_trust=%s' % (d / 'trust')]


@pytest.fixture
def twins(new_card, tmp_path):
    """twins(faults={host: [fault...]}) -> {host: VirtualCard}, each a twin
    of one fleet card that runs and starts fw-b (so a release goes to fw-a)."""
    original = new_card('original')
    os.makedirs(original.state)
    with open(os.path.join(original.state, 'state.txt'), 'w') as f:
        f.write('running_fw=1\nstartup_fw=1\npart.fw-b.version=2.14.0-E-42\n')
    source = tmp_path / 'fleet-card.json'
    source.write_text(json.dumps(original.inventory()))

    def make(faults=None):
        cards = {h: new_card(h, (faults or {}).get(h, ())) for h in HOSTS}
        for c in cards.values():
            proc = c.make_twin(source)
            assert proc.returncode == 0, proc.stderr
        return cards
    return make


def twin_options(tmp_path, *options):
    """Rollout options naming the launcher and flashctl on the control node."""
    return list(options) + ['-e', 'rollout_twin_launcher=' + LAUNCHER, '-e', 'rollout_twin_flashctl=' + FLASHCTL]


def test_rollout_bound_to_its_rehearsal_refuses_the_drifted_host(tmp_path, collections, twins, release):
    cards = twins()
    start = time.monotonic()
    proc, _ = rollout(tmp_path, collections, cards, None, *twin_options(
        tmp_path, *release, '-e', 'rehearse=true', '-e', 'rollout_report=%s' % (tmp_path / 'rehearsal.json'),
        '-e', 'rollout_plan=%s' % (tmp_path / 'plan.json')))
    print('rehearsal of %d hosts: %.1f s' % (len(cards), time.monotonic() - start))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    record = json.loads((tmp_path / 'rehearsal.json').read_text())
    plan = json.loads((tmp_path / 'plan.json').read_text())
    assert outcomes(record) == {h: ('updated', None) for h in HOSTS}
    assert {h: e['plan_digest'] for h, e in record['hosts'].items()} == {
        h: e['plan_digest'] for h, e in plan['hosts'].items()}
    # The rehearsal read the fleet's cards and changed only their twins.
    for c in cards.values():
        assert c.requests() and c.mutating_requests() == []
    assert [r for r in VirtualCard(tmp_path / 'rehearsal.json.twins' / 'host1', cards['host1'].bdf).mutating_requests()
            if r[0] == SET_STARTUP] == [(SET_STARTUP, '00000000')]

    # host3's card changes after the rehearsal.
    state = os.path.join(cards['host3'].state, 'state.txt')
    with open(state) as f:
        text = f.read()
    with open(state, 'w') as f:
        f.write(text.replace('part.fw-b.version=2.14.0-E-42', 'part.fw-b.version=2.14.1-E-7'))
    bound = release + ['-e', 'rollout_require_rehearsal=%s' % (tmp_path / 'rehearsal.json'),
                       '-e', 'rollout_report=%s' % (tmp_path / 'report.json'), '-e', 'rollout_waves=[1,2,"100%"]']
    proc, _ = rollout(tmp_path, collections, cards, None, *bound)
    assert proc.returncode == 2 and (tmp_path / 'report.json').exists(), proc.stdout + proc.stderr
    report = json.loads((tmp_path / 'report.json').read_text())
    assert outcomes(report) == {h: ('refused', 'drifted') if h == 'host3' else ('updated', None) for h in HOSTS}
    assert {h: e.get('wave') for h, e in report['hosts'].items()} == {
        'host1': 1, 'host2': 2, 'host3': None, 'host4': 2, 'host5': 3, 'host6': 3}
    assert {(e['state_before'], e.get('state_after')) for h, e in report['hosts'].items() if h != 'host3'} == {
        ('outdated', 'pending')}
    assert report['stopped'] is None
    assert [p['name'] for p in report['hosts']['host1']['phases'] if p['component'] == 'fw.bin'] == [
        'erase', 'install', 'verify_checksum']
    assert 'refused host3: drifted' in proc.stdout
    assert cards['host3'].mutating_requests() == []
    written = {h: c.mutating_requests() for h, c in cards.items()}
    for h in HOSTS:
        assert [r for r in written[h] if r[0] == SET_STARTUP] == ([] if h == 'host3' else [(SET_STARTUP, '00000000')])

    # Again: the five cards hold the release (nothing to rehearse), host3 is still drifted.
    proc, _ = rollout(tmp_path, collections, cards, None, *bound)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    report = json.loads((tmp_path / 'report.json').read_text())
    assert outcomes(report) == {h: ('refused', 'drifted') if h == 'host3' else ('unchanged', None) for h in HOSTS}
    assert {h: c.mutating_requests() for h, c in cards.items()} == written


def test_a_card_that_changes_before_its_wave_is_left_alone(tmp_path, collections, twins, release):
    # The gate after the canary changes host2's card: its apply, held to the
    # plan gathered before the first wave, refuses it.
    cards = twins()
    cards = {h: cards[h] for h in ('host1', 'host2')}
    gate = tmp_path / 'gate.sh'
    gate.write_text('#!/bin/sh\nsed -i s/2.14.0-E-42/2.14.1-E-7/ %s\n' % os.path.join(cards['host2'].state, 'state.txt'))
    gate.chmod(0o755)
    proc, _ = rollout(tmp_path, collections, cards, None, *release, '-e', 'rollout_max_failures=2',
                      '-e', 'rollout_gate_command=%s' % gate, '-e', 'rollout_report=%s' % (tmp_path / 'report.json'))
    assert proc.returncode == 2, proc.stdout + proc.stderr
    report = json.loads((tmp_path / 'report.json').read_text())
    assert {h: o for h, (o, _) in outcomes(report).items()} == {'host1': 'updated', 'host2': 'failed'}
    assert 'refused (drifted: card %s is no longer what was planned' % cards['host2'].bdf in report['hosts']['host2'][
        'reason'], report['hosts']['host2']
    assert cards['host2'].mutating_requests() == []


def test_failures_reaching_the_budget_stop_the_rollout(tmp_path, collections, twins, release):
    # An apply asks for four checksums: whether the card holds fw.bin, then
    # dtb.bin, then the verification of each written. The fourth fails.
    cards = twins({h: ['checksum@4:status=5'] for h in ('host2', 'host3')})
    gate = tmp_path / 'gate.sh'
    gate.write_text('#!/bin/sh\necho "$@" >> %s\n' % (tmp_path / 'gate.log'))
    gate.chmod(0o755)
    proc, _ = rollout(tmp_path, collections, cards, None, *release, '-e', 'rollout_waves=[1,2,"100%"]',
                      '-e', 'rollout_max_failures=2', '-e', 'rollout_gate_command=%s' % gate,
                      '-e', 'rollout_report=%s' % (tmp_path / 'report.json'))
    assert proc.returncode == 2, proc.stdout + proc.stderr
    report = json.loads((tmp_path / 'report.json').read_text())
    assert {h: o for h, (o, _) in outcomes(report).items()} == {
        'host1': 'updated', 'host2': 'failed', 'host3': 'failed',
        'host4': 'not_started', 'host5': 'not_started', 'host6': 'not_started'}
    assert report['stopped'] == {'reason': 'budget', 'wave': 2,
                                 'message': '2 failed hosts reach the failure budget of 2'}
    assert ("1 of 1 cards not updated: %s failed (failed: dtb.bin: the card's checksum of dtb failed (result 255): "
            "verify checksum failed)" % cards['host3'].bdf) in report['hosts']['host3']['reason']
    assert report['hosts']['host3']['state_after'] == 'outdated'
    # The gate ran for the wave that went through; no card of a later wave is touched.
    assert (tmp_path / 'gate.log').read_text() == 'host1\n'
    assert [startup_of(cards[h]) for h in HOSTS] == ['fw-a', 'fw-b', 'fw-b', 'fw-b', 'fw-b', 'fw-b']
    for h in ('host4', 'host5', 'host6'):
        assert cards[h].mutating_requests() == []


def test_canary_failure_stops_the_rollout_whatever_the_budget(tmp_path, collections, twins, release):
    cards = twins({'host1': ['checksum@4:status=5']})
    proc, _ = rollout(tmp_path, collections, cards, None, *release, '-e', 'rollout_max_failures=50%',
                      '-e', 'rollout_report=%s' % (tmp_path / 'report.json'))
    assert proc.returncode == 2, proc.stdout + proc.stderr
    report = json.loads((tmp_path / 'report.json').read_text())
    assert {h: o for h, (o, _) in outcomes(report).items()} == {
        h: 'failed' if h == 'host1' else 'not_started' for h in HOSTS}
    assert report['stopped'] == {'reason': 'canary', 'wave': 1, 'message': 'the canary wave failed: host1'}
    for h in HOSTS[1:]:
        assert cards[h].mutating_requests() == []


def other_record(tmp_path):
    path = tmp_path / 'other.json'
    path.write_text(json.dumps({'schema_version': 1, 'kind': 'flash_update.cards.rollout', 'mode': 'rehearsal',
                                'hosts': {}, 'bundle': {'release': {'name': 'larch-fw', 'version': '2.14.0'},
                                                        'manifest_sha256': 'ab' * 32}}))
    return str(path)


# Bad input -> its one message; no card receives a request.
BAD = [
    ('waves', lambda p: ['-e', 'rollout_waves=[1,"ten"]'],
     'rollout_waves [1, "ten"] does not parse: "ten" is not a host count (1 or more) or a percentage (over 0%, at '
     'most 100%); no card was touched'),
    ('record of another bundle', lambda p: ['-e', 'rollout_require_rehearsal=' + other_record(p)],
     'is the rehearsal of larch-fw 2.14.0 (manifest sha256 abababababababab), not of this bundle, larch-fw 2.15.0'),
]


@pytest.mark.parametrize('name,options,message', BAD, ids=[b[0] for b in BAD])
def test_bad_input_stops_before_any_card(tmp_path, collections, twins, release, name, options, message):
    cards = twins()
    proc, _ = rollout(tmp_path, collections, cards, None, *release, *options(tmp_path))
    assert proc.returncode == 2, proc.stdout + proc.stderr
    # As the task's JSON result spells it.
    assert proc.stdout.count(json.dumps(message)[1:-1]) == 1, proc.stdout
    for c in cards.values():
        assert c.requests() == []
