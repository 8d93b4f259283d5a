"""Reading the XML: the standard library's C parser builds an element tree, and element names
lose their namespace (an XTCE document may put its elements in a prefixed namespace, the default
namespace or none, and all three read the same). Attributes keep their namespace as "{uri}name"
when they have one (xsi:schemaLocation, for instance).

The tree has no line numbers. A refusal names the element's line all the same: only then is the
document read a second time, by expat, which counts lines, and the element is found there by its
place in document order.
"""
from __future__ import annotations

import os
import xml.etree.ElementTree as ET
import xml.parsers.expat
from typing import IO

from ._errors import XtceError

XSI = "http://www.w3.org/2001/XMLSchema-instance"

Element = ET.Element


class Refusal(XtceError):
    """A refusal raised while loading: the element it names gets its line when `load` reports
    it, and so does `earlier` (an element the message refers back to, written as EARLIER)."""

    def __init__(self, element: Element, message: str, earlier: Element | None = None) -> None:
        super().__init__(message)
        self.element = element
        self.message = message
        self.earlier = earlier


EARLIER = "\x00"  # stands for the line of a refusal's `earlier` element in its message


def fail(element: Element, message: str, earlier: Element | None = None) -> Refusal:
    return Refusal(element, message, earlier)


def text(element: Element) -> str:
    return element.text or ""


class Document:
    """A parsed document: its root element, and the lines of its elements when an error needs one."""

    def __init__(self, source: str | os.PathLike[str] | bytes | IO[bytes] | IO[str]) -> None:
        if isinstance(source, (str, os.PathLike)):
            with open(source, "rb") as f:
                data = f.read()
        elif isinstance(source, (bytes, bytearray, memoryview)):
            data = bytes(source)
        else:
            content = source.read()
            data = content.encode() if isinstance(content, str) else content
        self._data = data
        self._lines: list[int] | None = None
        parser = ET.XMLParser()
        try:
            parser.feed(data)
            self.root = parser.close()
        except ET.ParseError as e:
            raise XtceError(f"not well-formed XML: {e}") from None
        local: dict[str, str] = {}
        for element in self.root.iter():
            tag = element.tag
            if tag[0] == "{":
                name = local.get(tag)
                if name is None:
                    name = local[tag] = tag.rpartition("}")[2]
                element.tag = name

    def line(self, element: Element) -> int:
        """The line an element starts on (0 if it is not in this document)."""
        if self._lines is None:
            lines: list[int] = []
            parser = xml.parsers.expat.ParserCreate()
            parser.StartElementHandler = lambda tag, attrs: lines.append(parser.CurrentLineNumber)
            parser.Parse(self._data, True)
            self._lines = lines
        for index, candidate in enumerate(self.root.iter()):
            if candidate is element:
                return self._lines[index]
        return 0

    def where(self, element: Element) -> str:
        """How an error names an element: its tag, its name attribute (if any) and its line."""
        name = element.attrib.get("name")
        label = f"<{element.tag} name={name!r}>" if name is not None else f"<{element.tag}>"
        return f"{label} at line {self.line(element)}"

    def error(self, refusal: Refusal) -> XtceError:
        message = refusal.message
        if refusal.earlier is not None:
            message = message.replace(EARLIER, str(self.line(refusal.earlier)))
        return XtceError(f"{self.where(refusal.element)}: {message}")
