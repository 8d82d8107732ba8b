#!/usr/bin/env bash
# Builds the releases a second time, from a clean copy of the sources in
# another folder (with another path length), and compares them with this
# tree's builds byte for byte: for x64 (build/mingw) and ARM64 (build/arm64)
# each, the module, its symbol file, the zip and both checksum files. Only the
# modules and the packages are built, the way the README's release workflows
# make them. Run after the mingw and arm64 builds (a release whose build
# folder is missing is skipped, with a note); the test command runs it after
# packing the releases. See docs/release.md.
#
# The copy holds the files git tracks plus new files not ignored, as they are
# in the working tree now (uncommitted changes included), without .git: the
# zip's entry time comes from SOURCE_DATE_EPOCH, else the checked-out commit
# (packaging/ReproducibleZip.cmake), so the copy's packing is given the time
# this tree's packing takes from git.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top="$PWD"

# Each release: its configure and build presets, its build folder and the
# machine suffix of its files.
releases=("mingw release build/mingw win64" "arm64 release-arm64 build/arm64 win-arm64")
if [ -n "${PIXELMOOR_RELEASES:-}" ]; then
  read -r -a wanted <<<"$PIXELMOOR_RELEASES"
  kept=()
  for r in "${releases[@]}"; do
    for w in "${wanted[@]}"; do [ "${r%% *}" = "$w" ] && kept+=("$r"); done
  done
  releases=("${kept[@]}")
fi

# This tree's releases, packed now from their current builds.
shopt -s nullglob
checked=()
for r in "${releases[@]}"; do
  read -r configure build folder machine <<<"$r"
  if [ ! -f "$folder/CMakeCache.txt" ]; then
    echo "check-reproducible: no $folder build, its release is not checked (build it with the $configure preset)"
    continue
  fi
  cmake --build --preset "$build" >/dev/null
  cpack --preset "$build" >/dev/null
  zips=("$folder"/package/Pixelmoor-*-"$machine".zip)
  if [ ${#zips[@]} -ne 1 ]; then
    echo "check-reproducible: expected one release zip in $folder/package, found ${#zips[@]}" >&2
    exit 1
  fi
  checked+=("$r $(basename "${zips[0]}" .zip)")
done
if [ ${#checked[@]} -eq 0 ]; then
  echo "check-reproducible: no release build to check" >&2
  exit 1
fi

epoch="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/pixelmoor-second-build.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
copy="$scratch/sources"
if [ ${#copy} -eq ${#top} ]; then copy="$copy-again"; fi
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$copy"

# Compares one artefact of the two builds; on a difference, says where.
compare() {
  local first="$1" second="$2" a="$3" pair file folder
  if cmp -s "$first" "$second"; then
    echo "same: $a ($(sha256sum <"$first" | cut -c1-16)...)"
    return 0
  fi
  status=1
  echo "DIFFERENT: $a" >&2
  if [ -e "$first" ] && [ -e "$second" ]; then
    cmp -l "$first" "$second" >"$scratch/differences" 2>&1 || true
    echo "  $(wc -l <"$scratch/differences") bytes differ; the first (offset from 1, octal values):" >&2
    sed -n '1,8s/^/  /p' "$scratch/differences" >&2
    for pair in "$first=$top" "$second=$copy"; do
      file="${pair%%=*}" folder="${pair#*=}"
      if grep -qaF "$folder" "$file"; then
        echo "  $file holds its build's path $folder" >&2
      fi
    done
  fi
}

status=0
for c in "${checked[@]}"; do
  read -r configure build folder machine stem <<<"$c"
  echo "Second $configure build in $copy"
  start=$SECONDS
  (
    cd "$copy"
    timeout 900 cmake --preset "$configure" >"$scratch/configure.log" 2>&1 ||
      { cat "$scratch/configure.log"; exit 1; }
    timeout 900 cmake --build --preset "$build" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
    SOURCE_DATE_EPOCH="$epoch" timeout 300 cpack --preset "$build" >"$scratch/pack.log" 2>&1 ||
      { cat "$scratch/pack.log"; exit 1; }
  )
  echo "Second build and packing took $((SECONDS - start)) s"
  artefacts=(Pixelmoor.8bf "$stem.debug" "package/$stem.zip" "package/$stem.zip.sha256"
             "package/$stem.debug" "package/$stem.debug.sha256")
  for a in "${artefacts[@]}"; do
    compare "$folder/$a" "$copy/$folder/$a" "$folder/$a"
  done
done
if [ $status -ne 0 ]; then
  echo "The release is not reproducible: two builds of the same sources differ (docs/release.md)" >&2
  exit 1
fi
echo "Reproducible: the second builds are byte for byte the same"
