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
APT_PACKAGES := libgtest-dev nlohmann-json3-dev unicode-data
# clang 19: older clangs do not announce the concepts level that libstdc++ 12
# requires before it offers std::expected.
FUZZ_APT_PACKAGES := clang-19 libclang-rt-19-dev
FUZZ_CXX := clang++-19
PIP_PACKAGES := "numpy>=2" pytest hypothesis
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all setup apt venv build test test-core test-py test-asan demo fuzz bench clean

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

build: setup
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-py: build
	TESSAVINE_CORPUS=$(CORPUS) $(PY) -m pytest -q tests

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

test: test-core test-py test-asan

demo: build
	TESSAVINE_CORPUS=$(CORPUS) $(PY) tools/demo.py

# libFuzzer harnesses, built with clang; each target runs FUZZ_SECONDS.
fuzz: setup
	@dpkg -s $(FUZZ_APT_PACKAGES) >/dev/null 2>&1 || { \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $(FUZZ_APT_PACKAGES); }
	CXX=$(FUZZ_CXX) cmake -S . -B $(BUILD)-fuzz -DTESSAVINE_FUZZ=ON -DTESSAVINE_PYTHON=OFF \
	  -DTESSAVINE_TESTS=OFF -DTESSAVINE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD)-fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) BUILD=$(BUILD)-fuzz tools/run_fuzzers.sh

bench: build
	@for b in bench/bench_*.py; do echo "== $$b"; TESSAVINE_CORPUS=$(CORPUS) $(PY) $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-fuzz python/tessavine/_core*.so
