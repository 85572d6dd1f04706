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
# Lets ccache share results between checkouts of the tree in other folders.
export CCACHE_BASEDIR ?= $(CURDIR)

.PHONY: all build test test-cpp test-python demo bench clean system-deps

all: build

system-deps:
	@scripts/install-system-deps.sh

$(VENV)/.requirements-stamp: requirements-dev.txt | system-deps
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	@touch $@

$(BUILD)/build.ninja: $(VENV)/.requirements-stamp
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) $(CMAKE_FLAGS)

# The .pth file makes .venv import the freshly built modules and the quennel sources in place.
build: $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	@$(VPY) scripts/link-venv.py $(abspath $(BUILD)/python) $(abspath python)

test-cpp: build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	$(VPY) -m pytest -q tests/python

test: test-cpp test-python

demo: build
	$(VPY) -m quennel.demo

bench: build
	$(VPY) bench/run_all.py

clean:
	rm -rf $(BUILD)
