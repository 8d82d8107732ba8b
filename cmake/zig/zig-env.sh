# Sourced by the compiler wrappers beside it: Zig 0.11.0 and its global cache
# in the machine's cache folder (scripts/arm64-deps.sh installs them).
PIXELMOOR_CACHE="${PIXELMOOR_CACHE:-/var/cache/pixelmoor}"
ZIG="$PIXELMOOR_CACHE/zig-0.11.0/zig"
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$PIXELMOOR_CACHE/zig-cache}"
if [ ! -x "$ZIG" ]; then
  echo "Zig 0.11.0 is missing in $PIXELMOOR_CACHE: scripts/arm64-deps.sh zig installs it" >&2
  exit 1
fi
