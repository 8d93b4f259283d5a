"""The command line's `command`: one telecommand from its meta command's name and NAME=VALUE
arguments, printed as hexadecimal; or the packets of a command block, a line each.

Each value is read as its argument's type has it: integers in decimal or with 0x, 0o or 0b,
floats, enumeration labels (or values), booleans (true, false, 1, 0), text as written, binary data in
hexadecimal, absolute times in ISO 8601 (UTC), relative times in seconds or as PT1M30S, aggregates
and arrays in JSON; the occurrences of a repeated argument as a JSON list (lists in it for a repeat
inside each occurrence of a repeated container). A failure is a
CommandError: status 2 for a meta command, argument or value the command line names wrongly, 1 for
a command that the definition cannot encode."""
from __future__ import annotations

import argparse
import json
from typing import Any

import numpy as np

from ._commands import duration
from ._definition import Definition
from ._model import ParameterType
from ._source import FAILURE, USAGE, CommandError


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("name", metavar="NAME", help="the meta command")
    parser.add_argument("arguments", nargs="*", metavar="ARG=VALUE", help="its arguments' values")
    parser.add_argument("--sequence-count", type=int, metavar="N",
                        help="the packet's CCSDS sequence count (default 0, where the packet has one)")


def run(args: argparse.Namespace, definition: Definition) -> int:
    commands = definition.commands
    if args.name not in commands and args.name in definition.command_blocks:
        return run_block(args, definition)
    try:
        command = commands[args.name]
    except KeyError:
        concrete = [n for n, c in commands.items() if not c.abstract]
        raise CommandError(f"definition {args.definition} has no meta command named {args.name!r}"
                           + (f" (it has {', '.join(concrete[:10])}{', ...' if len(concrete) > 10 else ''})"
                              if concrete else " (it has none)"), USAGE) from None
    if command.abstract:
        below = [n for n, c in commands.items() if c.base == command.name]
        raise CommandError(f"meta command {command.name} is abstract: name one that inherits from it"
                           + (f" ({', '.join(below[:10])})" if below else ""), USAGE)
    values: dict[str, Any] = {}
    world = definition._commands.worlds.get(command.name) if definition._commands is not None else None
    repeated = world.repeated if world is not None else frozenset()
    for written in args.arguments:
        name, equals, text = written.partition("=")
        if not equals or not name:
            raise CommandError(f"{written!r}: give arguments as NAME=VALUE", USAGE)
        if name in values:
            raise CommandError(f"argument {name!r} given twice", USAGE)
        argument = command.arguments.get(name)
        if argument is None:
            if name in command.assignments:
                raise CommandError(f"argument {name!r} of {command.name} is fixed to {command.assignments[name]!r}",
                                   USAGE)
            raise CommandError(f"meta command {command.name} has no argument {name!r} (its arguments: "
                               f"{', '.join(command.arguments) or 'none'})", USAGE)
        if name in repeated and text.lstrip().startswith("["):  # its occurrences, in JSON
            try:
                items = json.loads(text)
            except ValueError:
                raise CommandError(f"argument {name}: {text!r} is not a JSON list of its occurrences", USAGE) from None
            if not isinstance(items, list):
                raise CommandError(f"argument {name}: {text!r} is not a JSON list of its occurrences", USAGE)
            values[name] = _occurrences(name, argument.type, items)
        else:
            values[name] = parse_value(name, argument.type, text)
    try:
        packet = definition.encode_command(command.name, values, sequence_count=args.sequence_count)
    except ValueError as e:
        message = str(e)
        wrong = "outside its valid range" in message or "no value for argument" in message or \
            "its entry is left out" in message or any(message.startswith(f"{n}:") for n in values)
        if not message.startswith("meta command"):
            message = f"meta command {command.name}: {message}"
        raise CommandError(message, USAGE if wrong else FAILURE) from None
    assert isinstance(packet, bytes)
    print(packet.hex())
    return 0


def run_block(args: argparse.Namespace, definition: Definition) -> int:
    """A command block: its steps' packets, one line each."""
    if args.arguments:
        raise CommandError(f"command block {args.name} takes no arguments: its steps give them", USAGE)
    try:
        packets = definition.encode_command(args.name, sequence_count=args.sequence_count)
    except ValueError as e:
        raise CommandError(str(e), FAILURE) from None
    assert isinstance(packets, list)
    print("\n".join(p.hex() for p in packets))
    return 0


def _occurrences(name: str, ptype: ParameterType, items: list[Any]) -> list[Any]:
    """A repeated argument's occurrences from JSON (lists in lists: the occurrences of a repeat
    inside each occurrence of a repeated container)."""
    if ptype.structured:
        return items
    return [_occurrences(name, ptype, item) if isinstance(item, list) else
            parse_value(name, ptype, item if isinstance(item, str) else json.dumps(item)) for item in items]


def parse_value(name: str, ptype: ParameterType, text: str) -> Any:
    """An argument's value from the command line's text."""
    kind = ptype.kind
    try:
        if kind in ("aggregate", "array"):
            return json.loads(text)
        if kind == "integer":
            try:
                return int(text, 0)
            except ValueError:
                return float(text)  # a calibrated integer may take a fraction
        if kind == "float":
            return float(text)
        if kind == "boolean":
            lowered = text.strip().lower()
            if lowered not in ("true", "false", "1", "0"):
                raise ValueError(text)
            return lowered in ("true", "1")
        if kind == "binary":
            return bytes.fromhex(text.strip().removeprefix("0x"))
        if kind == "absolute_time":
            # the text, checked: numpy would wrap a time beyond 1678 to 2262 silently at nanoseconds
            text = text.strip().removesuffix("Z").removesuffix("z")
            np.datetime64(text, "us")
            return text
        if kind == "relative_time":
            return duration(text)
        if kind == "enumerated" and text not in {label for _, _, label in ptype.enumeration}:
            try:  # a value of the enumeration, not a label
                return int(text, 0)
            except ValueError:
                return text  # refused naming the labels
    except (ValueError, OverflowError):
        what = {"aggregate": "JSON", "array": "JSON", "binary": "hexadecimal bytes", "integer": "an integer",
                "absolute_time": "an ISO 8601 time", "relative_time": "a duration (seconds, or PT1M30S)"}.get(kind)
        what = what or f"a {kind} value"
        raise CommandError(f"argument {name}: {text!r} is not {what}", USAGE) from None
    return text  # text, and enumeration labels
