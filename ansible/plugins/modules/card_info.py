#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: card_info
short_description: The network cards of a host, as flashctl reads them
description:
  - Runs C(flashctl inventory --json) on the managed host and returns every card's identity,
    running and startup image, partition table with versions, and secure state under C(cards).
  - Read-only. It sets no facts; register its result (see the examples) to use the cards in
    later tasks.
version_added: 0.1.0
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
  cards:
    description:
      - PCI addresses of the cards to report, for example C(0000:03:00.0).
      - Empty means every card flashctl finds on the host.
    type: list
    elements: str
    default: []
  allow_card_errors:
    description:
      - When false, the task fails if any card does not answer (the answering cards are still
        returned). When true, such cards are returned with C(ok=false) and their error.
    type: bool
    default: false
notes:
  - The module runs C(flashctl inventory --json -- CARD...).
seealso:
  - module: flash_update.cards.card_firmware
'''

EXAMPLES = r'''
- name: Read the cards of every host
  flash_update.cards.card_info:
  register: card_info

- name: Show what each card runs
  ansible.builtin.debug:
    msg: "{{ item.card }} runs {{ item.running_image }} and starts {{ item.startup_image }}"
  loop: "{{ card_info.cards }}"

# Version 0.1.0 set the fact flash_update_cards; a playbook that reads it
# keeps working with one task more.
- name: Keep the cards as the host's fact flash_update_cards
  ansible.builtin.set_fact:
    flash_update_cards: "{{ card_info.cards }}"

- name: Read one card, reporting a card that fails instead of failing the task
  flash_update.cards.card_info:
    cards: ['0000:03:00.0']
    allow_card_errors: true
  register: card_info

- name: The version fw-b of that card holds
  ansible.builtin.debug:
    msg: >-
      {{ (card_info.cards[0].partitions | selectattr('name', 'equalto', 'fw-b') | first).version }}
  when: card_info.cards[0].ok

- name: Rehearse against a virtual twin of this host's card
  flash_update.cards.card_info:
    flashctl_command: "flash-update-vcard --state /srv/twins/{{ inventory_hostname }} -- flashctl"
  register: card_info
'''

RETURN = r'''
cards:
  description:
    - Every card as C(flashctl inventory --json) reports it (schema version 1), in the order
      flashctl lists them. A card that did not answer has only C(card), C(ok) and C(error).
  returned: always
  type: list
  elements: dict
  sample:
    - card: "0000:03:00.0"
      ok: true
      identity: {serial_number: KX2412A0001, asic: larch, secure_boot: true, life_cycle: production}
      running_image: fw-a
      startup_image: fw-a
      partitions:
        - {id: 6, name: fw-a, size: 33554432, slot: 0, running: true, startup: true, version: 2.14.0-E-42}
        - {id: 7, name: fw-b, size: 33554432, slot: 1, running: false, startup: false, version: 2.13.2-E-17}
    - {card: "0000:05:00.0", ok: false, error: {code: io, message: "no answer"}}
  contains:
    card:
      description: The card's PCI address, in lower case.
      type: str
      sample: "0000:03:00.0"
    ok:
      description: Whether the card answered.
      type: bool
      sample: true
    identity:
      description: What the card says it is.
      type: dict
      returned: when the card answered
      contains:
        serial_number:
          description: The card's serial number.
          type: str
          sample: KX2412A0001
        board_id:
          description: The board identifier, in hexadecimal.
          type: str
          sample: "0x00010042"
        asic:
          description: The card's ASIC.
          type: str
          sample: larch
        ipc_version:
          description: The version of the card's firmware update service.
          type: int
          sample: 5
        sw_version:
          description: The firmware version the card runs.
          type: str
          sample: larch-fw 2.14.0-E-42
        life_cycle:
          description: The card's life-cycle state.
          type: str
          sample: open
        secure_boot:
          description: Whether the card verifies what it starts.
          type: bool
          sample: false
        key_name:
          description: The name of the key the card's images are signed with.
          type: str
          sample: eng
        cpld_version:
          description: The version of the card's CPLD.
          type: int
          sample: 3
        boot0_version:
          description: The version of the card's first boot stage.
          type: int
          sample: 2
    running_image:
      description: The firmware image the card runs.
      type: str
      returned: when the card answered
      choices: [fw-a, fw-b, gold, unknown]
      sample: fw-a
    startup_image:
      description: The firmware image the card starts next.
      type: str
      returned: when the card answered
      choices: [fw-a, fw-b, gold, unknown]
      sample: fw-a
    partitions:
      description: The card's partition table.
      type: list
      elements: dict
      returned: when the card answered
      contains:
        id:
          description: The partition's number on the card.
          type: int
          sample: 7
        name:
          description: The partition's name.
          type: str
          sample: fw-b
        type_id:
          description: The number of the partition's type.
          type: int
          sample: 4
        type_name:
          description: The partition's type.
          type: str
          sample: firmware
        size:
          description: The partition's size in bytes.
          type: int
          sample: 33554432
        slot:
          description: The partition's slot within its type.
          type: int
          sample: 1
        running:
          description: Whether the card runs the image of this partition.
          type: bool
          sample: false
        startup:
          description: Whether the card starts the image of this partition next.
          type: bool
          sample: false
        version:
          description: The version of the image the partition holds.
          type: str
          sample: 2.13.2-E-17
    secure:
      description:
        - The secure state of the card's boot components C(lcs), C(bl1), C(bl31) and
          C(bastion). A component the card refuses to report is an error object in its place.
      type: dict
      returned: when the card answered
      sample:
        lcs: {lcs_boot_state: open, lcs_next_state: open, fuse: "0x10"}
        bl1: {current_boot_partition: 0, next_boot_partition: 0, version: 2199073587456,
              ar_version: 3, ar_nv_count: 2}
        bl31: {version: "v2.8(release):larch-2.8.1-g4c1d2e3"}
        bastion: {current_boot_partition: 0, next_boot_partition: 0, version: 1099662623232,
                  ar_version: 6, ar_nv_count: 5}
    error:
      description: Why the card gave no inventory (code and message).
      type: dict
      returned: when the card did not answer
      sample: {code: io, message: "no answer"}
failed_cards:
  description: The cards that did not answer, with their errors.
  returned: always
  type: list
  elements: dict
  sample: [{card: "0000:05:00.0", error: {code: io, message: "no answer"}}]
  contains:
    card:
      description: The card's PCI address.
      type: str
      sample: "0000:05:00.0"
    error:
      description: flashctl's error for the card (code and message).
      type: dict
      sample: {code: io, message: "no answer"}
rc:
  description: flashctl's exit status (0 every card answered, 1 a card did not).
  returned: always
  type: int
  sample: 0
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import (
    FLASHCTL_COMMAND_SPEC, card_addresses, error_text, flashctl_options, run_flashctl)

# The flashctl command this module runs, and its options by module option
# (see flashctl_options); run_flashctl adds --json.
FLASHCTL_SUBCOMMAND = 'inventory'
FLASHCTL_OPTIONS = ()


def main():
    module = AnsibleModule(
        argument_spec=dict(
            cards=dict(type='list', elements='str', default=[]),
            allow_card_errors=dict(type='bool', default=False),
            flashctl_command=FLASHCTL_COMMAND_SPEC,
        ),
        supports_check_mode=True,
    )
    wanted = card_addresses(module, 'cards', module.params['cards'])
    rc, doc, err = run_flashctl(module, FLASHCTL_SUBCOMMAND, flashctl_options(FLASHCTL_OPTIONS, module.params),
                                wanted)
    cards = doc.get('cards')
    if not isinstance(cards, list):
        module.fail_json(msg='flashctl inventory: %s' % error_text(doc.get('error')), rc=rc,
                         error=doc.get('error'), stderr=err)
    failed = [{'card': c.get('card'), 'error': c.get('error')}
              for c in cards if not (isinstance(c, dict) and c.get('ok') is True)]
    result = dict(changed=False, cards=cards, failed_cards=failed, rc=rc)
    # flashctl exits 1 when a card failed; any other status with a card list
    # is not what it promises.
    if rc not in (0, 1) or (rc == 1) != bool(failed):
        module.fail_json(msg='flashctl inventory exited %d with %d failed cards' % (rc, len(failed)),
                         stderr=err, **result)
    if failed and not module.params['allow_card_errors']:
        module.fail_json(msg='cards failed: ' + '; '.join(
            '%s: %s' % (f['card'], error_text(f['error'])) for f in failed), **result)
    # Ansible takes a result with a non-zero rc and no "failed" for a failure.
    module.exit_json(failed=False, **result)


if __name__ == '__main__':
    main()
