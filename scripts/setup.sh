#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages a task needs, and only those:
#   scripts/setup.sh           build and run tessaro and tessaro-cli
#   scripts/setup.sh test      also build and run every test, the sanitizer and fuzz builds,
#                              and build the .xls/.xlsb/.ods support against LibreOffice
#   scripts/setup.sh package   also build the Debian package (with the LibreOffice support)
#                              and check it with lintian
# Does nothing when they are all present, so it is cheap to run before every build.
set -euo pipefail

mode=${1:-run}
run=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libzip-dev libpugixml-dev libfmt-dev zlib1g-dev libisal-dev libutf8proc-dev
  # an Arial-metric face for the window's captions
  fonts-liberation2
)
# .xls, .xlsb and .ods through LibreOffice: the UNO SDK to build against, and the office itself;
# libgsf writes the compound file of an .xls whose VBA project is carried across a save
office=(libreoffice-dev libreoffice-calc-nogui libgsf-1-dev)
test=(
  git libgtest-dev libgmock-dev googletest
  # the icon files' check renders SVG
  qt6-svg-dev
  # the installed tree's desktop entry and AppStream metadata
  desktop-file-utils appstream
  # screenshots under a virtual display
  xvfb xauth
  # tests that read workbooks back, the copy oracle's schema check and its LibreOffice load check
  python3 python3-openpyxl python3-lxml python3-uno
  # an .xls written record by record, with error values and formulas as a spreadsheet application writes them,
  # and the records of an .xls read back
  python3-xlwt python3-olefile
  # scripts/fuzz.sh: clang with libFuzzer and the sanitizers' runtimes; setpriv (util-linux)
  # lets the tests run tessaro-cli as an ordinary user when they run as root
  clang libclang-rt-14-dev util-linux
)
# dpkg-shlibdeps (dpkg-dev, in build-essential) needs file to tell the programs apart
package=(file lintian)

case "$mode" in
  run) packages=("${run[@]}") ;;
  test) packages=("${run[@]}" "${office[@]}" "${test[@]}") ;;
  package) packages=("${run[@]}" "${office[@]}" "${package[@]}") ;;
  *) echo "usage: $0 [run|test|package]" >&2; exit 2 ;;
esac

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
