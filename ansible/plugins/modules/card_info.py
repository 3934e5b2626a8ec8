#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: card_info
short_description: Facts about the network cards of a host, from flashctl
description:
  - Runs C(flashctl inventory --json) on the managed host and returns every card's identity,
    running and startup image, partition table with versions, and secure state.
  - Read-only; safe in check mode, where it runs exactly as in a normal run.
  - Sets the fact C(flash_update_cards), the list of cards as flashctl reports them.
version_added: 0.1.0
author:
  - flash-update maintainers
options:
  cards:
    description:
      - PCI addresses of the cards to report, C(domain:bus:device.function) in hexadecimal with
        a function from 0 to 7, for example C(0000:03:00.0).
      - Upper-case hexadecimal digits are accepted and passed in lower case, as sysfs spells
        addresses. Any other string fails the task before flashctl runs; the addresses are passed
        after C(--), where flashctl never reads a word as an option.
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
  flashctl_command:
    description:
      - The command that runs flashctl, as a string (split into words like a shell would, without
        running a shell) or a list of words. Arguments are appended to it.
      - A rehearsal on a virtual card passes the launcher, for example
        C(flash-update-vcard --state /srv/twins/host1 -- flashctl).
    type: raw
    default: flashctl
notes:
  - Needs flashctl from the C(flash-update) package on the managed host.
seealso:
  - module: flash_update.cards.card_firmware
'''

EXAMPLES = r'''
- name: Read the cards of every host
  flash_update.cards.card_info:

- name: Read one card, reporting a card that fails instead of failing the task
  flash_update.cards.card_info:
    cards: ['0000:03:00.0']
    allow_card_errors: true

- name: Rehearse against a virtual twin of this host's card
  flash_update.cards.card_info:
    flashctl_command: "flash-update-vcard --state /srv/twins/{{ inventory_hostname }} -- flashctl"
'''

RETURN = r'''
cards:
  description: Every card as C(flashctl inventory --json) reports it (schema version 1).
  returned: always
  type: list
  elements: dict
  sample:
    - card: "0000:03:00.0"
      ok: true
      identity: {serial_number: "KX2412A0001", asic: larch, secure_boot: true}
      running_image: fw-a
      startup_image: fw-a
      partitions:
        - {id: 6, name: fw-a, size: 33554432, slot: 0, running: true, startup: true, version: "2.14.0-E-42"}
failed_cards:
  description: Addresses of the cards that did not answer, with their errors.
  returned: always
  type: list
  elements: dict
  sample: [{card: "0000:05:00.0", error: {code: io, message: "no answer"}}]
ansible_facts:
  description: Facts set by the module.
  returned: always
  type: dict
  contains:
    flash_update_cards:
      description: The same list as C(cards).
      type: list
      elements: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import (
    FLASHCTL_COMMAND_SPEC, card_addresses, error_text, run_flashctl)


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
    rc, doc, err = run_flashctl(module, 'inventory', [], wanted)
    cards = doc.get('cards')
    if not isinstance(cards, list):
        module.fail_json(msg='flashctl inventory: %s' % error_text(doc.get('error')), rc=rc,
                         error=doc.get('error'), stderr=err)
    failed = [{'card': c.get('card'), 'error': c.get('error')}
              for c in cards if not (isinstance(c, dict) and c.get('ok') is True)]
    result = dict(changed=False, cards=cards, failed_cards=failed,
                  ansible_facts=dict(flash_update_cards=cards))
    # flashctl exits 1 when a card failed; any other status with a card list
    # is not what it promises.
    if rc not in (0, 1) or (rc == 1) != bool(failed):
        module.fail_json(msg='flashctl inventory exited %d with %d failed cards' % (rc, len(failed)),
                         rc=rc, stderr=err, **result)
    if failed and not module.params['allow_card_errors']:
        module.fail_json(msg='cards failed: ' + '; '.join(
            '%s: %s' % (f['card'], error_text(f['error'])) for f in failed), rc=rc, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
