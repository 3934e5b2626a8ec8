// SPDX-License-Identifier: Apache-2.0
// A card's PCI address as every program of the project takes it: the
// address of the card's bridge, dddd:bb:dd.f.
//
// The one check of that shape. An address goes into sysfs paths, the card's
// scratch directory and an lspci command line, so nothing passes but the
// twelve characters: hexadecimal domain, bus and device, a function 0-7, no
// blank or line feed before or after. The test is by byte, so no locale
// widens what a hexadecimal digit is.
#pragma once

#include <cstddef>

// True when text is a card address dddd:bb:dd.f; false for null.
constexpr bool card_address_valid(const char *text) {
    constexpr char k_shape[] = "hhhh:hh:hh.f";  // h a hexadecimal digit, f a function 0-7
    if (text == nullptr) return false;
    for (size_t i = 0; i + 1 < sizeof k_shape; ++i) {
        // The text's end, a NUL, fails every position.
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        const bool fits = k_shape[i] == 'h' ? hex : k_shape[i] == 'f' ? c >= '0' && c <= '7' : c == k_shape[i];
        if (!fits) return false;
    }
    return text[sizeof k_shape - 1] == '\0';
}
