"""XTCE mission databases for bitloom: load a definition, decode packets and whole files.

    >>> import bitloom_xtce
    >>> definition = bitloom_xtce.load("mission.xml")
    >>> values = definition.decode(packet)            # one packet: {parameter: value}
    >>> tables = definition.decode_file(data)         # {container: {parameter: numpy column}}

Each container is translated into bitloom recipes, so the work per packet (and per column of
packets) is done by bitloom's compiled reader; calibrators, enumerations and restriction criteria
are applied to whole columns with numpy.
"""
from ._definition import Definition, DecodeWarning, FileResult, Skipped, load
from ._errors import PacketError, XtceError
from ._model import Container, Parameter, ParameterType

__all__ = ["load", "Definition", "FileResult", "Skipped", "Container", "Parameter", "ParameterType",
           "XtceError", "PacketError", "DecodeWarning"]
