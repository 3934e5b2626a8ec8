"""The rollout playbook rehearsed on six hosts, each with its own virtual
card, through the real flashctl and ansible-playbook."""
import json
import os
import re
import subprocess

import pytest

from conftest import needs_cards

pytestmark = needs_cards

HOSTS = ['host%d' % i for i in range(1, 7)]
SET_STARTUP = 0x10004


@pytest.fixture
def collections(collection_root):
    """The built collection when the build names it, else the source tree."""
    return os.environ.get('FU_FLEET_COLLECTIONS') or str(collection_root)


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


def rollout(tmp_path, collections, cards, image, *options):
    inventory = {'all': {'hosts': {
        h: {'ansible_connection': 'local', 'ansible_python_interpreter': '/usr/bin/python3',
            'card_address': c.bdf, 'flashctl_command': c.command(),
            'flashctl_history': c.state + '/history.jsonl'} for h, c in cards.items()}}}
    (tmp_path / 'hosts.yml').write_text(json.dumps(inventory))
    home = tmp_path / 'ansible-home'
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=collections, ANSIBLE_HOME=str(home),
               ANSIBLE_LOCAL_TEMP=str(home / 'tmp'), ANSIBLE_REMOTE_TEMP=str(home / 'remote'),
               ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_FORKS='6',
               PYTHONDONTWRITEBYTECODE='1')
    proc = subprocess.run(
        ['ansible-playbook', '-i', str(tmp_path / 'hosts.yml'), 'flash_update.cards.rollout',
         '-e', 'firmware_image=' + image] + list(options),
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
    assert recap == {h: {'ok': 4, 'changed': 1, 'failed': 0} for h in HOSTS}, proc.stdout
    for c in cards.values():
        assert [r[0] for r in c.requests()].count(SET_STARTUP) == 1

    proc, recap = rollout(tmp_path, collections, cards, image)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert {h: r['changed'] for h, r in recap.items()} == {h: 0 for h in HOSTS}, proc.stdout


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
