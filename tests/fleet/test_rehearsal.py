# SPDX-License-Identifier: Apache-2.0
"""The rollout playbook rehearsed on six hosts, each with its own virtual
card, through the real flashctl and ansible-playbook."""
import hashlib
import json
import os
import re
import subprocess

import pytest

from conftest import FLASHCTL, MSG, needs_cards

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


def test_rollout_changes_every_card_once(tmp_path, collections, fleet, image):
    cards = fleet()
    proc, recap = rollout(tmp_path, collections, cards, image)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # host1 also counts the check of the play's variables, which runs once.
    assert recap == {h: {'ok': 6 if h == 'host1' else 5, 'changed': 1, 'failed': 0} for h in HOSTS}, proc.stdout
    for c in cards.values():
        assert [r[0] for r in c.requests()].count(SET_STARTUP) == 1

    # Again, with the version each card reports as the optional extra check.
    version = [p['version'] for p in cards['host1'].inventory()['cards'][0]['partitions'] if p['name'] == 'fw-b'][0]
    proc, recap = rollout(tmp_path, collections, cards, image, '-e', 'firmware_version=' + version)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: r['changed'] for h, r in recap.items()} == {h: 0 for h in HOSTS}, proc.stdout

    # A version the cards do not report fails the first batch.
    proc, recap = rollout(tmp_path, collections, cards, image, '-e', 'firmware_version=9.9.9')
    assert proc.returncode == 2
    assert {h: r['failed'] for h, r in recap.items()} == {h: int(h in ('host1', 'host2')) for h in HOSTS}, proc.stdout
    assert 'expected startup fw-b with the image of sha512 %s and version 9.9.9' % (
        hashlib.sha512(open(image, 'rb').read()).hexdigest()) in proc.stdout


def test_check_mode_only_reads(tmp_path, collections, fleet, image):
    cards = fleet()
    proc, recap = rollout(tmp_path, collections, cards, image, '--check')
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: r['changed'] for h, r in recap.items()} == {h: 1 for h in HOSTS}, proc.stdout
    for c in cards.values():
        assert c.requests(), 'the card was read'
        assert c.mutating_requests() == []


def test_failed_batch_stops_the_rollout(tmp_path, collections, fleet, image):
    cards = fleet({'host3': ['checksum:status=5']})
    proc, recap = rollout(tmp_path, collections, cards, image, '-e', 'rollout_serial=2')
    assert proc.returncode != 0
    assert recap['host3']['failed'] == 1, proc.stdout
    # The failure names the card's state: written, not verified, not selected.
    assert '"partition_state": "written_unverified", "phases"' in proc.stdout
    # The batch before the failure is done; no card of a later batch is touched.
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


def test_release_rollout_changes_every_twin_once(tmp_path, collections, twins, release):
    cards = twins()
    proc, recap = rollout(tmp_path, collections, cards, None, *release)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: (r['changed'], r['failed']) for h, r in recap.items()} == {h: (1, 0) for h in HOSTS}, proc.stdout
    for c in cards.values():
        assert [r for r in c.mutating_requests() if r[0] == SET_STARTUP] == [(SET_STARTUP, '00000000')]
    written = {h: c.mutating_requests() for h, c in cards.items()}

    proc, recap = rollout(tmp_path, collections, cards, None, *release)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: r['changed'] for h, r in recap.items()} == {h: 0 for h in HOSTS}, proc.stdout
    assert {h: c.mutating_requests() for h, c in cards.items()} == written


def test_release_rollout_stops_after_a_failed_checksum(tmp_path, collections, twins, release):
    # An apply asks for four checksums: whether the card holds fw.bin, then
    # dtb.bin, then the verification of each written. The fourth fails.
    cards = twins({'host3': ['checksum@4:status=5']})
    proc, recap = rollout(tmp_path, collections, cards, None, *release)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert {h: r['failed'] for h, r in recap.items()} == {h: int(h == 'host3') for h in HOSTS}, proc.stdout
    assert ("1 of 1 cards not updated: %s failed (failed: dtb.bin: the card's checksum of dtb failed (result 255): "
            "verify checksum failed)" % cards['host3'].bdf) in proc.stdout
    # fw.bin was written and verified, dtb.bin written: the startup selection stays.
    assert [startup_of(cards[h]) for h in HOSTS] == ['fw-a', 'fw-a', 'fw-b', 'fw-a', 'fw-b', 'fw-b']
    assert cards['host3'].mutating_requests() and SET_STARTUP not in [r[0] for r in cards['host3'].requests()]
    for h in ('host5', 'host6'):
        assert cards[h].mutating_requests() == []
