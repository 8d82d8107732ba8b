#!/usr/bin/env bash
# Takes pictures of the two dialogs of a built Pixelmoor.8bf under Xvfb with
# Wine's X11 driver, and writes them as PNG files.
#   tests/dialogs/screenshots.sh <mingw build folder> [output folder, default docs/]
# Uses the Wine prefix in PIXELMOOR_WINEPREFIX, as scripts/wine-run does.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${1:?usage: screenshots.sh <mingw build folder> [output folder]}" && pwd)"
out="$(mkdir -p "${2:-$root/docs}" && cd "${2:-$root/docs}" && pwd)"
shots="$(mktemp -d)"
trap 'rm -rf "$shots"' EXIT

run_in_x() {
  xvfb-run -a -s "-screen 0 1024x768x24" "$@"
}
# Without a window manager nobody would draw the captions: Wine draws its own.
run_in_x "$root/scripts/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
run_in_x "$root/scripts/wine-run" "$build/tests/dialogs/pixelmoor_dialogs_test.exe" screenshot \
  "$build/Pixelmoor.8bf" "$shots"
for name in confirm-dialog about-box; do
  convert "$shots/$name.bmp" "$out/$name.png"
done
echo "wrote $out/confirm-dialog.png and $out/about-box.png"
