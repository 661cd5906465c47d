#!/usr/bin/env bash
# Makes sure the build tools are here: g++, cmake, make and the GoogleTest
# sources or library; or, with arguments COMMAND:PACKAGE ..., those commands.
# As root it installs what is missing with apt; otherwise it prints the
# exact command to run and fails.
set -u
missing=()
if [ $# -gt 0 ]; then
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
  done
else
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v make >/dev/null 2>&1 || missing+=(make)
  if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -d /usr/src/googletest ]; then
    missing+=(libgtest-dev)
  fi
fi
[ ${#missing[@]} -eq 0 ] && exit 0

cmd="apt-get update && apt-get install -y ${missing[*]}"
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing missing build tools: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q "${missing[@]}" && exit 0
  echo "Installation failed. Run as root: $cmd" >&2
  exit 1
fi
echo "Missing build tools: ${missing[*]}" >&2
echo "Install them as root with: $cmd" >&2
exit 1
