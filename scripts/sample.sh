#!/usr/bin/env bash
# The main job: builds Pixelmoor.8bf and the host, runs the filter on a sample
# image through pmhost under Wine, and writes into out/:
#   sample.png              the source (a smooth ImageMagick plasma, or IMAGE)
#   sample-truncated.png    plain 5-6-5 truncation (Pixelmoor with dithering off)
#   sample-pixelmoor.png    Pixelmoor's dithered result
#   sample-comparison.png   the three side by side, with enlarged crops below
# Usage: scripts/sample.sh [IMAGE.png] [--update-docs]
#   --update-docs  also copies the comparison to docs/sample-comparison.png
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${PIXELMOOR_BUILD_DIR:-$root/build/mingw}"
out="$root/out"
image="" update_docs=0
for arg in "$@"; do
  case "$arg" in
    --update-docs) update_docs=1 ;;
    -*) echo "sample.sh: unknown option $arg" >&2; exit 1 ;;
    *) image="$arg" ;;
  esac
done
"$here/deps.sh"
for tool in cmake convert montage wine; do
  command -v "$tool" >/dev/null || { echo "sample.sh: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

echo "== building Pixelmoor.8bf and pmhost (mingw preset, $build)"
cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" -j2 --target Pixelmoor pmhost

mkdir -p "$out"
cd "$out"
if [ -n "$image" ]; then
  convert "$image" -alpha off -depth 8 PNG24:sample.png
else
  # A smooth colour field: where 5-6-5 truncation bands and dithering does not.
  convert -seed 7 -size 480x320 plasma:fractal -blur 0x14 -auto-level -depth 8 PNG24:sample.png
fi

key=723b5e70-4e05-11de-8a39-0800200c9a66
export PIXELMOOR_BUILD_DIR="$build"
echo "== Pixelmoor with dithering (the default)"
printf '' > registry-dither.txt
"$here/pmhost" --answer ok --registry registry-dither.txt "$build/Pixelmoor.8bf" sample.png sample-pixelmoor.png
echo "== Pixelmoor with dithering off (registry entry 'dith' false): plain truncation"
cat > registry-truncate.txt <<END
entry $key
'dith' bool false
end
END
"$here/pmhost" --answer ok --registry registry-truncate.txt "$build/Pixelmoor.8bf" sample.png sample-truncated.png

echo "== comparison picture"
read -r w h < <(identify -format '%w %h\n' sample.png)
# An enlarged crop from the middle, as wide as the full picture.
cw=$(( w / 6 )) ch=$(( h / 6 ))
crop="${cw}x${ch}+$(( (w - cw) / 2 ))+$(( (h - ch) / 2 ))"
for name in sample sample-truncated sample-pixelmoor; do
  convert "$name.png" -crop "$crop" +repage -filter point -resize 600% "crop-$name.png"
done
montage -font DejaVu-Sans -pointsize 14 \
  -label 'source' sample.png -label 'plain 5-6-5 truncation' sample-truncated.png \
  -label 'Pixelmoor (dithered 5-6-5)' sample-pixelmoor.png \
  -label 'source, 6x crop' crop-sample.png -label 'truncation, 6x crop' crop-sample-truncated.png \
  -label 'Pixelmoor, 6x crop' crop-sample-pixelmoor.png \
  -tile 3x2 -geometry +6+6 -background white sample-comparison.png
rm -f crop-sample.png crop-sample-truncated.png crop-sample-pixelmoor.png
if [ "$update_docs" = 1 ]; then
  cp sample-comparison.png "$root/docs/sample-comparison.png"
  echo "copied to docs/sample-comparison.png"
fi
echo "== done: $out/sample-pixelmoor.png and $out/sample-comparison.png"
