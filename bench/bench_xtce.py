"""XTCE: decode_file against space_packet_parser (and ccsdspy's FixedLength on JPSS), and loading
the CTIM definition against the peer, in one run, best of several. The fast pairs (decode_file and
ccsdspy, the two loads) take turns round by round, so that a busy machine slows both alike."""
import gzip
import io
import pathlib
import time
import warnings

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


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def race(first, second, rounds):
    """Best times of two functions called in turn."""
    times = ([], [])
    for _ in range(rounds):
        for fn, out in zip((first, second), times):
            start = time.perf_counter()
            fn()
            out.append(time.perf_counter() - start)
    return min(times[0]), min(times[1])


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
                                         lambda: fixed.load(io.BytesIO(data)), 15)
                line += f"; ccsdspy FixedLength {count / t_ccsdspy:12,.0f}/s (bitloom_xtce / ccsdspy " \
                        f"{t_ccsdspy / t_ours:.2f}x)"
            except ImportError:
                line += "; ccsdspy not installed"
        print(line)
    xml = read("ctim_xtce_v1.xml.gz")
    t_ours, t_peer = race(lambda: bitloom_xtce.load(xml),
                          lambda: spp.XtcePacketDefinition.from_xtce(io.BytesIO(xml),
                                                                     root_container_name="CCSDSTelemetryPacket"), 9)
    print(f"  load CTIM definition (1.7 MB): bitloom_xtce {t_ours * 1e3:.0f} ms, peer {t_peer * 1e3:.0f} ms, "
          f"peer / bitloom_xtce {t_peer / t_ours:.2f}x")


if __name__ == "__main__":
    run()
