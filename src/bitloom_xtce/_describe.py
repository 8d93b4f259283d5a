"""describe: a definition as a tree of containers, each under the container it inherits from,
with its restriction criteria and, for each of its own entries, the parameter's type, encoding
and size, calibration and units; then its meta commands, the same way, with their arguments."""
from __future__ import annotations

from collections.abc import Iterator

from . import Definition
from ._model import Container, Entry, ParameterType

INDENT = "    "


def tops(definition: Definition) -> list[str]:
    """The containers that inherit from none, in document order."""
    return [name for name, c in definition.containers.items() if c.base is None]


def describe(definition: Definition) -> Iterator[str]:
    """The lines of the tree; the root is marked, and so are containers only ever included."""
    included: dict[str, list[str]] = {}
    for container in definition.containers.values():
        for entry in container.entries:
            if entry.kind == "container":
                included.setdefault(entry.ref, []).append(container.name)
    for name in tops(definition):
        yield ""
        yield from _container(definition, definition.containers[name], 0, included)
    commands = definition.commands
    if commands:
        yield ""
        yield f"{len(commands)} meta command{'s' if len(commands) != 1 else ''}:"
        below: dict[str | None, list[str]] = {}
        for name, command in commands.items():
            below.setdefault(command.base if command.base in commands else None, []).append(name)
        for name in below.get(None, []):
            yield ""
            yield from _command(definition, name, 0, below)
    blocks = definition.command_blocks
    if blocks:
        yield ""
        yield f"{len(blocks)} command block{'s' if len(blocks) != 1 else ''}:"
        for block in blocks.values():
            yield ""
            yield block.name
            for step, values in block.steps:
                given = ", ".join(f"{n} = {v!r}" for n, v in values.items())
                yield f"  - {step}" + (f" with {given}" if given else "")


def _command(definition: Definition, name: str, depth: int, below: dict[str | None, list[str]]) -> Iterator[str]:
    """A meta command with what its assignments fix and the arguments it adds, then those that
    inherit from it."""
    pad = INDENT * depth
    command = definition.commands[name]
    base = definition.commands[command.base] if command.base is not None else None
    notes = [n for n, on in (("abstract", command.abstract), ("no packet", command.container is None)) if on]
    head = f"{pad}{name}" + (f" ({'; '.join(notes)})" if notes else "")
    fixed = {n: v for n, v in command.assignments.items() if base is None or n not in base.assignments}
    if fixed:
        head += " with " + ", ".join(f"{n} = {v!r}" for n, v in fixed.items())
    yield head
    rows = []
    for argument in command.arguments.values():
        if base is not None and argument.name in base.arguments:
            continue
        ptype = argument.type
        extra = [f"default {argument.default!r}"] if argument.default is not None else []
        if argument.valid:
            extra.append(("length " if ptype.kind == "string" else "valid ") + " or ".join(map(repr, argument.valid)))
        encoding = _inside(repr(ptype.encoding)) if ptype.encoding is not None else ""
        rows.append((argument.name, ptype.kind, encoding, *_meaning(ptype), *extra))
    widths = [max((len(row[i]) for row in rows), default=0) for i in range(3)]
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)] + list(row[3:])
        yield (f"{pad}  - " + "  ".join(cell for cell in cells if cell.strip())).rstrip()
    for child in below.get(name, []):
        yield from _command(definition, child, depth + 1, below)


def _container(definition: Definition, container: Container, depth: int,
               included: dict[str, list[str]]) -> Iterator[str]:
    pad = INDENT * depth
    notes = [n for n, on in (("abstract", container.abstract), ("root", container.name == definition.root)) if on]
    if container.name in included:
        notes.append("included by " + ", ".join(included[container.name]))
    head = f"{pad}{container.name}" + (f" ({'; '.join(notes)})" if notes else "")
    if container.restriction is not None:
        head += f" when {container.restriction!r}"
    yield head
    rows = [_entry(definition, entry) for entry in container.entries]
    widths = [max((len(row[i]) for row in rows), default=0) for i in range(3)]
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)] + list(row[3:])
        yield (f"{pad}  - " + "  ".join(cell for cell in cells if cell.strip())).rstrip()
    for child in container.children:
        yield from _container(definition, definition.containers[child], depth + 1, included)


def _entry(definition: Definition, entry: Entry) -> tuple[str, ...]:
    """(name, kind, encoding and size, then calibration, labels, units, location as present)."""
    where: tuple[str, ...] = ()
    if entry.location is not None:
        if entry.location.from_end:
            where = (f"ending {entry.location.bits} bits before the container's end",)
        else:
            start = "the container's start" if entry.location.from_start else "the previous entry"
            where = (f"at {entry.location.bits:+} bits from {start}",)
    if entry.kind == "container":
        return (entry.ref, "container", "", *where)
    ptype = definition.parameters[entry.ref].type
    return (entry.ref, ptype.kind, _inside(repr(ptype.encoding)), *_meaning(ptype), *where)


def _inside(text: str) -> str:
    """'IntegerEncoding(unsigned, 11 bits)' -> 'unsigned, 11 bits' ('None', an aggregate's or array's, -> '')."""
    return text[text.index("(") + 1:-1] if "(" in text else ""


def _meaning(ptype: ParameterType) -> list[str]:
    """How raw values become engineering values, and their units."""
    out = []
    calibrator = getattr(ptype.encoding, "calibrator", None)
    if calibrator is not None:
        out.append(repr(calibrator))
    contexts = getattr(ptype.encoding, "context_calibrators", ())
    if contexts:
        out.append(f"{len(contexts)} context calibrator{'s' if len(contexts) > 1 else ''}")
    if ptype.enumeration:
        shown = ", ".join(f"{lo}{'' if lo == hi else f'..{hi}'}={label}" for lo, hi, label in ptype.enumeration[:4])
        out.append("{" + shown + (", ..." if len(ptype.enumeration) > 4 else "") + "}")
    if ptype.kind in ("absolute_time", "relative_time") and (ptype.scale, ptype.offset) != (1.0, 0.0):
        out.append(f"raw * {ptype.scale!r} + {ptype.offset!r}")
    if ptype.units:
        out.append(f"[{ptype.units}]")
    return out
