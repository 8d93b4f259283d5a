"""Text codecs beside the interpreter's own codecs, on 1 MB of ASCII and 1 MB of mixed text.

Each row is our time divided by Python's time for the same work in the same run (below 1 is
faster). Targets: 1.0 for the Unicode, US-ASCII and ISO-8859-1 pairs, 1/3 for Windows-1252.
"""
import bitloom
from harness import ratio, report

MB = 1 << 20


def fill(unit, size=MB):
    """`unit` repeated until its UTF-8 form is about `size` bytes."""
    return unit * max(1, size // len(unit.encode()))


ASCII = fill("The quick brown fox jumps over the lazy dog; 0123456789.\n")
# Mixed text: Latin accents, CJK and emoji, as in multilingual telemetry labels.
MIXED = fill("Température élevée, naïve café. 温度センサー異常 東京 😀🚀 ok ")
LATIN1 = fill("Température élevée, naïve café, Ærøskøbing, Straße. ")
CP1252 = fill("Température élevée “naïve” café — 5 € … ‘ok’ Œuvre. ")

UNICODE = [  # (our suffix, Python codec)
    ("utf8", "utf-8"), ("utf16be", "utf-16-be"), ("utf16le", "utf-16-le"),
    ("utf32be", "utf-32-be"), ("utf32le", "utf-32-le"),
]
SINGLE = [("us_ascii", "ascii", None), ("iso_8859_1", "latin-1", LATIN1),
          ("windows_1252", "cp1252", CP1252)]


def pair(label, ours, theirs, target, rows):
    assert ours() == theirs(), label
    # Rounds alternate between the two, so load from elsewhere falls on both alike.
    rows.append((label, ratio("ours()", "theirs()", {"ours": ours, "theirs": theirs},
                              rounds=15, number=10), target))


def run():
    rows = []
    for text_name, text in (("ascii", ASCII), ("mixed", MIXED)):
        for suffix, codec in UNICODE:
            enc = getattr(bitloom, "encode_" + suffix)
            dec = getattr(bitloom, "decode_" + suffix)
            data = text.encode(codec)
            enc(text)  # the str caches its UTF-8 on first use, for us and for Python alike
            pair(f"encode_{suffix} {text_name}", lambda: enc(text), lambda: text.encode(codec), 1.0, rows)
            pair(f"decode_{suffix} {text_name}", lambda: dec(data), lambda: data.decode(codec), 1.0, rows)
    for suffix, codec, mixed in SINGLE:
        target = 1 / 3 if codec == "cp1252" else 1.0
        enc = getattr(bitloom, "encode_" + suffix)
        dec = getattr(bitloom, "decode_" + suffix)
        for text_name, text in (("ascii", ASCII), ("mixed", mixed)):
            if text is None:
                continue
            data = text.encode(codec)
            enc(text)
            pair(f"encode_{suffix} {text_name}", lambda: enc(text), lambda: text.encode(codec), target, rows)
            pair(f"decode_{suffix} {text_name}", lambda: dec(data), lambda: data.decode(codec), target, rows)
    report("text codecs, 1 MB: our time / Python's time", rows, unit="x Python's time")


if __name__ == "__main__":
    run()
