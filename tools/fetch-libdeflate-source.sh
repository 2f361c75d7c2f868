#!/usr/bin/env bash
# fetch-libdeflate-source.sh DEST
#
# Unpacks Debian's source package of libdeflate (the version this machine's
# package sources offer, the one libdeflate-dev is built from) into DEST/src,
# with Debian's patches applied. The Windows cross build compiles it, so that
# volpack.exe deflates with the same code, and writes the same bytes, as the
# Linux build linked against libdeflate-dev.
#
# apt runs on a private sources list and private state and cache folders below
# DEST (made from the machine's own package sources, "deb" turned into
# "deb-src"); the system's apt configuration, lists and cache stay untouched,
# and root is not needed. Needs apt-get; dpkg-source unpacks when present, else
# tar and patch do.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DEST" >&2; exit 2; }
dest=$(mkdir -p "$1" && cd "$1" && pwd)
[ -f "$dest/src/libdeflate.h" ] && exit 0
command -v apt-get >/dev/null || { echo "fetch-libdeflate-source: apt-get is required" >&2; exit 1; }

apt="$dest/apt"
rm -rf "$apt" "$dest/src"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/download"
: > "$apt/sources.list"
# One-line sources: "deb [options] URI suite components" -> "deb-src ...".
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >> "$apt/sources.list"
done
# deb822 sources: every entry becomes a source entry.
n=0
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  n=$((n + 1))
  sed -E 's/^Types:.*/Types: deb-src/' "$f" > "$apt/parts/$n-$(basename "$f")"
done

opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
      -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
      -o "Dir::State::status=/dev/null" -o "Debug::NoLocking=1"
      -o "APT::Sandbox::User=$(id -un)" -qq)
# A source without source packages only warns; the lookup below decides.
apt-get "${opts[@]}" update || echo "fetch-libdeflate-source: some package sources gave no source index" >&2
(cd "$apt/download" && apt-get "${opts[@]}" --download-only source libdeflate)

dsc=$(ls "$apt/download"/libdeflate_*.dsc | head -n 1)
if command -v dpkg-source >/dev/null; then
  dpkg-source --no-check -x "$dsc" "$dest/src" >/dev/null
else
  mkdir -p "$dest/src"
  tar -xf "$(ls "$apt/download"/libdeflate_*.orig.tar.* | head -n 1)" -C "$dest/src" --strip-components=1
  tar -xf "$(ls "$apt/download"/libdeflate_*.debian.tar.* | head -n 1)" -C "$dest/src"
  if [ -f "$dest/src/debian/patches/series" ]; then
    grep -v '^[[:space:]]*\(#\|$\)' "$dest/src/debian/patches/series" | while read -r p _; do
      patch -s -d "$dest/src" -p1 < "$dest/src/debian/patches/$p"
    done
  fi
fi
[ -f "$dest/src/libdeflate.h" ] || { echo "fetch-libdeflate-source: no libdeflate.h in $dsc" >&2; exit 1; }
echo "fetch-libdeflate-source: $(basename "$dsc" .dsc) in $dest/src"
