"""The installed type stubs: stubtest against the built module, and both checkers reading them."""
import ast
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import bitloom

# Run from a scratch directory so that the checkers see only what `pip install .` installed.
GOOD = textwrap.dedent("""
    from typing import TYPE_CHECKING, Any, assert_type
    import numpy as np
    import numpy.typing as npt
    import bitloom

    if TYPE_CHECKING:
        from bitloom import RecipeItem

    recipe: "list[RecipeItem]" = [
        {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big",
         "reverse_bits": False, "offset_bits": 5, "value": 0x7FF},
        {"name": "label", "encoding": "utf8", "bits": 32, "byte_order": "big",
         "reverse_bits": False, "value": "OK"},
    ]
    packet = bitloom.pack_parameters(recipe)
    assert_type(packet, bytes)
    assert_type(bitloom.unpack_parameters(packet, 0, recipe), dict[str, int | float | str])
    assert_type(bitloom.encode_packed_bcd(-12, 16, signed=True), int)
    assert_type(bitloom.decode_ieee754_f16(0x3C00), float)
    assert_type(bitloom.decode_utf16(b"\\xfe\\xff\\x00A"), str)
    assert_type(bitloom.encode_windows_1252("\\u20ac"), bytes)
    columns = bitloom.unpack_columns(packet, recipe, packet_size=len(packet), threads=2)
    assert_type(columns["apid"], "np.ndarray[Any, Any]")
    assert_type(bitloom.packet_offsets(packet * 2, len(packet)), "npt.NDArray[np.uint64]")
    assert_type(bitloom.decode_ti_f32(_value=0), float)
    assert_type(bitloom.encode_mil_std_1750a_f48(0.5), int)
    try:
        bitloom.decode_dec_f32(0x80000000)
    except bitloom.InternalFault as fault:
        assert_type(fault, bitloom.InternalFault)
""")

# Each line is one mistake; both checkers must flag every line.
BAD = textwrap.dedent("""
    import bitloom
    bitloom.encode_utf8(b"bytes, not text")
    bitloom.decode_utf8("text, not bytes")
    bitloom.decode_packed_bcd(0x12, 8, signed=1)
    bitloom.encode_sign_magnitude(value=1)
    bitloom.pack_parameters([{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big"}])
    bitloom.unpack_parameters(b"", 0, [{"name": "a", "encoding": "unsigned", "bits": "8", "byte_order": "big", "reverse_bits": False}])
    x: int = bitloom.decode_utf8(b"")
    bitloom.unpack_columns(b"", [], None, 0)
    bitloom.packet_offsets("text")
    bitloom.decode_dec_f32(value=0)
""")
BAD_LINES = set(range(3, 13))


@pytest.fixture
def sources(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    return tmp_path


def flagged_lines(output, filename):
    lines = set()
    for line in output.splitlines():
        head, sep, _ = line.strip().partition(f"{filename}:")
        if sep:
            lines.add(int(line.strip()[len(head) + len(sep):].split(":")[0]))
    return lines


def test_stubtest_passes_against_the_built_module(tmp_path):
    pytest.importorskip("mypy")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "bitloom"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success" in done.stdout


def test_mypy_reads_the_stubs(sources):
    pytest.importorskip("mypy")
    args = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes"]
    good = subprocess.run(args + ["good.py"], cwd=sources, capture_output=True, text=True,
                          timeout=300)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = subprocess.run(args + ["bad.py"], cwd=sources, capture_output=True, text=True, timeout=300)
    assert flagged_lines(bad.stdout, "bad.py") == BAD_LINES, bad.stdout


def test_pyright_reads_the_stubs(sources):
    pytest.importorskip("pyright")
    if shutil.which("node") is None:
        pytest.skip("pyright needs Node.js")
    args = [sys.executable, "-m", "pyright", "--pythonpath", sys.executable]
    env = {**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"}  # no update check
    good = subprocess.run(args + ["good.py"], cwd=sources, capture_output=True, text=True,
                          timeout=300, env=env)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = subprocess.run(args + ["bad.py"], cwd=sources, capture_output=True, text=True,
                         timeout=300, env=env)
    assert flagged_lines(bad.stdout, "bad.py") == BAD_LINES, bad.stdout


def test_every_function_has_a_one_line_docstring_in_the_stubs():
    stub = pathlib.Path(bitloom.__file__).parent / "bitloom-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    docs = {node.name: ast.get_docstring(node) for node in tree.body
            if isinstance(node, ast.FunctionDef)}
    assert [name for name in docs if not name.startswith("_")] == bitloom.__all__
    assert all(doc and "\n" not in doc for doc in docs.values()), docs
