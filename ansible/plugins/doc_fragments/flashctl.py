# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    # What every module of the collection takes and needs: flashctl on the
    # managed host, and how to run it.
    DOCUMENTATION = r'''
options:
  flashctl_command:
    description:
      - The command that runs flashctl, as a string (split into words like a shell would, without
        running a shell) or a list of words. Arguments are appended to it.
      - A rehearsal on a virtual card passes the launcher, for example
        C(flash-update-vcard --state /srv/twins/host1 -- flashctl).
    type: raw
    default: flashctl
requirements:
  - flashctl from the C(flash-update) package on the managed host.
notes:
  - Cards, partitions, image and bundle paths are passed to flashctl after C(--), where flashctl
    reads every word as a value even when it starts with C(-); options that take a value are given
    as C(--name=value).
  - Card addresses are PCI addresses, C(domain:bus:device.function) in hexadecimal with a function
    from 0 to 7, for example C(0000:03:00.0). Upper-case hexadecimal digits are accepted and passed
    in lower case, as sysfs spells addresses; anything else fails the task before flashctl runs.
'''
