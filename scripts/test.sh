#!/usr/bin/env bash
# Every test of the project, from a fresh clone on Debian 12: installs what is
# missing, then builds and tests the portable core natively (ASan + UBSan),
# builds Pixelmoor.8bf and the Windows test programs with mingw-w64, packs the
# release zip, runs the Windows tests under Wine, and runs the fuzzer for a
# bounded time.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/deps.sh
export PIXELMOOR_WERROR=ON

echo "== native: portable core and unit tests under ASan and UBSan"
cmake --preset native
cmake --build --preset native
ctest --preset native

echo "== mingw: Pixelmoor.8bf and the Windows tests under Wine"
cmake --preset mingw
cmake --build --preset mingw
echo "== release package: the zip and its checksum, as the README makes them"
cpack --preset release
ctest --preset mingw

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzz: the entry point under a failing host, for a bounded time"
  scripts/fuzz.sh "${PIXELMOOR_FUZZ_SECONDS:-60}"
fi
echo "All tests passed."
