#!/usr/bin/env bash
# Builds the release a second time, from a clean copy of the sources in
# another folder (with another path length), and compares it with this tree's
# mingw build byte for byte: the module, its symbol file, the zip and both
# checksum files. Only the module and the package are built, the way the
# README's release workflow makes them. Run after a mingw build; the test
# command runs it after packing the release. See docs/release.md.
#
# The copy holds the files git tracks plus new files not ignored, as they are
# in the working tree now (uncommitted changes included), without .git: the
# zip's entry time comes from SOURCE_DATE_EPOCH, else the checked-out commit
# (packaging/ReproducibleZip.cmake), so the copy's packing is given the time
# this tree's packing takes from git.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top="$PWD"

# This tree's release, packed now from its current build.
cmake --build --preset release >/dev/null
cpack --preset release >/dev/null
shopt -s nullglob
zips=(build/mingw/package/Pixelmoor-*-win64.zip)
if [ ${#zips[@]} -ne 1 ]; then
  echo "check-reproducible: expected one release zip in build/mingw/package, found ${#zips[@]}" >&2
  exit 1
fi
stem="$(basename "${zips[0]}" .zip)"
artefacts=(Pixelmoor.8bf "$stem.debug" "package/$stem.zip" "package/$stem.zip.sha256"
           "package/$stem.debug" "package/$stem.debug.sha256")

epoch="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/pixelmoor-second-build.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
copy="$scratch/sources"
if [ ${#copy} -eq ${#top} ]; then copy="$copy-again"; fi
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$copy"

echo "Second build in $copy"
start=$SECONDS
(
  cd "$copy"
  timeout 900 cmake --preset mingw >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log"; exit 1; }
  timeout 900 cmake --build --preset release >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
  SOURCE_DATE_EPOCH="$epoch" timeout 300 cpack --preset release >"$scratch/pack.log" 2>&1 ||
    { cat "$scratch/pack.log"; exit 1; }
)
echo "Second build and packing took $((SECONDS - start)) s"

status=0
for a in "${artefacts[@]}"; do
  first="build/mingw/$a" second="$copy/build/mingw/$a"
  if cmp -s "$first" "$second"; then
    echo "same: $a ($(sha256sum <"$first" | cut -c1-16)...)"
    continue
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
done
if [ $status -ne 0 ]; then
  echo "The release is not reproducible: two builds of the same sources differ (docs/release.md)" >&2
  exit 1
fi
echo "Reproducible: the second build is byte for byte the same"
