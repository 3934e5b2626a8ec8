"""The rollout playbook rehearsed on six hosts, each with its own virtual
card, through the real flashctl and ansible-playbook."""
import hashlib
import json
import os
import re
import subprocess

import pytest

from conftest import MSG, needs_cards

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
    """ansible-playbook of the rollout; sha512 True passes the image's."""
    inventory = {'all': {'hosts': {
        h: {'ansible_connection': 'local', 'ansible_python_interpreter': '/usr/bin/python3',
            'card_address': c.bdf, 'flashctl_command': c.command(),
            'flashctl_history': c.state + '/history.jsonl'} for h, c in cards.items()}}}
    for h, v in (host_vars or {}).items():
        inventory['all']['hosts'][h].update(v)
    (tmp_path / 'hosts.yml').write_text(json.dumps(inventory))
    if sha512 is True:
        sha512 = hashlib.sha512(open(image, 'rb').read()).hexdigest()
    extra = ['-e', 'firmware_sha512=' + sha512] if sha512 is not None else []
    home = tmp_path / 'ansible-home'
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=collections, ANSIBLE_HOME=str(home),
               ANSIBLE_LOCAL_TEMP=str(home / 'tmp'), ANSIBLE_REMOTE_TEMP=str(home / 'remote'),
               ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_FORKS='6',
               PYTHONDONTWRITEBYTECODE='1')
    proc = subprocess.run(
        ['ansible-playbook', '-i', str(tmp_path / 'hosts.yml'), 'flash_update.cards.rollout',
         '-e', 'firmware_image=' + image] + extra + list(options),
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


NEEDS = ('the rollout needs -e firmware_image=PATH (the image on the managed hosts) and -e firmware_sha512=HEX '
         '(its SHA-512, 128 hexadecimal digits, e.g. from sha512sum); no card was touched')


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
