#!/usr/bin/env python3
"""Writes front_end/char_widths.inc: the characters a terminal shows in no
column (combining marks, joiners and marks of direction) and those it shows
in two (East Asian wide and full-width), as ranges of code points, from the
Unicode data Python carries. Code points not yet assigned between two ranges
of one kind are taken into it, so that the table stays short; the emoji
blocks are taken as wide throughout, as terminals draw them."""
import sys
import unicodedata


def category(cp):
    return unicodedata.category(chr(cp))


def zero(cp):
    if category(cp) in ('Mn', 'Me'):
        return True
    # Hangul vowels and final consonants join the syllable before them.
    if 0x1160 <= cp <= 0x11FF or 0xD7B0 <= cp <= 0xD7FF:
        return True
    return cp in (0x200B, 0x200C, 0x200D, 0x200E, 0x200F, 0xFEFF) or \
        0x202A <= cp <= 0x202E or 0x2060 <= cp <= 0x2064 or 0x2066 <= cp <= 0x206F


def wide(cp):
    if 0x20000 <= cp <= 0x2FFFD or 0x30000 <= cp <= 0x3FFFD:
        return True
    return category(cp) != 'Cn' and unicodedata.east_asian_width(chr(cp)) in ('W', 'F') \
        and not zero(cp)


def ranges(kind):
    found = []
    for cp in range(0x110000):
        if 0xD800 <= cp <= 0xDFFF or not kind(cp):
            continue
        if found and all(category(gap) == 'Cn' for gap in range(found[-1][1] + 1, cp)):
            found[-1][1] = cp
        elif found and kind is wide and cp >= 0x1F300 and found[-1][0] >= 0x1F300 \
                and cp - found[-1][1] <= 0x40:
            found[-1][1] = cp
        else:
            found.append([cp, cp])
    return found


def table(name, found):
    lines = [f'constexpr CodeRange {name}[] = {{']
    cells = [f'{{0x{a:X}, 0x{b:X}}}' for a, b in found]
    for i in range(0, len(cells), 5):
        lines.append('    ' + ', '.join(cells[i:i + 5]) + ',')
    lines.append('};')
    return '\n'.join(lines)


print(f'// Made by scripts/char_widths.py from Unicode {unicodedata.unidata_version}; '
      'do not edit by hand.')
print('// clang-format off')
print(table('kNoColumn', ranges(zero)))
print(table('kTwoColumns', ranges(wide)))
print('// clang-format on')
