#!/usr/bin/env bash
# Benchmarks of the quantiser against its limits, in one command:
#   1. natively (glibc): Google Benchmark over a 4096 x 4096 image of 4 planes
#      in 256 x 256 tiles; QuantizePlaneTile and ConvertImage against a plain
#      copy and a rand()-only loop over the same tile walk; then the timer
#      program, whose ratios are taken within each round, for the goals;
#   2. the same workloads built with mingw-w64 and run under Wine (the Windows
#      C runtime), timed with QueryPerformanceCounter;
#   3. the whole image: the real Pixelmoor.8bf in the test host pmhost under
#      Wine, side by side with ImageMagick's -ordered-dither o8x8,32,64,32 on
#      the same 4096 x 4096 RGBA pixels.
# Each stage prints a table of ratios measured in the same run. Nothing here
# passes or fails on a time: the tables say "met" or "MISSED" per goal.
#
# Usage: scripts/bench.sh [--quick] [--skip-native] [--skip-wine] [--skip-image]
# Builds in build/native-release and build/mingw (PIXELMOOR_BENCH_BUILD_ROOT
# moves both); Wine uses PIXELMOOR_WINEPREFIX when set.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"

quick=0 native=1 wine=1 image=1
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --skip-native) native=0 ;;
    --skip-wine) wine=0 ;;
    --skip-image) image=0 ;;
    *) echo "usage: $0 [--quick] [--skip-native] [--skip-wine] [--skip-image]" >&2; exit 2 ;;
  esac
done

scripts/deps.sh
build_root="${PIXELMOOR_BENCH_BUILD_ROOT:-$repo/build}"
native_dir="$build_root/native-release"
mingw_dir="$build_root/mingw"
repetitions=5 rounds=7 image_runs=3
if [ "$quick" = 1 ]; then repetitions=3 rounds=3 image_runs=1; fi

if [ "$native" = 1 ]; then
  echo "== native (glibc): building"
  cmake --preset native-release -B "$native_dir" >/dev/null
  cmake --build "$native_dir" -j2 --target pixelmoor_bench pixelmoor_bench_timer >/dev/null
  echo "== native (glibc): Google Benchmark"
  "$native_dir/bench/pixelmoor_bench" --benchmark_color=false --benchmark_repetitions="$repetitions"
  # The goals: ratios taken within each round, as under Wine below.
  echo "== native (glibc): timer program, paired rounds"
  "$native_dir/bench/pixelmoor_bench_timer" --rounds="$rounds" --runtime="glibc (paired rounds)"
fi

if [ "$wine" = 1 ] || [ "$image" = 1 ]; then
  echo "== mingw-w64: building"
  cmake --preset mingw -B "$mingw_dir" >/dev/null
  targets=(pixelmoor_bench_timer Pixelmoor)
  if [ -f tools/pmhost/CMakeLists.txt ]; then targets+=(pmhost); fi
  cmake --build "$mingw_dir" -j2 --target "${targets[@]}" >/dev/null
fi

if [ "$wine" = 1 ]; then
  echo "== Windows C runtime under Wine: timer program"
  scripts/wine-run "$mingw_dir/bench/pixelmoor_bench_timer.exe" --rounds="$rounds" | tr -d '\r'
fi

# Seconds since the epoch, to the nanosecond.
now() { date +%s.%N; }
# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Runs a command and prints how long it took, in seconds.
# Arithmetic on decimals (awk is always there; bc need not be).
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
seconds_of() { local start; start="$(now)"; "$@" >/dev/null 2>&1; calc "$(now) - $start"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

if [ "$image" = 1 ]; then
  echo "== whole image: Pixelmoor.8bf in pmhost under Wine, and ImageMagick"
  im=/usr/bin/convert-im6.q16
  [ -x "$im" ] || im=/usr/bin/convert  # Debian's ImageMagick, not a wrapper elsewhere on the path
  work="$build_root/bench-image"
  mkdir -p "$work"
  side=4096
  if [ ! -f "$work/in.png" ]; then
    # Noise: every sample value occurs, and no encoder can shortcut it.
    head -c $((side * side * 4)) /dev/urandom >"$work/in.rgba"
    "$im" -size ${side}x${side} -depth 8 rgba:"$work/in.rgba" "$work/in.png"
  fi
  raw=(-size ${side}x${side} -depth 8 rgba:"$work/in.rgba")

  im_plain=() im_dither=() im_single=() im_png=() pm_module=() pm_whole=()
  pmhost="$mingw_dir/pmhost.exe"
  for ((k = 0; k < image_runs; ++k)); do
    # The operator's own time: the same command with and without it.
    im_plain+=("$(seconds_of "$im" "${raw[@]}" rgba:"$work/im-plain.rgba")")
    im_dither+=("$(seconds_of "$im" "${raw[@]}" -ordered-dither o8x8,32,64,32 rgba:"$work/im-out.rgba")")
    # The module runs on one thread; ImageMagick's operator also on one, for comparison.
    im_single+=("$(seconds_of "$im" -limit thread 1 "${raw[@]}" -ordered-dither o8x8,32,64,32 rgba:"$work/im-out.rgba")")
    im_png+=("$(seconds_of "$im" "$work/in.png" -ordered-dither o8x8,32,64,32 "$work/im-out.png")")
    if [ -f "$pmhost" ]; then
      start="$(now)"
      out="$(scripts/wine-run "$pmhost" --timing --registry none "$mingw_dir/Pixelmoor.8bf" "$work/in.png" "$work/pm-out.png" 2>&1 | tr -d '\r' || true)"
      pm_whole+=("$(calc "$(now) - $start")")
      # pmhost reports the time spent inside the module, tile delivery excluded.
      module_ms="$(sed -n 's/.*module \([0-9.]*\) ms.*/\1/p' <<<"$out" | head -n 1)"
      if [ -n "$module_ms" ]; then pm_module+=("$(calc "$module_ms / 1000")"); fi
    fi
  done

  operator=()
  operator_single=()
  for ((k = 0; k < image_runs; ++k)); do
    operator+=("$(calc "${im_dither[k]} - ${im_plain[k]}")")
    operator_single+=("$(calc "${im_single[k]} - ${im_plain[k]}")")
  done
  im_op1="$(printf '%s\n' "${operator_single[@]}" | median)"
  im_op="$(printf '%s\n' "${operator[@]}" | median)"
  im_whole="$(printf '%s\n' "${im_png[@]}" | median)"
  printf '\n%-58s %9s  %6s  %s\n' "whole image, ${side} x ${side} RGBA (medians of $image_runs)" "s" "ratio" "goal"
  printf '%-58s %9.3f  %6s  %s\n' "ImageMagick -ordered-dither o8x8,32,64,32, operator alone" "$im_op" "-" "(limit)"
  printf '%-58s %9.3f  %6s  %s\n' "ImageMagick operator alone, one thread (-limit thread 1)" "$im_op1" "-" "(for comparison)"
  printf '%-58s %9.3f  %6s  %s\n' "ImageMagick, whole command (PNG in, PNG out)" "$im_whole" "-" "(limit)"
  if [ ${#pm_module[@]} -gt 0 ]; then
    pm_mod="$(printf '%s\n' "${pm_module[@]}" | median)"
    # Goal: at least 10 times faster than the operator, a ratio of 0.1 or less.
    r="$(awk "BEGIN { printf \"%.3f\", $pm_mod / $im_op }")"
    verdict="$(awk "BEGIN { print ($r <= 0.1) ? \"met\" : \"MISSED\" }")"
    printf '%-58s %9.3f  %6s  %s\n' "Pixelmoor.8bf in pmhost, module alone (delivery excluded)" "$pm_mod" "$r" "<= 0.10 $verdict"
    printf '%-58s %9s  %6s  %s\n' "  the same against the one-thread operator" "" \
      "$(awk "BEGIN { printf \"%.3f\", $pm_mod / $im_op1 }")" "(for comparison)"
  else
    printf '%-58s %9s  %6s  %s\n' "Pixelmoor.8bf in pmhost, module alone (delivery excluded)" "pending" "-" \
      "pmhost --timing not available yet"
  fi
  if [ ${#pm_whole[@]} -gt 0 ] && [ ${#pm_module[@]} -gt 0 ]; then
    pm_all="$(printf '%s\n' "${pm_whole[@]}" | median)"
    printf '%-58s %9.3f  %6s  %s\n' "pmhost under Wine, whole command (PNG in, PNG out)" "$pm_all" \
      "$(ratio "$pm_all" "$im_whole")" "(for comparison)"
  fi
fi
