# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
#
# The rollout's decisions on the control node (the action rollout_decision):
# waves and the failure budget, the plan and rehearsal files, which host
# starts, when the rollout stops, and its report. Plain functions of plain
# data; every refusal is a RolloutError with the one message the play shows.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import math
import os
import re

from ansible.module_utils.six import integer_types, string_types

SCHEMA_VERSION = 1
KIND = 'flash_update.cards.rollout'
PLAN_KIND = 'flash_update.cards.plan'
# What a host's transaction ends with when it went through.
SUCCESS = ('updated', 'unchanged')
# Why a host is refused before any wave, given a rehearsal record.
DRIFTED = 'drifted'
NEVER_REHEARSED = 'never_rehearsed'
FAILED_IN_REHEARSAL = 'failed_in_rehearsal'
# The largest document read back (a plan or record of a large fleet).
MAX_FILE_BYTES = 64 << 20

PERCENT = re.compile(r'\s*(\d+(?:\.\d+)?)\s*%\s*\Z')
COUNT = re.compile(r'\s*\d+\s*\Z')


class RolloutError(Exception):
    pass


def _is_int(value):
    return isinstance(value, integer_types) and not isinstance(value, bool)


def _percent(value):
    if isinstance(value, string_types):
        m = PERCENT.match(value)
        if m:
            return float(m.group(1))
    return None


def _count(value):
    if _is_int(value):
        return value
    if isinstance(value, string_types) and COUNT.match(value):
        return int(value)
    return None


def parse_waves(value):
    """rollout_waves as Ansible's serial takes it: a list of host counts
    (at least 1) and percentages ('10%', over 0 and at most 100). A text
    holding a JSON list, or one count or percentage, is read too."""
    shown = json.dumps(value) if not isinstance(value, string_types) else value
    if isinstance(value, string_types) and value.strip().startswith('['):
        try:
            value = json.loads(value)
        except ValueError:
            raise RolloutError('rollout_waves %s does not parse: a list of host counts and percentages such as '
                               '[1, "10%%", "50%%", "100%%"] is expected' % shown)
    if not isinstance(value, list):
        value = [value]
    if not value:
        raise RolloutError('rollout_waves is empty: a list of host counts and percentages such as '
                           '[1, "10%", "50%", "100%"] is expected')
    waves = []
    for item in value:
        count, percent = _count(item), _percent(item)
        if count is not None and count >= 1:
            waves.append(count)
        elif percent is not None and 0 < percent <= 100:
            waves.append('%g%%' % percent)
        else:
            raise RolloutError('rollout_waves %s does not parse: %s is not a host count (1 or more) or a percentage '
                               '(over 0%%, at most 100%%)' % (shown, json.dumps(item)))
    return waves


def batch_sizes(waves, hosts):
    """The hosts of each wave, as Ansible cuts a play of that many hosts
    with serial: a percentage of all the play's hosts (at least one), the
    last size repeated until every host has its wave."""
    sizes = []
    left, i = hosts, 0
    while left > 0:
        w = waves[i]
        size = w if _is_int(w) else max(1, int(float(w[:-1]) / 100.0 * hosts))
        sizes.append(min(size, left))
        left -= sizes[-1]
        i = min(i + 1, len(waves) - 1)
    return sizes


def wave_of(waves, hosts, position):
    """The wave (from 1) of the host at that position of the play, and
    whether it is the last wave."""
    sizes = batch_sizes(waves, hosts)
    end = 0
    for n, size in enumerate(sizes, 1):
        end += size
        if position < end:
            return n, n == len(sizes)
    raise RolloutError('host %d is beyond the %d hosts of the play' % (position, hosts))


def parse_budget(value, fleet):
    """The failures that stop the rollout: rollout_max_failures is a count
    or a percentage of the whole fleet. A budget under one failure is one:
    the first failure stops the rollout."""
    count, percent = _count(value), _percent(value)
    if count is not None and count >= 0:
        return max(count, 1)
    if percent is not None and percent <= 100:
        return max(1, int(math.ceil(percent * fleet / 100.0 - 1e-9)))
    if percent is not None:
        why = 'is over 100%'
    elif str(value).strip().startswith('-') and not isinstance(value, bool):
        why = 'is negative'
    else:
        why = 'is not a count of hosts or a percentage of the fleet'
    raise RolloutError('rollout_max_failures %s %s: give a count of hosts (such as 2) or a percentage of the fleet '
                       '(such as "5%%", at most 100%%)' % (json.dumps(value), why))


def bundle_identity(bundle):
    """name, version and manifest_sha256 of a bundle as flashctl reports it
    (or as a plan or record stores it); None when it names none."""
    if not isinstance(bundle, dict):
        return None
    release = bundle.get('release') if isinstance(bundle.get('release'), dict) else {}
    identity = dict(name=release.get('name'), version=release.get('version'), manifest_sha256=bundle.get('manifest_sha256'))
    if not all(isinstance(v, string_types) and v for v in identity.values()):
        return None
    return identity


def describe(identity):
    if identity is None:
        return 'no release'
    return '%s %s (manifest sha256 %s)' % (identity['name'], identity['version'], identity['manifest_sha256'][:16])


def read_document(path, what):
    """The JSON object of a file of ours; RolloutError when it is missing,
    too large, not JSON, or not the kind expected."""
    try:
        with open(path, 'rb') as f:
            text = f.read(MAX_FILE_BYTES + 1)
    except (IOError, OSError) as e:
        raise RolloutError('%s %s cannot be read: %s' % (what, path, e.strerror or e))
    if len(text) > MAX_FILE_BYTES:
        raise RolloutError('%s %s is over %d MiB' % (what, path, MAX_FILE_BYTES >> 20))
    try:
        doc = json.loads(text.decode('utf-8'))
    except (ValueError, UnicodeDecodeError) as e:
        raise RolloutError('%s %s does not parse: %s' % (what, path, e))
    if not isinstance(doc, dict) or doc.get('schema_version') != SCHEMA_VERSION:
        raise RolloutError('%s %s does not parse: not a document of schema version %d' % (what, path, SCHEMA_VERSION))
    return doc


def check_plan_file(path, identity):
    """A plan file that exists already must be one of this bundle: a plan of
    another release is never replaced (nor acted on)."""
    if not path or not os.path.exists(path):
        return
    doc = read_document(path, 'rollout_plan')
    if doc.get('kind') != PLAN_KIND:
        raise RolloutError('rollout_plan %s does not parse: not a rollout plan' % path)
    planned = bundle_identity(doc.get('bundle'))
    if planned != identity:
        raise RolloutError('rollout_plan %s is the plan of %s, not of this bundle, %s' % (
            path, describe(planned), describe(identity)))


def read_rehearsal(path, identity):
    """The rehearsal record the rollout is bound to; it must be the record
    of a rehearsal of this very bundle."""
    doc = read_document(path, 'rollout_require_rehearsal')
    if doc.get('kind') != KIND or doc.get('mode') != 'rehearsal' or not isinstance(doc.get('hosts'), dict):
        raise RolloutError('rollout_require_rehearsal %s does not parse: not the record of a rehearsal' % path)
    rehearsed = bundle_identity(doc.get('bundle'))
    if rehearsed != identity:
        raise RolloutError('rollout_require_rehearsal %s is the rehearsal of %s, not of this bundle, %s' % (
            path, describe(rehearsed), describe(identity)))
    return doc


def rehearsal_refusal(host, planned, record):
    """Why a host may not start under a rehearsal record, or None.

    planned is the host's plan now (plan_digest, would_change). A card the
    release leaves as it is needs no rehearsal. Otherwise its plan digest
    must be one whose rehearsal went through: a digest rehearsed and failed
    is failed_in_rehearsal; a host the rehearsal took with another digest
    (its card changed since) is drifted; anything else never_rehearsed."""
    if not planned.get('would_change'):
        return None
    digest = planned.get('plan_digest')
    entries = [e for e in record['hosts'].values() if isinstance(e, dict)]
    if any(e.get('plan_digest') == digest and e.get('outcome') in SUCCESS for e in entries):
        return None
    if any(e.get('plan_digest') == digest and e.get('outcome') == 'failed' for e in entries):
        return FAILED_IN_REHEARSAL
    own = record['hosts'].get(host)
    if isinstance(own, dict) and own.get('outcome') in SUCCESS + ('failed',) and own.get('plan_digest') != digest:
        return DRIFTED
    return NEVER_REHEARSED


def _first_card(result):
    cards = result.get('cards') if isinstance(result, dict) else None
    return cards[0] if isinstance(cards, list) and cards and isinstance(cards[0], dict) else {}


def planned_host(plan_result, state_result):
    """A host's line of the plan from the gathered results (card_release in
    check mode, card_compliance)."""
    card = _first_card(plan_result)
    return dict(card=card.get('card'), plan_digest=card.get('plan_digest'), verdict=card.get('verdict'),
                would_change=bool(plan_result.get('would_change')), state=_first_card(state_result).get('state'))


def phases(result):
    """Each phase of a host's transaction with its seconds: per component of
    a release, or the image's."""
    out = []
    card = _first_card(result)
    for c in card.get('components') or []:
        for p in (c.get('phases') if isinstance(c, dict) else None) or []:
            out.append(dict(component=c.get('file'), name=p.get('name'), status=p.get('status'),
                            seconds=p.get('seconds')))
    if isinstance(result, dict) and isinstance(result.get('phases'), list):
        out.extend(dict(component=result.get('partition'), name=p.get('name'), status=p.get('status'),
                        seconds=p.get('seconds')) for p in result['phases'] if isinstance(p, dict))
    return out


def host_outcome(fact):
    """A host's entry of the report from what its wave recorded (the fact
    rollout_result): apply (card_release or card_firmware), compliance
    after, and whether the block failed."""
    apply = fact.get('apply') if isinstance(fact.get('apply'), dict) else {}
    card = _first_card(apply)
    entry = dict(wave=int(fact['wave']) if _count(fact.get('wave')) is not None else None, phases=phases(apply))
    if card.get('plan_digest'):
        entry['applied_plan_digest'] = card['plan_digest']
    state = _first_card(fact.get('compliance')).get('state')
    if state:
        entry['state_after'] = state
    if fact.get('failed'):
        entry.update(outcome='failed', reason=str(fact.get('error') or 'failed'))
        if fact.get('task'):
            entry['failed_task'] = fact['task']
    elif fact.get('check_mode'):
        entry['outcome'] = 'would_change' if apply.get('would_change', apply.get('changed')) else 'unchanged'
    else:
        entry['outcome'] = card.get('result') or apply.get('result') or 'unknown'
    return entry


def wave_verdict(wave, entries, failures, budget, canary_strict, gate):
    """Whether the rollout stops after a wave, and why: a failed card in the
    canary (wave 1) when canary_strict, the failures of all waves reaching
    the budget, or a failed gate. None when the next wave may start."""
    failed = [h for h, e in entries.items() if e.get('outcome') == 'failed']
    if wave == 1 and canary_strict and failed:
        return dict(reason='canary', wave=wave, message='the canary wave failed: %s' % ', '.join(sorted(failed)))
    if failures >= budget:
        return dict(reason='budget', wave=wave, message='%d failed hosts reach the failure budget of %d' % (
            failures, budget))
    if gate and not gate.get('passed', True):
        return dict(reason='gate', wave=wave, message='the health gate of wave %d failed: %s' % (
            wave, gate.get('message')))
    return None


def compliance_gate(entries):
    """The health gate's first half: every card of the wave whose transaction
    went through reports pending or compliant (a failed card counts in the
    budget instead; an image's update checks its card in its own task).
    Returns the hosts that do not, with their state."""
    return dict((h, e.get('state_after')) for h, e in entries.items()
                if e.get('outcome') in SUCCESS and 'state_after' in e
                and e['state_after'] not in ('pending', 'compliant'))


def summary(report):
    """One line: the outcomes counted, the refusals and the stop."""
    counts = {}
    for e in report['hosts'].values():
        counts[e['outcome']] = counts.get(e['outcome'], 0) + 1
    words = ', '.join('%d %s' % (n, o) for o, n in sorted(counts.items()))
    refused = ['%s: %s' % (h, e.get('reason')) for h, e in sorted(report['hosts'].items())
               if e['outcome'] == 'refused']
    line = '%s of %s: %s' % ('rehearsal' if report['mode'] == 'rehearsal' else 'rollout',
                             describe(bundle_identity(report.get('bundle'))) if report.get('bundle') else 'the image',
                             words)
    if refused:
        line += ' (refused %s)' % '; '.join(refused)
    if report.get('stopped'):
        line += '; stopped after wave %d: %s' % (report['stopped']['wave'], report['stopped']['message'])
    return line


def write_document(path, doc):
    """Writes doc as JSON, whole or not at all (a temporary file renamed)."""
    directory = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(directory, '.%s.%d.tmp' % (os.path.basename(path), os.getpid()))
    try:
        with open(tmp, 'w') as f:
            json.dump(doc, f, indent=1, sort_keys=True)
            f.write('\n')
        os.rename(tmp, path)
    except (IOError, OSError) as e:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise RolloutError('cannot write %s: %s' % (path, e.strerror or e))
