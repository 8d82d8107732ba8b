#!/usr/bin/env bash
# Fuzzes the entry point for a bounded time: builds the libFuzzer target with
# clang (ASan + UBSan) through the fuzz preset, then runs one fuzzer process,
# starting from the committed corpus and seeds, for the given number of seconds
# (default 60). Exits non-zero on any crash, sanitizer report, host violation,
# hang or leak; the reproducer is then left in the build folder.
#
#   scripts/fuzz.sh [seconds]     PIXELMOOR_FUZZ_BUILD=<dir> picks the build folder
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PIXELMOOR_FUZZ_BUILD:-$root/build/fuzz-clang}"

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target pixelmoor_fuzzer -j2

# Fuzz into a scratch copy so that the committed corpus stays as it is.
work="$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$root"/fuzz/corpus/* "$root"/fuzz/seeds/* "$work/corpus/" 2>/dev/null || true

"$build/fuzz/pixelmoor_fuzzer" "$work/corpus" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -print_final_stats=1 -artifact_prefix="$work/artifacts/"
echo "fuzz: no fault in ${seconds} s"
