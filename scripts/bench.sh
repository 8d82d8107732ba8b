#!/usr/bin/env bash
# Benchmarks of the quantiser against its limits, in one command:
#   1. natively (glibc): Google Benchmark over a 4096 x 4096 image of 4 planes
#      in 256 x 256 tiles; QuantizePlaneTile and ConvertImage against a plain
#      copy and a rand()-only loop over the same tile walk, and the walk in
#      the host's shape (each tile copied into the host's buffers before it is
#      handed over, the module's share timed) against a copy through the same
#      walk; then the timer program, whose ratios are taken within each
#      round, for the goals;
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

# ---- pmhost: whole commands ----------------------------------------------------
# What a person running filters from the command line waits for, each command
# timed from start to end (Wine's start, PNG in, the filter with its dialog
# answered, PNG out), through scripts/pmhost as the README runs it:
#   - one 4096 x 4096 RGBA PNG, against ImageMagick's whole -ordered-dither
#     command on the same file (goal: at most 0.3 x), each pair of commands
#     run back to back so that both meet the same load;
#   - ten RGBA PNGs, ten separate runs against one run with --out-dir (goal:
#     the one run at least 3 x faster), at 256 x 256 and at 512 x 512: what
#     one run saves is a Wine start per image, so the gain shrinks as the
#     images' own work grows.
# Runs with the whole-image stage (--skip-image leaves it out too).
if [ "$image" = 1 ]; then
  echo "== pmhost: whole commands under Wine, and ImageMagick's whole command"
  im=/usr/bin/convert-im6.q16
  [ -x "$im" ] || im=/usr/bin/convert
  pm_work="$build_root/bench-pmhost"
  mkdir -p "$pm_work"
  pmhost_cmd=(env PIXELMOOR_BUILD_DIR="$mingw_dir" scripts/pmhost --quiet --answer ok --registry none)
  module="$mingw_dir/Pixelmoor.8bf"
  # Noise, as in the whole-image stage: no encoder can shortcut it.
  noise_png() { [ -f "$2" ] || head -c $(($1 * $1 * 4)) /dev/urandom | "$im" -size "$1x$1" -depth 8 rgba:- "$2"; }
  noise_png 4096 "$pm_work/big.png"
  for side in 256 512; do
    mkdir -p "$pm_work/ten$side"
    for k in 0 1 2 3 4 5 6 7 8 9; do noise_png "$side" "$pm_work/ten$side/in$k.png"; done
  done
  "${pmhost_cmd[@]}" --help >/dev/null  # Wine's server up, as for any later command

  # ten_separate SIDE / ten_one SIDE: seconds for ten runs, or one run of ten.
  ten_separate() {
    local start k
    start="$(now)"
    for k in 0 1 2 3 4 5 6 7 8 9; do
      "${pmhost_cmd[@]}" "$module" "$pm_work/ten$1/in$k.png" "$pm_work/ten$1/separate$k.png" >/dev/null 2>&1
    done
    calc "$(now) - $start"
  }
  ten_one() {
    rm -rf "$pm_work/ten$1/out"
    seconds_of "${pmhost_cmd[@]}" --out-dir "$pm_work/ten$1/out" "$module" "$pm_work/ten$1"/in?.png
  }
  # The ten-file commands are short and shaken most by other work on the
  # machine: more rounds of them.
  ten_runs=5
  if [ "$quick" = 1 ]; then ten_runs=1; fi
  im_big=() pm_big=() im_cold=() pm_cold=() sep256=() one256=() sep512=() one512=()
  # Wine stops a prefix's services 3 s after its last program ends, and
  # ImageMagick's command lasts longer than that: each pmhost command would
  # boot them again (2 s and more here). The pairs are measured with the
  # prefix held up, as it is for a person converting one file after another;
  # then, as a figure beside them, with the services stopped before each
  # pmhost command.
  scripts/wine-run --hold
  for ((k = 0; k < image_runs; ++k)); do
    im_big+=("$(seconds_of "$im" "$pm_work/big.png" -ordered-dither o8x8,32,64,32 "$pm_work/big-im.png")")
    pm_big+=("$(seconds_of "${pmhost_cmd[@]}" "$module" "$pm_work/big.png" "$pm_work/big-pm.png")")
  done
  scripts/wine-run --release
  for ((k = 0; k < image_runs; ++k)); do
    im_cold+=("$(seconds_of "$im" "$pm_work/big.png" -ordered-dither o8x8,32,64,32 "$pm_work/big-im.png")")
    pm_cold+=("$(seconds_of "${pmhost_cmd[@]}" "$module" "$pm_work/big.png" "$pm_work/big-pm.png")")
  done
  for ((k = 0; k < ten_runs; ++k)); do
    sep256+=("$(ten_separate 256)")
    one256+=("$(ten_one 256)")
    sep512+=("$(ten_separate 512)")
    one512+=("$(ten_one 512)")
  done
  # Where the time of one big command goes (one more run, with --timing):
  # start (process created to the first image), read, filter run, write.
  breakdown="$(env PIXELMOOR_BUILD_DIR="$mingw_dir" scripts/pmhost --timing --registry none "$module" \
    "$pm_work/big.png" "$pm_work/big-pm.png" 2>&1 | tr -d '\r' | grep 'timing:' || true)"

  med() { printf '%s\n' "$@" | median; }
  verdict() { awk "BEGIN { print ($1) ? \"met\" : \"MISSED\" }"; }
  im_all="$(med "${im_big[@]}")" pm_all="$(med "${pm_big[@]}")"
  r_big="$(ratio "$pm_all" "$im_all")"
  printf '\n%-62s %8s  %8s  %s\n' "whole commands (medians of $image_runs; ten files: of $ten_runs)" "s" "ratio" "goal"
  printf '%-62s %8.3f  %8s  %s\n' "ImageMagick -ordered-dither o8x8,32,64,32, 4096 x 4096 RGBA" "$im_all" "-" "(limit)"
  # The ratio of each pair, then their median: on a shared machine the load
  # moves between rounds more than within one.
  pair_ratios=()
  for ((k = 0; k < image_runs; ++k)); do pair_ratios+=("$(ratio "${pm_big[k]}" "${im_big[k]}")"); done
  r_big="$(med "${pair_ratios[@]}")"
  printf '%-62s %8.3f  %7s x  %s\n' "pmhost Pixelmoor.8bf, the same file (median of the pairs' ratios)" "$pm_all" \
    "$r_big" "<= 0.30 $(verdict "$r_big <= 0.3")"
  printf '%-62s %8s  %8s\n' "  the pairs' ratios" "" "$(IFS=' '; echo "${pair_ratios[*]}")"
  cold_ratios=()
  for ((k = 0; k < image_runs; ++k)); do cold_ratios+=("$(ratio "${pm_cold[k]}" "${im_cold[k]}")"); done
  printf '%-62s %8.3f  %7s x  %s\n' "  the same, Wine's services stopped before each pmhost command" "$(med "${pm_cold[@]}")" \
    "$(med "${cold_ratios[@]}")" "(for comparison)"
  # report_ten SIDE SEPARATE ONE: the two rows of one size.
  report_ten() {
    local r
    r="$(ratio "$2" "$3")"
    printf '%-62s %8.3f  %8s  %s\n' "pmhost, ten $1 x $1 RGBA files, ten separate runs" "$2" "-" ""
    printf '%-62s %8.3f  %7s x  %s\n' "pmhost, the same ten files in one run (--out-dir)" "$3" "$r" \
      ">= 3.00 faster, $(verdict "$r >= 3")"
  }
  report_ten 256 "$(med "${sep256[@]}")" "$(med "${one256[@]}")"
  report_ten 512 "$(med "${sep512[@]}")" "$(med "${one512[@]}")"
  printf 'output sizes, 4096 x 4096: pmhost %s bytes, ImageMagick %s bytes\n' \
    "$(stat -c %s "$pm_work/big-pm.png")" "$(stat -c %s "$pm_work/big-im.png")"
  printf '%s\n' "$breakdown"
fi
