#!/usr/bin/env bash
# Every test of the project, from a fresh clone on Debian 12: installs what is
# missing, then runs four CMake workflows with warnings as errors: the
# portable core and its unit tests natively under ASan and UBSan (ci-native),
# the same cross-built for aarch64 Linux and run under qemu (ci-aarch64: the
# ARM64 kernels), Pixelmoor.8bf with the Windows test programs under Wine
# (ci-mingw), and the same for Windows on ARM64 under arm64 Wine in the arm64
# tree (ci-arm64); packs both release zips as the README makes them and builds
# them again from a clean copy of the sources to compare the bytes; then runs
# the fuzzer for a bounded time (PIXELMOOR_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/deps.sh --arm64

echo "== native: portable core and unit tests under ASan and UBSan"
cmake --workflow --preset ci-native

echo "== aarch64: portable core and unit tests for aarch64 Linux under qemu, ASan and UBSan"
cmake --workflow --preset ci-aarch64

echo "== mingw: Pixelmoor.8bf and the Windows tests under Wine"
cmake --workflow --preset ci-mingw
echo "== arm64: Pixelmoor.8bf for ARM64 and the Windows tests under arm64 Wine"
start=$SECONDS
cmake --workflow --preset ci-arm64
echo "== arm64: built and tested in $((SECONDS - start)) s"
echo "== release packages: the zips and their checksums, as the README makes them"
cpack --preset release
cpack --preset release-arm64
echo "== reproducible release: a second build from a clean copy in another folder, byte for byte"
scripts/check-reproducible.sh

echo "== fuzz: the entry point under a failing host, for a bounded time"
scripts/fuzz.sh "${PIXELMOOR_FUZZ_SECONDS:-60}"
echo "All tests passed."
