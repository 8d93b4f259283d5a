"""A loaded definition: decoding one packet, or a whole file into columns."""
from __future__ import annotations

import os
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import IO, Any, cast

import bitloom
import numpy as np

from ._errors import PacketError, XtceError
from ._fields import measure
from ._load import Loader
from ._model import (BinaryEncoding, Container, NameMap, Parameter, ParameterType, StringEncoding,
                     Value)
from ._plan import Block, Segment, Variable, check_criterion, compile_container
from ._xml import parse


class DecodeWarning(UserWarning):
    """Packets of a file that were not decoded: they match no concrete container, are too short
    for theirs, or are cut off at the end of the file."""


class FileResult(dict[str, dict[str, np.ndarray]]):
    """decode_file's result: container name -> {parameter name -> column}, in the order the
    containers first occur. `packets` counts the packets found, `skipped` maps each reason a
    packet was not decoded to (count, byte offset of the first such packet)."""

    packets: int
    skipped: dict[str, tuple[int, int]]


@dataclass(slots=True)
class _Group:
    """Packets that have followed the same containers so far, and what they hold."""

    index: np.ndarray  # packet numbers
    anchors: list[np.ndarray]  # bit positions, from each packet's start
    values: dict[str, np.ndarray] = field(default_factory=dict)  # raw values (text as text)
    fields: dict[str, np.ndarray] = field(default_factory=dict)  # text and binary field bytes
    calibrated: dict[str, np.ndarray] = field(default_factory=dict)

    def take(self, mask: np.ndarray) -> _Group:
        return _Group(self.index[mask], [a[mask] for a in self.anchors],
                      {k: v[mask] for k, v in self.values.items()},
                      {k: v[mask] for k, v in self.fields.items()})


def load(source: str | os.PathLike[str] | bytes | IO[bytes] | IO[str], *, root: str | None = None) -> Definition:
    """Load an XTCE document (a path, its bytes or an open file). `root` names the container
    that decoding starts from; by default the one container without a base container that
    others inherit from (or the only container without a base)."""
    loader = Loader()
    loader.space_system(parse(source))
    loader.resolve()
    return Definition(loader, root)


class Definition:
    """The telemetry of an XTCE document: its parameters, containers and how to decode packets."""

    def __init__(self, loader: Loader, root: str | None) -> None:
        self._parameters = loader.parameters
        self._containers = loader.containers
        self.parameters: NameMap = NameMap(self._parameters, "parameters")
        self.containers: NameMap = NameMap(self._containers, "containers")
        self.types: NameMap = NameMap({k: t for k, (_, t) in loader.types.items()}, "parameter types")
        self._segments: dict[str, Segment] = {}
        for name in self._containers:
            self._segment(name)
        if root is not None and root not in self._containers:
            raise XtceError(f"root container {root!r}: no container has that name")
        self.root = root if root is not None else self._find_root()

    def __repr__(self) -> str:
        return (f"<Definition: {len(self._parameters)} parameters, {len(self._containers)} containers, "
                f"root {self.root!r}>")

    def _segment(self, name: str) -> Segment:
        segment = self._segments.get(name)
        if segment is None:
            container = self._containers[name]
            base = self._segment(container.base) if container.base is not None else None
            if base is not None:
                check_criterion(container.restriction, base.names,
                                f"<SequenceContainer name={name!r}> at line {container.line}")
            segment = compile_container(container, self._containers, self._parameters, base)
            self._segments[name] = segment
        return segment

    def _find_root(self) -> str | None:
        included = {e.ref for c in self._containers.values() for e in c.entries if e.kind == "container"}
        tops = [c.name for c in self._containers.values() if c.base is None and c.name not in included]
        with_children = [n for n in tops if self._containers[n].children]
        if len(with_children) == 1:
            return with_children[0]
        if not with_children and len(tops) == 1:
            return tops[0]
        return None

    def _root_segment(self) -> Segment:
        if self.root is None:
            raise ValueError("the definition has no single root container: name it with "
                             "bitloom_xtce.load(..., root=NAME)")
        return self._segments[self.root]

    def concrete(self) -> list[str]:
        """The containers a packet can decode as: reachable from the root, not abstract."""
        out, todo = [], [self.root] if self.root else []
        while todo:
            name = todo.pop(0)
            if not self._containers[name].abstract:
                out.append(name)
            todo.extend(self._containers[name].children)
        return out

    # -- one packet -------------------------------------------------------------------------

    def decode(self, packet: bytes, raw: bool = False) -> dict[str, Value]:
        """Decode one packet: parameter name -> value, for every parameter of the container it
        matches and of that container's base containers. `raw=True` gives the values before
        calibration and enumeration (text and binary fields as their bytes)."""
        return self.decode_with_container(packet, raw)[1]

    def decode_with_container(self, packet: bytes, raw: bool = False) -> tuple[str, dict[str, Value]]:
        """As decode, and the name of the concrete container the packet matched."""
        packet = bytes(packet)
        limit = len(packet) * 8
        anchors = [0]
        values: dict[str, Value] = {}
        fields: dict[str, bytes] = {}
        calibrated: dict[str, Value] = {}
        segment = self._root_segment()

        def get(name: str, want_calibrated: bool) -> Value:
            ptype = self._parameters[name].type
            if not want_calibrated or not ptype.calibrated_differs or isinstance(ptype.encoding, StringEncoding):
                return values[name]
            if name not in calibrated:
                calibrated[name] = ptype.calibrate(values[name], get)
            return calibrated[name]

        while True:
            for step in segment.steps:
                try:
                    if isinstance(step, Block):
                        self._block_one(step.prepare(), packet, limit, anchors, values, fields)
                    else:
                        self._variable_one(step, packet, limit, anchors, values, fields, get)
                except PacketError as e:
                    raise PacketError(f"container {segment.container.name!r}: {e}") from None
            following = self._next(segment.container, get)
            if following is None:
                break
            segment = self._segments[following]
        if raw:
            return segment.container.name, {n: fields.get(n, values[n]) for n in segment.names}
        return segment.container.name, {n: get(n, True) for n in segment.names}

    def _next(self, container: Container, get: Callable[[str, bool], Value]) -> str | None:
        matches = []
        for name in container.children:
            restriction = self._containers[name].restriction
            if restriction is None or restriction.evaluate(get):
                matches.append(name)
        if len(matches) == 1:
            return matches[0]
        if len(matches) > 1:
            raise PacketError(f"the packet matches more than one container below {container.name!r}: "
                              + ", ".join(matches))
        if container.abstract:
            raise PacketError(f"the packet matches no concrete container: {container.name!r} is abstract "
                              "and the restrictions of its inheritors all fail")
        return None

    @staticmethod
    def _block_one(block: Block, packet: bytes, limit: int, anchors: list[int],
                   values: dict[str, Value], fields: dict[str, bytes]) -> None:
        base = anchors[block.anchor]
        start, end = base + block.start, base + block.end
        if start < 0 or end > limit:
            last = max(block.fields, key=lambda f: f.offset + f.bits).parameter.name
            raise PacketError(f"the packet ({limit // 8} bytes) is too short: {last!r} ends at bit {end}")
        if block.recipe:
            values.update(bitloom.unpack_parameters(packet, start, cast(Any, block.recipe)))
        for f in block.texts:
            text_encoding = f.parameter.type.encoding
            assert isinstance(text_encoding, StringEncoding)
            fields[f.parameter.name] = measure(text_encoding, packet, base + f.offset, limit, None)[1]
        for f in block.extracted:
            enc = f.parameter.type.encoding
            assert isinstance(enc, (StringEncoding, BinaryEncoding))
            try:
                _, raw_field, text = measure(enc, packet, base + f.offset, limit, None)
            except PacketError as e:
                raise PacketError(f"{f.parameter.name!r}: {e}") from None
            fields[f.parameter.name] = raw_field
            values[f.parameter.name] = raw_field if text is None else text

    @staticmethod
    def _variable_one(step: Variable, packet: bytes, limit: int, anchors: list[int], values: dict[str, Value],
                      fields: dict[str, bytes], get: Callable[[str, bool], Value]) -> None:
        enc = step.parameter.type.encoding
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        start = anchors[step.anchor] + step.offset
        size = enc.dynamic.bits(get(enc.dynamic.parameter, enc.dynamic.calibrated)) if enc.dynamic else None
        try:
            bits, raw_field, text = measure(enc, packet, start, limit, size)
        except PacketError as e:
            raise PacketError(f"{step.parameter.name!r}: {e}") from None
        fields[step.parameter.name] = raw_field
        values[step.parameter.name] = raw_field if text is None else text
        anchors.append(start + bits)

    # -- whole files --------------------------------------------------------------------------

    def decode_file(self, data: bytes, framing: str = "ccsds", raw: bool = False, *,
                    prefix_bytes: int = 0) -> FileResult:
        """Split `data` into packets and decode each with its concrete container. Returns
        container name -> {parameter name -> numpy column}, one row per packet in file order.
        Packets that match no concrete container, are too short for theirs, or are cut off at
        the end are skipped and reported in one DecodeWarning (counts and first offsets), and in
        the result's `skipped`. `prefix_bytes` skips that many bytes before each packet (a
        per-packet marker some recorders write)."""
        if not isinstance(data, bytes):
            data = bytes(data)
        offsets, lengths, skipped = _frame(data, framing, prefix_bytes)
        result = FileResult()
        result.packets = len(offsets) + (1 if "truncated at the end of the data" in skipped else 0)
        result.skipped = skipped
        order = {name: i for i, name in enumerate(self.concrete())}
        found: dict[str, dict[str, np.ndarray]] = {}
        if len(offsets):
            group = _Group(np.arange(len(offsets)), [np.zeros(len(offsets), dtype=np.int64)])
            self._run_group(self._root_segment(), group, data, offsets, lengths, raw, found, skipped)
        for name in sorted(found, key=lambda n: order.get(n, len(order))):
            result[name] = found[name]
        if skipped:
            total = sum(count for count, _ in skipped.values())
            detail = "; ".join(f"{count} {reason} (first at byte {first})"
                               for reason, (count, first) in skipped.items())
            warnings.warn(f"{total} of {result.packets} packets not decoded: {detail}", DecodeWarning,
                          stacklevel=2)
        return result

    def _run_group(self, segment: Segment, group: _Group, data: bytes, offsets: np.ndarray,
                   lengths: np.ndarray, raw: bool, found: dict[str, dict[str, np.ndarray]],
                   skipped: dict[str, tuple[int, int]]) -> None:
        def drop(mask: np.ndarray, reason: str) -> None:
            nonlocal group
            if mask.any():
                first = int(offsets[group.index[mask][0]])
                count, earlier = skipped.get(reason, (0, first))
                skipped[reason] = (count + int(mask.sum()), min(earlier, first))
                group = group.take(~mask)

        name = segment.container.name
        for step in segment.steps:
            if not len(group.index):
                return
            if isinstance(step, Block):
                step.prepare()
                base = group.anchors[step.anchor]
                drop((base + step.end) > lengths[group.index] * 8, f"too short for container {name!r}")
                if len(group.index):
                    self._block_columns(step, group, data, offsets)
            else:
                bad = self._variable_columns(step, group, data, offsets, lengths)
                drop(bad, f"with a bad {step.parameter.name!r} field in container {name!r}")
        if not len(group.index):
            return
        container = segment.container
        if container.children:
            get = _column_getter(self._parameters, group)
            masks = []
            for child in container.children:
                restriction = self._containers[child].restriction
                mask = np.ones(len(group.index), dtype=bool) if restriction is None else \
                    np.broadcast_to(np.asarray(restriction.evaluate(get), dtype=bool), group.index.shape)
                masks.append(mask)
            hits = np.sum(masks, axis=0)
            for child, mask in zip(container.children, masks):
                chosen = mask & (hits == 1)
                if chosen.any():
                    self._run_group(self._segments[child], group.take(chosen), data, offsets, lengths, raw,
                                    found, skipped)
            remaining = group.take(hits == 0)
            drop(hits > 1, f"matching more than one container below {name!r}")
        else:
            remaining = group
        if not len(remaining.index):
            return
        if container.abstract:
            group = remaining
            drop(np.ones(len(group.index), dtype=bool), f"matching no concrete container below {name!r}")
            return
        get = _column_getter(self._parameters, remaining)
        if raw:
            found[name] = {n: remaining.fields.get(n, remaining.values[n]) for n in segment.names}
        else:
            found[name] = {n: get(n, True) for n in segment.names}

    @staticmethod
    def _block_columns(block: Block, group: _Group, data: bytes, offsets: np.ndarray) -> None:
        base = group.anchors[block.anchor]
        packet_bits = offsets[group.index].astype(np.int64) * 8
        if block.recipe:
            start = base + block.start
            if (start == start[0]).all():  # the usual case: one call for the whole group
                first = int(start[0])
                columns = bitloom.unpack_columns(data, block.recipe, offsets[group.index] + np.uint64(first >> 3),
                                                  offset_bits=first & 7)
            else:
                absolute = packet_bits + start
                columns = {}
                for shift in np.unique(absolute & 7):
                    rows = (absolute & 7) == shift
                    part = bitloom.unpack_columns(data, block.recipe, (absolute[rows] >> 3).astype(np.uint64),
                                                   offset_bits=int(shift))
                    for key, column in part.items():
                        if key not in columns:
                            columns[key] = np.empty(len(absolute), dtype=column.dtype)
                        columns[key][rows] = column
            group.values.update(columns)
        for f in block.texts + block.extracted:
            enc = f.parameter.type.encoding
            assert isinstance(enc, (StringEncoding, BinaryEncoding))
            starts = (packet_bits + base + f.offset).tolist()
            pieces = [measure(enc, data, s, s + f.bits, None) for s in starts]
            name = f.parameter.name
            group.fields[name] = _object_column([p[1] for p in pieces])
            if isinstance(enc, BinaryEncoding):
                group.values[name] = group.fields[name]
            elif f not in block.texts:
                group.values[name] = _text_column([p[2] for p in pieces])

    def _variable_columns(self, step: Variable, group: _Group, data: bytes, offsets: np.ndarray,
                          lengths: np.ndarray) -> np.ndarray:
        enc = step.parameter.type.encoding
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        packet_bits = offsets[group.index].astype(np.int64) * 8
        starts = packet_bits + group.anchors[step.anchor] + step.offset
        limits = packet_bits + lengths[group.index].astype(np.int64) * 8
        sizes: list[Any] = [None] * len(starts)
        if enc.dynamic is not None:
            get = _column_getter(self._parameters, group)
            sizes = np.asarray(enc.dynamic.bits(get(enc.dynamic.parameter, enc.dynamic.calibrated))).tolist()
        bad = np.zeros(len(starts), dtype=bool)
        widths = np.zeros(len(starts), dtype=np.int64)
        raw_fields: list[bytes] = []
        texts: list[str | None] = []
        for i, (s, limit, size) in enumerate(zip(starts.tolist(), limits.tolist(), sizes)):
            try:
                bits, raw_field, text = measure(enc, data, s, limit, size)
            except PacketError:
                bad[i] = True
                bits, raw_field, text = 0, b"", ""
            widths[i] = bits
            raw_fields.append(raw_field)
            texts.append(text)
        group.anchors.append(starts - packet_bits + widths)
        group.fields[step.parameter.name] = _object_column(raw_fields)
        group.values[step.parameter.name] = _text_column(texts) if isinstance(enc, StringEncoding) \
            else group.fields[step.parameter.name]
        return bad


def _object_column(items: list[Any]) -> np.ndarray:
    column = np.empty(len(items), dtype=object)
    column[:] = items
    return column


def _text_column(items: list[Any]) -> np.ndarray:
    return np.array(items, dtype=np.dtypes.StringDType())


def _column_getter(parameters: dict[str, Parameter], group: _Group) -> Callable[[str, bool], Value]:
    def get(name: str, want_calibrated: bool) -> Value:
        ptype: ParameterType = parameters[name].type
        if not want_calibrated or not ptype.calibrated_differs or isinstance(ptype.encoding, StringEncoding):
            return group.values[name]
        if name not in group.calibrated:
            group.calibrated[name] = ptype.calibrate(group.values[name], get)
        return group.calibrated[name]
    return get


def _frame(data: bytes, framing: str, prefix_bytes: int) -> tuple[np.ndarray, np.ndarray, dict[str, tuple[int, int]]]:
    """Packet offsets and lengths, and the truncated tail if there is one."""
    if framing != "ccsds":
        raise ValueError(f"framing {framing!r} is not supported (only 'ccsds')")
    skipped: dict[str, tuple[int, int]] = {}
    if prefix_bytes < 0:
        raise ValueError("prefix_bytes must not be negative")
    if prefix_bytes:
        starts, position = [], 0
        while position + prefix_bytes + 6 <= len(data):
            start = position + prefix_bytes
            end = start + 7 + (data[start + 4] << 8 | data[start + 5])
            if end > len(data):
                break
            starts.append(start)
            position = end
        offsets = np.array(starts, dtype=np.uint64)
    else:
        offsets = np.asarray(bitloom.packet_offsets(data, framing, allow_partial=True), dtype=np.uint64)
    octets = np.frombuffer(data, dtype=np.uint8)
    if len(offsets) and int(offsets[-1]) + 6 > len(data):
        offsets = offsets[:-1]
    where = offsets.astype(np.int64)
    lengths = (octets[where + 4].astype(np.int64) << 8 | octets[where + 5]) + 7
    if len(offsets) and int(offsets[-1]) + int(lengths[-1]) > len(data):
        offsets, lengths = offsets[:-1], lengths[:-1]
    end = int(offsets[-1]) + int(lengths[-1]) if len(offsets) else 0
    if end < len(data):
        skipped["truncated at the end of the data"] = (1, end)
    return offsets, lengths, skipped
