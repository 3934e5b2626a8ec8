#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: rollout_decision
short_description: The decisions of a rollout in waves, on the control node
description:
  - The steps of the playbook C(flash_update.cards.rollout) that decide rather than act, run on the
    control node (an action plugin; it never asks a card). Each C(step) reads what earlier tasks
    registered and returns or writes what the next ones need.
  - C(check) reads the waves and the failure budget, the release bundle's identity as
    C(flashctl bundle verify --json) printed it, an existing C(plan) file and the rehearsal record,
    and fails with one message when one does not parse or is of another bundle.
  - C(plan) reads each host's gathered plan (the registered results C(rollout_planned),
    C(rollout_state), C(rollout_inventory), and C(rollout_gather_error) of a host whose card could
    not be planned), writes the fleet's plan to C(plan), decides which hosts start (with
    C(require_rehearsal), only those whose plan digest rehearsed successfully, or whose card the
    release leaves as it is), and with C(rehearse) makes a twin of each card that starts
    (C(flash-update-vcard --twin)) in C(twins)/HOST.
  - C(wave), at a wave's start, returns its number and whether an earlier wave stopped the rollout.
  - C(gate), at a wave's end, reads each host's C(rollout_result) fact, checks that every card that
    went through reports C(pending) or C(compliant), runs C(gate_command), counts the failures of
    all waves against the budget and returns whether the rollout stops.
  - C(report) writes the report (in a rehearsal, the rehearsal record) and fails unless every host
    went through.
version_added: 0.2.0
author:
  - flash-update maintainers
extends_documentation_fragment:
  - flash_update.cards.attributes
  - flash_update.cards.attributes.platform
attributes:
  action:
    support: full
    details:
      - Runs on the control node; the files it reads and writes are on the control node.
  check_mode:
    support: full
    details:
      - Writes the plan and the report in check mode too (they describe the run, not a managed
        host), and does not run C(gate_command).
  diff_mode:
    support: none
  platform:
    support: full
    platforms: posix
options:
  step:
    description: Which decision.
    type: str
    required: true
    choices: [check, plan, wave, gate, report]
  hosts:
    description:
      - The hosts of the play (C(check), C(plan), C(report)) or of the wave play (C(wave), C(gate)),
        in the play's order.
    type: list
    elements: str
    default: []
  batch:
    description: The hosts of the current wave (C(ansible_play_batch)); C(wave) and C(gate).
    type: list
    elements: str
    default: []
  waves:
    description:
      - Hosts per wave, as the play's C(serial) list takes them; a count (1 or more) or a percentage
        (over 0, at most 100) of the hosts that start; the last repeats. A text holding a JSON list
        is read too.
    type: raw
    default: [1, "100%"]
  max_failures:
    description:
      - The failure budget (C(check)), a count of failed hosts or a percentage of the whole fleet
        (at most 100). Under one it is one.
    type: raw
    default: 1
  canary_strict:
    description: A failed card in the first wave stops the rollout whatever the budget (C(gate)).
    type: bool
    default: true
  soak_seconds:
    description: The pause after each wave, checked by C(check).
    type: int
    default: 0
  gate_command:
    description:
      - The operator's health check (C(gate)), a string (split like a shell would) or a list of
        words, run on the control node with the hosts of the wave that went through as arguments;
        exit status 0 is healthy. Not run in check mode nor in a rehearsal.
    type: raw
  gate_timeout:
    description: Seconds C(gate_command) may run before the gate counts as failed.
    type: int
    default: 600
  release:
    description: Whether the rollout is of a release bundle (C(check)).
    type: bool
    default: false
  bundle_read:
    description: The registered result of C(flashctl bundle verify --json) (C(check)).
    type: dict
  plan:
    description: The fleet's plan file (C(check) reads one that exists, C(plan) writes it).
    type: path
  require_rehearsal:
    description: The rehearsal record the rollout is bound to (C(check), C(plan)).
    type: path
  rehearse:
    description: Whether this run is a rehearsal on twins.
    type: bool
    default: false
  report:
    description: The report file (C(report); required by C(check) for a rehearsal).
    type: path
  twins:
    description: Directory of the twins of a rehearsal (C(plan)); each host's is replaced.
    type: path
  twin_launcher:
    description: The virtual card launcher on the control node, a string or a list of words.
    type: raw
    default: flash-update-vcard
  twin_flashctl:
    description: flashctl on the control node, a string or a list of words.
    type: raw
    default: flashctl
  legacy_serial:
    description: The variable C(rollout_serial) of older playbooks, refused with a message.
    type: raw
  checked:
    description: The registered result of the step C(check) (C(plan), C(gate), C(report)).
    type: dict
  decided:
    description: The registered result of the step C(plan) (C(report)).
    type: dict
notes:
  - A bad variable or file fails C(check) or C(plan) with one message ending in C(no card was
    touched).
  - Files are written whole (a temporary file renamed).
seealso:
  - module: flash_update.cards.card_release
  - module: flash_update.cards.card_compliance
'''

EXAMPLES = r'''
- name: Check the waves and the budget of a fleet
  flash_update.cards.rollout_decision:
    step: check
    hosts: "{{ ansible_play_hosts_all }}"
    waves: [1, "10%", "50%", "100%"]
    max_failures: "5%"
  delegate_to: localhost
  run_once: true
  register: rollout_checked
'''

RETURN = r'''
fleet:
  description: The hosts of the rollout (C(check)).
  returned: step check
  type: list
  elements: str
  sample: [host1, host2]
waves:
  description: The waves as read (C(check)).
  returned: step check
  type: list
  sample: [1, "10%", "100%"]
budget:
  description: The failed hosts that stop the rollout (C(check)).
  returned: step check
  type: int
  sample: 3
soak_seconds:
  description: The pause after each wave but the last (C(check)).
  returned: step check
  type: int
  sample: 0
bundle:
  description: The release bundle's path, release, manifest_sha256 and signer (C(check)).
  returned: step check
  type: dict
  sample: {path: /srv/larch-fw-2.15.0.tar, release: {name: larch-fw, version: 2.15.0}, manifest_sha256: 8ce4...}
mode:
  description: C(rollout), C(rehearsal) or C(check).
  returned: step check
  type: str
  sample: rollout
allowed:
  description: The hosts that start (C(plan)).
  returned: step plan
  type: list
  elements: str
  sample: [host1, host2]
refused:
  description:
    - Each host refused before any wave, with why (C(plan)) - C(drifted), C(never_rehearsed),
      C(failed_in_rehearsal), or C(not planned) and flashctl's message.
  returned: step plan
  type: dict
  sample: {host3: drifted}
planned:
  description: Each host's line of the plan (card, plan_digest, verdict, would_change, state).
  returned: step plan
  type: dict
  sample: {host1: {card: "0000:03:00.0", plan_digest: 8534..., verdict: apply, would_change: true, state: outdated}}
twins:
  description: Each twin's flashctl command and history file (C(plan) with C(rehearse)).
  returned: step plan
  type: dict
  sample: {host1: {command: [flash-update-vcard, --state, twins/host1, --bdf, "0000:03:00.0", --, flashctl],
                   history: twins/host1/history.jsonl}}
wave:
  description: The wave's number, from 1 (C(wave), C(gate)).
  returned: steps wave and gate
  type: int
  sample: 2
last:
  description: Whether the wave is the last (C(wave)).
  returned: step wave
  type: bool
  sample: false
stop:
  description: Why the rollout stopped (reason canary, budget or gate; wave; message), or null.
  returned: steps wave and gate
  type: dict
  sample: {reason: budget, wave: 2, message: 2 failed hosts reach the failure budget of 2}
gate:
  description: The wave's health gate (passed, message, the command's argv, rc, output, seconds).
  returned: step gate
  type: dict
  sample: {passed: true, command: {argv: [/usr/local/bin/healthy, host2], rc: 0, seconds: 0.2}}
failures:
  description: The failed hosts of all waves so far (C(gate)).
  returned: step gate
  type: int
  sample: 0
report:
  description:
    - The report as written (C(report)) - mode, bundle, fleet, waves, max_failures, stopped,
      gates, and per host its card, wave, outcome (updated, unchanged, failed, refused,
      not_started, would_change), reason, plan_digest, state_before, state_after and phases
      (component, name, status, seconds).
  returned: step report
  type: dict
  sample: {mode: rollout, stopped: null, hosts: {host1: {wave: 1, outcome: updated, state_before: outdated,
           state_after: pending}}}
'''
