"""Sphinx configuration of bitloom's documentation site (make docs)."""
import doctest
import pathlib
import sys

# For the pages' hidden test set-up: the worked example's recipe and packet (_worked_example.py).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

project = "bitloom"
author = "the bitloom developers"
copyright = "bitloom developers, MIT licence"
release = "0.1.0"

extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest"]
exclude_patterns = ["_build"]

html_theme = "furo"
html_title = "bitloom"
html_static_path = ["_static"]
html_css_files = ["tables.css"]
html_show_sourcelink = False

# Signatures as the module gives them (text signatures of the extension's functions), the
# descriptions written in api.rst; bitloom_xtce's docstrings as they are.
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True

# Exception messages are part of what the pages show, so they are compared in full.
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.DONT_ACCEPT_TRUE_FOR_1
# Example paths (tests/data/...) are relative to the checkout.
doctest_global_setup = "import os; os.chdir(%r)" % str(pathlib.Path(__file__).resolve().parent.parent)


_MADE_BY_LOAD = {f"bitloom_xtce.{n}" for n in ("Definition", "Container", "Parameter", "ParameterType",
                                                            "DecodeStream")}


def _no_constructor_signature(app, what, name, obj, options, signature, return_annotation):
    """bitloom_xtce's classes are made by load(), not by the user: show them without the
    constructor's (internal) parameters."""
    if what == "class" and name in _MADE_BY_LOAD:
        return "", None
    return None


def setup(app):
    app.connect("autodoc-process-signature", _no_constructor_signature)
