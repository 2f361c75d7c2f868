#!/usr/bin/env bash
# Builds the install package of a configured build folder (`--target package`)
# and checks what it holds:
#   tools/check-package.sh build       the .deb: exactly the program and its man
#                                      page, dependencies limited to the C/C++
#                                      runtime and the compression libraries; it
#                                      is unpacked into a temporary root and the
#                                      program run from there
#   tools/check-package.sh build-win   the .zip: volpack.exe, README.md, LICENSE;
#                                      unpacked and run under Wine when $VOLPACK_WINE
#                                      names the Wine loader
# Also checks that the man page documents every option of the usage text.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tools/check-package.sh BUILD_DIR}

fail() { echo "check-package: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
rm -rf "$build/packages"
cmake --build "$build" --target package >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The options the usage text lists ("  -v  ...", "  -h, --help  ..."), each of
# which the man page must name (roff writes a dash as "\-").
check_man_page_options() {  # $1: the program, $2: the man page's roff text
  local opts
  opts=$("$1" --help | sed -n 's/^  \(-[^ ]*\( -[^ ]*\)*\)  .*/\1/p' | tr -d ',' | tr ' ' '\n')
  [ -n "$opts" ] || fail "the usage text lists no options"
  for opt in $opts; do
    opt=${opt%%=*}
    grep -qF -- "${opt//-/\\-}" "$2" || fail "the man page does not document $opt"
  done
}

debs=("$build"/packages/*.deb)
zips=("$build"/packages/*.zip)
if [ -f "${debs[0]}" ]; then
  deb=${debs[0]}
  [ "$(dpkg-deb -f "$deb" Package)" = volpack ] || fail "$deb: wrong package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version is not $version"
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  expected=$'./usr/bin/volpack\n./usr/share/man/man1/volpack.1.gz'
  [ "$files" = "$expected" ] || fail "$deb holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"
  depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *\([^ ]*\).*/\1/')
  echo "$depends" | grep -qx zlib1g || fail "$deb does not depend on zlib1g"
  echo "$depends" | grep -qx libdeflate0 || fail "$deb does not depend on libdeflate0"
  # The C and C++ runtimes, the compression libraries, and bzip2, which
  # `volpack verify` uses to read bzip2-compressed images made elsewhere.
  for d in $depends; do
    case $d in
      libc6 | libgcc-s1 | libstdc++6 | zlib1g | libdeflate0 | libbz2-1.0) ;;
      *) fail "$deb depends on $d" ;;
    esac
  done
  dpkg -x "$deb" "$tmp/root"
  out=$("$tmp/root/usr/bin/volpack" --version)
  [ "$(head -n1 <<<"$out")" = "volpack $version" ] || fail "the packaged program says: $out"
  zcat "$tmp/root/usr/share/man/man1/volpack.1.gz" >"$tmp/volpack.1"
  grep -qF "volpack $version" "$tmp/volpack.1" || fail "the man page does not carry version $version"
  check_man_page_options "$tmp/root/usr/bin/volpack" "$tmp/volpack.1"
  if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$tmp/volpack.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the man page does not format cleanly: $warnings"
  fi
  echo "check-package: $deb is good"
elif [ -f "${zips[0]}" ]; then
  zip=${zips[0]}
  top=$(basename "$zip" .zip)
  files=$(7zz l -ba -slt "$zip" | sed -n 's/^Path = //p' | tr '\\' '/' | grep -vx "$top" | sort)
  expected=$(printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/volpack.exe")
  [ "$files" = "$expected" ] || fail "$zip holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"
  7zz x -y -bd "-o$tmp" "$zip" >/dev/null
  cmp -s "$tmp/$top/LICENSE" LICENSE || fail "$zip: LICENSE differs from the repository's"
  if [ -n "${VOLPACK_WINE:-}" ]; then
    out=$("$VOLPACK_WINE" "$tmp/$top/volpack.exe" --version </dev/null | tr -d '\r')
    [ "$(head -n1 <<<"$out")" = "volpack $version" ] || fail "the packaged volpack.exe says: $out"
  fi
  echo "check-package: $zip is good"
else
  fail "no package in $build/packages"
fi
