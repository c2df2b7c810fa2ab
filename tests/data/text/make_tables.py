#!/usr/bin/python3
"""Generates the expected text-conversion tables from Python's own codecs.

Run once; the output files are kept as test data so the tests do not need
Python. The tables are an independent oracle: they come from Python's
cp1252 and UTF-8 codecs and from unicodedata, not from our code."""
import random
import unicodedata

# Windows-1252: Python leaves five bytes undefined; those keep their value.
with open("cp1252.tsv", "w") as f:
    for b in range(256):
        try:
            cp = ord(bytes([b]).decode("cp1252"))
        except UnicodeDecodeError:
            cp = b
        f.write(f"{b:02X}\t{cp:04X}\n")

# The 8-bit approximation of U+0100..U+017E: the base letter of the canonical
# decomposition, with the deliberate exceptions of the product listed here.
exceptions = {
    0x0100: 0xC4, 0x0101: 0xE4, 0x0110: 0xD0, 0x0111: ord("d"),
    0x0126: ord("H"), 0x0127: ord("h"), 0x0131: ord("i"), 0x0132: ord("J"), 0x0133: ord("j"),
    0x0138: ord("K"), 0x013F: ord("L"), 0x0140: ord("l"), 0x0141: ord("L"), 0x0142: ord("l"),
    0x0149: ord("n"), 0x014A: ord("N"), 0x014B: ord("n"),
    0x014C: 0xD6, 0x014D: 0xF6, 0x0150: 0xD5, 0x0151: 0xF5,
    0x0152: ord("A"), 0x0153: ord("a"), 0x0166: ord("T"), 0x0167: ord("t"),
}
with open("approx.tsv", "w") as f:
    for cp in range(0x100, 0x17F):
        if cp in exceptions:
            b = exceptions[cp]
        else:
            base = unicodedata.normalize("NFD", chr(cp))[0]
            assert base.isascii() and base.isalpha(), hex(cp)
            b = ord(base)
        f.write(f"{cp:04X}\t{b:02X}\n")

# UTF-16 -> UTF-8 over random strings, astral and lone surrogates included.
# A lone surrogate has no UTF-8 form and is written as U+FFFD, so that the
# result is always valid UTF-8.
rng = random.Random(1234)
def rand_char():
    r = rng.random()
    if r < 0.3: return chr(rng.randrange(0x20, 0x7F))
    if r < 0.5: return chr(rng.randrange(0x80, 0x800))
    if r < 0.7: return chr(rng.choice([rng.randrange(0x800, 0xD800), rng.randrange(0xE000, 0x10000)]))
    if r < 0.95: return chr(rng.randrange(0x10000, 0x110000))
    return chr(rng.randrange(0xD800, 0xE000))
with open("utf16_to_utf8.tsv", "w") as f:
    for _ in range(400):
        s = "".join(rand_char() for _ in range(rng.randrange(1, 12)))
        u16 = s.encode("utf-16-le", "surrogatepass")
        units = [u16[i] | (u16[i + 1] << 8) for i in range(0, len(u16), 2)]
        # Lone surrogates that happen to pair up form a code point, as in UTF-16.
        joined = u16.decode("utf-16-le", "surrogatepass")
        joined = "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in joined)
        u8 = joined.encode("utf-8")
        f.write(" ".join(f"{u:04X}" for u in units) + "\t" + u8.hex().upper() + "\n")

# UTF-8 with ill-formed sequences: Python's "replace" substitutes U+FFFD for
# each maximal ill-formed subpart. Each sample ends in ASCII so no sequence is
# cut by the end of the data.
pieces = [b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\x81", b"\xe0\x80\xaf", b"\xed\xa0\x80",
          b"\xf4\x90\x80\x80", b"\xf5\x80", b"\xf8\x88\x80\x80\x80", b"\xff", b"\xe2\x82",
          b"\xf0\x9f\x98", b"\xc3", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"A", b"z", b"\xc3\xa9"]
with open("utf8_to_utf16.tsv", "w") as f:
    for _ in range(400):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 8))) + b"."
        s = data.decode("utf-8", "replace")
        u16 = s.encode("utf-16-le")
        units = [u16[i] | (u16[i + 1] << 8) for i in range(0, len(u16), 2)]
        f.write(data.hex().upper() + "\t" + " ".join(f"{u:04X}" for u in units) + "\n")

# File names are bytes that need not be UTF-8. Python's "surrogateescape"
# carries each byte outside a well-formed sequence as U+DC80..U+DCFF and
# back; shown, such a unit reads U+FFFD. Names from Latin-1, Windows-1252,
# Shift-JIS and CP437 systems, broken and overlong sequences, encoded
# surrogates and random bytes.
name_pieces = [b"caf\xe9", b"\x93quote\x94", b"\x82\xa0\x83J", b"\x8e\xa4", b"\xe9", b"\xa9", b"\xed\xa0\x80",
               b"\xed\xbf\xbf", b"\xed\x9f\xbf", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xf0\x80\x80\x80", b"\xf4\x90\x80\x80",
               b"\xf8\x88\x80\x80\x80", b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xc3\xa9", b"\xe2\x82\xac",
               b"\xf0\x9f\x98\x80", b"\xef\xbf\xbd", b".jpg", b" ", b"-"]
with open("name_bytes.tsv", "w") as f:
    for n in range(600):
        if n % 3 == 2:
            data = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1, 10)))
        else:
            data = b"".join(rng.choice(name_pieces) for _ in range(rng.randrange(1, 6)))
        s = data.decode("utf-8", "surrogateescape")
        u16 = s.encode("utf-16-le", "surrogatepass")
        units = [u16[i] | (u16[i + 1] << 8) for i in range(0, len(u16), 2)]
        shown = "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in s).encode("utf-8")
        f.write(data.hex().upper() + "\t" + " ".join(f"{u:04X}" for u in units) + "\t" + shown.hex().upper() + "\n")
