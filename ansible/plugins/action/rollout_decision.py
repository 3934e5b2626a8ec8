# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
#
# The rollout's decisions, on the control node (documented in
# plugins/modules/rollout_decision.py; the logic is module_utils/rollout.py).
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import shutil
import subprocess
import time

from ansible.module_utils.six import string_types
from ansible.plugins.action import ActionBase
from ansible_collections.flash_update.cards.plugins.module_utils import rollout as r
from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import command_words as words, parse_document

STEPS = ('check', 'plan', 'wave', 'gate', 'report')
ARGS = {
    'step': None, 'hosts': [], 'batch': [], 'waves': [1, '100%'], 'max_failures': 1, 'canary_strict': True,
    'soak_seconds': 0, 'release': False, 'bundle_read': None, 'plan': None, 'require_rehearsal': None,
    'rehearse': False, 'report': None, 'gate_command': None, 'gate_timeout': 600, 'twins': None,
    'twin_launcher': 'flash-update-vcard', 'twin_flashctl': 'flashctl', 'legacy_serial': None,
    'checked': None, 'decided': None,
}


def _bool(value):
    if isinstance(value, bool):
        return value
    return str(value).strip().lower() in ('1', 'true', 'yes', 'on')


class ActionModule(ActionBase):

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(ARGS)

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(ARGS, **self._task.args)
        if args['step'] not in STEPS:
            return dict(result, failed=True, msg='step must be one of %s' % ', '.join(STEPS))
        self._hostvars = (task_vars or {}).get('hostvars', {})
        try:
            out = getattr(self, '_' + args['step'])(args)
        except r.RolloutError as e:
            after = {'check': '; no card was touched', 'plan': '; no card was changed'}.get(args['step'], '')
            return dict(result, failed=True, changed=False, msg='%s%s' % (e, after))
        result.update(out)
        result.setdefault('changed', False)
        return result

    def _var(self, host, name):
        try:
            value = self._hostvars[host].get(name)
        except KeyError:
            return None
        return value if isinstance(value, dict) else None

    # The play's variables and files, before any card is asked.
    def _check(self, a):
        if a['legacy_serial'] is not None:
            raise r.RolloutError('rollout_serial is replaced by rollout_waves (for instance rollout_waves=[1, %s])'
                                 % json.dumps(a['legacy_serial']))
        hosts = list(a['hosts'])
        waves = r.parse_waves(a['waves'])
        budget = r.parse_budget(a['max_failures'], len(hosts))
        try:
            soak = int(a['soak_seconds'])
        except (TypeError, ValueError):
            soak = -1
        if soak < 0:
            raise r.RolloutError('rollout_soak_seconds %s is not a number of seconds' % json.dumps(a['soak_seconds']))
        if a['gate_command'] is not None and not words(a['gate_command']):
            raise r.RolloutError('rollout_gate_command is empty')
        rehearse = _bool(a['rehearse'])
        needs_release = [n for n, v in (('rehearse', rehearse), ('rollout_require_rehearsal', a['require_rehearsal']),
                                        ('rollout_plan', a['plan'])) if v]
        if needs_release and not a['release']:
            raise r.RolloutError('%s needs release_bundle: plans and rehearsals are of a release' % needs_release[0])
        if rehearse and a['require_rehearsal']:
            raise r.RolloutError('a rehearsal is not bound to another rehearsal: give rehearse or '
                                 'rollout_require_rehearsal, not both')
        if rehearse and not a['report']:
            raise r.RolloutError('rehearse needs rollout_report, the file the rehearsal record goes to')
        identity = None
        bundle = None
        if a['release']:
            read = a['bundle_read'] or {}
            doc, why = parse_document(read.get('stdout', ''))
            bundle = doc.get('bundle') if doc else None
            identity = r.bundle_identity(bundle)
            if identity is None:
                error = doc.get('error') if doc else None
                raise r.RolloutError('the release bundle cannot be read: %s' % (
                    error.get('message') if isinstance(error, dict) else why or 'flashctl named no release'))
            r.check_plan_file(a['plan'], identity)
            if a['require_rehearsal']:
                r.read_rehearsal(a['require_rehearsal'], identity)
        return dict(fleet=hosts, waves=waves, budget=budget, soak_seconds=soak,
                    bundle=dict((k, bundle.get(k)) for k in ('path', 'release', 'manifest_sha256', 'signer'))
                    if bundle else None,
                    mode='rehearsal' if rehearse else 'check' if self._task.check_mode else 'rollout',
                    msg='%d hosts in waves %s, stopping at %d failed' % (len(hosts), json.dumps(waves), budget))

    # The fleet's plan, which hosts start, and the twins of a rehearsal.
    def _plan(self, a):
        checked = a['checked'] or {}
        identity = r.bundle_identity(checked.get('bundle'))
        plan = dict(schema_version=r.SCHEMA_VERSION, kind=r.PLAN_KIND, bundle=checked.get('bundle'), hosts={})
        refused, allowed = {}, []
        record = r.read_rehearsal(a['require_rehearsal'], identity) if a['require_rehearsal'] else None
        for host in a['hosts']:
            error = self._hostvars[host].get('rollout_gather_error')
            if identity is None:
                if error:
                    refused[host] = 'not read: %s' % error
                else:
                    allowed.append(host)
                continue
            result = self._var(host, 'rollout_planned') or {}
            planned = r.planned_host(result, self._var(host, 'rollout_state') or {})
            inventory = (self._var(host, 'rollout_inventory') or {}).get('cards')
            if inventory:
                planned['inventory'] = dict(schema_version=r.SCHEMA_VERSION, cards=inventory)
            plan['hosts'][host] = planned
            hosts_bundle = r.bundle_identity(result.get('bundle'))
            if error or not planned['plan_digest']:
                refused[host] = 'not planned: %s' % (error or 'flashctl gave no plan')
            elif hosts_bundle != identity:
                raise r.RolloutError('%s holds %s at the bundle path, not %s' % (
                    host, r.describe(hosts_bundle), r.describe(identity)))
            else:
                why = r.rehearsal_refusal(host, planned, record) if record is not None else None
                if why:
                    refused[host] = why
                else:
                    allowed.append(host)
        if a['plan'] and identity is not None:
            r.write_document(a['plan'], plan)
        twins = self._make_twins(a, plan, allowed) if a['rehearse'] else {}
        return dict(allowed=allowed, refused=refused, twins=twins, planned=plan['hosts'],
                    msg='%d hosts start, %d refused%s' % (len(allowed), len(refused), ''.join(
                        '; %s: %s' % (h, why) for h, why in sorted(refused.items()))))

    def _make_twins(self, a, plan, allowed):
        """A twin per host from its inventory, in a fresh directory
        TWINS/HOST (what a earlier rehearsal left there goes first)."""
        root = a['twins']
        if not root:
            raise r.RolloutError('rehearse needs rollout_twins, the directory of the twins')
        twins = {}
        if allowed and not os.path.isdir(root):
            os.makedirs(root)
        for host in allowed:
            entry = plan['hosts'][host]
            state = os.path.join(root, host)
            source = state + '.inventory.json'
            if os.path.lexists(state):
                shutil.rmtree(state)
            r.write_document(source, entry['inventory'])
            address = ['--state', state, '--bdf', entry['card']]
            proc = subprocess.run(words(a['twin_launcher']) + address + ['--twin', source, '--', 'true'],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            if proc.returncode != 0:
                raise r.RolloutError('the twin of %s cannot be made: %s' % (host, proc.stderr.strip()))
            twins[host] = dict(command=words(a['twin_launcher']) + address + ['--'] + words(a['twin_flashctl']),
                               history=os.path.join(state, 'history.jsonl'))
        return twins

    def _stopped(self, hosts):
        for host in hosts:
            gate = self._var(host, 'rollout_gate')
            if gate and gate.get('stop'):
                return gate['stop']
        return None

    # At a wave's start: its number, and whether the rollout stopped before.
    def _wave(self, a):
        hosts, batch = list(a['hosts']), list(a['batch'])
        wave, last = r.wave_of(r.parse_waves(a['waves']), len(hosts), hosts.index(batch[0]))
        stop = self._stopped(hosts)
        return dict(wave=wave, last=last, stop=stop,
                    msg='wave %d: %s' % (wave, 'not started (%s)' % stop['message'] if stop else ', '.join(batch)))

    # At a wave's end: its outcomes, the health gate, whether to go on.
    def _gate(self, a):
        hosts, batch = list(a['hosts']), list(a['batch'])
        waves = r.parse_waves(a['waves'])
        wave = r.wave_of(waves, len(hosts), hosts.index(batch[0]))[0]
        facts = dict((h, self._var(h, 'rollout_result')) for h in hosts)
        outcomes = dict((h, r.host_outcome(f)) for h, f in facts.items() if f)
        entries = dict((h, outcomes.get(h) or r.host_outcome({})) for h in batch)
        failures = sum(1 for o in outcomes.values() if o['outcome'] == 'failed')
        gate = dict(passed=True, command=None)
        bad = r.compliance_gate(entries)
        if bad:
            gate.update(passed=False, message=', '.join('%s is %s' % (h, s) for h, s in sorted(bad.items())))
        done = [h for h in batch if entries[h].get('outcome') in r.SUCCESS]
        if gate['passed'] and a['gate_command'] and done:
            if self._task.check_mode or _bool(a['rehearse']):
                gate['command'] = dict(skipped='check mode' if self._task.check_mode else 'rehearsal')
            else:
                gate['command'] = self._run_gate(words(a['gate_command']) + done, int(a['gate_timeout']))
                if gate['command']['rc'] != 0:
                    gate.update(passed=False, message='%s exited %s' % (
                        ' '.join(words(a['gate_command'])), gate['command']['rc']))
        budget = (a['checked'] or {}).get('budget', 1)
        stop = r.wave_verdict(wave, entries, failures, budget, _bool(a['canary_strict']), gate)
        return dict(wave=wave, gate=gate, stop=stop, failures=failures,
                    msg='wave %d: %s; %s' % (wave, ', '.join('%s %s' % (h, entries[h]['outcome']) for h in batch),
                                            stop['message'] if stop else 'gate passed'))

    @staticmethod
    def _run_gate(argv, timeout):
        start = time.time()
        try:
            proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                                  timeout=timeout)
            rc, out, err = proc.returncode, proc.stdout, proc.stderr
        except subprocess.TimeoutExpired:
            rc, out, err = 'timeout after %d s' % timeout, '', ''
        except OSError as e:
            rc, out, err = 'not started (%s)' % (e.strerror or e), '', ''
        return dict(argv=argv, rc=rc, stdout=out[-4096:], stderr=err[-4096:], seconds=round(time.time() - start, 3))

    # The report of the whole rollout (or the record of a rehearsal).
    def _report(self, a):
        checked = a['checked'] or {}
        decided = a['decided'] or {}
        planned = decided.get('planned') or {}
        report = dict(schema_version=r.SCHEMA_VERSION, kind=r.KIND, mode=checked.get('mode', 'rollout'),
                      bundle=checked.get('bundle'), fleet=len(a['hosts']), waves=checked.get('waves'),
                      max_failures=checked.get('budget'), soak_seconds=checked.get('soak_seconds'),
                      stopped=self._stopped(a['hosts']), gates=[], hosts={})
        seen = set()
        for host in a['hosts']:
            fact = self._var(host, 'rollout_result')
            entry = r.host_outcome(fact) if fact else dict(outcome='not_started')
            if host in (decided.get('refused') or {}):
                entry = dict(outcome='refused', reason=decided['refused'][host])
            p = planned.get(host) or {}
            entry.update(card=p.get('card') or self._hostvars[host].get('card_address'),
                         plan_digest=p.get('plan_digest'), state_before=p.get('state'))
            if report['mode'] == 'rehearsal' and entry.get('applied_plan_digest'):
                entry['twin_plan_digest'] = entry.pop('applied_plan_digest')
            report['hosts'][host] = entry
            gate = self._var(host, 'rollout_gate')
            if gate and gate.get('wave') not in seen:
                seen.add(gate.get('wave'))
                report['gates'].append(dict(wave=gate.get('wave'), gate=gate.get('gate')))
        if a['report']:
            r.write_document(a['report'], report)
        line = r.summary(report)
        complete = all(e['outcome'] in r.SUCCESS + ('would_change',) for e in report['hosts'].values())
        return dict(report=report, msg=line, failed=not complete)
