# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    # What each attribute means; a module states its support of each.
    DOCUMENTATION = r'''
options: {}
attributes:
  check_mode:
    description: Can run in C(check_mode) and return changed status prediction without modifying
      target.
  diff_mode:
    description: Will return details on what has changed (or possibly needs changing in
      C(check_mode)), when in diff mode.
'''

    PLATFORM = r'''
options: {}
attributes:
  platform:
    description: Target OS/families that can be operated against.
    support: N/A
'''

    # With the standard fragment, for a module that only reads.
    INFO_MODULE = r'''
options: {}
attributes:
  check_mode:
    support: full
    details:
      - This action does not modify state.
  diff_mode:
    support: N/A
    details:
      - This action does not modify state.
'''
