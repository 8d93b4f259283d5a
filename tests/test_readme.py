"""The README's Python examples (the `>>>` blocks) run and print what the README shows."""
import doctest
import pathlib

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples(monkeypatch):
    monkeypatch.chdir(README.parent)  # the examples' paths (tests/data/...) are the checkout's
    result = doctest.testfile(str(README), module_relative=False, verbose=False,
                              optionflags=doctest.NORMALIZE_WHITESPACE | doctest.REPORT_NDIFF)
    assert result.attempted >= 15
    assert result.failed == 0
