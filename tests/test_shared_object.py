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
        assert not lib.startswith(("libpython", "libstdc++", "libc++")), needed
        assert re.match(r"(libc|libm|libgcc_s|libpthread|libdl|ld-linux[-\w.]*)\.so", lib), needed


def test_exports_only_the_init_function():
    symbols = []
    for line in run("nm", "-D", "--defined-only", bitloom.__file__).splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] not in ("A",):  # A: version definitions, not symbols
            symbols.append(parts[2])
    assert symbols == ["PyInit_bitloom"]


# Names starting with _Py that the public API's own macros and inline functions leave in a module
# that uses nothing else: the module cannot avoid them, and CPython keeps them for that reason.
PUBLIC_MACRO_EXPANSIONS = {
    "_Py_Dealloc",                # Py_DECREF, when the count reaches zero
    "_Py_NoneStruct",             # Py_None, Py_RETURN_NONE
    "_Py_TrueStruct",             # Py_True, Py_RETURN_TRUE
    "_Py_FalseStruct",            # Py_False, Py_RETURN_FALSE
    "_Py_NotImplementedStruct",   # Py_NotImplemented
    "_Py_EllipsisObject",         # Py_Ellipsis
    "_PyByteArray_empty_string",  # PyByteArray_AS_STRING of a bytearray with no buffer
    # A free-threaded build's Py_DECREF, for objects that other threads share or that come back
    # to zero, and the thread id its reference counts compare (read through a call off x86-64
    # and AArch64).
    "_Py_DecRefShared",
    "_Py_MergeZeroLocalRefcount",
    "_Py_GetThreadLocal_Addr",
}


def test_imports_only_the_public_c_api():
    imported = {line.split()[-1].split("@")[0]
                for line in run("nm", "-D", "--undefined-only", bitloom.__file__).splitlines() if line.strip()}
    assert "PyModule_Create2" in imported  # the listing is what we think it is
    private = sorted(n for n in imported if n.startswith("_Py") and n not in PUBLIC_MACRO_EXPANSIONS)
    assert private == []
