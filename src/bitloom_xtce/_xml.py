"""A small element tree with line numbers, read with the standard library's expat parser.

Namespaces are dropped from element names: an XTCE document may put its elements in a prefixed
namespace, the default namespace or none, and all three read the same. Attributes keep their
namespace as "{uri}name" when they have one (xsi:schemaLocation, for instance).
"""
from __future__ import annotations

import os
import xml.parsers.expat
from typing import IO

from ._errors import XtceError

XSI = "http://www.w3.org/2001/XMLSchema-instance"
# The elements whose text the loader reads; the text of others (descriptions, units, the
# whitespace between elements) is not collected.
TEXT_ELEMENTS = frozenset({"FixedValue", "Value", "ComparisonOperator", "TerminationChar", "Epoch"})


class Node:
    """One element: its local name, attributes, children, text and the line it starts on."""

    __slots__ = ("tag", "attrib", "children", "text", "line", "parent")

    def __init__(self, tag: str, attrib: dict[str, str], line: int, parent: Node | None) -> None:
        self.tag = tag
        self.attrib = attrib
        self.children: list[Node] = []
        self.text = ""
        self.line = line
        self.parent = parent

    @property
    def name(self) -> str | None:
        return self.attrib.get("name")

    def where(self) -> str:
        """How an error names this element: its tag, its name attribute (if any) and its line."""
        name = self.attrib.get("name")
        label = f"<{self.tag} name={name!r}>" if name is not None else f"<{self.tag}>"
        return f"{label} at line {self.line}"

    def fail(self, message: str) -> XtceError:
        return XtceError(f"{self.where()}: {message}")

    def __repr__(self) -> str:
        return f"Node({self.where()})"


def parse(source: str | os.PathLike[str] | bytes | IO[bytes] | IO[str]) -> Node:
    """Parse a file name, a path, the document's bytes or an open file into a tree of Nodes."""
    parser = xml.parsers.expat.ParserCreate(namespace_separator="}")
    parser.buffer_text = True
    stack: list[Node] = []
    root: list[Node] = []

    def start(tag: str, attrs: dict[str, str]) -> None:
        local = tag.rpartition("}")[2]
        if attrs and "}" in "".join(attrs):
            attrs = {(("{" + key) if "}" in key else key): value for key, value in attrs.items()}
        parent = stack[-1] if stack else None
        node = Node(local, attrs, parser.CurrentLineNumber, parent)
        if parent is None:
            root.append(node)
        else:
            parent.children.append(node)
        stack.append(node)
        parser.CharacterDataHandler = text if local in TEXT_ELEMENTS else None

    def end(tag: str) -> None:
        stack.pop()
        parser.CharacterDataHandler = None

    def text(data: str) -> None:
        stack[-1].text += data

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    try:
        if isinstance(source, (str, os.PathLike)):
            with open(source, "rb") as f:
                parser.ParseFile(f)
        elif isinstance(source, (bytes, bytearray, memoryview)):
            parser.Parse(bytes(source), True)
        else:
            content = source.read()
            parser.Parse(content.encode() if isinstance(content, str) else content, True)
    except xml.parsers.expat.ExpatError as e:
        raise XtceError(f"not well-formed XML: {e}") from None
    return root[0]
