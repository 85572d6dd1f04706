#!/usr/bin/env bash
# Runs the tests of the threaded paths on a ThreadSanitizer build (usage: check-tsan.sh
# BUILD_DIR): first uses of the once-filled tables from several threads, plan builds on
# worker threads and concurrent renders of one plan, large capture reads shared by worker
# threads, follow mode stopped from another thread, the signal masks of the job runner's
# threads. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
threaded='Threaded|FirstFill|AcrossThreads|Concurrent|ThreadCount|Hardened|Interrupt|Follow|LargeReads|JobRunner'
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  .venv/bin/ctest --test-dir "$build" --output-on-failure -j 2 -R "$threaded"
