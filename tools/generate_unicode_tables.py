#!/usr/bin/env python3
"""Writes the Unicode property tables that the quoting of rendered error texts uses.

Usage: generate_unicode_tables.py OUTPUT_HEADER

The tables come from the running interpreter's Unicode database (unicodedata), so
they follow the Unicode version of the build interpreter. Each table is a sorted
list of inclusive code point ranges, searched with a binary search.
"""

import os
import sys
import tempfile
import unicodedata

# PropList.txt's Other_Grapheme_Extend for Unicode 15.1.0, the version of the
# interpreter's unicodedata. unicodedata does not expose this contributory
# property, so it is written out here. A new Unicode version must bring a new list.
OTHER_GRAPHEME_EXTEND_VERSION = "15.1.0"
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE),  # BENGALI VOWEL SIGN AA
    (0x09D7, 0x09D7),  # BENGALI AU LENGTH MARK
    (0x0B3E, 0x0B3E),  # ORIYA VOWEL SIGN AA
    (0x0B57, 0x0B57),  # ORIYA AU LENGTH MARK
    (0x0BBE, 0x0BBE),  # TAMIL VOWEL SIGN AA
    (0x0BD7, 0x0BD7),  # TAMIL AU LENGTH MARK
    (0x0CC2, 0x0CC2),  # KANNADA VOWEL SIGN UU
    (0x0CD5, 0x0CD6),  # KANNADA LENGTH MARK..KANNADA AI LENGTH MARK
    (0x0D3E, 0x0D3E),  # MALAYALAM VOWEL SIGN AA
    (0x0D57, 0x0D57),  # MALAYALAM AU LENGTH MARK
    (0x0DCF, 0x0DCF),  # SINHALA VOWEL SIGN AELA-PILLA
    (0x0DDF, 0x0DDF),  # SINHALA VOWEL SIGN GAYANUKITTA
    (0x1B35, 0x1B35),  # BALINESE VOWEL SIGN TEDUNG
    (0x200C, 0x200C),  # ZERO WIDTH NON-JOINER
    (0x302E, 0x302F),  # HANGUL SINGLE DOT TONE MARK..HANGUL DOUBLE DOT TONE MARK
    (0xFF9E, 0xFF9F),  # HALFWIDTH KATAKANA VOICED SOUND MARK..SEMI-VOICED SOUND MARK
    (0x1133E, 0x1133E),  # GRANTHA VOWEL SIGN AA
    (0x11357, 0x11357),  # GRANTHA AU LENGTH MARK
    (0x114B0, 0x114B0),  # TIRHUTA VOWEL SIGN AA
    (0x114BD, 0x114BD),  # TIRHUTA VOWEL SIGN SHORT O
    (0x115AF, 0x115AF),  # SIDDHAM VOWEL SIGN AA
    (0x11930, 0x11930),  # DIVES AKURU VOWEL SIGN AA
    (0x1D165, 0x1D165),  # MUSICAL SYMBOL COMBINING STEM
    (0x1D16E, 0x1D172),  # MUSICAL SYMBOL COMBINING FLAG-1..FLAG-5
    (0xE0020, 0xE007F),  # TAG SPACE..CANCEL TAG
]
# PropList.txt's own total for the list above.
OTHER_GRAPHEME_EXTEND_TOTAL = 127

# General categories whose characters are not printable; the space is the one
# separator that is.
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}

# str.isspace() is White_Space plus the four information separators U+001C..U+001F,
# which it counts because of their bidirectional class; White_Space does not.
INFORMATION_SEPARATORS = range(0x1C, 0x20)

LAST_CODE_POINT = 0x10FFFF


def ranges_of(predicate):
    found = []
    start = None
    for code in range(LAST_CODE_POINT + 1):
        if predicate(code):
            if start is None:
                start = code
        elif start is not None:
            found.append((start, code - 1))
            start = None
    if start is not None:
        found.append((start, LAST_CODE_POINT))
    return found


def category(code):
    return unicodedata.category(chr(code))


def check_other_grapheme_extend():
    if unicodedata.unidata_version != OTHER_GRAPHEME_EXTEND_VERSION:
        sys.exit(
            f"generate_unicode_tables.py: the interpreter's Unicode database is "
            f"{unicodedata.unidata_version}, but the Other_Grapheme_Extend list is "
            f"{OTHER_GRAPHEME_EXTEND_VERSION}'s; update the list from that version's PropList.txt"
        )
    codes = [code for first, last in OTHER_GRAPHEME_EXTEND for code in range(first, last + 1)]
    if len(codes) != OTHER_GRAPHEME_EXTEND_TOTAL or codes != sorted(set(codes)):
        sys.exit("generate_unicode_tables.py: the Other_Grapheme_Extend list is mistyped")
    for code in codes:
        # The list names assigned characters that are not already marks.
        if category(code) in ("Cn", "Mn", "Me"):
            sys.exit(
                f"generate_unicode_tables.py: U+{code:04X} does not belong in "
                f"Other_Grapheme_Extend for Unicode {unicodedata.unidata_version}"
            )
    return set(codes)


def render_table(name, comment, ranges):
    lines = [f"// {comment}", f"inline constexpr CodePointRange {name}[] = {{"]
    row = []
    for first, last in ranges:
        row.append(f"{{0x{first:X}, 0x{last:X}}},")
        if len(row) == 6:
            lines.append("    " + " ".join(row))
            row = []
    if row:
        lines.append("    " + " ".join(row))
    lines.append("};")
    return "\n".join(lines)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: generate_unicode_tables.py OUTPUT_HEADER")
    output = sys.argv[1]

    other_grapheme_extend = check_other_grapheme_extend()
    not_printable = ranges_of(
        lambda code: code != 0x20 and category(code) in NOT_PRINTABLE_CATEGORIES
    )
    grapheme_extend = ranges_of(
        lambda code: category(code) in ("Mn", "Me") or code in other_grapheme_extend
    )
    white_space = ranges_of(lambda code: chr(code).isspace() and code not in INFORMATION_SEPARATORS)

    text = "\n".join(
        [
            "// Unicode property tables for quoting texts; generated by "
            "tools/generate_unicode_tables.py, do not edit.",
            "#pragma once",
            "",
            "namespace gridflip::unicode {",
            "",
            "// Inclusive, sorted, non-overlapping.",
            "struct CodePointRange {",
            "  char32_t first;",
            "  char32_t last;",
            "};",
            "",
            f'inline constexpr char unicode_version[] = "{unicodedata.unidata_version}";',
            "",
            render_table(
                "not_printable",
                "General category Cc, Cf, Cs, Co, Cn, Zl, Zp, or Zs other than the space.",
                not_printable,
            ),
            "",
            render_table(
                "grapheme_extend",
                "Grapheme_Extend: Mn, Me and Other_Grapheme_Extend.",
                grapheme_extend,
            ),
            "",
            render_table("white_space", "White_Space.", white_space),
            "",
            "}  // namespace gridflip::unicode",
            "",
        ]
    )

    directory = os.path.dirname(os.path.abspath(output))
    os.makedirs(directory, exist_ok=True)
    # Written whole and renamed, so an interrupted build never leaves half a header.
    handle, temporary = tempfile.mkstemp(dir=directory, suffix=".tmp")
    with os.fdopen(handle, "w", encoding="ascii") as stream:
        stream.write(text)
    os.replace(temporary, output)


if __name__ == "__main__":
    main()
