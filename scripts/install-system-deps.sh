#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when one is missing.
set -euo pipefail
packages=(g++ make libcjson-dev libgtest-dev ccache pkgconf)
# The FUSE library the read-error tests mount their failing file system with.
packages+=(libfuse2)
# Fuzzing: clang with its sanitizer and libFuzzer runtimes.
packages+=(clang libclang-rt-14-dev)
# The GNU Radio blocks are tested in real flowgraphs under Debian's GNU Radio 3.10 (its
# Python bindings ship in the package gnuradio), on the system Python with pytest (and jsonschema,
# which the scene checks of scene_source use). These are
# installed without their recommendations (development headers, Qt extras, SDR tools).
# python3-tqdm draws the package's progress display there.
lean_packages=(gnuradio python3-pytest python3-jsonschema python3-tqdm)
missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
mapfile -t missing_lean < <(missing "${lean_packages[@]}")
[ ${#missing_packages[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0
echo "installing Debian packages: ${missing_packages[*]} ${missing_lean[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
[ ${#missing_packages[@]} -eq 0 ] || $sudo apt-get install -y -qq "${missing_packages[@]}"
[ ${#missing_lean[@]} -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${missing_lean[@]}"
