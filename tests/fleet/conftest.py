# SPDX-License-Identifier: Apache-2.0
"""Shared fixtures of the fleet tests: virtual cards and the real flashctl.
(The modules' own tests against a fake flashctl are the collection's unit
tests, in ansible/tests/unit.)"""
import json
import os
import re
import shutil
import subprocess

import pytest

LAUNCHER = os.environ.get('FU_FLEET_LAUNCHER', '')
FLASHCTL = os.environ.get('FU_FLEET_FLASHCTL', '')
SCRATCH_ROOT = '/tmp/korvex'


def _message_table():
    """The messages of the card's firmware update service, name to number,
    read from the one table the client and the virtual card share."""
    path = os.path.join(os.path.dirname(__file__), '..', '..', 'flash_client', 'fwupdate_msgs.h')
    with open(path) as f:
        text = f.read()
    pattern = r'inline constexpr uint32_t (FWUPDATE_MSG_\w+) = (0x[0-9A-Fa-f]+);'
    table = {name: int(number, 16) for name, number in re.findall(pattern, text)}
    assert table, 'no message numbers in ' + path
    return table


MSG = _message_table()
# Requests that change a card's flash or boot state.
MUTATING = {MSG[name] for name in ('FWUPDATE_MSG_FLASH_ERASE', 'FWUPDATE_MSG_FLASH_WRITE',
                                   'FWUPDATE_MSG_SET_STARTUP_IMAGE', 'FWUPDATE_MSG_FLASH_SECTOR_ERASE',
                                   'FWUPDATE_MSG_SECURE_BOOT_UPDATE', 'FWUPDATE_MSG_SECURE_IMAGE_UPDATE')}

needs_cards = pytest.mark.skipif(not (LAUNCHER and FLASHCTL),
                                 reason='FU_FLEET_LAUNCHER and FU_FLEET_FLASHCTL name the built programs')


def claim_bdf():
    """A card address no other test or suite holds: creating the card's
    scratch directory /tmp/korvex/<bdf> is the claim."""
    start = os.getpid() * 7
    for i in range(0xe000):
        bdf = '%04x:03:00.0' % (0x1000 + (start + i) % 0xe000)
        for _ in range(100):
            # The root goes when a suite's closing check finds it empty.
            os.makedirs(SCRATCH_ROOT, mode=0o755, exist_ok=True)
            try:
                os.mkdir(os.path.join(SCRATCH_ROOT, bdf), 0o755)
                return bdf
            except FileExistsError:
                break
            except FileNotFoundError:
                continue
    raise RuntimeError('no free card address')


class VirtualCard:
    """One virtual card: its address and its state folder."""

    def __init__(self, state, bdf, faults=()):
        self.state = str(state)
        self.bdf = bdf
        self.faults = list(faults)

    def command(self, extra=()):
        """Launcher words that run flashctl against this card."""
        words = [LAUNCHER, '--state', self.state, '--bdf', self.bdf, '--timeout', '60']
        for f in self.faults:
            words += ['--fault', f]
        return words + list(extra) + ['--', FLASHCTL]

    def flashctl(self, *args, extra=()):
        proc = subprocess.run(self.command(extra) + list(args), capture_output=True, text=True, timeout=90)
        return proc.returncode, proc.stdout

    def make_twin(self, source):
        """Makes this card a twin of the cards of the inventory document
        source (the launcher's --twin), running nothing on it."""
        return subprocess.run([LAUNCHER, '--state', self.state, '--bdf', self.bdf, '--twin', str(source), '--', 'true'],
                              capture_output=True, text=True, timeout=60)

    def inventory(self, extra=()):
        rc, out = self.flashctl('inventory', self.bdf, '--json', extra=extra)
        assert rc == 0, out
        return json.loads(out)

    def requests(self):
        """(message, request hex) of every request the card received."""
        path = os.path.join(self.state, 'requests.log')
        if not os.path.exists(path):
            return []
        out = []
        for line in open(path):
            words = line.split()
            out.append((int(words[1], 16), words[2] if len(words) > 2 else ''))
        return out

    def mutating_requests(self):
        return [r for r in self.requests() if r[0] in MUTATING]


@pytest.fixture
def new_card(tmp_path):
    """new_card(name, faults=()) -> a VirtualCard in a fresh state folder."""
    bdfs = []

    def make(name, faults=()):
        bdf = claim_bdf()
        bdfs.append(bdf)
        return VirtualCard(tmp_path / name, bdf, faults)

    yield make
    for bdf in bdfs:
        shutil.rmtree(os.path.join(SCRATCH_ROOT, bdf), ignore_errors=True)
