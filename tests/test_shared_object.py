"""The built shared object: what it needs at run time and what it exports."""
import re
import shutil
import subprocess

import pytest

import bitloom


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def needed_libraries():
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-dW", bitloom.__file__))


pytestmark = [
    pytest.mark.skipif(not (shutil.which("readelf") and shutil.which("nm")),
                       reason="binutils not installed"),
    # The sanitizer build links the runtimes dynamically and keeps its symbols visible.
    pytest.mark.skipif(shutil.which("readelf") is not None
                       and any("asan" in lib for lib in needed_libraries()),
                       reason="sanitizer build"),
]


def test_needs_neither_libpython_nor_libstdcxx():
    needed = needed_libraries()
    assert needed, "no NEEDED entries found"
    for lib in needed:
        assert not lib.startswith(("libpython", "libstdc++")), needed
        assert re.match(r"(libc|libm|libgcc_s|libpthread|ld-linux[-\w.]*)\.so", lib), needed


def test_exports_only_the_init_function():
    symbols = []
    for line in run("nm", "-D", "--defined-only", bitloom.__file__).splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] not in ("A",):  # A: version definitions, not symbols
            symbols.append(parts[2])
    assert symbols == ["PyInit_bitloom"]
