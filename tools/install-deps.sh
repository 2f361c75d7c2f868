#!/usr/bin/env bash
# Installs what a fresh Debian or Ubuntu machine lacks to build and test
# volpack: compiler, CMake, zlib and bzip2 headers, GoogleTest, clang with
# libFuzzer, and the two independent
# image readers the tests use (7-Zip's 7zz and dmg2img). Does nothing when all
# are present.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -d /usr/src/googletest ] || [ -f /usr/include/gtest/gtest.h ] || need+=(googletest libgtest-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/bzlib.h ] || need+=(libbz2-dev)
# clang and its libFuzzer runtime, for the image reader's fuzz target.
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
command -v 7zz >/dev/null || need+=(7zip)
command -v dmg2img >/dev/null || need+=(dmg2img)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi
