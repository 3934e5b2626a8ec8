#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: card_firmware
short_description: The firmware image one partition of a network card holds
description:
  - Brings one partition of a card to hold the given image, through one C(flashctl update --json)
    transaction. First a read-only plan (the image fits, matches its SHA-512, does not overwrite
    the running image), then erase, install, checksum and signature verification, and with
    C(activate) the selection of the partition as the startup image.
  - A partition that already holds the image is left alone; the task then reports no change.
  - A failed transaction fails the task with flashctl's error, the state the partition was left
    in, and the card's versions and image selection before (and, when read, after) the attempt.
    flashctl never changes the startup selection in a failed transaction.
version_added: 0.1.0
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
      - Runs C(flashctl update --dry-run), which sends the card only read-only requests, and
        reports a change exactly when the real run would make one.
  diff_mode:
    support: full
    details:
      - The partition's version and the card's startup image, before and after.
  platform:
    support: full
    platforms: posix
options:
  card:
    description:
      - PCI address of the card, for example C(0000:03:00.0).
    type: str
    required: true
  partition:
    description:
      - Name of the partition to write, for example C(fw-b). A name that starts with C(-) is
        taken as it is, never as an option.
    type: str
    required: true
  image:
    description:
      - Path of the image file on the managed host. A name that starts with C(-) works.
    type: path
    required: true
  sha512:
    description:
      - Expected SHA-512 of the image (128 hexadecimal digits). The transaction is refused,
        before anything reaches the card, when the image does not match. The card's own
        checksum of the partition is compared with the image's in every run.
    type: str
  activate:
    description:
      - Select the partition as the card's startup image once the image is verified
        (C(fw-a) and C(fw-b) only). Takes effect at the card's next start.
    type: bool
    default: false
  allow_running:
    description: Allow overwriting the firmware image the card is running now.
    type: bool
    default: false
  timeout:
    description:
      - Deadline in seconds of each phase that waits on the card (erase, verification).
        Unset, flashctl uses its own defaults.
    type: int
  history:
    description:
      - File on the managed host where flashctl appends the transaction's record (one JSON line).
        Unset, flashctl's own, C(/var/lib/flash-update/history.jsonl).
      - When the file cannot take the record (no room, not a regular file), the update is refused
        before the card is touched (error code C(journal)); a record that fails after the card
        changed fails the task with the card's state reported.
    type: path
notes:
  - The module runs C(flashctl update OPTIONS --json -- CARD PARTITION IMAGE).
seealso:
  - module: flash_update.cards.card_info
'''

EXAMPLES = r'''
- name: Install and activate the new firmware in the inactive slot
  flash_update.cards.card_firmware:
    card: "0000:03:00.0"
    partition: fw-b
    image: /var/cache/firmware/larch-2.15.0.bin
    sha512: "{{ larch_2_15_sha512 }}"
    activate: true
    timeout: 600

- name: Rehearse the same on a virtual twin
  flash_update.cards.card_firmware:
    card: "0000:03:00.0"
    partition: fw-b
    image: /var/cache/firmware/larch-2.15.0.bin
    sha512: "{{ larch_2_15_sha512 }}"
    activate: true
    flashctl_command:
      - flash-update-vcard
      - --state
      - "/srv/twins/{{ inventory_hostname }}"
      - --
      - flashctl
'''

RETURN = r'''
result:
  description: flashctl's outcome. A dry run reports C(unchanged).
  returned: always
  type: str
  choices: [updated, unchanged, refused, failed, interrupted, timeout, busy]
  sample: updated
would_change:
  description: In check mode, whether a real run would change the card.
  returned: check mode
  type: bool
  sample: true
activated:
  description: Whether the partition was selected as the startup image by this run.
  returned: always
  type: bool
  sample: true
partition_state:
  description: The state the partition was left in.
  returned: when flashctl reports it
  type: str
  choices: [untouched, erased, partially_written, written_unverified, verified]
  sample: verified
image:
  description: The image as flashctl read it.
  returned: always
  type: dict
  sample: {path: /var/cache/firmware/larch-2.15.0.bin, size: 8388608, sha512: "af26cc...68a8"}
  contains:
    path:
      description: The image's path on the managed host.
      type: str
      sample: /var/cache/firmware/larch-2.15.0.bin
    size:
      description: The image's size in bytes.
      type: int
      sample: 8388608
    sha512:
      description: The image's SHA-512 as flashctl computed it, in lower case.
      type: str
      sample: af26ccea527c82e05964f5a9625b4fb7cd64f2bfcafd104e9ae2c7d4ba0fd5e16036c584ea84f897340204a633d1f38740403d9f6eea5eed5827b5a7273e68a8
before:
  description: The partition's version and the card's running and startup image before the run.
  returned: when flashctl read them
  type: dict
  sample: {version: 2.13.2-E-17, running_image: fw-a, startup_image: fw-a}
  contains:
    version:
      description: The version of the image the partition held.
      type: str
      sample: 2.13.2-E-17
    running_image:
      description: The firmware image the card ran.
      type: str
      sample: fw-a
    startup_image:
      description: The firmware image the card was to start next.
      type: str
      sample: fw-a
after:
  description: The same after the run (not in check mode).
  returned: when flashctl read them
  type: dict
  sample: {version: 2.15.0-E-1, running_image: fw-a, startup_image: fw-b}
  contains:
    version:
      description: The version of the image the partition holds.
      type: str
      sample: 2.15.0-E-1
    running_image:
      description: The firmware image the card runs.
      type: str
      sample: fw-a
    startup_image:
      description: The firmware image the card starts next.
      type: str
      sample: fw-b
phases:
  description: Each phase of the transaction, in order.
  returned: always
  type: list
  elements: dict
  sample:
    - {name: plan, status: ok, seconds: 0.0744}
    - {name: erase, status: ok, seconds: 0.0004}
    - {name: install, status: ok, seconds: 0.0287}
    - {name: verify_checksum, status: ok, seconds: 0.0007}
    - {name: verify_signature, status: skipped, seconds: 0.0}
    - {name: activate, status: ok, seconds: 0.0013}
  contains:
    name:
      description: The phase.
      type: str
      choices: [plan, erase, install, verify_checksum, verify_signature, activate]
      sample: install
    status:
      description: How the phase ended.
      type: str
      choices: [ok, skipped, failed, timeout, interrupted]
      sample: ok
    seconds:
      description: How long the phase took.
      type: float
      sample: 0.0287
plan:
  description: The steps the transaction takes (or, in check mode, would take).
  returned: when flashctl planned the transaction
  type: dict
  sample: {actions: [erase, install, verify_checksum, activate]}
  contains:
    actions:
      description: The steps, in order.
      type: list
      elements: str
      sample: [erase, install, verify_checksum, activate]
error:
  description: flashctl's error.
  returned: on failure
  type: dict
  sample: {code: failed, message: checksum mismatch}
  contains:
    code:
      description: The kind of error.
      type: str
      choices: [usage, invalid_card, io, busy, refused, failed, timeout, interrupted, journal]
      sample: failed
    message:
      description: What went wrong.
      type: str
      sample: checksum mismatch
journal:
  description: Why the transaction's record could not be appended to the journal; the task
    then fails when the card changed.
  returned: when the record could not be written
  type: dict
  sample: {code: journal, message: "cannot record the transaction in /var/lib/flash-update/history.jsonl: cannot sync: No space left on device"}
  contains:
    code:
      description: Always C(journal).
      type: str
      sample: journal
    message:
      description: What went wrong.
      type: str
      sample: "cannot record the transaction in /var/lib/flash-update/history.jsonl: cannot sync: No space left on device"
rc:
  description: flashctl's exit status (0 done, 1 failed, 2 refused, 3 busy, 130 interrupted).
  returned: always
  type: int
  sample: 0
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import (
    FLASHCTL_COMMAND_SPEC, card_addresses, error_text, flashctl_options, run_flashctl)

# The flashctl command this module runs, and its options by module option
# (see flashctl_options); check mode adds FLASHCTL_CHECK_MODE_OPTION and
# run_flashctl adds --json.
FLASHCTL_SUBCOMMAND = 'update'
FLASHCTL_OPTIONS = (
    ('sha512', '--sha512', 'value'),
    ('activate', '--activate', 'flag'),
    ('allow_running', '--allow-running', 'flag'),
    ('timeout', '--timeout', 'value'),
    ('history', '--history', 'value'),
)
FLASHCTL_CHECK_MODE_OPTION = '--dry-run'

# Fields of the update document a task result carries over unchanged.
REPORTED = ('result', 'activated', 'partition_state', 'image', 'before', 'after', 'phases',
            'plan', 'error', 'journal')


def card_changed(doc):
    """Whether a failed transaction left the card different from before."""
    return doc.get('partition_state', 'untouched') != 'untouched' or doc.get('activated') is True


def diff_of(doc, params):
    before = doc.get('before')
    if not isinstance(before, dict):
        return None
    keys = ('version', 'startup_image')
    after = doc.get('after')
    if not isinstance(after, dict):
        # A dry run reads nothing afterwards: say what the run would leave.
        after = dict(before)
        after['version'] = '(%s)' % os.path.basename(params['image'])
        if params['activate']:
            after['startup_image'] = params['partition']
    return dict(before=dict((k, before.get(k)) for k in keys),
                after=dict((k, after.get(k)) for k in keys))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            card=dict(type='str', required=True),
            partition=dict(type='str', required=True),
            image=dict(type='path', required=True),
            sha512=dict(type='str'),
            activate=dict(type='bool', default=False),
            allow_running=dict(type='bool', default=False),
            timeout=dict(type='int'),
            history=dict(type='path'),
            flashctl_command=FLASHCTL_COMMAND_SPEC,
        ),
        supports_check_mode=True,
    )
    params = module.params
    card = card_addresses(module, 'card', [params['card']])[0]
    options = flashctl_options(FLASHCTL_OPTIONS, params)
    if module.check_mode:
        options.append(FLASHCTL_CHECK_MODE_OPTION)
    rc, doc, err = run_flashctl(module, FLASHCTL_SUBCOMMAND, options, [card, params['partition'], params['image']])
    result = dict((k, doc[k]) for k in REPORTED if k in doc)
    result['rc'] = rc
    result.setdefault('activated', False)

    if rc != 0:
        # Nothing changes in check mode; otherwise an erase or a partial
        # write is a change even though the task failed.
        changed = False if module.check_mode else card_changed(doc)
        module.fail_json(msg='flashctl update %s %s: %s' % (
            card, params['partition'], error_text(doc.get('error'))),
            changed=changed, stderr=err, **result)

    if module.check_mode:
        if doc.get('dry_run') is not True:
            module.fail_json(msg='flashctl did not run the update as a dry run', changed=False,
                             **result)
        changed = doc.get('would_change') is True
        result['would_change'] = changed
    else:
        if doc.get('result') not in ('updated', 'unchanged'):
            module.fail_json(msg='flashctl exited 0 with result %r' % doc.get('result'),
                             changed=card_changed(doc), **result)
        changed = doc.get('changed') is True
    if module._diff and changed:
        diff = diff_of(doc, params)
        if diff is not None:
            result['diff'] = diff
    module.exit_json(changed=changed, **result)


if __name__ == '__main__':
    main()
