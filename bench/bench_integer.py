"""Call overhead of the integer and BCD codecs against a cheap builtin that allocates its result."""
import operator

import bitloom
from harness import ratio, report

CASES = [
    ("encode_twos_complement(-2, 16)", "encode_twos_complement(value=-2, bits=16)"),
    ("decode_twos_complement(65534, 16)", "decode_twos_complement(value=65534, bits=16)"),
    ("encode_packed_bcd(1234, 16)", "encode_packed_bcd(value=1234, bits=16)"),
]


def run():
    env = {name: getattr(bitloom, name) for name in bitloom.__all__}
    env["add"] = operator.add
    rows = []
    for positional, keyword in CASES:
        rows.append((positional, ratio(positional, "add(300, 400)", env), 1.25))
        rows.append((keyword, ratio(keyword, "add(300, 400)", env), 1.5))
    report("integer codecs: time per call / operator.add(300, 400)", rows, unit="x")


if __name__ == "__main__":
    run()
