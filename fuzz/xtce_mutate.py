"""Mutation sweep of bitloom_xtce against hostile and unusual definitions.

Each XTCE document of the shared data and of tests/data/xtce is mutated (an element deleted or
duplicated, an attribute given a hostile value, references made to point at themselves or at
each other, deep nesting, hostile sizes, bad UTF-8, entity tricks), then loaded tolerant and
strict; where it loads, its packets, random bytes and mutated packets are decoded one by one and
as a file, values and commands are encoded, and packets decoded as commands. Anything that
escapes other than ValueError or TypeError (XtceError and PacketError are ValueErrors) is a
finding, and so is a case that outlives its time limit, a MemoryError, or a dead worker.

    python fuzz/xtce_mutate.py [--cases N] [--seed S] [--timeout SECONDS] [--cli] [--out findings.txt]

Cases run in worker processes with an address-space limit; a case is retried alone in a fresh
worker when its worker dies, so a crash names its case.
"""
from __future__ import annotations

import argparse
import contextlib
import copy
import glob
import gzip
import io
import multiprocessing as mp
import os
import random
import resource
import signal
import sys
import traceback
import warnings
import xml.etree.ElementTree as ET
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SHARED = "/work/shared/xtce-data"

HOSTILE = ["-1", "0", "1" + "0" * 30, "-" + "1" * 25, "NaN", "inf", "-inf", "", "abc", "1e309", "65", "1000000000",
           "8_0", "\u0661\u0662", " 8", "0x10", "2147483648", "18446744073709551616", "1.5", "-0"]
SIZES = ["0", "65", "64", "1000000000", "-8", "129", "1"]
REF_ATTRS = ("parameterRef", "parameterTypeRef", "containerRef", "baseType", "argumentTypeRef", "argumentRef",
             "metaCommandRef", "typeRef", "instanceRef")
ALLOWED = (ValueError, TypeError)
INTERNAL = ("truth value of an", "could not be broadcast", "cannot reshape", "axis remapping", "has no len()",
            "not supported between instances", "unsupported operand", "'NoneType'", "out of bounds for axis",
            "invalid literal for int", "could not convert string", "setting an array element")
MASKED = ("KeyError", "IndexError", "AttributeError", "ZeroDivisionError", "OverflowError", "RecursionError")


def _local(tag: str) -> str:
    return tag.rpartition("}")[2]


def documents() -> list[tuple[str, bytes, list[bytes]]]:
    """(label, document, packet files) for each document."""
    out = []
    pairs = {"jpss1_geolocation": "jpss", "contrived_inheritance": "jpss", "ctim": "ctim", "idex": "idex",
             "suda": "suda"}
    packets: dict[str, list[bytes]] = {}
    for key, folder in (("jpss", "jpss_packets.bin.gz"), ("ctim", "ctim_packets.bin.gz"),
                        ("idex", "idex_packets.bin.gz"), ("suda", "suda_packets.bin.gz")):
        path = os.path.join(REPO, "tests/data/xtce", folder)
        if os.path.exists(path):
            packets[key] = [gzip.decompress(open(path, "rb").read())]
    paths = sorted(glob.glob(f"{SHARED}/**/*.xml", recursive=True)) + sorted(glob.glob(f"{REPO}/tests/data/xtce/*.xml*"))
    for path in paths:
        data = open(path, "rb").read()
        if path.endswith(".gz"):
            data = gzip.decompress(data)
        key = next((v for k, v in pairs.items() if k in os.path.basename(path)), None)
        out.append((os.path.relpath(path, "/work"), data, packets.get(key, []) if key else []))
    # the small documents of the structure tests, each with its packets
    sys.path.insert(0, os.path.join(REPO, "tests"))
    try:
        import test_xtce_structures as structures
    except ImportError:
        return out
    for name, (types, parameters, entries, packets_) in structures.CASES.items():
        doc = structures.document(types, {**structures.HEADER, **parameters}, structures.HEAD + entries)
        out.append((f"structures: {name}", doc, [b"".join(structures.ccsds(body) for body, _ in packets_)]))
    return out


# -- mutations ----------------------------------------------------------------------------------

def _names(root: ET.Element) -> list[str]:
    return [e.attrib["name"] for e in root.iter() if "name" in e.attrib]


def mutate(doc: bytes, rng: random.Random) -> tuple[str, bytes]:
    """One mutation of `doc`: (description, new document)."""
    kind = rng.choice(["delete", "duplicate", "attribute", "attribute", "selfref", "cycle", "deep", "size",
                       "size", "dynamic", "slope", "utf8", "entity", "wrongref", "text", "entry", "entry"])
    if kind == "utf8":
        i = rng.randrange(len(doc))
        j = doc.find(b'name="', i)
        if j < 0:
            j = doc.find(b'name="')
        return "bad UTF-8 in a name", doc[:j + 6] + rng.choice([b"\xff\xfe", b"\xc3", b"\xed\xa0\x80"]) + doc[j + 6:]
    if kind == "entity":
        choice = rng.randrange(4)
        head, _, rest = doc.partition(b"?>") if doc.startswith(b"<?xml") else (b"", b"", doc)
        decl = head + b"?>" if head else b""
        if choice == 0:
            ents = b'<!ENTITY a "' + b"x" * 100 + b'">' + b"".join(
                b'<!ENTITY %c "%s">' % (98 + k, (b"&%c;" % (97 + k)) * 10) for k in range(8))
            dtd = b"<!DOCTYPE SpaceSystem [" + ents + b"]>"
            rest = rest.replace(b'name="', b'name="&i;', 1)
            return "billion laughs", decl + dtd + rest
        if choice == 1:
            dtd = b'<!DOCTYPE SpaceSystem [<!ENTITY x SYSTEM "file:///etc/passwd">]>'
            rest = rest.replace(b'name="', b'name="&x;', 1)
            return "external entity in attribute", decl + dtd + rest
        if choice == 2:
            dtd = b'<!DOCTYPE SpaceSystem [<!ENTITY % p SYSTEM "file:///etc/passwd"> %p;]>'
            return "external parameter entity", decl + dtd + rest
        dtd = b'<!DOCTYPE SpaceSystem [<!ENTITY q "&q;">]>'
        rest = rest.replace(b'name="', b'name="&q;', 1)
        return "recursive entity", decl + dtd + rest
    try:
        root = ET.fromstring(doc)
    except ET.ParseError:
        return "unparsed", doc
    elements = list(root.iter())
    parents = {c: p for p in elements for c in p}
    names = _names(root)
    desc = kind
    if kind == "delete":
        e = rng.choice(elements[1:])
        parents[e].remove(e)
        desc = f"delete <{_local(e.tag)} {e.attrib.get('name', '')}>"
    elif kind == "duplicate":
        e = rng.choice(elements[1:])
        p = parents[e]
        p.insert(list(p).index(e) + 1, copy.deepcopy(e))
        desc = f"duplicate <{_local(e.tag)} {e.attrib.get('name', '')}>"
    elif kind == "attribute":
        withattrs = [e for e in elements if e.attrib]
        e = rng.choice(withattrs)
        a = rng.choice(sorted(e.attrib))
        v = rng.choice(HOSTILE)
        e.attrib[a] = v
        desc = f"<{_local(e.tag)}> {a}={v!r}"
    elif kind == "text":
        withtext = [e for e in elements if e.text and e.text.strip()] or elements
        e = rng.choice(withtext)
        v = rng.choice(HOSTILE)
        e.text = v
        desc = f"<{_local(e.tag)}> text={v!r}"
    elif kind in ("selfref", "wrongref"):
        refs = [(e, a) for e in elements for a in e.attrib if a in REF_ATTRS]
        if not refs:
            return "no refs", doc
        e, a = rng.choice(refs)
        if kind == "selfref":
            # the named element the reference sits in
            owner = e
            while owner is not None and "name" not in owner.attrib:
                owner = parents.get(owner)
            target = owner.attrib["name"] if owner is not None else "x"
        else:
            target = rng.choice(names + ["", "/", "..", "../../x", "/a/b/c"])
        e.attrib[a] = target
        desc = f"<{_local(e.tag)}> {a}={target!r} ({kind})"
    elif kind == "cycle":
        # two containers (or types, or meta commands) based on each other
        for tag, child, attr in (("SequenceContainer", "BaseContainer", "containerRef"),
                                 ("MetaCommand", "BaseMetaCommand", "metaCommandRef"),
                                 (None, None, "baseType")):
            if tag is None:
                typed = [e for e in elements if _local(e.tag).endswith("Type") and "name" in e.attrib]
                if len(typed) >= 2:
                    a, b = rng.sample(typed, 2)
                    a.attrib["baseType"] = b.attrib["name"]
                    b.attrib["baseType"] = a.attrib["name"]
                    return f"baseType cycle {a.attrib['name']} <-> {b.attrib['name']}", ET.tostring(root)
                continue
            found = [e for e in elements if _local(e.tag) == tag]
            if len(found) >= 2 and rng.random() < 0.7:
                a, b = rng.sample(found, 2)
                for x, y in ((a, b), (b, a)):
                    base = next((c for c in x if _local(c.tag) == child), None)
                    if base is None:
                        base = ET.SubElement(x, child)
                    base.attrib[attr] = y.attrib.get("name", "")
                return f"{tag} cycle {a.attrib.get('name')} <-> {b.attrib.get('name')}", ET.tostring(root)
        return "no cycle", doc
    elif kind == "deep":
        depth = rng.choice([200, 1000, 5000])
        which = rng.randrange(3)
        if which == 0:
            inner = ET.Element("SpaceSystem", name="deep")
            top = inner
            for k in range(depth):
                inner = ET.SubElement(inner, "SpaceSystem", name=f"s{k}")
            root.append(top)
            desc = f"SpaceSystem nested {depth} deep"
        else:
            comps = [e for e in elements if _local(e.tag) in ("Comparison", "Condition")]
            if not comps:
                return "no conditions", doc
            e = rng.choice(comps)
            p = parents[e]
            i = list(p).index(e)
            top = ET.Element("BooleanExpression")
            cur = top
            for k in range(depth):
                cur = ET.SubElement(cur, "ANDedConditions" if k % 2 else "ORedConditions")
                ET.SubElement(cur, "Condition").extend([ET.Element("ParameterInstanceRef",
                                                                    parameterRef=e.attrib.get("parameterRef", "x")),
                                                        ET.Element("ComparisonOperator"), ET.Element("Value")])
            p.remove(e)
            p.insert(i, top)
            desc = f"conditions nested {depth} deep"
    elif kind == "size":
        sized = [e for e in elements if "sizeInBits" in e.attrib or _local(e.tag) == "FixedValue"]
        if not sized:
            return "no sizes", doc
        e = rng.choice(sized)
        v = rng.choice(SIZES)
        if "sizeInBits" in e.attrib:
            e.attrib["sizeInBits"] = v
        else:
            e.text = v
        desc = f"<{_local(e.tag)}> size {v}"
    elif kind == "dynamic":
        refs = [e for e in elements if _local(e.tag) in ("ParameterInstanceRef", "ArgumentInstanceRef")]
        params = [e.attrib["name"] for e in elements if _local(e.tag) in ("Parameter", "Argument") and "name" in e.attrib]
        if not refs or not params:
            return "no dynamic values", doc
        e = rng.choice(refs)
        owner = e
        while owner is not None and _local(owner.tag) not in ("Parameter", "Argument", "ParameterType",
                                                               "IntegerParameterType", "BinaryParameterType",
                                                               "StringParameterType", "ArrayParameterType"):
            owner = parents.get(owner)
        target = rng.choice(params[-5:] + ([owner.attrib.get("name", "x")] if owner is not None else []))
        attr = "parameterRef" if "parameterRef" in e.attrib else "argumentRef"
        e.attrib[attr] = target
        desc = f"instance ref -> {target!r}"
    elif kind == "entry":
        # a condition, repeat or location on an entry, from any parameter (itself, a later one...)
        entries = [e for e in elements if _local(e.tag) == "ParameterRefEntry"]
        params = [e.attrib["name"] for e in elements if _local(e.tag) == "Parameter" and "name" in e.attrib]
        if not entries or not params:
            return "no entries", doc
        e = rng.choice(entries)
        other = rng.choice(params + [e.attrib.get("parameterRef", "x")])
        which = rng.randrange(3)
        if which == 0:
            cond = ET.SubElement(e, "IncludeCondition")
            ET.SubElement(cond, "Comparison", parameterRef=other, value=rng.choice(["0", "1", "x", ""]),
                          comparisonOperator=rng.choice(["==", "<", "!="]))
            desc = f"IncludeCondition on {other!r}"
        elif which == 1:
            rep = ET.SubElement(e, "RepeatEntry")
            count = ET.SubElement(rep, "Count")
            if rng.random() < 0.5:
                ET.SubElement(count, "FixedValue").text = rng.choice(["0", "1", "3", "100000", "-1"])
            else:
                dyn = ET.SubElement(count, "DynamicValue")
                ET.SubElement(dyn, "ParameterInstanceRef", parameterRef=other)
                ET.SubElement(dyn, "LinearAdjustment", slope=rng.choice(["1", "0", "-1", "1000000"]))
            desc = f"RepeatEntry counted by {other!r}"
        else:
            loc = ET.SubElement(e, "LocationInContainerInBits",
                                referenceLocation=rng.choice(["previousEntry", "containerStart"]))
            ET.SubElement(loc, "FixedValue").text = rng.choice(["-8", "-100000", "0", "7", "1000000"])
            desc = "LocationInContainerInBits"
        desc += f" on <ParameterRefEntry {e.attrib.get('parameterRef')}>"
    elif kind == "slope":
        adj = [e for e in elements if _local(e.tag) == "LinearAdjustment"]
        if not adj:
            # give a dynamic value one
            dyn = [e for e in elements if _local(e.tag) == "DynamicValue"]
            if not dyn:
                return "no LinearAdjustment", doc
            adj = [ET.SubElement(rng.choice(dyn), "LinearAdjustment")]
        e = rng.choice(adj)
        v = rng.choice(["0", "1e30", "-1", "1e-30", "NaN", "inf", "-8", "4611686018427387904"])
        e.attrib[rng.choice(["slope", "intercept"])] = v
        desc = f"LinearAdjustment {v}"
    return desc, ET.tostring(root)


def _mutated(doc: bytes, rng: random.Random) -> tuple[str, bytes]:
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(50_000)  # the serializer recurses through deep nesting
    try:
        return mutate(doc, rng)
    finally:
        sys.setrecursionlimit(limit)


# -- one case -------------------------------------------------------------------------------------

class Timeout(BaseException):
    pass


def _alarm(signum, frame):
    raise Timeout()


def _random_packets(rng: random.Random, packets: list[bytes]) -> list[bytes]:
    out = [bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 5, 6, 7, 8, 16, 64, 300])))]
    for data in packets:
        n = min(len(data), 4096)
        chunk = bytearray(data[:n])
        out.append(bytes(chunk[:rng.randrange(1, n)]))
        for _ in range(4):
            chunk[rng.randrange(n)] = rng.randrange(256)
        out.append(bytes(chunk))
    return out


def _values_for(definition, container: str, rng: random.Random) -> dict:
    values = {}
    params = definition._parameters
    for name in list(params)[:50]:
        values[name] = rng.choice([0, 1, -1, 2 ** 70, 1.5, float("nan"), "", "x", b"\x00", None, [1, 2]])
    return values


def exercise(definition, packets: list[bytes], rng: random.Random, log) -> None:
    """Use a loaded definition every way a user would; `log(stage, exception)` gets what escapes."""
    def attempt(stage, fn, *args, **kw):
        try:
            return fn(*args, **kw)
        except ALLOWED as e:
            if any(f"{n}:" in str(e) for n in MASKED) or any(m in str(e) for m in INTERNAL):
                log(stage + " (internal)", e)  # an internal or numpy error passed off as a user's mistake
            return None
        except Timeout:
            raise
        except BaseException as e:  # noqa: BLE001
            log(stage, e)
            return None

    attempt("repr", repr, definition)
    samples = _random_packets(rng, packets)
    for p in samples:
        for raw in (False, True):
            attempt("decode", definition.decode, p, raw=raw)
        attempt("decode_checked", definition.decode_checked, p)
        attempt("decode_command", definition.decode_command, p)
    for p in samples + [d[:200_000] for d in packets]:
        for raw in (False, True):
            attempt("decode_file", definition.decode_file, p, raw=raw)
    attempt("iter_decode", lambda: [r for r in definition.iter_decode(samples[-1], chunk_bytes=512)])
    for name in list(definition.containers)[:20]:
        attempt("encode{}", definition.encode, name, {})
        attempt("encode", definition.encode, name, _values_for(definition, name, rng))
        attempt("encode_raw", definition.encode, name, _values_for(definition, name, rng), raw=True)
        attempt("encode_many", definition.encode_many, name, {})
    for name in list(definition.commands)[:20]:
        attempt("encode_command", definition.encode_command, name)
        cmd = definition.commands[name]
        args = {a: rng.choice([0, -1, 2 ** 70, 1.5, float("nan"), "", "SAFE", True, b"\x01"])
                for a in getattr(cmd, "arguments", {})}
        attempt("encode_command", definition.encode_command, name, args)
        packet = attempt("encode_command", definition.encode_command, name)
        if packet:
            attempt("decode_command", definition.decode_command, packet)


def run_case(label: str, doc: bytes, packets: list[bytes], seed: int, timeout: float) -> list[str]:
    """Mutate, load, exercise: one finding per line ('kind|stage|exception|description')."""
    import bitloom_xtce as bx
    rng = random.Random(seed)
    desc, mutated = _mutated(doc, rng) if seed >= 0 else ("unmutated", doc)
    findings: list[str] = []

    def log(stage, e):
        kind = "memory" if isinstance(e, MemoryError) else "exception"
        tb = traceback.extract_tb(e.__traceback__)
        at = next((f"{os.path.basename(f.filename)}:{f.lineno}" for f in reversed(tb) if "bitloom" in f.filename),
                  "?")
        findings.append(f"{kind}|{stage}|{type(e).__name__}: {str(e)[:160]}|{at}|{label} seed={seed}: {desc}")

    signal.signal(signal.SIGALRM, _alarm)
    signal.setitimer(signal.ITIMER_REAL, timeout)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for strict in (False, True):
                try:
                    definition = bx.load(mutated, strict=strict)
                except ALLOWED:
                    continue
                except Timeout:
                    raise
                except BaseException as e:  # noqa: BLE001
                    log(f"load strict={strict}", e)
                    continue
                if not strict:
                    exercise(definition, packets, rng, log)
    except Timeout:
        findings.append(f"hang|-|timeout {timeout}s|-|{label} seed={seed}: {desc}")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    return findings


def cli_case(label: str, doc: bytes, seed: int, packets: list[bytes]) -> list[str]:
    """The command line on a mutated document: one line 'error: ...' or success, never a traceback."""
    import tempfile
    from bitloom_xtce._cli import main
    rng = random.Random(seed)
    desc, mutated = _mutated(doc, rng)
    findings = []
    with tempfile.TemporaryDirectory() as tmp:
        xml = os.path.join(tmp, "d.xml")
        open(xml, "wb").write(mutated)
        pk = os.path.join(tmp, "p.bin")
        open(pk, "wb").write(packets[0][:20000] if packets else os.urandom(300))
        csv = os.path.join(tmp, "v.csv")
        open(csv, "w").write("APID,x\n1,2\n")
        for argv in (["describe", xml], ["decode", xml, pk, "--out", os.path.join(tmp, "o"), "--no-progress",
                                          "--format", "csv"],
                     ["scan", pk], ["encode", xml, csv, "--out", os.path.join(tmp, "e.bin")],
                     ["command", xml, "X", "a=1"]):
            err = io.StringIO()
            out = io.StringIO()
            with contextlib.redirect_stderr(err), contextlib.redirect_stdout(out), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    main(argv)
                except BaseException as e:  # noqa: BLE001
                    findings.append(f"cli|{argv[0]}|escaped {type(e).__name__}|-|{label} seed={seed}: {desc}")
                    continue
            text = err.getvalue()
            if "Traceback" in text:
                last = text.strip().splitlines()
                exc = next((l for l in reversed(last) if not l.startswith("error:")), "?")
                findings.append(f"cli|{argv[0]}|{exc[:160]}|-|{label} seed={seed}: {desc}")
    return findings


def _worker(args):
    kind, label, doc, packets, seed, timeout = args
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    if kind == "cli":
        return cli_case(label, doc, seed, packets)
    return run_case(label, doc, packets, seed, timeout)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cases", type=int, default=100, help="mutations per document")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--timeout", type=float, default=20.0)
    ap.add_argument("--cli", type=int, default=0, help="command line cases per document")
    ap.add_argument("--only", default="", help="documents whose path contains this")
    ap.add_argument("--out", default="")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(REPO, "src"))
    docs = [d for d in documents() if args.only in d[0]]
    tasks = []
    for i, (label, doc, packets) in enumerate(docs):
        big = len(doc) > 500_000
        n = max(1, args.cases // 10) if big else args.cases
        tasks.append(("api", label, doc, packets, -1, args.timeout))
        for k in range(n):
            tasks.append(("api", label, doc, packets, args.seed * 1_000_003 + i * 10_007 + k, args.timeout))
        for k in range(args.cli if not big else 0):
            tasks.append(("cli", label, doc, packets, args.seed * 1_000_003 + i * 10_007 + k, args.timeout))
    findings: list[str] = []
    done = 0
    ctx = mp.get_context("fork")
    with ctx.Pool(args.jobs, maxtasksperchild=50) as pool:
        pending = [(t, pool.apply_async(_worker, (t,))) for t in tasks]
        for t, r in pending:
            try:
                findings += r.get(timeout=args.timeout * 4 + 60)
            except mp.TimeoutError:
                findings.append(f"hang|-|worker timeout|-|{t[1]} seed={t[4]}")
            except Exception as e:  # noqa: BLE001
                findings.append(f"crash|-|{type(e).__name__}: {e}|-|{t[1]} seed={t[4]}")
            done += 1
    kinds = Counter(f.split("|")[0] for f in findings)
    distinct = Counter("|".join(f.split("|")[1:4]) for f in findings)
    print(f"cases run: {done}; findings: {len(findings)} {dict(kinds)}; distinct: {len(distinct)}")
    for key, n in distinct.most_common():
        example = next(f for f in findings if "|".join(f.split("|")[1:4]) == key)
        print(f"{n:5d}  {key}\n       e.g. {example.split('|')[-1]}")
    if args.out:
        open(args.out, "w").write("\n".join(findings) + "\n")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
