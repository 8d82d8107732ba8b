# Shared by scripts/arm64-deps.sh and scripts/arm64-run (sourced, not run):
# where the ARM64 toolchain and the arm64 tree live, and the mounts that make
# the tree usable. Every mount under the tree is listed from the kernel's own
# table, so that nothing is ever deleted through a bind mount.

PIXELMOOR_CACHE="${PIXELMOOR_CACHE:-/var/cache/pixelmoor}"
PIXELMOOR_ARM64_TREE="${PIXELMOOR_ARM64_TREE:-$PIXELMOOR_CACHE/arm64-bookworm}"

# Mount points at or below $1, deepest first.
arm64_mounts_under() {
  local root
  root="$(realpath -m "$1")"
  awk -v root="$root" '{
      p = $5; gsub(/\\040/, " ", p)
      if (p == root || index(p, root "/") == 1) print length(p) "\t" p
    }' /proc/self/mountinfo | sort -rn | cut -f2-
}

# /proc, /sys and /dev (with /dev/pts and /dev/shm) of the machine in the tree.
# Plain, non-recursive binds: unmounting them never reaches the machine's own.
arm64_bind_system() {
  local root="$1" d
  for d in proc sys dev dev/pts dev/shm; do
    mkdir -p "$root/$d"
    if ! mountpoint -q "$root/$d"; then
      if [ "$d" = proc ]; then
        mount -t proc proc "$root/proc"
      else
        mount --bind "/$d" "$root/$d"
      fi
    fi
  done
}

# Unmounts everything at or below $1 (deepest first) and checks that nothing
# is left.
arm64_unbind_all() {
  local root="$1" m left
  [ -d "$root" ] || return 0
  while IFS= read -r m; do
    [ -n "$m" ] || continue
    umount "$m" 2>/dev/null || umount -l "$m"
  done < <(arm64_mounts_under "$root")
  left="$(arm64_mounts_under "$root")"
  if [ -n "$left" ]; then
    echo "arm64: still mounted under $root: $left" >&2
    return 1
  fi
}

# Deletes a tree, but only once nothing is mounted in it any more.
arm64_remove_tree() {
  local root="$1"
  [ -e "$root" ] || return 0
  arm64_unbind_all "$root"
  if [ -n "$(arm64_mounts_under "$root")" ]; then
    echo "arm64: refusing to delete $root while something is mounted in it" >&2
    return 1
  fi
  rm -rf --one-file-system "$root"
}
