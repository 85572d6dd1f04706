"""Runs every bench/bench_*.py in name order (make bench)."""

import runpy
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))
for script in sorted(here.glob("bench_*.py")):
    runpy.run_path(str(script), run_name="__main__")
