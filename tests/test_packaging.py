"""The distributions: an sdist that builds everything, a manylinux wheel with the stubs and metadata.

Most checks use a wheel built without isolation into the same build directory as `pip install .`,
so it costs little more than a relink. The release wheel comes from `make dist` (zig's clang for
glibc 2.17, in a fresh isolated environment): it is checked for its manylinux2014 tag and the suite
runs against it in a fresh virtual environment."""
import email.parser
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

# `python -m pytest` puts the checkout first on sys.path, where build/ is a namespace package.
if not hasattr(pytest.importorskip("build"), "ProjectBuilder"):
    pytest.skip("the build frontend is not installed", allow_module_level=True)
pytest.importorskip("auditwheel")


def run(*args, cwd=ROOT):
    done = subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=900)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done.stdout + done.stderr


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run("-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(out), ".")
    (path,) = out.glob("bitloom-*.whl")
    return path


def test_wheel_holds_the_module_the_stubs_and_the_license(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert any(n.startswith("bitloom.cpython-") and n.endswith(".so") for n in names), names
    assert "bitloom-stubs/__init__.pyi" in names
    assert {"bitloom_xtce/__init__.py", "bitloom_xtce/__main__.py", "bitloom_xtce/py.typed"} <= set(names)
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), names


def test_wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as zf:
        (meta_name,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
        meta = email.parser.Parser().parsestr(zf.read(meta_name).decode())
    assert meta["Name"] == "bitloom"
    assert meta["Requires-Python"] == ">=3.13"
    assert meta["Summary"] and meta["License-Expression"]
    classifiers = meta.get_all("Classifier")
    for version in ("3.13", "3.14"):
        assert f"Programming Language :: Python :: {version}" in classifiers
    assert "Programming Language :: Python :: Implementation :: CPython" in classifiers
    # `pip install bitloom` brings numpy, which bitloom_xtce and the column functions need; the
    # rest (pyarrow, tqdm for the command line) only with an extra.
    required = [r for r in meta.get_all("Requires-Dist") if ";" not in r]
    assert [r.replace(" ", "") for r in required] == ["numpy>=2"], required


def test_auditwheel_finds_the_wheel_manylinux(wheel):
    report = " ".join(run("-m", "auditwheel", "show", str(wheel)).split())
    assert 'consistent with the following platform tag: "manylinux_' in report, report
    # Only the C library may be named among the versioned system symbols; the C++ runtime is
    # linked in and the interpreter's symbols come from the process that loads the module.
    assert "libstdc++" not in report and "libpython" not in report, report
    assert "libc.so.6 with versions" in report, report


def test_sdist_holds_what_a_build_needs(tmp_path):
    run("-m", "build", "--sdist", "--no-isolation", "--outdir", str(tmp_path))
    (sdist,) = tmp_path.glob("bitloom-*.tar.gz")
    with tarfile.open(sdist) as tf:
        names = {n.split("/", 1)[1] for n in tf.getnames() if "/" in n}
    for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/python/module.cpp",
                   "src/python/exports.map", "stubs/bitloom-stubs/__init__.pyi", "PKG-INFO"):
        assert needed in names, needed
    assert not any(n.startswith(("build/", ".venv", "dist/")) for n in names)


@pytest.mark.parametrize("options, werror", [([], False), (["-DBITLOOM_WERROR=ON"], True)],
                         ids=["default", "BITLOOM_WERROR=ON"])
def test_warnings_are_errors_only_when_asked(tmp_path, options, werror):
    # A build from the sdist must not fail on the next compiler's new warning; ours must.
    if shutil.which("cmake") is None:
        pytest.skip("cmake not installed")
    done = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path), "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                           "-DBITLOOM_NATIVE_TESTS=ON", f"-DPython_EXECUTABLE={sys.executable}", *options],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    commands = json.loads((tmp_path / "compile_commands.json").read_text())
    files = {pathlib.Path(c["file"]).relative_to(ROOT).as_posix() for c in commands}
    assert {"src/core/codec.cpp", "src/python/module.cpp", "tests/native/test_narrow.cpp"} <= files
    for c in commands:
        assert ("-Werror" in c["command"].split()) == werror, c["command"]


# The release wheel. `make dist` takes a minute or two; on a machine where zig has not yet built
# libc++ for glibc 2.17 into its cache, a few minutes more.
@pytest.fixture(scope="module")
def release_wheel(tmp_path_factory):
    if shutil.which("make") is None:
        pytest.skip("make not installed")
    out = tmp_path_factory.mktemp("dist")
    done = subprocess.run(["make", "--no-print-directory", "dist", f"DIST={out}"], cwd=ROOT,
                          capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    (path,) = out.glob("bitloom-*.whl")
    return path


@pytest.mark.release
def test_release_wheel_is_manylinux2014(release_wheel):
    # auditwheel repair named every tag the glibc 2.17 policy allows, and nothing newer.
    assert release_wheel.name.endswith("-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"), release_wheel.name
    report = " ".join(run("-m", "auditwheel", "show", str(release_wheel)).split())
    assert 'consistent with the following platform tag: "manylinux_2_17_x86_64"' in report, report
    libraries = set(re.findall(r"(\S+\.so\.\d+) with versions", report))
    assert libraries <= {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2"}, report
    assert "libc.so.6" in libraries, report


# What the fresh environment leaves out: the packaging tests (they build wheels of their own) and
# the type checkers' tests (they read the stubs in the checkout, with tools the wheel does not need).
NOT_AGAINST_THE_WHEEL = {"test_packaging.py", "test_typing.py"}


@pytest.mark.release
def test_suite_passes_against_the_release_wheel(release_wheel, tmp_path):
    venv = tmp_path / "venv"
    run("-m", "venv", str(venv))
    python = str(venv / "bin" / "python")
    # The wheel with its dependency (numpy) and pyproject.toml's test group, by this environment's
    # pip (new enough to read dependency groups) into the fresh one.
    pip = subprocess.run([sys.executable, "-m", "pip", "--python", python, "install", "-q", str(release_wheel),
                          "--group", f"{ROOT / 'pyproject.toml'}:test"],
                         capture_output=True, text=True, timeout=900)
    assert pip.returncode == 0, pip.stdout[-3000:] + pip.stderr[-3000:]

    # Run from an empty folder, so that `import bitloom` can only find the installed wheel.
    work = tmp_path / "work"
    work.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "PYTHON"))}
    where = subprocess.run([python, "-c", "import bitloom; print(bitloom.__file__)"], cwd=work, env=env,
                           capture_output=True, text=True, check=True).stdout.strip()
    assert pathlib.Path(where).is_relative_to(venv), where

    files = sorted(str(f) for f in (ROOT / "tests").glob("test_*.py") if f.name not in NOT_AGAINST_THE_WHEEL)
    done = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *files], cwd=work,
                          env=env, capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stdout[-5000:] + done.stderr[-3000:]
    summary = done.stdout.strip().splitlines()[-1]
    assert " passed" in summary and "failed" not in summary and "error" not in summary, summary
