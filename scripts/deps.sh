#!/usr/bin/env bash
# Installs the Debian packages that building and testing Pixelmoor need, when
# any is missing. Needs root (or sudo) only when something must be installed.
#
#   scripts/deps.sh [--arm64]
#
# --arm64 also makes what the ARM64 build and its tests need beyond Debian's
# packages, in the machine's cache folder when missing (scripts/arm64-deps.sh:
# Zig from the npm registry, zlib's sources, the arm64 Debian tree with Wine).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
arm64=0
[ "${1:-}" = --arm64 ] && arm64=1

packages=(
  cmake make g++ pkg-config
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 xvfb xauth
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libstb-dev libz-mingw-w64-dev imagemagick fonts-dejavu-core
  zip
  # The portable core and its unit tests cross-built for aarch64 Linux and run under qemu (ci-aarch64)
  g++-aarch64-linux-gnu qemu-user-static binfmt-support
  # The ARM64 build: resources (windres, then LLVM's cvtres), LLVM's binary
  # tools, the npm client for Zig, and the arm64 tree run under qemu.
  llvm lld openssl dpkg-dev debootstrap
)
# npm comes with Node.js from other sources too; Debian's only when none is there.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Another build on the machine may be installing at the same time.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The aarch64 unit tests start their own program again (death tests); the
# kernel hands that start to qemu only while binfmt knows aarch64 programs.
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  { [ -e /proc/sys/fs/binfmt_misc/register ] || $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc; } &&
    $sudo update-binfmts --enable qemu-aarch64 ||
    { echo "deps.sh: cannot let the kernel start aarch64 programs through qemu (binfmt_misc)" >&2; exit 1; }
fi

if [ $arm64 = 1 ]; then
  $sudo "$here/arm64-deps.sh" all
fi
