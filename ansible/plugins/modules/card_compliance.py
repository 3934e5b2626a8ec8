#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: card_compliance
short_description: How the network cards of a host comply with a release bundle
description:
  - Runs C(flashctl check --json) on the managed host and returns, under C(cards), each card's
    compliance with the release of a bundle, from the card's own checksums of the partitions
    the components go into. C(compliant) says whether every card runs the release.
  - Read-only. It sets no facts; register its result to use it in later tasks. A card that is not
    compliant, or did not answer, is data (its C(state)), not a failure; the task fails when
    flashctl refuses the bundle.
version_added: 0.2.0
author:
  - flash-update maintainers
extends_documentation_fragment:
  - flash_update.cards.flashctl
  - flash_update.cards.attributes
  - flash_update.cards.attributes.info_module
  - flash_update.cards.attributes.platform
attributes:
  platform:
    support: full
    platforms: posix
options:
  bundle:
    description:
      - Path of the release bundle on the managed host. A name that starts with C(-) works.
    type: path
    required: true
  cards:
    description:
      - PCI addresses of the cards to check, for example C(0000:03:00.0).
      - Empty means every card flashctl finds on the host.
    type: list
    elements: str
    default: []
  trust:
    description:
      - Directory on the managed host of the public keys (C(*.pem)) whose signature on a bundle
        is trusted. Unset, flashctl's own, C(/etc/flash-update/trust.d).
    type: path
  allow_unsigned:
    description:
      - Accept a bundle without a signature (for a lab).
    type: bool
    default: false
  timeout:
    description:
      - Deadline in seconds of each wait on a card (its inventory, each checksum). Unset,
        flashctl uses its own defaults.
    type: int
notes:
  - The module runs C(flashctl check OPTIONS --json -- BUNDLE CARD...).
seealso:
  - module: flash_update.cards.card_release
  - module: flash_update.cards.card_info
'''

EXAMPLES = r'''
- name: Read how the cards comply with release 2.15.0
  flash_update.cards.card_compliance:
    bundle: /var/cache/firmware/larch-fw-2.15.0.tar.zst
  register: compliance

- name: List the cards that do not run it
  ansible.builtin.debug:
    msg: "{{ item.card }} is {{ item.state }}"
  loop: "{{ compliance.cards | rejectattr('state', 'equalto', 'compliant') }}"
  loop_control:
    label: "{{ item.card }}"

- name: Stop when a card will not start the release at its next start
  ansible.builtin.assert:
    that: (compliance.cards | selectattr('card', 'equalto', '0000:03:00.0') | first).state in ['compliant', 'pending']
'''

RETURN = r'''
compliant:
  description: Whether every card runs the release (C(state) C(compliant)); flashctl then exits 0.
  returned: always
  type: bool
  sample: false
cards:
  description: Each card's compliance as C(flashctl check --json) reports it, in the order flashctl
    took them. A card that did not answer has only C(card), C(state) C(unknown) and C(error).
  returned: always
  type: list
  elements: dict
  sample:
    - card: "0000:03:00.0"
      state: pending
      serial_number: KX2412A0001
      compatible: {board_id: "0x00010042", board_listed: true, asic: larch, asic_listed: true, compatible: true}
      rules: []
      slot: fw-b
      before: {running_image: fw-a, startup_image: fw-b}
      components:
        - {file: fw.bin, target: [fw-a, fw-b], version: 2.15.0-E-1, size: 100024, partition: fw-b, held: other}
  contains:
    card:
      description: The card's PCI address.
      type: str
      sample: "0000:03:00.0"
    state:
      description:
        - C(compliant) the running slot holds every component; C(pending) the other slot holds it
          and is selected for the next start; C(staged) the other slot holds it, not selected;
          C(outdated) a component is held nowhere it counts; C(incompatible) the release is not for
          this card, or a rule fails; C(unknown) the card did not answer.
      type: str
      choices: [compliant, pending, staged, outdated, incompatible, unknown]
      sample: pending
    serial_number:
      description: The card's serial number.
      type: str
      returned: when the card answered
      sample: KX2412A0001
    compatible:
      description: The card's board and ASIC, whether the manifest lists each, and both together.
      type: dict
      returned: when the card answered
      sample: {board_id: "0x00010042", board_listed: true, asic: larch, asic_listed: true, compatible: true}
    rules:
      description: Each rule of the manifest with the card's fact and whether it passes.
      type: list
      elements: dict
      returned: when the card answered
      sample: [{id: lc-not-rip, field: identity.life_cycle, op: ne, value: rip, fact: open, pass: true}]
    slot:
      description: The fw image of the slot the card does not run.
      type: str
      returned: when the card answered
      sample: fw-b
    before:
      description: The card's running and startup image as read.
      type: dict
      returned: when the card answered
      sample: {running_image: fw-a, startup_image: fw-b}
    components:
      description: Each component, with where the card holds it (C(held) C(running), C(other),
        C(in_place), or null).
      type: list
      elements: dict
      returned: when the card answered
      sample: [{file: fw.bin, partition: fw-b, held: other}]
    error:
      description: Why the card gave no answer (code and message).
      type: dict
      returned: when the card did not answer
      sample: {code: io, message: "no answer"}
bundle:
  description: The bundle as flashctl read it (path, release, manifest_sha256, signed, signer).
  returned: always
  type: dict
  sample: {path: /var/cache/firmware/larch-fw-2.15.0.tar.zst, release: {name: larch-fw, version: 2.15.0},
           manifest_sha256: "f34b9207...6664f", signed: true, signer: "ed25519:35862711...35f36"}
error:
  description: flashctl's error when it refused the bundle before asking any card.
  returned: when flashctl refused the bundle
  type: dict
  sample: {code: bundle, check: untrusted, message: "the bundle is signed, but no key is trusted"}
rc:
  description: flashctl's exit status (0 every card compliant, 1 one is not, 2 the bundle refused).
  returned: always
  type: int
  sample: 1
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import (
    FLASHCTL_COMMAND_SPEC, card_addresses, flashctl_options, release_cards, run_flashctl)

# The flashctl command this module runs, and its options by module option
# (see flashctl_options); run_flashctl adds --json.
FLASHCTL_SUBCOMMAND = 'check'
FLASHCTL_OPTIONS = (
    ('trust', '--trust', 'value'),
    ('allow_unsigned', '--allow-unsigned', 'flag'),
    ('timeout', '--timeout', 'value'),
)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            bundle=dict(type='path', required=True),
            cards=dict(type='list', elements='str', default=[]),
            trust=dict(type='path'),
            allow_unsigned=dict(type='bool', default=False),
            timeout=dict(type='int'),
            flashctl_command=FLASHCTL_COMMAND_SPEC,
        ),
        supports_check_mode=True,
    )
    values = [module.params['bundle']] + card_addresses(module, 'cards', module.params['cards'])
    rc, doc, err = run_flashctl(module, FLASHCTL_SUBCOMMAND, flashctl_options(FLASHCTL_OPTIONS, module.params),
                                values)
    cards = release_cards(module, FLASHCTL_SUBCOMMAND, rc, doc, err)
    compliant = all(c.get('state') == 'compliant' for c in cards)
    result = dict(changed=False, compliant=compliant, cards=cards, bundle=doc.get('bundle'), rc=rc)
    # flashctl exits 0 when every card is compliant, 1 otherwise.
    if rc != (0 if compliant else 1):
        module.fail_json(msg='flashctl check exited %d with %s' % (
            rc, 'every card compliant' if compliant else 'a card not compliant'), stderr=err, **result)
    # Ansible takes a result with a non-zero rc and no "failed" for a failure.
    module.exit_json(failed=False, **result)


if __name__ == '__main__':
    main()
