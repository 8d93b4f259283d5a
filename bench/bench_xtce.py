"""XTCE: decode_file against space_packet_parser (and ccsdspy's FixedLength on JPSS), and loading
the CTIM definition against the peer, in one run, best of several. The fast pairs (decode_file and
ccsdspy, the two loads) take turns round by round, so that a busy machine slows both alike. Also:
the fixed cost of decode_file on a one-packet file against the peer's one packet, and a synthetic
file of event packets (a count, then that many events of variable-size fields, 8 containers by
APID and mode) in MB/s, on one thread and on two."""
import gzip
import io
import pathlib
import warnings

from harness import best, race

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "xtce"
FILES = {  # definition, packets, bytes before each packet
    "JPSS": ("jpss1_geolocation_xtce_v1.xml", "jpss_packets.bin.gz", 0),
    "CTIM": ("ctim_xtce_v1.xml.gz", "ctim_packets.bin.gz", 0),
    "SUDA": ("idex_combined_science_definition.xml.gz", "suda_packets.bin.gz", 4),
    "IDEX": ("idex_combined_science_definition.xml.gz", "idex_packets.bin.gz", 0),
}


def read(name):
    raw = (DATA / name).read_bytes()
    return gzip.decompress(raw) if name.endswith(".gz") else raw


def run():
    import bitloom_xtce
    try:
        import space_packet_parser as spp
        from space_packet_parser.generators import ccsds_generator
    except ImportError:
        print("\n== XTCE: space_packet_parser is not installed; skipped")
        return
    print("\n== XTCE: decode_file vs space_packet_parser (packets/s; ratio = bitloom_xtce / peer)")
    for name, (xml, packets, prefix) in FILES.items():
        xml_bytes, data = read(xml), read(packets)
        ours = bitloom_xtce.load(xml_bytes)
        peer = spp.XtcePacketDefinition.from_xtce(io.BytesIO(xml_bytes), root_container_name=ours.root)
        count = ours.decode_file(data, prefix_bytes=prefix).packets

        def peer_all():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for packet in ccsds_generator(data, skip_header_bytes=prefix):
                    peer.parse_bytes(packet, root_container_name=ours.root)

        t_ours = best(lambda: ours.decode_file(data, prefix_bytes=prefix), 7)
        t_peer = best(peer_all, 1 if name == "CTIM" else 3)
        line = f"  {name}: {count} packets: bitloom_xtce {count / t_ours:12,.0f}/s, peer {count / t_peer:9,.0f}/s, " \
               f"ratio {t_peer / t_ours:6.1f}x"
        if name == "JPSS":
            try:
                import ccsdspy
                fixed = ccsdspy.FixedLength.from_file(str(DATA / "ccsdspy_jpss1_geolocation.csv"))
                t_ours, t_ccsdspy = race(lambda: ours.decode_file(data, prefix_bytes=prefix),
                                         lambda: fixed.load(io.BytesIO(data)), rounds=15)
                line += f"; ccsdspy FixedLength {count / t_ccsdspy:12,.0f}/s (bitloom_xtce / ccsdspy " \
                        f"{t_ccsdspy / t_ours:.2f}x)"
            except ImportError:
                line += "; ccsdspy not installed"
        print(line)
        # One packet: the fixed cost of a call, against the peer's one packet.
        first = next(iter(ccsds_generator(data, skip_header_bytes=prefix)))
        one = data[:prefix + len(first)]
        calls = 200

        def peer_one():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for _ in range(calls):
                    peer.parse_bytes(next(iter(ccsds_generator(one, skip_header_bytes=prefix))),
                                     root_container_name=ours.root)

        t_one, t_peer_one = race(lambda: [ours.decode_file(one, prefix_bytes=prefix) for _ in range(calls)],
                                 peer_one, rounds=7)
        print(f"    one-packet file: decode_file {t_one / calls * 1e6:6.0f} us per call, peer "
              f"{t_peer_one / calls * 1e6:6.0f} us, ratio {t_peer_one / t_one:.2f}x  (target >= 1x, <= 50 us)")
    xml = read("ctim_xtce_v1.xml.gz")
    t_ours, t_peer = race(lambda: bitloom_xtce.load(xml),
                          lambda: spp.XtcePacketDefinition.from_xtce(io.BytesIO(xml),
                                                                     root_container_name="CCSDSTelemetryPacket"), rounds=9)
    print(f"  load CTIM definition (1.7 MB): bitloom_xtce {t_ours * 1e3:.0f} ms, peer {t_peer * 1e3:.0f} ms, "
          f"peer / bitloom_xtce {t_peer / t_ours:.2f}x")
    flat_events()
    events(20_000)  # entries read one packet at a time in Python: a part of the file


U16 = '<xtce:IntegerParameterType name="U16"><xtce:IntegerDataEncoding sizeInBits="16"/></xtce:IntegerParameterType>'


def _structure_document(types, parameters, entries):
    return (f'<xtce:SpaceSystem name="S" xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"><xtce:TelemetryMetaData>'
            f'<xtce:ParameterTypeSet>{U16}{types}</xtce:ParameterTypeSet><xtce:ParameterSet>'
            + "".join(f'<xtce:Parameter name="{p}" parameterTypeRef="{t}"/>' for p, t in parameters.items())
            + '</xtce:ParameterSet><xtce:ContainerSet><xtce:SequenceContainer name="P"><xtce:EntryList>'
            + "".join(f'<xtce:ParameterRefEntry parameterRef="{p}">{inside}</xtce:ParameterRefEntry>'
                      for p, inside in entries)
            + "</xtce:EntryList></xtce:SequenceContainer></xtce:ContainerSet></xtce:TelemetryMetaData>"
              "</xtce:SpaceSystem>").encode()


def _index(value):
    return (f"<xtce:FixedValue>{value}</xtce:FixedValue>" if isinstance(value, int) else
            f'<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="{value}"/>'
            '<xtce:LinearAdjustment intercept="-1"/></xtce:DynamicValue>')


def _array_type(name, last):
    return (f'<xtce:ArrayParameterType name="{name}" arrayTypeRef="U16"><xtce:DimensionList><xtce:Dimension>'
            f"<xtce:StartingIndex>{_index(0)}</xtce:StartingIndex><xtce:EndingIndex>{_index(last)}</xtce:EndingIndex>"
            "</xtce:Dimension></xtce:DimensionList></xtce:ArrayParameterType>")


HEADER = [("h1", ""), ("h2", ""), ("h3", "")]
STRUCTURES = {  # name: (document, packet body, fields per packet); the body follows the 6-byte header
    "100 scalar uint16": (_structure_document("", {f"h{i}": "U16" for i in (1, 2, 3)} | {f"v{i}": "U16" for i in range(100)},
                                              HEADER + [(f"v{i}", "") for i in range(100)]), bytes(200), 100),
    "uint16[100] array": (_structure_document(_array_type("R", 99), {"h1": "U16", "h2": "U16", "h3": "U16", "r": "R"},
                                              HEADER + [("r", "")]), bytes(200), 100),
    "aggregate of 4": (_structure_document(
        '<xtce:AggregateParameterType name="A"><xtce:MemberList>' + "".join(
            f'<xtce:Member name="m{i}" typeRef="U16"/>' for i in range(4)) + "</xtce:MemberList></xtce:AggregateParameterType>",
        {"h1": "U16", "h2": "U16", "h3": "U16", "a": "A"}, HEADER + [("a", "")]), bytes(8), 4),
    "dynamic array (n=10)": (_structure_document(_array_type("D", "n"), {"h1": "U16", "h2": "U16", "h3": "U16",
                                                                         "n": "U16", "d": "D"},
                                                 HEADER + [("n", ""), ("d", "")]), b"\x00\x0a" + bytes(20), 11),
    "repeat (count=10)": (_structure_document("", {"h1": "U16", "h2": "U16", "h3": "U16", "n": "U16", "v": "U16"},
                                              HEADER + [("n", ""), ("v", "<xtce:RepeatEntry><xtce:Count>"
                                                        '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n"/>'
                                                        "</xtce:DynamicValue></xtce:Count></xtce:RepeatEntry>")]),
                          b"\x00\x0a" + bytes(20), 11),
    "repeat of aggregate (10)": (_structure_document(
        '<xtce:AggregateParameterType name="A"><xtce:MemberList><xtce:Member name="x" typeRef="U16"/>'
        '<xtce:Member name="y" typeRef="U16"/></xtce:MemberList></xtce:AggregateParameterType>',
        {"h1": "U16", "h2": "U16", "h3": "U16", "n": "U16", "a": "A"},
        HEADER + [("n", ""), ("a", "<xtce:RepeatEntry><xtce:Count><xtce:DynamicValue><xtce:ParameterInstanceRef "
                            'parameterRef="n"/></xtce:DynamicValue></xtce:Count></xtce:RepeatEntry>')]),
        b"\x00\x0a" + bytes(40), 21),
    "include condition": (_structure_document("", {"h1": "U16", "h2": "U16", "h3": "U16", "f": "U16", "v": "U16"},
                                              HEADER + [("f", ""), ("v", '<xtce:IncludeCondition><xtce:Comparison '
                                                        'parameterRef="f" value="1"/></xtce:IncludeCondition>')]),
                          b"\x00\x01\x00\x05", 2),
}


def structures(packets=20_000):
    """Structures decode_file reads (the peer decodes none of them): packets/s and fields/s."""
    import bitloom_xtce
    print(f"\n== XTCE structures: decode_file, {packets} packets (space_packet_parser cannot decode these)")
    for name, (xml, body, fields) in STRUCTURES.items():
        definition = bitloom_xtce.load(xml)
        packet = bytes([8, 1, 0xC0, 0, (len(body) - 1) >> 8, (len(body) - 1) & 255]) + body
        data = packet * packets
        t = best(lambda: definition.decode_file(data), 5)
        print(f"  {name:24}: {packets / t:12,.0f} packets/s, {packets * fields / t:14,.0f} fields/s")


def _event_document(repeat=True):
    """The event file of bench_program.py as a definition: after the primary header a mode and a
    count, then `count` events of an id (its width by APID), a size-tagged name, in mode 0 a
    null-terminated note, and a payload sized by a byte before it. `repeat=False`: the file of
    _flat_packet, one event per packet without the note, each size a field of its own (a layout
    the peer decodes)."""
    from bench_program import APIDS, ID_BITS

    def integer(name, bits):
        return f'<xtce:IntegerParameterType name="{name}"><xtce:IntegerDataEncoding sizeInBits="{bits}"/>' \
               "</xtce:IntegerParameterType>"

    def variable(inner):
        return f'<xtce:Variable maxSizeInBits="2048">{inner}</xtce:Variable>'

    def text(name, size):
        return (f'<xtce:StringParameterType name="{name}"><xtce:StringDataEncoding encoding="US-ASCII">{size}'
                "</xtce:StringDataEncoding></xtce:StringParameterType>")

    def sized(of):
        return (f'<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="{of}" useCalibratedValue="false"/>'
                '<xtce:LinearAdjustment slope="8"/></xtce:DynamicValue>')

    header = [("VERSION", 3), ("TYPE", 1), ("SHF", 1), ("APID", 11), ("SEQF", 2), ("SEQC", 14), ("LEN", 16),
              ("MODE", 8), ("COUNT", 8)]
    types = "".join(integer(f"{n}_T", b) for n, b in header) + "".join(integer(f"ID{b}_T", b) for b in set(ID_BITS))
    types += integer("SIZE_T", 8)
    if repeat:
        types += text("NAME_T", variable('<xtce:LeadingSize sizeInBitsOfSizeTag="8"/>'))
        types += text("NOTE_T", variable("<xtce:TerminationChar>00</xtce:TerminationChar>"))
    parameters = "".join(f'<xtce:Parameter name="{n}" parameterTypeRef="{n}_T"/>' for n, _ in header)
    containers = ('<xtce:SequenceContainer name="EVENTS" abstract="true"><xtce:EntryList>'
                  + "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n, _ in header)
                  + "</xtce:EntryList></xtce:SequenceContainer>")
    for a, apid in enumerate(APIDS):
        for mode in (0, 1):
            s = f"{apid}_{mode}"
            if repeat:
                fields = [f"ID_{s}", f"NAME_{s}"] + ([f"NOTE_{s}"] if mode == 0 else []) + [f"SIZE_{s}", f"PAYLOAD_{s}"]
                ptypes = [f"ID{ID_BITS[a]}_T", "NAME_T"] + (["NOTE_T"] if mode == 0 else []) + \
                    ["SIZE_T", f"PAYLOAD_{s}_T"]
            else:
                fields = [f"ID_{s}", f"NSIZE_{s}", f"NAME_{s}", f"SIZE_{s}", f"PAYLOAD_{s}"]
                ptypes = [f"ID{ID_BITS[a]}_T", "SIZE_T", f"NAME_{s}_T", "SIZE_T", f"PAYLOAD_{s}_T"]
                types += text(f"NAME_{s}_T", variable(sized(f"NSIZE_{s}")))
            parameters += "".join(f'<xtce:Parameter name="{n}" parameterTypeRef="{t}"/>' for n, t in zip(fields, ptypes))
            containers += (f'<xtce:SequenceContainer name="EVENT_{s}"><xtce:EntryList>'
                           + "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n in fields)
                           + "</xtce:EntryList></xtce:SequenceContainer>")
            listed = (f'<xtce:ContainerRefEntry containerRef="EVENT_{s}"><xtce:RepeatEntry><xtce:Count>'
                      '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="COUNT" useCalibratedValue="false"/>'
                      "</xtce:DynamicValue></xtce:Count></xtce:RepeatEntry></xtce:ContainerRefEntry>") if repeat else \
                "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n in fields)
            containers += (f'<xtce:SequenceContainer name="APID_{s}"><xtce:EntryList>{listed}'
                           '</xtce:EntryList><xtce:BaseContainer containerRef="EVENTS"><xtce:RestrictionCriteria>'
                           f'<xtce:ComparisonList><xtce:Comparison parameterRef="APID" value="{apid}" '
                           f'useCalibratedValue="false"/><xtce:Comparison parameterRef="MODE" value="{mode}" '
                           'useCalibratedValue="false"/></xtce:ComparisonList></xtce:RestrictionCriteria>'
                           "</xtce:BaseContainer></xtce:SequenceContainer>")
            types += (f'<xtce:BinaryParameterType name="PAYLOAD_{s}_T"><xtce:BinaryDataEncoding><xtce:SizeInBits>'
                      f"{sized(f'SIZE_{s}')}</xtce:SizeInBits></xtce:BinaryDataEncoding></xtce:BinaryParameterType>")
    return (f'<xtce:SpaceSystem name="EVENTS" xmlns:xtce="http://www.omg.org/spec/XTCE/20180204">'
            f"<xtce:TelemetryMetaData><xtce:ParameterTypeSet>{types}</xtce:ParameterTypeSet>"
            f"<xtce:ParameterSet>{parameters}</xtce:ParameterSet><xtce:ContainerSet>{containers}</xtce:ContainerSet>"
            "</xtce:TelemetryMetaData></xtce:SpaceSystem>").encode()


def _flat_packet(rng, apid_index, mode, seq):
    """One event: an id, a size byte and that many letters, a size byte and that many bytes."""
    from bench_program import APIDS, ID_BITS
    bits = ID_BITS[apid_index]
    name = bytes(rng.choices(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ_", k=rng.randrange(0, 9)))
    payload = rng.randbytes(rng.randrange(0, 13))
    body = bytes([mode, 1]) + rng.getrandbits(bits).to_bytes(bits // 8, "big") + bytes([len(name)]) + name \
        + bytes([len(payload)]) + payload
    return (APIDS[apid_index].to_bytes(2, "big") + (0xC000 | seq & 0x3FFF).to_bytes(2, "big")
            + (len(body) - 1).to_bytes(2, "big") + body)


def flat_events(peer_packets=20_000):
    """The event file with one event per packet, which the peer decodes too: decode_file against
    space_packet_parser on its first packets, then MB/s over the whole file on one and two
    threads."""
    import bench_program
    import bitloom_xtce
    definition = bitloom_xtce.load(_event_document(repeat=False))
    data, offsets, sizes = bench_program.make_file(_flat_packet)
    check = definition.decode_file(data[:int(offsets[1000])])
    assert not check.skipped and check.packets == 1000, check.skipped
    megabytes = len(data) / 1e6
    print(f"\n== XTCE: synthetic event file, one event per packet: {len(offsets):,} packets ({megabytes:.0f} MB), "
          "8 containers")
    try:
        import space_packet_parser as spp
        from space_packet_parser.generators import ccsds_generator
    except ImportError:
        print("  space_packet_parser is not installed: no peer ratio")
    else:
        peer = spp.XtcePacketDefinition.from_xtce(io.BytesIO(_event_document(repeat=False)),
                                                  root_container_name="EVENTS")
        part = data[:int(offsets[peer_packets])]

        def peer_all():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for packet in ccsds_generator(part):
                    peer.parse_bytes(packet, root_container_name="EVENTS")

        t_ours, t_peer = race(lambda: definition.decode_file(part), peer_all, rounds=2)
        print(f"  first {peer_packets:,} packets: decode_file {peer_packets / t_ours:12,.0f}/s, peer "
              f"{peer_packets / t_peer:9,.0f}/s, ratio {t_peer / t_ours:6.1f}x  (target >= 50x)")
    t1, t2 = race(lambda: definition.decode_file(data), lambda: definition.decode_file(data, threads=2), rounds=3)
    print(f"  decode_file threads=1: {megabytes / t1:8.1f} MB/s, {len(offsets) / t1:12,.0f} packets/s  "
          "(target >= 200 MB/s)")
    print(f"  decode_file threads=2: {megabytes / t2:8.1f} MB/s, {t1 / t2:.2f}x threads=1  (target >= 1.7x)")


def events(packets=None):
    """decode_file on the synthetic event file: MB/s on one and on two threads."""
    import bench_program
    import bitloom_xtce
    definition = bitloom_xtce.load(_event_document())
    data, offsets, sizes = bench_program.make_file()
    if packets is not None:  # the first packets only
        data = data[:int(offsets[packets])]
    check = definition.decode_file(data[:int(offsets[1000])])
    assert not check.skipped and check.packets == 1000, check.skipped
    megabytes = len(data) / 1e6
    t1, t2 = race(lambda: definition.decode_file(data), lambda: definition.decode_file(data, threads=2), rounds=3)
    total = packets or len(offsets)
    print(f"\n== XTCE: synthetic event file, {total:,} packets ({megabytes:.0f} MB), 8 containers")
    print(f"  decode_file threads=1: {megabytes / t1:8.1f} MB/s, {total / t1:12,.0f} packets/s  (target >= 200 MB/s)")
    print(f"  decode_file threads=2: {megabytes / t2:8.1f} MB/s, {t1 / t2:.2f}x threads=1  (target >= 1.7x)")


if __name__ == "__main__":
    run()
    structures()
