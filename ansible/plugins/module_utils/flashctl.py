# -*- coding: utf-8 -*-
# Running flashctl and reading its JSON documents, shared by the modules.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import shlex

SCHEMA_VERSION = 1

# The option every module takes: how flashctl is run on the managed host.
# A rehearsal wraps each call in the virtual card launcher, e.g.
# "flash-update-vcard --state /srv/twins/host1 -- flashctl".
FLASHCTL_COMMAND_SPEC = dict(type='raw', default='flashctl')


def flashctl_argv(command, args):
    """The argv of one flashctl call: the configured command, then args.

    command is a string (split like a shell would, without running one) or
    a list of words.
    """
    if isinstance(command, (list, tuple)):
        words = [str(w) for w in command]
    else:
        words = shlex.split(str(command))
    return words + [str(a) for a in args]


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


def run_flashctl(module, args):
    """Runs flashctl ARGS --json; returns (rc, document, stderr).

    Fails the module when flashctl cannot be started or does not answer with
    a contract document, since nothing about the card is known then.
    """
    argv = flashctl_argv(module.params['flashctl_command'], list(args) + ['--json'])
    if not argv:
        module.fail_json(msg='flashctl_command is empty')
    rc, out, err = module.run_command(argv)
    doc, why = parse_document(out)
    if doc is None:
        module.fail_json(msg=why, rc=rc, cmd=argv, stdout=out, stderr=err)
    return rc, doc, err
