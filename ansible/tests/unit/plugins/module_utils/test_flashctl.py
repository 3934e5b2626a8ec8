# -*- coding: utf-8 -*-
# Copyright (c) flash-update maintainers
# GNU General Public License v3.0+ (see COPYING)
# SPDX-License-Identifier: GPL-3.0-or-later
"""The card-address check every module runs before flashctl."""
import pytest

from ansible_collections.flash_update.cards.plugins.module_utils.flashctl import card_addresses


class Failed(Exception):
    pass


class Module:
    def fail_json(self, **result):
        raise Failed(result['msg'])


# Strings that are not a card address.
NOT_ADDRESSES = ['--prometheus=/any/file', '-h', '', '0000:03:00.8', '0000:3:00.0', '00000:03:00.0',
                 '0000:03:00', '0000:03:00.0 ', ' 0000:03:00.0', '0000:03:00.0\n', 'g000:03:00.0',
                 '0000-03-00.0', '0000:03:0x.0', None, 3]


@pytest.mark.parametrize('bad', NOT_ADDRESSES)
def test_refuses_what_is_not_a_card_address(bad):
    with pytest.raises(Failed) as failed:
        card_addresses(Module(), 'card', ['0000:03:00.0', bad, '0000:13:00.0'])
    assert str(failed.value) == ("card: %r is not a card address (domain:bus:device.function in hexadecimal, "
                                 "function 0-7, for example 0000:03:00.0); flashctl was not run" % bad)


def test_passes_addresses_in_lower_case():
    assert card_addresses(Module(), 'cards', ['0000:0A:1F.7', '0000:03:00.0', 'ABCD:EF:00.1']) == [
        '0000:0a:1f.7', '0000:03:00.0', 'abcd:ef:00.1']
