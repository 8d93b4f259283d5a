"""Reading the XML: the standard library's C parser builds an element tree, and element names
lose their namespace (an XTCE document may put its elements in a prefixed namespace, the default
namespace or none, and all three read the same). Elements of any other namespace keep theirs, as
"{uri}name", so that nothing mistakes them for XTCE elements. Attributes keep their namespace as
"{uri}name" when they have one (xsi:schemaLocation, for instance).

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
XML = "http://www.w3.org/XML/1998/namespace"
# The namespaces XTCE has used: elements in them (or in the root element's) read as XTCE.
XTCE_NAMESPACES = frozenset({"http://www.omg.org/spec/XTCE/20180204", "http://www.omg.org/space/xtce",
                             "http://www.omg.org/spec/XTCE/20061101"})

Element = ET.Element
Source = str | os.PathLike[str] | bytes | IO[bytes] | IO[str]


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

    def __init__(self, source: Source, label: str = "") -> None:
        if isinstance(source, (str, os.PathLike)):
            label = label or os.fspath(source)
            with open(source, "rb") as f:
                data: bytes | str = f.read()
        elif isinstance(source, (bytes, bytearray, memoryview)):
            data = bytes(source)
        elif callable(getattr(source, "read", None)):
            # Text as it is: expat then ignores the encoding its declaration names, which
            # described bytes this text no longer has.
            data = source.read()
        else:
            raise TypeError(f"a definition is a path, bytes or an open file, not {type(source).__name__}")
        self.label = label
        self._data = data
        self._index: dict[int, int] | None = None
        self._lines: list[int] | None = None
        parser = ET.XMLParser()
        try:
            parser.feed(data)
            self.root = parser.close()
        except ET.ParseError as e:
            raise XtceError(f"{self._named()}not well-formed XML: {e}") from None
        except (LookupError, ValueError) as e:  # an encoding that Python does not know
            raise XtceError(f"{self._named()}the XML declaration at line 1: {e}") from None
        root_tag = self.root.tag
        xtce = XTCE_NAMESPACES | ({root_tag[1:].partition("}")[0]} if root_tag[0] == "{" else set())
        local: dict[str, str] = {}
        for element in self.root.iter():
            tag = element.tag
            if tag[0] == "{":
                name = local.get(tag)
                if name is None:
                    uri, _, name = tag[1:].partition("}")
                    if uri not in xtce:
                        name = tag
                    local[tag] = name
                element.tag = name

    def _named(self) -> str:
        return f"{self.label}: " if self.label else ""

    def line(self, element: Element) -> int:
        """The line an element starts on (0 if it is not in this document)."""
        index = self._find(element)
        if index is None:
            return 0
        if self._lines is None:
            lines: list[int] = []
            parser = xml.parsers.expat.ParserCreate()
            parser.StartElementHandler = lambda tag, attrs: lines.append(parser.CurrentLineNumber)
            parser.Parse(self._data, True)
            self._lines = lines
        return self._lines[index]

    def _find(self, element: Element) -> int | None:
        if self._index is None:
            self._index = {id(e): i for i, e in enumerate(self.root.iter())}
        return self._index.get(id(element))

    def has(self, element: Element) -> bool:
        return self._find(element) is not None


class Documents:
    """The documents of one definition; errors name an element's line, and its document when
    there are several."""

    def __init__(self, documents: list[Document]) -> None:
        self.documents = documents

    def _of(self, element: Element) -> Document | None:
        for document in self.documents:
            if document.has(element):
                return document
        return None

    def place(self, element: Element, beside: Document | None = None) -> str:
        """'line N', with the document's name when there are several and it is not `beside`."""
        document = self._of(element)
        if document is None:
            return "line 0"
        where = f"line {document.line(element)}"
        if len(self.documents) > 1 and document is not beside:
            where += f" of {document.label}"
        return where

    def where(self, element: Element) -> str:
        """How an error names an element: its tag, its name attribute (if any) and its line."""
        name = element.attrib.get("name")
        label = f"<{element.tag} name={name!r}>" if name is not None else f"<{element.tag}>"
        return f"{label} at {self.place(element)}"

    def error(self, refusal: Refusal) -> XtceError:
        message = refusal.message
        if refusal.earlier is not None:
            place = self.place(refusal.earlier, self._of(refusal.element)).removeprefix("line ")
            message = message.replace(EARLIER, place)
        return XtceError(f"{self.where(refusal.element)}: {message}")
