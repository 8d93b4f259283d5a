"""The documentation site: every example on its pages runs (Sphinx's doctest builder), and the API
reference covers every public function of bitloom and bitloom_xtce."""
import pathlib
import re
import subprocess
import sys

import pytest

import bitloom
import bitloom_xtce

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"


def test_every_example_on_the_pages_runs(tmp_path):
    pytest.importorskip("sphinx")
    run = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "doctest",
                          "-d", str(tmp_path / "doctrees"), str(DOCS), str(tmp_path / "out")],
                         capture_output=True, text=True)
    summary = (tmp_path / "out" / "output.txt").read_text() if (tmp_path / "out" / "output.txt").exists() else ""
    assert run.returncode == 0, run.stdout + run.stderr + summary
    tests = re.search(r"(\d+) tests\n\s+0 failures in tests", summary)
    assert tests and int(tests.group(1)) >= 60, summary
    # Every page with examples ran some: a page whose blocks stopped being doctests would not.
    ran = set(re.findall(r"^Document: (\S+)", summary, re.M))
    assert {"index", "getting-started", "recipes", "columns", "xtce", "streams", "errors"} <= ran, ran


@pytest.mark.parametrize("public", [
    {n for n in dir(bitloom) if not n.startswith("_")},
    set(bitloom_xtce.__all__),
], ids=["bitloom", "bitloom_xtce"])
def test_api_reference_lists_every_public_name(public):
    text = (DOCS / "api.rst").read_text()
    documented = set(re.findall(r"^\.\. auto(?:function|class|exception|data):: (?:\w+\.)?(\w+)", text, re.M))
    assert public - documented == set()
