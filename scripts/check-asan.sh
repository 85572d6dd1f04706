#!/usr/bin/env bash
# Runs the whole test suite on a build made with AddressSanitizer and
# UndefinedBehaviorSanitizer (usage: check-asan.sh BUILD_DIR [JOBS]); any report fails it.
# The C and C++ tests run with leak detection. The Python tests run the interpreter with
# the ASan runtime preloaded and without leak detection (CPython keeps objects alive until
# exit by design), with its own allocator off so that object memory is checked too, and
# with allocations beyond any machine failing as they do without the sanitizer (NumPy then
# raises MemoryError); the C++ tests keep reporting any such attempt. The C++ runtime is
# preloaded beside ASan so that its exception interceptor finds it even when an extension
# module (matplotlib's) is the first to load it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
jobs=${2:-2}
ubsan="print_stacktrace=1:halt_on_error=1"

ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1" \
UBSAN_OPTIONS="$ubsan" \
  .venv/bin/ctest --test-dir "$build" --output-on-failure -j "$jobs"

asan_runtime=$(gcc -print-file-name=libasan.so)
LD_PRELOAD="$asan_runtime $(gcc -print-file-name=libstdc++.so.6)" \
ASAN_OPTIONS="detect_leaks=0:detect_stack_use_after_return=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="$ubsan" \
PYTHONMALLOC=malloc \
PYTHONPATH="$PWD/$build/python:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" \
QUENNEL_UNDER_SANITIZER=1 \
  .venv/bin/python -m pytest -q -p no:cacheprovider -m "not slow" tests/python
