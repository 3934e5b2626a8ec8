# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
#
# Running flashctl and reading its JSON documents, shared by the modules.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import re
import shlex

from ansible.module_utils.six import string_types

SCHEMA_VERSION = 1

# The option every module takes: how flashctl is run on the managed host
# (documented in the doc fragment flash_update.cards.flashctl). A rehearsal
# wraps each call in the virtual card launcher, e.g.
# "flash-update-vcard --state /srv/twins/host1 -- flashctl".
FLASHCTL_COMMAND_SPEC = dict(type='raw', default='flashctl')

# A card's PCI address, domain:bus:device.function in hexadecimal. sysfs
# spells it in lower case, and flashctl finds a card by that spelling.
CARD_ADDRESS = re.compile(r'[0-9a-fA-F]{4}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}\.[0-7]\Z')


def card_addresses(module, option, values):
    """values as flashctl takes them (lower-case hex); fails the module,
    before anything runs, when one is not a card address."""
    bad = [v for v in values if not (isinstance(v, string_types) and CARD_ADDRESS.match(v))]
    if bad:
        module.fail_json(msg='%s: %s %s (domain:bus:device.function in hexadecimal, function 0-7, '
                         'for example 0000:03:00.0); flashctl was not run' % (
                             option, ', '.join(repr(v) for v in bad),
                             'is not a card address' if len(bad) == 1 else 'are not card addresses'))
    return [v.lower() for v in values]


def command_words(command):
    """A configured command's words: a string split like a shell would,
    without running one, or a list of words."""
    if isinstance(command, (list, tuple)):
        return [str(w) for w in command]
    return shlex.split(str(command))


def flashctl_argv(command, args):
    """The argv of one flashctl call: the configured command, then args."""
    return command_words(command) + [str(a) for a in args]


def parse_document(stdout):
    """flashctl's one JSON object, or (None, why) when stdout is not one."""
    text = stdout.strip() if stdout else ''
    if not text:
        return None, 'flashctl printed nothing on standard output'
    try:
        doc = json.loads(text)
    except ValueError as e:
        return None, 'flashctl output is not JSON: %s' % e
    if not isinstance(doc, dict):
        return None, 'flashctl output is not a JSON object'
    if doc.get('schema_version') != SCHEMA_VERSION:
        return None, 'flashctl output has schema_version %r, this collection reads %d' % (
            doc.get('schema_version'), SCHEMA_VERSION)
    return doc, None


def error_text(error):
    """'code: message' of a contract error object (tolerates a missing one)."""
    if not isinstance(error, dict):
        return 'unknown error'
    return '%s: %s' % (error.get('code', 'unknown'), error.get('message', ''))


def flashctl_options(table, params):
    """The flashctl options of a module's parameters, in the table's order.

    table holds (module option, flashctl option, kind): a 'flag' is given
    when the parameter is true, a 'value' as --name=value when it is set.
    """
    options = []
    for name, option, kind in table:
        value = params[name]
        if kind == 'flag':
            if value:
                options.append(option)
        elif value is not None and value != '':
            options.append('%s=%s' % (option, value))
    return options


def run_flashctl(module, command, options, values):
    """Runs flashctl COMMAND OPTIONS --json -- VALUES; returns (rc, document,
    stderr).

    Values (cards, partitions, paths) come after "--", where flashctl reads
    every word as a value even when it starts with "-": a card string or an
    image name can never turn into an option. Options that take a value are
    given as --name=value for the same reason.

    Fails the module when flashctl cannot be started or does not answer with
    a contract document, since nothing about the card is known then.
    """
    argv = flashctl_argv(module.params['flashctl_command'],
                         [command] + list(options) + ['--json', '--'] + list(values))
    if not argv:
        module.fail_json(msg='flashctl_command is empty')
    rc, out, err = module.run_command(argv)
    doc, why = parse_document(out)
    if doc is None:
        module.fail_json(msg=why, rc=rc, cmd=argv, stdout=out, stderr=err)
    return rc, doc, err


def release_cards(module, command, rc, doc, stderr):
    """The cards of a release document (plan, apply, check); fails the
    module with flashctl's error when the document has none, as when the
    bundle was refused before any card was asked."""
    cards = doc.get('cards')
    if not (isinstance(cards, list) and all(isinstance(c, dict) for c in cards)):
        module.fail_json(msg='flashctl %s: %s' % (command, error_text(doc.get('error'))), rc=rc,
                         error=doc.get('error'), stderr=stderr)
    return cards
