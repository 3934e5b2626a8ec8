#!/usr/bin/python
# -*- coding: utf-8 -*-
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
  - In check mode the module runs C(flashctl update --dry-run), which sends the card only
    read-only requests, and reports a change exactly when the real run would make one.
  - A failed transaction fails the task with flashctl's error, the state the partition was left
    in, and the card's versions and image selection before (and, when read, after) the attempt.
    flashctl never changes the startup selection in a failed transaction.
version_added: 0.1.0
author:
  - flash-update maintainers
options:
  card:
    description:
      - PCI address of the card, C(domain:bus:device.function) in hexadecimal with a function
        from 0 to 7, for example C(0000:03:00.0).
      - Upper-case hexadecimal digits are accepted and passed in lower case, as sysfs spells
        addresses. Anything else fails the task before flashctl runs.
    type: str
    required: true
  partition:
    description:
      - Name of the partition to write, for example C(fw-b).
      - Passed to flashctl as a value after C(--), like I(card) and I(image), so a name that
        starts with C(-) is taken as it is, never as an option.
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
  - The module runs C(flashctl update OPTIONS --json -- CARD PARTITION IMAGE); options that
    take a value are given as C(--name=value).
  - Supports check mode and diff mode (version and startup image before and after).
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
  description: flashctl's outcome.
  returned: always
  type: str
  choices: [updated, unchanged, refused, failed, interrupted, timeout, busy]
  sample: updated
would_change:
  description: In check mode, whether a real run would change the card.
  returned: check mode
  type: bool
activated:
  description: Whether the partition was selected as the startup image by this run.
  returned: always
  type: bool
partition_state:
  description: State the partition was left in (untouched, erased, partially_written,
    written_unverified, verified).
  returned: when flashctl reports it
  type: str
image:
  description: The image as flashctl read it (path, size, sha512).
  returned: always
  type: dict
before:
  description: The partition's version and the card's running and startup image before the run.
  returned: when flashctl read them
  type: dict
after:
  description: The same after the run.
  returned: when flashctl read them
  type: dict
phases:
  description: Each phase that ran, with its status and duration in seconds.
  returned: always
  type: list
  elements: dict
plan:
  description: In check mode, the actions a real run would take.
  returned: check mode
  type: dict
error:
  description: flashctl's error (code and message).
  returned: on failure
  type: dict
journal:
  description: Why the transaction's record could not be appended to the journal (code
    C(journal) and message); the task then fails when the card changed.
  returned: when the record could not be written
  type: dict
rc:
  description: flashctl's exit status (0 done, 1 failed, 2 refused, 3 busy, 130 interrupted).
  returned: always
  type: int
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import (
    FLASHCTL_COMMAND_SPEC, card_addresses, error_text, run_flashctl)

# Fields of the update document a task result carries over unchanged.
REPORTED = ('result', 'activated', 'partition_state', 'image', 'before', 'after', 'phases',
            'plan', 'error', 'journal')


def update_options(params, check_mode):
    options = []
    if params['sha512']:
        options.append('--sha512=' + params['sha512'])
    if params['activate']:
        options.append('--activate')
    if params['allow_running']:
        options.append('--allow-running')
    if params['timeout'] is not None:
        options.append('--timeout=%d' % params['timeout'])
    if params['history']:
        options.append('--history=' + params['history'])
    if check_mode:
        options.append('--dry-run')
    return options


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
    rc, doc, err = run_flashctl(module, 'update', update_options(params, module.check_mode),
                                [card, params['partition'], params['image']])
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
