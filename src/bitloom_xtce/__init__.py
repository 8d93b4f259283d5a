"""XTCE mission databases for bitloom: load a definition, decode packets and whole files.

    >>> import bitloom_xtce
    >>> definition = bitloom_xtce.load("mission.xml")
    >>> values = definition.decode(packet)            # one packet: {parameter: value}
    >>> tables = definition.decode_file(data)         # {container: {parameter: numpy column}}
    >>> for chunk in definition.iter_decode("big.bin"):   # a stream, a chunk at a time
    ...     ...
    >>> tables = bitloom_xtce.decode_files("archive/*.bin", definition, workers=4)
    >>> packet = definition.encode_command("SET_MODE", mode="SAFE")   # a telecommand

Each container is translated into bitloom recipes, so the work per packet (and per column of
packets) is done by bitloom's compiled reader; calibrators, enumerations and restriction criteria
are applied to whole columns with numpy.
"""
from ._commands import Argument, Command, CommandBlock, Constraint, Interlock, Significance, Verifier
from ._definition import CheckedPacket, Definition, DecodeWarning, FileResult, Skipped, load
from ._errors import PacketError, XtceError, XtceWarning
from ._model import Container, Parameter, ParameterType, Tolerated
from ._stream import DecodeStream, decode_files
from ._tables import ParquetTables, concat
from ._time import LEAP_SECONDS
from ._validity import AlarmLevel

__all__ = ["load", "Definition", "FileResult", "Skipped", "CheckedPacket", "AlarmLevel", "LEAP_SECONDS", "Container",
           "Parameter", "ParameterType", "Tolerated", "Command", "Argument", "XtceError", "XtceWarning", "PacketError", "DecodeWarning",
           "DecodeStream", "decode_files", "concat", "ParquetTables",
           "CommandBlock", "Significance", "Verifier", "Constraint", "Interlock"]
