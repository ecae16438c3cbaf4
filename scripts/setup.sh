#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages that building, running and testing Tessaro need.
# Does nothing when they are all present, so it is cheap to run before every build.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libzip-dev libpugixml-dev libfmt-dev zlib1g-dev libisal-dev
  libgtest-dev libgmock-dev googletest
  # screenshots under a virtual display
  xvfb xauth
  # an Arial-metric face for the window's captions
  fonts-liberation2
  # tests that read workbooks back, and the copy oracle's LibreOffice load check
  python3 python3-openpyxl python3-uno libreoffice-calc-nogui
  # .xls, .xlsb and .ods through LibreOffice: the UNO SDK to build against
  libreoffice-dev
  # scripts/fuzz.sh: clang with libFuzzer and the sanitizers' runtimes; setpriv (util-linux)
  # lets the tests run tessaro-cli as an ordinary user when they run as root
  clang libclang-rt-14-dev util-linux
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "setup: run as root or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
