#!/usr/bin/env bash
# Installs a build (usage: check-install.sh [BUILD_DIR]) into a temporary prefix and uses it
# as a C or C++ programmer and a Python user would: every installed header compiles on its
# own as C and as C++, the C example builds once with pkg-config and once with CMake's
# find_package, both programs run, and the installed Python modules read the capture back.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

.venv/bin/cmake --install "$build" --prefix "$prefix" >/dev/null
if find "$prefix/include" -name '*.hpp' | grep -q .; then
  echo "check-install: a C++ header was installed" >&2
  exit 1
fi
for header in "$prefix"/include/quennel/*.h; do
  line="#include <quennel/$(basename "$header")>"
  echo "$line" | "${CC:-cc}" -std=c11 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c -
  echo "$line" | "${CXX:-c++}" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ -
done

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046  # the flags are words
"${CC:-cc}" -std=c11 -Wall -Wextra -Werror -o "$work/render_pkgconfig" examples/c/render_sigmf.c \
  $(pkg-config --cflags --libs kettara tolvane) -Wl,-rpath,"$prefix/lib"
.venv/bin/cmake -S examples/c -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
.venv/bin/cmake --build "$work/example" >/dev/null

cat > "$work/scene.json" <<'SCENE'
{"segments": [
  {"fs": 1000000, "num_samples": 3000, "delay_samples": 500, "repeats": 2,
   "sum": [{"type": "bpsk", "snr": 15, "pulse": "rrc", "seed": 3},
           {"type": "tone", "freq": 200000, "snr": 10}]},
  {"type": "chirp", "fs": 1000000, "freq": -100000, "f_end": 100000, "num_samples": 2000}
]}
SCENE
"$work/render_pkgconfig" "$work/scene.json" "$work/pkgconfig.sigmf-data"
"$work/example/render_sigmf" "$work/scene.json" "$work/cmake.sigmf-data"
cmp "$work/pkgconfig.sigmf-data" "$work/cmake.sigmf-data"

PYTHONPATH=$(find "$prefix" -type d -name site-packages) \
  .venv/bin/python - "$prefix" "$work" <<'PYTHON'
import json
import sys
from pathlib import Path

import numpy as np

import kettara
import quennel
import tolvane

prefix, work = Path(sys.argv[1]), Path(sys.argv[2])
for module in (kettara, tolvane, quennel):
    assert Path(module.__file__).is_relative_to(prefix), f"{module.__name__} from {module.__file__}"

scene = (work / "scene.json").read_text()
with kettara.Plan(scene) as plan:
    expected = plan.render("")
with tolvane.Reader(str(work / "cmake.sigmf-data")) as reader:
    assert (reader.file_type, reader.sample_type, reader.fs) == ("sigmf", "cf32", 1e6)
    samples = reader.read(reader.num_samples)
assert np.array_equal(samples, expected), "the capture differs from the rendered scene"

meta = json.loads((work / "cmake.sigmf-meta").read_text())
labels = [a["core:label"] for a in meta["annotations"]]
assert labels == ["bpsk", "tone", "noise"] * 2 + ["chirp"], labels  # with the noise floor
print(f"check-install: {len(samples)} samples written through the installed C libraries read back")
PYTHON
