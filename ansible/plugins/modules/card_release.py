#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: card_release
short_description: A release bundle brought to the network cards of a host
description:
  - Brings the cards of the managed host to a release, through C(flashctl apply --json), one
    transaction per card that writes every component of the bundle the card does not hold yet
    (in manifest order, into the A/B slot the card does not run), verifies each on the card,
    and with C(activate) selects the written slot as the startup image once every component is
    verified.
  - flashctl checks the whole bundle (its signature against the trusted keys, every image
    against the manifest) before it asks any card, and refuses a card the release is not
    compatible with, or whose rules fail.
  - The task reports a change exactly when a card changed. It fails, with each card's reason,
    when a card's result is anything but C(updated) or C(unchanged); the other cards' results
    are returned all the same. flashctl never changes the startup selection of a card whose
    transaction failed.
version_added: 0.2.0
author:
  - flash-update maintainers
extends_documentation_fragment:
  - flash_update.cards.flashctl
  - flash_update.cards.attributes
  - flash_update.cards.attributes.platform
attributes:
  check_mode:
    support: full
    details:
      - Runs C(flashctl plan), which sends the cards only read-only requests, and reports a change
        exactly when the real run would make one (a component to write, or with C(activate) a
        slot to select).
  diff_mode:
    support: full
    details:
      - Each card's compliance with the release (C(flashctl check)) before and after the run. In
        check mode the compliance after is the one the plan leads to.
  platform:
    support: full
    platforms: posix
options:
  bundle:
    description:
      - Path of the release bundle on the managed host (a tar archive, possibly compressed, or a
        directory), as C(flashctl bundle create) makes it. A name that starts with C(-) works.
    type: path
    required: true
  cards:
    description:
      - PCI addresses of the cards to bring to the release, for example C(0000:03:00.0).
      - Empty means every card flashctl finds on the host.
    type: list
    elements: str
    default: []
  activate:
    description:
      - Select the written slot as each card's startup image once every component is verified.
        Takes effect at the card's next start. A card that holds the release in the slot it does
        not run, unselected, is selected (a change).
    type: bool
    default: false
  trust:
    description:
      - Directory on the managed host of the public keys (C(*.pem)) whose signature on a bundle
        is trusted. Unset, flashctl's own, C(/etc/flash-update/trust.d).
    type: path
  allow_unsigned:
    description:
      - Accept a bundle without a signature (for a lab; the journal records it).
    type: bool
    default: false
  allow_single_slot:
    description:
      - Write components into partitions that no A/B slot protects (written in place). Without
        it a bundle with such a component is refused for every card.
    type: bool
    default: false
  plan:
    description:
      - A plan that C(flashctl plan --json) wrote earlier for this bundle. A card missing from it,
        or that changed since it was planned, is refused and left alone.
      - Check mode plans afresh and does not read it.
    type: path
  timeout:
    description:
      - Deadline in seconds of each phase that waits on a card (erase, install, checksum).
        Unset, flashctl uses its own defaults.
    type: int
  history:
    description:
      - File on the managed host where flashctl appends each card's transaction (one JSON line
        per card). Unset, flashctl's own, C(/var/lib/flash-update/history.jsonl).
      - A file that cannot take the line refuses the card before it is touched.
    type: path
notes:
  - The module runs C(flashctl apply OPTIONS --json -- BUNDLE CARD...); in check mode
    C(flashctl plan OPTIONS --json -- BUNDLE CARD...); in diff mode also
    C(flashctl check OPTIONS --json -- BUNDLE CARD...) before and after.
seealso:
  - module: flash_update.cards.card_compliance
  - module: flash_update.cards.card_firmware
'''

EXAMPLES = r'''
- name: Bring the card to release 2.15.0 and select it for the next start
  flash_update.cards.card_release:
    bundle: /var/cache/firmware/larch-fw-2.15.0.tar.zst
    cards: ["0000:03:00.0"]
    activate: true
    timeout: 600
  register: release

- name: Show what each card did
  ansible.builtin.debug:
    msg: "{{ item.card }}: {{ item.result }}, starts {{ item.after.startup_image | default('?') }}"
  loop: "{{ release.cards }}"
  loop_control:
    label: "{{ item.card }}"

- name: Apply only what was planned and reviewed
  flash_update.cards.card_release:
    bundle: /var/cache/firmware/larch-fw-2.15.0.tar.zst
    plan: /var/cache/firmware/larch-fw-2.15.0.plan.json
    activate: true

- name: Rehearse on a virtual twin, with a lab key and an unsigned bundle
  flash_update.cards.card_release:
    bundle: /srv/lab/larch-fw-2.16.0-rc1.tar
    allow_unsigned: true
    activate: true
    history: "/srv/twins/{{ inventory_hostname }}/history.jsonl"
    flashctl_command: "flash-update-vcard --state /srv/twins/{{ inventory_hostname }} -- flashctl"
'''

RETURN = r'''
bundle:
  description: The bundle as flashctl read it.
  returned: when flashctl read the bundle
  type: dict
  sample: {path: /var/cache/firmware/larch-fw-2.15.0.tar.zst, release: {name: larch-fw, version: 2.15.0},
           manifest_sha256: "f34b9207...6664f", signed: true, signer: "ed25519:35862711...35f36"}
  contains:
    path:
      description: The bundle's path on the managed host.
      type: str
      sample: /var/cache/firmware/larch-fw-2.15.0.tar.zst
    release:
      description: The release's name and version, from the manifest.
      type: dict
      sample: {name: larch-fw, version: 2.15.0}
    manifest_sha256:
      description: The SHA-256 of the manifest's bytes.
      type: str
      sample: f34b9207bd028430eae3340b0565e086db7e340e8c95a5caece6841013a6664f
    signed:
      description: Whether the bundle carries a signature.
      type: bool
      sample: true
    signer:
      description: The fingerprint of the trusted key that verified the signature, or C(unsigned).
      type: str
      sample: "ed25519:35862711f61bc72d85edf030b25afc694f4eecf93401954b51a3034e6fd35f36"
cards:
  description:
    - Each card as C(flashctl apply --json) reports it (in check mode, as C(flashctl plan --json)
      does), in the order flashctl took them. A card that was not read has only C(card),
      C(result) and C(error).
  returned: when flashctl read the bundle
  type: list
  elements: dict
  sample:
    - card: "0000:03:00.0"
      result: updated
      changed: true
      activated: true
      verdict: apply
      refused_by: []
      slot: fw-b
      before: {running_image: fw-a, startup_image: fw-a}
      after: {running_image: fw-a, startup_image: fw-b}
      components:
        - {file: fw.bin, target: [fw-a, fw-b], version: 2.15.0-E-1, partition: fw-b, holds: false,
           action: write, partition_state: verified}
  contains:
    card:
      description: The card's PCI address.
      type: str
      sample: "0000:03:00.0"
    result:
      description: How the card's transaction ended (not in check mode).
      type: str
      choices: [updated, unchanged, refused, failed, interrupted, timeout, busy]
      sample: updated
    changed:
      description: Whether the card changed (not in check mode).
      type: bool
      sample: true
    activated:
      description: Whether this run selected the written slot as the startup image (not in check
        mode).
      type: bool
      sample: true
    verdict:
      description: What the plan decided for the card.
      type: str
      returned: when the card answered
      choices: [apply, nothing_to_do, refused]
      sample: apply
    refused_by:
      description: What refused the card, C(compatible), the ids of failing rules, and the file and
        failing check of a component that cannot go where it must (see the sample).
      type: list
      elements: str
      returned: when the card answered
      sample: ["fw.bin: running"]
    slot:
      description: The fw image of the slot the release writes (the one the card does not run).
      type: str
      returned: when the card answered
      sample: fw-b
    before:
      description: The card's running and startup image before the run.
      type: dict
      returned: when the card answered
      sample: {running_image: fw-a, startup_image: fw-a}
    after:
      description: The same after the run (not in check mode).
      type: dict
      returned: when the card was read again
      sample: {running_image: fw-a, startup_image: fw-b}
    components:
      description: Each component of the release against the card, in manifest order, with the
        partition it goes into, whether the card held it already (C(holds)), the C(action)
        (C(write), C(none), C(refused)), and after a run the C(partition_state) and C(phases).
      type: list
      elements: dict
      returned: when the card answered
      sample:
        - {file: fw.bin, partition: fw-b, holds: false, action: write, partition_state: verified}
    error:
      description: flashctl's error for the card (code and message).
      type: dict
      returned: when the card failed or was refused
      sample: {code: failed, message: "fw.bin: the card's checksum of fw-b failed (result 255): verify checksum failed"}
changed_cards:
  description: The cards this run changed; in check mode, those a real run would change.
  returned: when flashctl read the bundle
  type: list
  elements: str
  sample: ["0000:03:00.0"]
would_change:
  description: In check mode, whether a real run would change a card.
  returned: check mode
  type: bool
  sample: true
failed_cards:
  description: The cards whose result is not C(updated) or C(unchanged) (in check mode, whose plan
    is not C(apply) or C(nothing_to_do)), with their reasons.
  returned: when flashctl read the bundle
  type: list
  elements: dict
  sample: [{card: "0000:05:00.0", result: failed, reason: "failed: fw.bin: the card's checksum of fw-b failed"}]
  contains:
    card:
      description: The card's PCI address.
      type: str
      sample: "0000:05:00.0"
    result:
      description: The card's result (in check mode, its verdict, or C(unknown) for a card that did
        not answer).
      type: str
      sample: failed
    reason:
      description: flashctl's error for the card, or what refused it.
      type: str
      sample: "failed: fw.bin: the card's checksum of fw-b failed (result 255): verify checksum failed"
error:
  description: flashctl's error when it refused the run before asking any card (a bundle that is
    not signed by a trusted key, a plan of another release).
  returned: when flashctl refused the run
  type: dict
  sample: {code: bundle, check: untrusted, message: "the bundle is signed, but no key is trusted"}
rc:
  description: flashctl's exit status (0 every card done, 1 a card failed, 2 refused, 3 busy,
    130 interrupted).
  returned: always
  type: int
  sample: 0
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import (
    FLASHCTL_COMMAND_SPEC, card_addresses, error_text, flashctl_options, release_cards, run_flashctl)

# The flashctl command this module runs, and its options by module option
# (see flashctl_options); run_flashctl adds --json.
FLASHCTL_SUBCOMMAND = 'apply'
FLASHCTL_OPTIONS = (
    ('trust', '--trust', 'value'),
    ('allow_unsigned', '--allow-unsigned', 'flag'),
    ('allow_single_slot', '--allow-single-slot', 'flag'),
    ('activate', '--activate', 'flag'),
    ('plan', '--plan', 'value'),
    ('timeout', '--timeout', 'value'),
    ('history', '--history', 'value'),
)
# The read-only commands it runs instead (check mode: plan) and besides
# (diff mode: check before and after), with their options.
FLASHCTL_READ_SUBCOMMANDS = {
    'plan': (
        ('trust', '--trust', 'value'),
        ('allow_unsigned', '--allow-unsigned', 'flag'),
        ('allow_single_slot', '--allow-single-slot', 'flag'),
        ('timeout', '--timeout', 'value'),
    ),
    'check': (
        ('trust', '--trust', 'value'),
        ('allow_unsigned', '--allow-unsigned', 'flag'),
        ('timeout', '--timeout', 'value'),
    ),
}

DONE = ('updated', 'unchanged')
PLANNED = ('apply', 'nothing_to_do')


def has_family(card):
    return any(isinstance(c, dict) and isinstance(c.get('target'), list) for c in card.get('components') or [])


def selects_slot(card, activate):
    """Whether an apply with activate would select the card's written slot:
    it selects it, with every component verified, when the release has an
    A/B component and the card does not start that slot already."""
    before = card.get('before') if isinstance(card.get('before'), dict) else {}
    return bool(activate and has_family(card) and card.get('slot') and before.get('startup_image') != card['slot'])


def would_change(card, activate):
    verdict = card.get('verdict')
    return verdict == 'apply' or (verdict == 'nothing_to_do' and selects_slot(card, activate))


def planned_state(state, card, activate):
    """The compliance a card's plan leads to: a card that runs the release
    stays compliant; one whose components all go in place becomes compliant;
    otherwise the written slot holds it, pending when it is (or will be)
    selected."""
    if state == 'compliant' or not has_family(card):
        return 'compliant'
    before = card.get('before') if isinstance(card.get('before'), dict) else {}
    return 'pending' if activate or before.get('startup_image') == card.get('slot') else 'staged'


def reason(card):
    if card.get('error'):
        return error_text(card['error'])
    return 'refused by ' + ', '.join(str(r) for r in card.get('refused_by') or ['the plan'])


def main():
    module = AnsibleModule(
        argument_spec=dict(
            bundle=dict(type='path', required=True),
            cards=dict(type='list', elements='str', default=[]),
            activate=dict(type='bool', default=False),
            trust=dict(type='path'),
            allow_unsigned=dict(type='bool', default=False),
            allow_single_slot=dict(type='bool', default=False),
            plan=dict(type='path'),
            timeout=dict(type='int'),
            history=dict(type='path'),
            flashctl_command=FLASHCTL_COMMAND_SPEC,
        ),
        supports_check_mode=True,
    )
    params = module.params
    values = [params['bundle']] + card_addresses(module, 'cards', params['cards'])

    def run(command, table):
        rc, doc, err = run_flashctl(module, command, flashctl_options(table, params), values)
        return rc, release_cards(module, command, rc, doc, err), doc, err

    def compliance():
        return dict((c.get('card'), c.get('state')) for c in run('check', FLASHCTL_READ_SUBCOMMANDS['check'])[1])

    before = compliance() if module._diff else None
    if module.check_mode:
        command = 'plan'
        rc, cards, doc, err = run(command, FLASHCTL_READ_SUBCOMMANDS[command])
        failed = [dict(card=c.get('card'), result=c.get('verdict', 'unknown'), reason=reason(c))
                  for c in cards if c.get('verdict') not in PLANNED]
        changed_cards = [c['card'] for c in cards if would_change(c, params['activate'])]
    else:
        command = FLASHCTL_SUBCOMMAND
        rc, cards, doc, err = run(command, FLASHCTL_OPTIONS)
        failed = [dict(card=c.get('card'), result=c.get('result'), reason=reason(c))
                  for c in cards if c.get('result') not in DONE]
        changed_cards = [c['card'] for c in cards if c.get('changed') is True]
    result = dict(changed=bool(changed_cards), bundle=doc.get('bundle'), cards=cards,
                  changed_cards=changed_cards, failed_cards=failed, rc=rc)
    if module.check_mode:
        result['would_change'] = result['changed']
        # Nothing changed; a failed task's prediction is would_change alone.
        result['changed'] = result['changed'] and not failed

    if failed:
        module.fail_json(msg='flashctl %s %s: %d of %d cards not %s: %s' % (
            command, params['bundle'], len(failed), len(cards),
            'planned' if module.check_mode else 'updated', '; '.join(
                '%s %s (%s)' % (f['card'], f['result'], f['reason']) for f in failed)),
            stderr=err, **result)
    # flashctl exits 0 exactly when every card is done.
    if rc != 0:
        module.fail_json(msg='flashctl %s exited %d with every card done' % (command, rc), stderr=err, **result)

    if before is not None and result['changed']:
        if module.check_mode:
            after = dict(before)
            for c in cards:
                if c['card'] in changed_cards:
                    after[c['card']] = planned_state(before.get(c['card']), c, params['activate'])
        else:
            after = compliance()
        result['diff'] = dict(before=before, after=after)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
