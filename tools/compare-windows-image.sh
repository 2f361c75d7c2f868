#!/usr/bin/env bash
# Packages one tree twice, with the Linux build (build/volpack) and with the
# Windows build (build-win/volpack.exe) under Wine, given Windows paths with a
# drive letter and backslashes, and compares what 7-Zip reads from the two
# images: the same names (non-ASCII ones included), sizes and bytes. The images
# themselves differ in their dates and volume identifier. Then both package
# examples/HelloApp with SOURCE_DATE_EPOCH set, which must give the same image
# byte for byte (the same SHA-256).
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
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ -z "${VOLPACK_LINUX:-}" ]; then  # the Linux program as the sources stand
  if ! { [ -f build/CMakeCache.txt ] || cmake -S . -B build; } >"$tmp/build.log" 2>&1 ||
     ! nice -n 10 cmake --build build -j2 --target volpack >>"$tmp/build.log" 2>&1; then
    cat "$tmp/build.log"
    exit 1
  fi
fi

tree="$tmp/Hello App"
cp -r examples/HelloApp "$tree"
res="$tree/Contents/Resources"
printf 'a\r\nb\032c\r\n\032' >"$res/crlf.bin"              # binary bytes that text mode would change
printf 'caf\303\251\n' >"$res/caf$(printf '\303\251').txt"  # a non-ASCII name
seq 1 100000 >"$res/numbers.txt"                          # above the smallest volume
mkdir "$tree/Contents/$(printf '\346\227\245\346\234\254')" # a name outside Western code pages
printf '# one\n' >"$tree/Contents/$(printf '\346\227\245\346\234\254')/one"

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

# One line per item of the image: path | size | folder flag.
listing() {
  7zz l -slt "$1" | awk '
    /^----------$/ { items = 1; next }
    !items { next }
    /^$/ { if (p != "") print p " | " s " | " f; p = s = f = ""; next }
    /^Path = / { p = substr($0, 8) }
    /^Size = / { s = substr($0, 8) }
    /^Folder = / { f = substr($0, 10) }
    END { if (p != "") print p " | " s " | " f }' | LC_ALL=C sort
}
listing "$tmp/linux.dmg" >"$tmp/linux.list"
listing "$tmp/win.dmg" >"$tmp/win.list"
# Both into the same folder in turn: 7-Zip writes absolute link targets below it.
7zz x -y -snld -o"$tmp/x" "$tmp/linux.dmg" >/dev/null && mv "$tmp/x" "$tmp/linux.x"
7zz x -y -snld -o"$tmp/x" "$tmp/win.dmg" >/dev/null && mv "$tmp/x" "$tmp/win.x"
if ! diff -u "$tmp/linux.list" "$tmp/win.list" || ! diff -r --no-dereference "$tmp/linux.x" "$tmp/win.x"; then
  echo "compare-windows-image: the two images differ"
  exit 1
fi
# (HFS+ keeps names decomposed: café comes back as cafe and a combining accent.)
if ! grep -q "Contents/$(printf '\346\227\245\346\234\254')/one" "$tmp/win.list"; then
  echo "compare-windows-image: 7-Zip lists no non-ASCII name; the listing is:"
  cat "$tmp/win.list"
  exit 1
fi
echo "compare-windows-image: images of the Linux and Windows builds hold the same $(wc -l <"$tmp/win.list") items"

# Reproducible: the same tree and SOURCE_DATE_EPOCH give the same bytes on both hosts.
export SOURCE_DATE_EPOCH=1700000000
if ! "$linux" "$tmp/linux-repro.dmg" examples/HelloApp >"$tmp/linux.log" 2>&1; then
  echo "compare-windows-image: the Linux build failed with SOURCE_DATE_EPOCH set:"
  sed 's/^/  /' "$tmp/linux.log"
  exit 1
fi
if ! "$wine" "$windows" "$(winpath "$tmp/win-repro.dmg")" "$(winpath "$PWD/examples/HelloApp")" >"$tmp/win.log" 2>&1; then
  echo "compare-windows-image: volpack.exe failed under Wine with SOURCE_DATE_EPOCH set:"
  sed 's/^/  /' "$tmp/win.log"
  exit 1
fi
linux_sum=$(sha256sum <"$tmp/linux-repro.dmg" | cut -d' ' -f1)
win_sum=$(sha256sum <"$tmp/win-repro.dmg" | cut -d' ' -f1)
if [ "$linux_sum" != "$win_sum" ]; then
  echo "compare-windows-image: with SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH the images of examples/HelloApp differ:"
  echo "  Linux   $linux_sum"
  echo "  Windows $win_sum"
  exit 1
fi
echo "compare-windows-image: with SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH both builds make examples/HelloApp as $linux_sum"
