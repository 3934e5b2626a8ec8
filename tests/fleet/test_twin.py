# SPDX-License-Identifier: Apache-2.0
"""Virtual twins: a card made from another card's inventory reports the same
inventory, apart from what names the card itself."""
import copy
import json
import os

import pytest

from conftest import needs_cards

pytestmark = needs_cards

# A card far from the factory state: other running and startup images, an
# older service layout, secure boot on in production, alternate boot
# partitions and counters, versions of its own.
CARD_STATE = """fwupdate_ipc_version=4
running_fw=1
startup_fw=0
secure_boot=1
lcs_boot_state=2
life_cycle=3
bl1.current_partition=1
bl1.next_partition=0
bl1.version=0x30004000200
bl1.ar_version=4
bl1.ar_nv_count=4
bastion.current_partition=0
bastion.next_partition=1
bastion.version=77
bastion.ar_version=9
bastion.ar_nv_count=8
part.fw-a.version=2.15.1-E-3
part.fw-b.version=2.16.0-rc1 "beta"
part.cpld.version=cpld-3.9
"""


def own_fields_removed(doc):
    doc = copy.deepcopy(doc)
    for card in doc['cards']:
        del card['card']
        del card['identity']['serial_number']
    return doc


def inventory_of_all(card, extra):
    rc, out = card.flashctl('inventory', '--json', extra=extra)
    assert rc == 0, out
    return json.loads(out)


@pytest.mark.parametrize('cards', [1, 2])
def test_twin_reports_the_originals_inventory(new_card, tmp_path, cards):
    original = new_card('original')
    # The second card differs from the first and from the factory.
    for folder, state in [('', CARD_STATE), ('card2', 'startup_fw=1\npart.fw-b.version=9.9.9\n')][:cards]:
        os.makedirs(os.path.join(original.state, folder), exist_ok=True)
        with open(os.path.join(original.state, folder, 'state.txt'), 'w') as f:
            f.write(state)
    inventory = inventory_of_all(original, ['--cards', str(cards)])
    assert len(inventory['cards']) == cards
    source = tmp_path / 'inventory.json'
    source.write_text(json.dumps(inventory))

    twin = new_card('twin')
    twin_inventory = inventory_of_all(twin, ['--twin', str(source)])
    assert twin_inventory['cards'][0]['card'] == twin.bdf
    assert own_fields_removed(twin_inventory) == own_fields_removed(inventory)
    # Not the factory card by chance.
    assert inventory['cards'][0]['startup_image'] == 'fw-a' and inventory['cards'][0]['running_image'] == 'fw-b'


def drop_fw_b(d):
    d['cards'][0]['partitions'] = [p for p in d['cards'][0]['partitions'] if p['name'] != 'fw-b']


def set_partition(field, value):
    def change(d):
        next(p for p in d['cards'][0]['partitions'] if p['name'] == 'fw-b')[field] = value
    return change


def set_card(field, value):
    def change(d):
        d['cards'][0][field] = value
    return change


# How the document is spoiled -> what the launcher says.
REFUSALS = [
    ('partition size', set_partition('size', 4096), 'is not one the virtual card has'),
    ('partition name', set_partition('name', 'fw-c'), 'is not one the virtual card has'),
    ('version not text', set_partition('version', 7), '"version" is not text'),
    ('unknown image', set_card('startup_image', 'unknown'), '"startup_image" is not fw-a, fw-b or gold'),
    ('life cycle', lambda d: d['cards'][0]['identity'].update(life_cycle='retired'), 'not a life-cycle state'),
    # A version is a line of the twin's state file and of the card's answers.
    ('line break in version', set_partition('version', '2.17.0\nsecure_boot=0\nlife_cycle=4'),
     'partition fw-b: "version" holds a control character: "2.17.0\\nsecure_boot=0\\nlife_cycle=4"'),
    ('escape in version', set_partition('version', '2.17.0\x1b[2J'), '"version" holds a control character'),
    ('no card answered', lambda d: d['cards'][0].update(ok=False), 'has 0 cards that answered'),
    ('not inventory', lambda d: d.pop('cards'), 'is not an inventory document'),
]


@pytest.mark.parametrize('name,spoil,message', REFUSALS, ids=[r[0] for r in REFUSALS])
def test_twin_refuses_what_it_cannot_copy(new_card, tmp_path, name, spoil, message):
    doc = new_card('factory').inventory()
    spoil(doc)
    source = tmp_path / 'inventory.json'
    source.write_text(json.dumps(doc))
    twin = new_card('twin')
    proc = twin.make_twin(source)
    assert proc.returncode == 1
    assert message in proc.stderr
    assert proc.stderr.count('\n') == 1, proc.stderr
    assert not os.path.exists(os.path.join(twin.state, 'state.txt'))


MiB = 1 << 20


def nested_partitions(levels):
    """An inventory whose partition list nests arrays down to that depth."""
    inner = levels - 4  # the document, "cards", the card, "partitions"
    return '{"cards": [{"ok": true, "card": "0000:03:00.0", "partitions": [%s%s]}]}' % ('[' * inner, ']' * inner)


def padded_to(size):
    doc = '{"cards": []}'
    return doc + ' ' * (size - len(doc))


# Document -> what the launcher says.
DOCUMENTS = [
    ('300 000 levels', nested_partitions(300000), 'nests deeper than 64 levels'),
    ('65 levels', nested_partitions(65), 'nests deeper than 64 levels'),
    # Within the depth limit the document is read, and its lists checked.
    ('64 levels', nested_partitions(64), ': cards[0].partitions[0] is not an object'),
    ('over 16 MiB', padded_to(16 * MiB + 1), 'is over 16 MiB'),
    ('16 MiB', padded_to(16 * MiB), 'has 0 cards that answered'),
    ('endless device', None, 'is over 16 MiB'),
]


@pytest.mark.parametrize('name,text,message', DOCUMENTS, ids=[d[0] for d in DOCUMENTS])
def test_twin_refuses_documents_beyond_the_limits(new_card, tmp_path, name, text, message):
    source = '/dev/zero'
    if text is not None:
        source = tmp_path / 'inventory.json'
        source.write_text(text)
    twin = new_card('twin')
    proc = twin.make_twin(source)
    assert proc.returncode == 1
    assert message in proc.stderr
    assert proc.stderr.count('\n') == 1, proc.stderr[:500]
    assert not os.path.exists(os.path.join(twin.state, 'state.txt'))


def test_twin_counts_nesting_outside_strings_only(new_card, tmp_path):
    doc = new_card('factory').inventory()
    version = '[{' * 30 + '\\"]'
    set_partition('version', version)(doc)
    source = tmp_path / 'inventory.json'
    source.write_text(json.dumps(doc))
    twin = new_card('twin')
    proc = twin.make_twin(source)
    assert proc.returncode == 0, proc.stderr
    fw_b = next(p for p in twin.inventory()['cards'][0]['partitions'] if p['name'] == 'fw-b')
    assert fw_b['version'] == version


def test_twin_never_overwrites_a_card(new_card, tmp_path):
    card = new_card('card')
    source = tmp_path / 'inventory.json'
    source.write_text(json.dumps(card.inventory()))
    state = os.path.join(card.state, 'state.txt')
    with open(state, 'w') as f:
        f.write('startup_fw=1\n')
    proc = card.make_twin(source)
    assert proc.returncode == 1
    assert 'already holds a card' in proc.stderr
    assert open(state).read() == 'startup_fw=1\n'
