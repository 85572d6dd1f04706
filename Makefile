# Everything a fresh machine needs is installed by these targets: Debian packages
# (scripts/install-system-deps.sh), a virtual environment in .venv, then the
# CMake build in build/. Re-running them when nothing changed is quick.

PYTHON  ?= python3
VENV    := .venv
VPY     := $(VENV)/bin/python
BUILD   ?= build
JOBS    ?= 2
CMAKE   := $(VENV)/bin/cmake
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
# WERROR=ON (as CI sets it) makes every compiler warning an error; read when a build
# folder is first configured.
WERROR ?= OFF
# Lets ccache share results between checkouts of the tree in other folders.
export CCACHE_BASEDIR ?= $(CURDIR)

.PHONY: all build test test-cpp test-python test-gnuradio lint demo bench clean system-deps check-asan check-tsan check-install fuzz fuzz-build

all: build

system-deps:
	@scripts/install-system-deps.sh

$(VENV)/.requirements-stamp: requirements-dev.txt | system-deps
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	@$(VPY) scripts/link-venv.py
	@touch $@

$(BUILD)/build.ninja: $(VENV)/.requirements-stamp
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DQUENNEL_WERROR=$(WERROR) $(CMAKE_FLAGS)

# The .pth file makes .venv import the freshly built modules and the quennel sources in place.
build: $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	@$(VPY) scripts/link-venv.py $(abspath $(BUILD)/python) $(abspath python)

test-cpp: build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	$(VPY) -m pytest -q tests/python

# The GNU Radio blocks run in real flowgraphs under Debian's GNU Radio, which lives in the
# system Python with Debian's NumPy 1.24: the freshly built modules and the package sources
# are put on its path. The binding tests run there too, for the older NumPy.
SYSTEM_PYTHON ?= /usr/bin/python3
SYSTEM_PYTHON_TESTS := tests/gnuradio tests/python/test_plan.py tests/python/test_reader_binding.py \
  tests/python/test_hardening_bindings.py tests/python/test_interrupt.py
test-gnuradio: build
	@echo "GNU Radio blocks and bindings: $(SYSTEM_PYTHON) with Debian's GNU Radio $$($(SYSTEM_PYTHON) \
	  -c 'from gnuradio import gr; print(gr.version())') and NumPy $$($(SYSTEM_PYTHON) -c 'import numpy; \
	  print(numpy.__version__)'), on $(BUILD)/python and python/"
	PYTHONPATH=$(abspath $(BUILD)/python):$(abspath python) $(SYSTEM_PYTHON) -m pytest -q -p no:cacheprovider \
	  $(SYSTEM_PYTHON_TESTS)

# ruff over the Python sources and tests, mypy --strict over the modules typed so far (TYPED;
# the goal is all of python/quennel), and the stubs of the extension modules against the built
# modules (run in the build folder: a folder holding the kettara/ and tolvane/ sources would
# pass for packages of those names).
TYPED := $(addprefix python/quennel/,schema.py errors.py units.py outputs.py _progress.py _native.py interrupt \
  gnuradio/__init__.py cli/_common.py cli/template.py cli/check.py)
lint: build
	$(VENV)/bin/ruff check python tests
	$(VENV)/bin/mypy --strict --follow-imports=silent $(TYPED)
	cd $(BUILD) && $(abspath $(VPY)) -m mypy.stubtest --ignore-disjoint-bases kettara tolvane

test: test-cpp test-python test-gnuradio lint

demo: build
	$(VPY) -m quennel.demo

bench: build
	$(BUILD)/bench/kernel_paths
	$(VPY) bench/run_all.py

# The install as C, C++ and Python users meet it, from a temporary prefix.
check-install: build
	scripts/check-install.sh $(BUILD)

# Sanitizer builds live in their own folders and are reused incrementally.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZER_CMAKE = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(VPY)) \
  -DQUENNEL_WERROR=$(WERROR)

$(ASAN_BUILD)/build.ninja: $(VENV)/.requirements-stamp
	$(CMAKE) -S . -B $(ASAN_BUILD) $(SANITIZER_CMAKE) -DQUENNEL_SANITIZE=address,undefined

$(TSAN_BUILD)/build.ninja: $(VENV)/.requirements-stamp
	$(CMAKE) -S . -B $(TSAN_BUILD) $(SANITIZER_CMAKE) -DQUENNEL_SANITIZE=thread

# The whole suite (ctest, then pytest) with AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: $(ASAN_BUILD)/build.ninja
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	scripts/check-asan.sh $(ASAN_BUILD) $(JOBS)

# The threaded paths under ThreadSanitizer.
check-tsan: $(TSAN_BUILD)/build.ninja
	$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS)
	scripts/check-tsan.sh $(TSAN_BUILD)

$(FUZZ_BUILD)/build.ninja: $(VENV)/.requirements-stamp
	CC=clang CXX=clang++ $(CMAKE) -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

fuzz-build: $(FUZZ_BUILD)/build.ninja
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS seconds, from its corpus in fuzz/corpus/<target>.
fuzz: fuzz-build
	scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
