# Set-up and everyday tasks. `make demo` and `make test` do all set-up on a fresh machine.
SHELL := /bin/bash
.DEFAULT_GOAL := demo

VENV := .venv
VPY := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.map' -o -name '*.py' -o -name py.typed) CMakeLists.txt pyproject.toml

# A CPython >= 3.13: first on PATH, then pyenv's versions folder, then /usr/bin.
PY_CANDIDATES := $(shell for n in python3.14 python3.13 python3; do command -v $$n; done 2>/dev/null) \
                 $(wildcard $(HOME)/.pyenv/versions/3.1[3-9]*/bin/python3) \
                 $(wildcard /usr/bin/python3.1[3-9])
PYTHON ?= $(shell for p in $(PY_CANDIDATES); do \
             if "$$p" -c 'import sys; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1; then \
               echo "$$p"; break; fi; done)

# Warnings are errors in our own builds (CMake's BITLOOM_WERROR, which pyproject.toml reads from
# the environment), not in a user's pip install from the sdist. Exported, so that the wheel the
# packaging tests build reuses the build directory as configured by `pip install .`.
export BITLOOM_WERROR ?= ON

# .venv holds what the targets run so far have needed: the build tools, the package with its one
# dependency (numpy), and pyproject.toml's dependency groups, each installed by the first target
# that needs it (a stamp .venv/.group-NAME each): make demo the demo group only, make test those
# of the test suite and the tools it drives (type checkers, Sphinx, the packaging tools), make dist
# the release wheel's compiler. A new dependency of the tests is a line in the test group.
BUILD_DEPS := "scikit-build-core>=0.11" ninja
TEST_GROUPS := test typing docs packaging
group_stamps = $(foreach g,$(1),$(VENV)/.group-$(g))

.PHONY: demo test test-exhaustive test-release native-test test-asan test-f16c bench dist clean python docs docs-shot

python:
	@if [ -z "$(PYTHON)" ]; then \
	  echo "error: no CPython >= 3.13 found. Searched: python3.14, python3.13 and python3 on PATH," \
	       "$(HOME)/.pyenv/versions/3.1[3-9]*/bin/python3 and /usr/bin/python3.1[3-9]." >&2; \
	  echo "Install CPython 3.13 or later, or run: make PYTHON=/path/to/python3.13" >&2; exit 1; fi

# pip 25.1 or later reads dependency groups.
$(VENV)/.ready: | python
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade "pip>=25.1"
	$(VPY) -m pip install -q $(BUILD_DEPS)
	touch $@

$(VENV)/.group-%: pyproject.toml | $(VENV)/.ready
	$(VPY) -m pip install -q --group $*
	touch $@

# Rebuilds (incrementally, in build/) only when a source file changed; pip installs numpy, the
# package's dependency, the first time. This build leaves out the whole-program optimisation that
# CMakeLists.txt turns on for release builds: with it the module's link alone takes about ten times
# as long as the rest of the build (some minutes of both cores), for 5 to 15 per cent on the packet
# and column functions (make bench measures this build). `pip install .` and make dist keep it;
# make test-release tests the release wheel.
DEV_BUILD := -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE=OFF
$(VENV)/.installed: $(VENV)/.ready $(SOURCES) $(wildcard stubs/bitloom-stubs/*.pyi)
	$(VPY) -m pip install -q --no-build-isolation $(DEV_BUILD) .
	touch $@

demo: $(VENV)/.installed $(call group_stamps,demo)
	$(VPY) examples/demo.py

# Everything but the exhaustive sweeps (make test-exhaustive) and the release wheel's tests (make
# test-release), which .ci/run runs too; pytest on TEST_JOBS processes (pytest-xdist), each taking
# a whole test file at a time. In CI (CI set) a skipped test fails the run: every tool the suite
# needs is installed here, so a skip there is a test that did not run.
TEST_JOBS ?= 2
PYTEST = $(VPY) -m pytest -q -rs $(if $(CI),--fail-on-skip)
# A worker that crashes fails the run at once (--max-worker-restart=0): restarting it can leave the
# controller waiting for a file that no worker takes.
test: $(VENV)/.installed $(call group_stamps,$(TEST_GROUPS)) native-test
	$(PYTEST) -n $(TEST_JOBS) --dist loadfile --max-worker-restart=0 -m "not release"

# The release wheel (make dist: zig's clang, auditwheel repair) and the whole suite against it in a
# fresh virtual environment.
test-release: $(VENV)/.installed $(call group_stamps,$(TEST_GROUPS) release)
	$(PYTEST) -m release

# Native test programs over the codec core (tests/native/test_*.cpp). Their binary32 sweeps visit a
# sample of the patterns here; make test-exhaustive runs them over all 2^32 (BITLOOM_EXHAUSTIVE=1),
# then the F16C comparison (test-f16c): several minutes of both cores.
NATIVE_BUILD := build/native
NATIVE_TESTS := $(NATIVE_BUILD)/tests/native
NATIVE_CONFIGURE = cmake -S . -B $(NATIVE_BUILD) -DBITLOOM_NATIVE_TESTS=ON -DBITLOOM_WERROR=$(BITLOOM_WERROR) \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
NATIVE_BUILD_TESTS = $(NATIVE_CONFIGURE) && cmake --build $(NATIVE_BUILD) -j 2 --target native_tests
native-test: $(VENV)/.ready $(SOURCES) $(wildcard tests/native/*)
	$(NATIVE_BUILD_TESTS)
	@set -e; for t in $(NATIVE_TESTS)/test_*; do [ -x "$$t" ] && "$$t"; done

test-exhaustive: $(VENV)/.ready
	$(NATIVE_BUILD_TESTS)
	@set -e; for t in $(NATIVE_TESTS)/test_*; do [ -x "$$t" ] && BITLOOM_EXHAUSTIVE=1 "$$t"; done
	$(NATIVE_TESTS)/f16_exhaustive

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_VENV := .venv-asan
ASAN_RT = $(shell g++ -print-file-name=libasan.so)
UBSAN_RT = $(shell g++ -print-file-name=libubsan.so)
$(ASAN_VENV)/.installed: $(SOURCES) | python
	[ -x $(ASAN_VENV)/bin/python ] || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade "pip>=25.1"
	$(ASAN_VENV)/bin/python -m pip install -q $(BUILD_DEPS) --group test
	BITLOOM_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation \
	  -C build-dir=build/asan -C cmake.build-type=Debug -C install.strip=false .
	touch $@

# PYTHONMALLOC=malloc puts every Python object on the sanitizer's heap, so a write past the end
# of a str or bytes that the module fills in place is caught too; LeakSanitizer runs at exit,
# with only the interpreter's own immortal strings suppressed (tests/lsan.supp).
test-asan: $(ASAN_VENV)/.installed
	LD_PRELOAD="$(ASAN_RT) $(UBSAN_RT)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
	  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# Every binary32 and binary16 pattern through the portable and the F16C binary16 conversions
# (and every binary32 through the binary64 widening); about 20 seconds; test-exhaustive runs it.
test-f16c: $(VENV)/.ready
	$(NATIVE_CONFIGURE)
	cmake --build $(NATIVE_BUILD) -j 2 --target f16_exhaustive
	$(NATIVE_TESTS)/f16_exhaustive

bench: $(VENV)/.installed $(call group_stamps,bench)
	$(VPY) bench/run.py

# sdist and wheel in $(DIST), built in a fresh isolated environment. The wheel's compiler is zig's
# clang for glibc 2.17 (cmake/zig-toolchain.cmake, zig from the ziglang package in .venv), so it
# installs on any x86_64 Linux with glibc 2.17 or newer; auditwheel then gives it the manylinux2014
# tag, and refuses to if the module needs a newer glibc symbol or any library outside that policy.
DIST ?= dist
ZIG = $(shell $(VPY) -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
dist: $(call group_stamps,release)
	rm -rf $(DIST)
	$(VPY) -m build --outdir $(DIST)/linux \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig-toolchain.cmake) \
	  -C cmake.define.BITLOOM_ZIG=$(ZIG) .
	PATH="$(abspath $(VENV))/bin:$$PATH" \
	  $(VPY) -m auditwheel repair --plat manylinux2014_x86_64 -w $(DIST) $(DIST)/linux/*.whl
	mv $(DIST)/linux/*.tar.gz $(DIST)/ && rm -r $(DIST)/linux
	$(VPY) -m auditwheel show $(DIST)/*.whl 2>&1 | tee $(DIST)/auditwheel.txt
	@tr -s ' \n' '  ' < $(DIST)/auditwheel.txt | grep -q 'platform tag: "manylinux_2_17_x86_64"'

# The documentation site: HTML in build/docs/html, warnings as errors, then every example of
# the pages run as a doctest. `make docs-shot` takes a screenshot of each page with headless
# Chromium (installed from the Debian archive when missing) into build/docs/shots.
DOCS_OUT := build/docs
SPHINX = $(VPY) -m sphinx -W --keep-going -q
docs: $(VENV)/.installed $(call group_stamps,docs)
	$(SPHINX) -b html docs $(DOCS_OUT)/html
	$(SPHINX) -b doctest -d $(DOCS_OUT)/doctrees docs $(DOCS_OUT)/doctest
	@echo "docs: file://$(abspath $(DOCS_OUT))/html/index.html"

docs-shot: docs
	docs/screenshots.sh $(DOCS_OUT)/html $(DOCS_OUT)/shots

clean:
	rm -rf build $(VENV) $(ASAN_VENV)

# libFuzzer targets over the codec core (fuzz/Makefile; clang is installed from the Debian
# archive when missing). `make fuzz` runs each target for FUZZ_SECONDS seconds (default 300);
# `make fuzz-smoke` runs each for 5 seconds, as CI does.
.PHONY: fuzz fuzz-smoke
fuzz:
	$(MAKE) -f fuzz/Makefile run FUZZ_SECONDS=$(or $(FUZZ_SECONDS),300)

fuzz-smoke:
	$(MAKE) -f fuzz/Makefile run FUZZ_SECONDS=5
