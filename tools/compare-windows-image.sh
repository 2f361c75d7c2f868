#!/usr/bin/env bash
# Packages one tree twice, with the Linux build (build/volpack) and with the
# Windows build (build-win/volpack.exe) under Wine, given Windows paths with a
# drive letter and backslashes, and compares what 7-Zip reads from the two
# images: the same names (non-ASCII ones included), sizes and bytes. The images
# themselves differ in their dates and volume identifier.
# Skips (status 0) when 7zz is missing or the Linux build makes no image.
set -euo pipefail
cd "$(dirname "$0")/.."
linux=${VOLPACK_LINUX:-build/volpack}
windows=${VOLPACK_WINDOWS:-build-win/volpack.exe}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX=${WINEPREFIX:-$PWD/build-win/wineprefix} WINEDEBUG=-all

if ! command -v 7zz >/dev/null; then
  echo "compare-windows-image: 7zz is not installed; skipped"
  exit 0
fi
if [ ! -x "$linux" ]; then
  cmake -S . -B build >/dev/null
  nice -n 10 cmake --build build -j2 --target volpack >/dev/null
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tree="$tmp/Hello App"
cp -r examples/HelloApp "$tree"
res="$tree/Contents/Resources"
printf 'a\r\nb\032c\r\n\032' >"$res/crlf.bin"              # binary bytes that text mode would change
printf 'caf\303\251\n' >"$res/caf$(printf '\303\251').txt"  # a non-ASCII name
seq 1 100000 >"$res/numbers.txt"                          # above the smallest volume
mkdir "$tree/Contents/$(printf '\346\227\245\346\234\254')" # a name outside Western code pages
printf 'x' >"$tree/Contents/$(printf '\346\227\245\346\234\254')/one"

winpath() { printf 'Z:%s' "${1//\//\\}"; }

if ! "$linux" "$tmp/linux.dmg" "$tree" >"$tmp/linux.log" 2>&1 || [ ! -s "$tmp/linux.dmg" ]; then
  echo "compare-windows-image: the Linux build makes no image yet; skipped"
  sed 's/^/  /' "$tmp/linux.log"
  exit 0
fi
if ! "$wine" "$windows" "$(winpath "$tmp/win.dmg")" "$(winpath "$tree")\\" >"$tmp/win.log" 2>&1; then
  echo "compare-windows-image: volpack.exe failed under Wine:"
  sed 's/^/  /' "$tmp/win.log"
  exit 1
fi
if [ ! -s "$tmp/win.dmg" ]; then
  echo "compare-windows-image: volpack.exe made no image under Wine"
  exit 1
fi
for f in "$tmp/linux.dmg.hfs" "$tmp/win.dmg.hfs"; do
  if [ -e "$f" ]; then echo "compare-windows-image: scratch file left behind: $f"; exit 1; fi
done

listing() { 7zz l -slt "$1" | grep -E '^(Path|Size|Folder) = ' | paste - - - | sort; }
listing "$tmp/linux.dmg" >"$tmp/linux.list"
listing "$tmp/win.dmg" >"$tmp/win.list"
7zz x -y -o"$tmp/linux.x" "$tmp/linux.dmg" >/dev/null
7zz x -y -o"$tmp/win.x" "$tmp/win.dmg" >/dev/null
if ! diff -u "$tmp/linux.list" "$tmp/win.list" || ! diff -r "$tmp/linux.x" "$tmp/win.x"; then
  echo "compare-windows-image: the two images differ"
  exit 1
fi
if ! grep -q "$(printf 'caf\303\251').txt" "$tmp/win.list"; then
  echo "compare-windows-image: 7-Zip lists no non-ASCII name; the listing is:"
  cat "$tmp/win.list"
  exit 1
fi
echo "compare-windows-image: images of the Linux and Windows builds hold the same $(wc -l <"$tmp/win.list") items"
